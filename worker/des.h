#pragma once
// DES (FIPS 46-3) as the withholding client uses it for its framed files: the key text is cut or
// padded with '?' to eight characters and the low byte of each UTF-16 unit is a key byte.
// Portable: no windows.h.

#include <array>
#include <cstdint>
#include <string>

namespace nelto {

// A block as the engine holds it: four 16-bit units, each built from two consecutive bytes with
// the first byte as the high half.
using DesBlock = std::array<std::uint16_t, 4>;

// The key schedule built from a key text.
class TSubKey {
public:
    explicit TSubKey(std::u16string keyText);

    const std::u16string& KeyText() const { return keyText_; }
    const std::u16string& PaddedKeyText() const { return paddedKeyText_; }
    std::uint64_t KeyBits() const { return keyBits_; }
    // Round keys in round order 1..16 (index 0..15), 48 bits each in the low bits.
    const std::array<std::uint64_t, 16>& RoundKeys() const { return roundKeys_; }

private:
    std::u16string keyText_;
    std::u16string paddedKeyText_;
    std::uint64_t keyBits_ = 0;
    std::uint32_t c_ = 0;  // 28-bit halves after PC-1
    std::uint32_t d_ = 0;
    std::array<std::uint64_t, 16> roundKeys_{};
};

// One DES engine for one key.
class TDes {
public:
    explicit TDes(std::u16string keyText);

    DesBlock EncryptBlock(const DesBlock& in) const;
    DesBlock DecryptBlock(const DesBlock& in) const;

    // The same on eight bytes in file order.
    void EncryptBytes(const std::uint8_t in[8], std::uint8_t out[8]) const;
    void DecryptBytes(const std::uint8_t in[8], std::uint8_t out[8]) const;

private:
    std::uint64_t Crypt(std::uint64_t block, bool decrypt) const;

    std::u16string keyText_;
    TSubKey subKey_;
};

// Widens an ASCII or byte key text the way the client does: each byte becomes one unit.
std::u16string KeyTextFromBytes(const std::string& bytes);

}  // namespace nelto
