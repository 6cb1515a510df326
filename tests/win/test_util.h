#pragma once
// Helpers of the Windows tests: scratch folders, raw file bytes, starting programs.

#include <string>

namespace nelto::test {

// A fresh empty folder (UTF-8 path with trailing backslash) removed again by the destructor.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
// Folder of the running test program, with trailing backslash.
std::string ProgramFolder();

struct ProcessResult {
    unsigned long exitCode = 0;
    std::string output;  // raw bytes of standard output
};
// Runs a command line (UTF-8) and waits for it, capturing standard output.
ProcessResult RunProcess(const std::string& commandLine, const std::string& folder = {});

// Installs a stand-in withholding client into folder (with trailing backslash) from the demo
// scenario with the given keys replaced; fails the test when the installer fails.
void InstallStandInClient(const std::string& folder, const std::string& overridesJson = "{}");

// Removes a folder and everything in it.
void RemoveTree(const std::string& path);

}  // namespace nelto::test
