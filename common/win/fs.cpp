#include "common/win/fs.h"

#include <windows.h>

#include "common/win/unicode.h"

namespace nelto {

bool FileExists(const std::string& path) {
    const DWORD attr = GetFileAttributesW(Widen(path).c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
    const DWORD attr = GetFileAttributesW(Widen(path).c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::string& path) {
    std::wstring wide = Widen(path);
    while (!wide.empty() && (wide.back() == L'\\' || wide.back() == L'/')) wide.pop_back();
    if (wide.empty()) return false;
    const DWORD attr = GetFileAttributesW(wide.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES) return (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const auto cut = wide.find_last_of(L"\\/");
    // A drive root or a bare name has no parent to create.
    if (cut != std::wstring::npos && cut > 0 && wide[cut - 1] != L':' &&
        !ForceDirectories(Narrow(wide.substr(0, cut)))) {
        return false;
    }
    return CreateDirectoryW(wide.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::optional<std::uint64_t> FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

bool DeleteFileUtf8(const std::string& path) { return DeleteFileW(Widen(path).c_str()) != FALSE; }

std::string ExtractFilePath(std::string_view path) {
    const auto cut = path.find_last_of("\\/:");
    return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut + 1));
}

std::string ExtractFileName(std::string_view path) {
    const auto cut = path.find_last_of("\\/:");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string ChangeFileExt(std::string_view name, std::string_view ext) {
    const auto dot = name.find_last_of('.');
    const auto sep = name.find_last_of("\\/:");
    std::string result(dot != std::string_view::npos && (sep == std::string_view::npos || dot > sep)
                           ? name.substr(0, dot)
                           : name);
    result += ext;
    return result;
}

std::string IncludeTrailingBackslash(std::string path) {
    if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '\\';
    return path;
}

std::string ModuleFileName(void* module) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(static_cast<HMODULE>(module), buffer.data(),
                                           static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return Narrow(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string SystemDriveRoot() {
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
    if (n < 2) return "C:\\";
    return Narrow(std::wstring_view(windows, 2)) + "\\";
}

}  // namespace nelto
