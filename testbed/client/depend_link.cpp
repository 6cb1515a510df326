// Linked only into the variant of the interface library that needs RezaDepend.dll: the call
// below gives the variant its import of RezaDependProbe.

extern "C" __declspec(dllimport) int RezaDependProbe(void);

extern "C" int NeltoStubUsesRezaDepend(void) { return RezaDependProbe(); }
