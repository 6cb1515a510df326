// RezaDepend.dll: a library that a variant of the stand-in interface library imports from and
// that the installer never installs, so that the variant cannot be loaded.

extern "C" __declspec(dllexport) int RezaDependProbe(void) { return 1; }
