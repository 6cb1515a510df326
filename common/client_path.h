#pragma once
// Client folders arrive in web requests. Before any file-system call on one, it must be a local
// absolute drive path ("X:\..." or "X:/..."): UNC ("\\server\share"), "\\?\" and "\\.\" device
// paths and relative paths are refused, so a request can never make us load or start code from
// a network share or a device. Portable: no windows.h.

#include <string_view>

namespace nelto {

[[nodiscard]] constexpr bool IsLocalDrivePath(std::string_view path) {
    if (path.size() < 3) return false;
    const char drive = path[0];
    const bool letter = (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
    return letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

}  // namespace nelto
