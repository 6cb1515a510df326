#pragma once
// MD5 (RFC 1321), for the checksum of the client's framed files. Portable.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace nelto {

std::array<std::uint8_t, 16> Md5(std::string_view data);

// The 32 upper-case hexadecimal digits of Md5(data), high nibble first.
std::string Md5HexUpper(std::string_view data);

}  // namespace nelto
