#pragma once
// File-system helpers on UTF-8 paths (converted to UTF-16 at the call).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nelto {

[[nodiscard]] bool FileExists(const std::string& path);
[[nodiscard]] bool DirectoryExists(const std::string& path);
// Creates the folder with all missing parents; true when it exists afterwards.
[[nodiscard]] bool ForceDirectories(const std::string& path);
std::optional<std::uint64_t> FileSize(const std::string& path);
[[nodiscard]] bool DeleteFileUtf8(const std::string& path);

// Folder part with a trailing backslash ("" when the path has none), file name, name without
// extension. Both '\' and '/' separate.
std::string ExtractFilePath(std::string_view path);
std::string ExtractFileName(std::string_view path);
std::string ChangeFileExt(std::string_view name, std::string_view ext);
std::string IncludeTrailingBackslash(std::string path);

// Full path of a module (nullptr: the running program).
std::string ModuleFileName(void* module);
// "C:\" for a system in C:\Windows.
std::string SystemDriveRoot();

}  // namespace nelto
