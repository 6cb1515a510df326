#pragma once
// AES block encipherment (FIPS-197) and the string cipher that hands enciphered parameters to the
// withholding client as upper-case hexadecimal text. Portable: no windows.h.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nelto {

// One expanded AES key. Only encipherment exists in this system.
class Aes {
public:
    // key must be 16, 24 or 32 bytes; other sizes throw std::invalid_argument.
    explicit Aes(std::span<const std::uint8_t> key);

    void EncryptBlock(const std::uint8_t in[16], std::uint8_t out[16]) const;

private:
    int rounds_ = 0;
    std::array<std::uint32_t, 60> roundKeys_{};
};

// Key size selector of EncryptStringToHex.
enum AesKeySize : int { kAes128 = 0, kAes192 = 1, kAes256 = 2 };

// AES-ECB of plain (bytes, callers pass ANSI text) under key (bytes, zero-padded or cut to the
// selected size), written as upper-case hexadecimal.
//  noLengthHeader false: an 8-byte little-endian plain length comes first, a short last block is
//                        filled with zero bytes.
//  noLengthHeader true:  no header, PKCS#7 padding (a full block of 16s after whole blocks).
// An empty plain text gets no block in either mode. A selector other than 0, 1, 2 enciphers
// nothing: the result is the header alone, or empty.
std::string EncryptStringToHex(std::string_view plain, std::string_view key, bool noLengthHeader,
                               int keySize);

// Upper-case hexadecimal of bytes, two digits each.
std::string HexUpper(std::string_view bytes);

}  // namespace nelto
