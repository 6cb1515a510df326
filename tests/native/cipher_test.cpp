// The portable ciphers: AES and the hexadecimal string cipher, single DES with the client's key
// text rules, MD5, and the checksum-framed DES format. OpenSSL's libcrypto is the independent
// implementation they are compared with; published known answers pin both down.

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/aes.h"
#include "worker/des.h"
#include "worker/framed_cipher.h"
#include "worker/md5.h"

namespace nelto {
namespace {

// ---- helpers independent of the code under test ---------------------------------------------

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0f];
    }
    return out;
}

std::string Bytes(std::string_view hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not a hexadecimal digit");
    };
    std::string out;
    std::size_t i = 0;
    while (i < hex.size()) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        out += static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1]));
        i += 2;
    }
    return out;
}

std::string RandomBytes(std::mt19937& rng, std::size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(n, '\0');
    for (auto& ch : out) ch = static_cast<char>(byte(rng));
    return out;
}

bool IsUpperHex(std::string_view text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

const std::uint8_t* U8(std::string_view s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

std::string AesBlock(std::string_view key, std::string_view block16) {
    const Aes aes(std::span<const std::uint8_t>(U8(key), key.size()));
    std::uint8_t out[16];
    aes.EncryptBlock(U8(block16), out);
    return std::string(reinterpret_cast<const char*>(out), 16);
}

std::string DesEncrypt8(const TDes& des, std::string_view block8) {
    std::uint8_t out[8];
    des.EncryptBytes(U8(block8), out);
    return std::string(reinterpret_cast<const char*>(out), 8);
}

std::string DesDecrypt8(const TDes& des, std::string_view block8) {
    std::uint8_t out[8];
    des.DecryptBytes(U8(block8), out);
    return std::string(reinterpret_cast<const char*>(out), 8);
}

DesBlock UnitsOf(std::string_view block8) {
    DesBlock units{};
    for (int i = 0; i < 4; ++i) {
        units[i] = static_cast<std::uint16_t>((static_cast<unsigned char>(block8[2 * i]) << 8) |
                                              static_cast<unsigned char>(block8[2 * i + 1]));
    }
    return units;
}

// ---- OpenSSL --------------------------------------------------------------------------------

struct Providers {
    OSSL_PROVIDER* legacy = nullptr;
    OSSL_PROVIDER* standard = nullptr;
};

// Loaded once and kept for the whole run: loading any provider explicitly stops the default one
// from being loaded implicitly, so both are loaded here.
const Providers& LoadProviders() {
    static const Providers providers = [] {
        Providers p;
        p.legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        p.standard = OSSL_PROVIDER_load(nullptr, "default");
        return p;
    }();
    return providers;
}

struct CipherFree {
    void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherFree>;

CipherPtr FetchCipher(const char* name) {
    LoadProviders();
    return CipherPtr(EVP_CIPHER_fetch(nullptr, name, nullptr));
}

CipherPtr AesEcbCipher(std::size_t keyBytes) {
    const char* name = keyBytes == 16   ? "AES-128-ECB"
                       : keyBytes == 24 ? "AES-192-ECB"
                                        : "AES-256-ECB";
    auto cipher = FetchCipher(name);
    if (!cipher) throw std::runtime_error(std::string("OpenSSL has no ") + name);
    return cipher;
}

// ECB encipherment by OpenSSL; pkcs7 false requires whole blocks.
std::string EvpEcb(const EVP_CIPHER* cipher, std::string_view key, std::string_view data,
                   bool pkcs7) {
    if (EVP_CIPHER_get_key_length(cipher) != static_cast<int>(key.size())) {
        throw std::invalid_argument("key length does not fit the OpenSSL cipher");
    }
    std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_EncryptInit_ex2(ctx.get(), cipher, U8(key), nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), pkcs7 ? 1 : 0) != 1) {
        throw std::runtime_error("OpenSSL cipher set-up failed");
    }
    std::string out(data.size() + 32, '\0');
    auto* buffer = reinterpret_cast<unsigned char*>(out.data());
    int n1 = 0;
    int n2 = 0;
    static const unsigned char kNothing = 0;
    if (EVP_EncryptUpdate(ctx.get(), buffer, &n1, data.empty() ? &kNothing : U8(data),
                          static_cast<int>(data.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), buffer + n1, &n2) != 1) {
        throw std::runtime_error("OpenSSL encipherment failed");
    }
    out.resize(static_cast<std::size_t>(n1 + n2));
    return out;
}

std::string EvpAesEcb(std::string_view key, std::string_view data, bool pkcs7) {
    const auto cipher = AesEcbCipher(key.size());
    return EvpEcb(cipher.get(), key, data, pkcs7);
}

std::string EvpMd5(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    LoadProviders();
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr) != 1 ||
        size != 16) {
        throw std::runtime_error("OpenSSL MD5 failed");
    }
    return std::string(reinterpret_cast<const char*>(digest), size);
}

constexpr char kNoLegacy[] =
    "OpenSSL's legacy provider could not be loaded (OSSL_PROVIDER_load(nullptr, \"legacy\") "
    "failed, or DES-ECB is not offered): single DES cannot be compared. Install the legacy "
    "module (ossl-modules/legacy.so) or set OPENSSL_MODULES to its folder.";

// ---- 1. comparison with OpenSSL -------------------------------------------------------------

TEST(OpenSslComparison, AesBlockMatchesEvpEcbForAllKeySizes) {
    std::mt19937 rng(20240611);
    for (const std::size_t keyBytes : {16u, 24u, 32u}) {
        const auto cipher = AesEcbCipher(keyBytes);
        for (int i = 0; i < 300; ++i) {
            const std::string key = RandomBytes(rng, keyBytes);
            const std::string plain = RandomBytes(rng, 16);
            ASSERT_EQ(Hex(AesBlock(key, plain)), Hex(EvpEcb(cipher.get(), key, plain, false)))
                << "AES-" << keyBytes * 8 << " key " << Hex(key) << " plain " << Hex(plain);
        }
    }
}

TEST(OpenSslComparison, DesBlockMatchesEvpDesEcb) {
    const auto& providers = LoadProviders();
    ASSERT_NE(providers.legacy, nullptr) << kNoLegacy;
    ASSERT_NE(providers.standard, nullptr) << "OpenSSL's default provider could not be loaded";
    const auto cipher = FetchCipher("DES-ECB");
    ASSERT_NE(cipher, nullptr) << kNoLegacy;

    std::mt19937 rng(4631);
    for (int i = 0; i < 400; ++i) {
        const std::string key = RandomBytes(rng, 8);
        const std::string plain = RandomBytes(rng, 8);
        const TDes des(KeyTextFromBytes(key));
        const std::string expected = EvpEcb(cipher.get(), key, plain, false);
        ASSERT_EQ(Hex(DesEncrypt8(des, plain)), Hex(expected))
            << "key " << Hex(key) << " plain " << Hex(plain);
        ASSERT_EQ(Hex(DesDecrypt8(des, expected)), Hex(plain)) << "key " << Hex(key);
    }
}

TEST(OpenSslComparison, Md5MatchesEvpMd5ForLengths0To300) {
    std::mt19937 rng(1321);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (const std::size_t n : {1000u, 4096u, 4099u}) lengths.push_back(n);
    for (const std::size_t n : lengths) {
        const std::string data = RandomBytes(rng, n);
        const std::string expected = EvpMd5(data);
        const auto digest = Md5(data);
        ASSERT_EQ(Hex(std::string_view(reinterpret_cast<const char*>(digest.data()), 16)),
                  Hex(expected))
            << "length " << n;
        ASSERT_EQ(Md5HexUpper(data), Hex(expected)) << "length " << n;
    }
}

// The key as EncryptStringToHex uses it: cut to, or filled with zero bytes up to, the size.
std::string EffectiveKey(std::string_view key, std::size_t size) {
    std::string k(key.substr(0, size));
    k.resize(size, '\0');
    return k;
}

constexpr std::size_t kKeySizes[] = {16, 24, 32};

TEST(OpenSslComparison, EncryptStringToHexWithoutHeaderMatchesEcbWithPkcs7) {
    std::mt19937 rng(197);
    std::uniform_int_distribution<std::size_t> plainLength(1, 100);
    std::uniform_int_distribution<std::size_t> keyLength(0, 40);
    for (int i = 0; i < 300; ++i) {
        const int selector = i % 3;
        const std::string plain = RandomBytes(rng, plainLength(rng));
        const std::string key = RandomBytes(rng, keyLength(rng));
        const std::string expected =
            Hex(EvpAesEcb(EffectiveKey(key, kKeySizes[selector]), plain, true));
        ASSERT_EQ(EncryptStringToHex(plain, key, true, selector), expected)
            << "selector " << selector << " key " << Hex(key) << " plain " << Hex(plain);
    }
}

TEST(OpenSslComparison, EncryptStringToHexWithHeaderIsLengthThenZeroFilledEcb) {
    std::mt19937 rng(81);
    std::uniform_int_distribution<std::size_t> plainLength(1, 100);
    std::uniform_int_distribution<std::size_t> keyLength(0, 40);
    for (int i = 0; i < 300; ++i) {
        const int selector = i % 3;
        const std::string plain = RandomBytes(rng, plainLength(rng));
        const std::string key = RandomBytes(rng, keyLength(rng));
        std::string header;
        for (int b = 0; b < 8; ++b) header += static_cast<char>((plain.size() >> (8 * b)) & 0xff);
        std::string filled = plain;
        filled.resize((plain.size() + 15) / 16 * 16, '\0');
        const std::string expected =
            Hex(header) + Hex(EvpAesEcb(EffectiveKey(key, kKeySizes[selector]), filled, false));
        ASSERT_EQ(EncryptStringToHex(plain, key, false, selector), expected)
            << "selector " << selector << " key " << Hex(key) << " plain " << Hex(plain);
    }
}

// PKCS#7 proper would give one block of sixteen 16s; this function enciphers nothing instead.
TEST(EncryptStringToHexTest, EmptyPlainWithPkcs7GivesEmptyText) {
    for (const char* key : {"", "k", "0123456789abcdef0123456789abcdef"}) {
        for (const int selector : {0, 1, 2}) {
            EXPECT_EQ(EncryptStringToHex("", key, true, selector), "")
                << "key \"" << key << "\" selector " << selector;
        }
    }
}

// ---- 2. published known answers -------------------------------------------------------------

struct DesAnswer {
    const char* table;
    const char* key;
    const char* plain;
    const char* cipher;
};

// NIST SP 800-17, tables of the variable plaintext, variable key, permutation and
// substitution known answer tests.
constexpr DesAnswer kNistDes[] = {
    {"variable plaintext", "0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"variable plaintext", "0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"variable plaintext", "0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"variable plaintext", "0101010101010101", "1000000000000000", "4BD388FF6CD81D4F"},
    {"variable plaintext", "0101010101010101", "0800000000000000", "20B9E767B2FB1456"},
    {"variable plaintext", "0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"variable key", "8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"variable key", "4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    {"variable key", "2001010101010101", "0000000000000000", "7AD16FFB79C45926"},
    {"variable key", "1001010101010101", "0000000000000000", "D3746294CA6A6CF3"},
    {"variable key", "0180010101010101", "0000000000000000", "2055123350C00858"},
    {"permutation", "1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"permutation", "1007103489988020", "0000000000000000", "0C0CC00C83EA48FD"},
    {"substitution", "7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"substitution", "0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"substitution", "07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
    {"substitution", "3849674C2602319E", "51454B582DDF440A", "7178876E01F19B2A"},
    {"substitution", "04B915BA43FEB5B6", "42FD443059577FA2", "AF37FB421F8C4095"},
};

TEST(KnownAnswers, DesNistSp800_17) {
    for (const auto& c : kNistDes) {
        const TDes des(KeyTextFromBytes(Bytes(c.key)));
        EXPECT_EQ(Hex(DesEncrypt8(des, Bytes(c.plain))), c.cipher)
            << c.table << ": key " << c.key << " plain " << c.plain;
        EXPECT_EQ(Hex(DesDecrypt8(des, Bytes(c.cipher))), c.plain)
            << c.table << ": key " << c.key << " cipher " << c.cipher;
    }
}

TEST(KnownAnswers, DesFips81EcbExample) {
    const TDes des(KeyTextFromBytes(Bytes("0123456789ABCDEF")));
    const std::string plain = "Now is the time for all ";
    ASSERT_EQ(plain.size(), 24u);
    EXPECT_EQ(Hex(DesConvert(des, DesMode::Encrypt, plain)),
              "3FA40E8A984D4815"
              "6A271787AB8883F9"
              "893D51EC4B563B53");
    EXPECT_EQ(DesConvert(des, DesMode::Decrypt,
                         Bytes("3FA40E8A984D4815 6A271787AB8883F9 893D51EC4B563B53")),
              plain);
}

TEST(KnownAnswers, AesFips197AppendixC) {
    struct Case {
        const char* name;
        const char* key;
        const char* cipher;
    };
    constexpr Case kCases[] = {
        {"C.1 AES-128", "000102030405060708090a0b0c0d0e0f", "69C4E0D86A7B0430D8CDB78070B4C55A"},
        {"C.2 AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617",
         "DDA97CA4864CDFE06EAF70A0EC0D7191"},
        {"C.3 AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "8EA2B7CA516745BFEAFC49904B496089"},
    };
    const std::string plain = Bytes("00112233445566778899aabbccddeeff");
    for (const auto& c : kCases) {
        EXPECT_EQ(Hex(AesBlock(Bytes(c.key), plain)), c.cipher) << c.name;
    }
}

TEST(KnownAnswers, Md5Rfc1321TestSuite) {
    struct Case {
        const char* text;
        const char* digest;
    };
    constexpr Case kCases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(Md5HexUpper(c.text), c.digest) << "MD5(\"" << c.text << "\")";
        const auto digest = Md5(c.text);
        EXPECT_EQ(Hex(std::string_view(reinterpret_cast<const char*>(digest.data()), 16)), c.digest)
            << "MD5(\"" << c.text << "\")";
    }
}

// ---- 3. DES block layout --------------------------------------------------------------------

TEST(DesBlockLayout, EncryptBlockOnUnitsEqualsEncryptBytesHighByteFirst) {
    std::mt19937 rng(46);
    for (int i = 0; i < 200; ++i) {
        const TDes des(KeyTextFromBytes(RandomBytes(rng, 8)));
        const std::string plain = RandomBytes(rng, 8);
        EXPECT_EQ(des.EncryptBlock(UnitsOf(plain)), UnitsOf(DesEncrypt8(des, plain)))
            << "plain " << Hex(plain);
        EXPECT_EQ(des.DecryptBlock(UnitsOf(plain)), UnitsOf(DesDecrypt8(des, plain)))
            << "cipher " << Hex(plain);
    }
}

TEST(DesBlockLayout, FipsExampleThroughUnits) {
    const TDes des(KeyTextFromBytes(Bytes("0123456789ABCDEF")));
    // "Now is t": 'N' 'o' make the first unit 0x4E6F.
    const DesBlock plain{0x4E6F, 0x7720, 0x6973, 0x2074};
    const DesBlock cipher{0x3FA4, 0x0E8A, 0x984D, 0x4815};
    EXPECT_EQ(des.EncryptBlock(plain), cipher);
    EXPECT_EQ(des.DecryptBlock(cipher), plain);
}

TEST(DesBlockLayout, DecryptBlockInvertsEncryptBlock) {
    std::mt19937 rng(64);
    std::uniform_int_distribution<int> unit(0, 0xffff);
    for (int i = 0; i < 200; ++i) {
        const TDes des(KeyTextFromBytes(RandomBytes(rng, 8)));
        DesBlock block{};
        for (auto& u : block) u = static_cast<std::uint16_t>(unit(rng));
        const DesBlock enciphered = des.EncryptBlock(block);
        EXPECT_NE(enciphered, block);
        EXPECT_EQ(des.DecryptBlock(enciphered), block);
        EXPECT_EQ(des.EncryptBlock(des.DecryptBlock(block)), block);
    }
}

// ---- 4. key text handling -------------------------------------------------------------------

TEST(TSubKeyTest, KeyBytesArePaddedOrCutLowBytes) {
    struct Case {
        std::u16string text;
        std::u16string padded;
        std::uint64_t bits;
    };
    const Case kCases[] = {
        {u"abcdefgh", u"abcdefgh", 0x6162636465666768},
        {u"abcdefghijklmnop", u"abcdefgh", 0x6162636465666768},
        {u"abc", u"abc?????", 0x6162633F3F3F3F3F},
        {u"", u"????????", 0x3F3F3F3F3F3F3F3F},
        {u"\u5BC6\u94A5", u"\u5BC6\u94A5??????", 0xC6A53F3F3F3F3F3F},
        {u"\u0141\u4E42\u00FF\uFF00ab\u0263xy", u"\u0141\u4E42\u00FF\uFF00ab\u0263x",
         0x4142FF0061626378},
        {u"Hwqt47MxBRaZnu", u"Hwqt47Mx", 0x4877717434374D78},
    };
    for (const auto& c : kCases) {
        const TSubKey key(c.text);
        EXPECT_EQ(key.KeyText(), c.text);
        EXPECT_EQ(key.PaddedKeyText(), c.padded);
        EXPECT_EQ(key.KeyBits(), c.bits) << std::hex << "got " << key.KeyBits();
    }
}

TEST(TSubKeyTest, KeyTextsThatActAlike) {
    struct Case {
        const char* why;
        std::u16string a;
        std::u16string b;
        bool same;
    };
    const Case kCases[] = {
        {"longer texts sharing the first eight", u"abcdefgh1", u"abcdefgh2XYZ", true},
        {"long text and its first eight", u"Hwqt47MxBRaZnu", u"Hwqt47Mx", true},
        {"short text is filled with '?'", u"abc", u"abc?????", true},
        {"empty text is all '?'", u"", u"????????", true},
        {"only the low byte of a unit counts", u"\u0161\u0262c", u"abc", true},
        {"the eighth character counts", u"abcdefgh", u"abcdefgj", false},
        {"the low bit of each key byte is parity", u"abcdefgh", u"`cbedgfi", true},
        {"filling is not with zero", u"abc", std::u16string(u"abc\0\0\0\0\0", 8), false},
        {"filling is not with spaces", u"abc", u"abc     ", false},
        {"case counts", u"ABCDEFGH", u"abcdefgh", false},
    };
    const std::string plain = "\x01\x23\x45\x67\x89\xAB\xCD\xEF";
    for (const auto& c : kCases) {
        const TSubKey ka(c.a);
        const TSubKey kb(c.b);
        const TDes da(c.a);
        const TDes db(c.b);
        if (c.same) {
            EXPECT_EQ(ka.RoundKeys(), kb.RoundKeys()) << c.why;
            EXPECT_EQ(Hex(DesEncrypt8(da, plain)), Hex(DesEncrypt8(db, plain))) << c.why;
        } else {
            EXPECT_NE(ka.RoundKeys(), kb.RoundKeys()) << c.why;
            EXPECT_NE(Hex(DesEncrypt8(da, plain)), Hex(DesEncrypt8(db, plain))) << c.why;
        }
    }
}

// The much-reproduced worked example of the key schedule (key 133457799BBCDFF1).
TEST(TSubKeyTest, RoundKeysOfWorkedExample) {
    const std::u16string text = KeyTextFromBytes(Bytes("133457799BBCDFF1"));
    const TSubKey key(text);
    EXPECT_EQ(key.KeyBits(), 0x133457799BBCDFF1u);
    EXPECT_EQ(key.RoundKeys()[0], 0x1B02EFFC7072u);
    EXPECT_EQ(key.RoundKeys()[15], 0xCB3D8B0E17F5u);
    for (const auto k : key.RoundKeys()) EXPECT_EQ(k >> 48, 0u) << "round keys are 48 bits";
    const TDes des(text);
    EXPECT_EQ(Hex(DesEncrypt8(des, Bytes("0123456789ABCDEF"))), "85E813540F0AB405");
}

TEST(TSubKeyTest, KeyTextFromBytesWidensEachByte) {
    EXPECT_EQ(KeyTextFromBytes(""), u"");
    EXPECT_EQ(KeyTextFromBytes(std::string("a\0\x80\xFF", 4)),
              std::u16string(u"a\u0000\u0080\u00FF", 4));
}

// ---- 5. EncryptStringToHex edge cases -------------------------------------------------------

TEST(EncryptStringToHexTest, EdgeCases) {
    const std::string key40 = "0123456789abcdefghijKLMNOPQRSTUVWXYZ!@#$";
    const std::string p16 = "Sixteen bytes!!!";
    std::string p37 = "thirty-seven bytes of plain text \xB0\xA1\xC4\xE3";
    ASSERT_EQ(p16.size(), 16u);
    ASSERT_EQ(p37.size(), 37u);
    const std::string p300(300, 'q');
    const std::string k16 = key40.substr(0, 16);
    const std::string z = std::string(1, '\0');

    struct Case {
        const char* name;
        std::string plain;
        std::string key;
        bool noHeader;
        int selector;
        const char* header;     // expected leading hex digits
        std::string blockKey;   // key of the expected blocks, empty when none
        std::string blocks;     // bytes the expected blocks encipher
        std::size_t hexDigits;  // total size of the result
    };
    const Case kCases[] = {
        {"empty plain, header", "", key40, false, 0, "0000000000000000", "", "", 16},
        {"empty plain, header, 256-bit", "", key40, false, 2, "0000000000000000", "", "", 16},
        {"empty plain, no header", "", key40, true, 0, "", "", "", 0},
        {"16 bytes, header: one block", p16, key40, false, 0, "1000000000000000", k16, p16,
         16 + 32},
        {"16 bytes, no header: data block and a block of sixteen 0x10", p16, key40, true, 0, "",
         k16, p16 + std::string(16, '\x10'), 64},
        {"37 bytes, header: last block filled with zeros", p37, key40, false, 0, "2500000000000000",
         k16, p37 + std::string(11, '\0'), 16 + 96},
        {"37 bytes, no header: PKCS#7 with eleven 0x0B", p37, key40, true, 0, "", k16,
         p37 + std::string(11, '\x0B'), 96},
        {"1 byte, no header, 192-bit", "x", key40, true, 1, "", key40.substr(0, 24),
         "x" + std::string(15, '\x0F'), 32},
        {"300 bytes, header is little-endian", p300, key40, false, 2, "2C01000000000000",
         key40.substr(0, 32), p300 + std::string(4, '\0'), 16 + 19 * 32},
        {"8-char key, selector 0: 8 zero bytes follow", p16, "8charKey", true, 0, "",
         "8charKey" + std::string(8, '\0'), p16 + std::string(16, '\x10'), 64},
        {"8-char key, selector 2: 24 zero bytes follow", "abc", "8charKey", false, 2,
         "0300000000000000", "8charKey" + std::string(24, '\0'), "abc" + std::string(13, '\0'),
         16 + 32},
        {"empty key is all zero bytes", "abc", "", true, 1, "", std::string(24, '\0'),
         "abc" + std::string(13, '\x0D'), 32},
        {"key with a zero byte inside is kept whole", "abc", "ab" + z + "cd", true, 0, "",
         "ab" + z + "cd" + std::string(11, '\0'), "abc" + std::string(13, '\x0D'), 32},
        {"long key cut to 16", "abc", key40, true, 0, "", key40.substr(0, 16),
         "abc" + std::string(13, '\x0D'), 32},
        {"long key cut to 24", "abc", key40, true, 1, "", key40.substr(0, 24),
         "abc" + std::string(13, '\x0D'), 32},
        {"long key cut to 32", "abc", key40, true, 2, "", key40.substr(0, 32),
         "abc" + std::string(13, '\x0D'), 32},
        {"selector 3, header: header only", "hello", key40, false, 3, "0500000000000000", "", "",
         16},
        {"selector -1, header: header only", "hello", key40, false, -1, "0500000000000000", "", "",
         16},
        {"selector 3, no header: empty", "hello", key40, true, 3, "", "", "", 0},
        {"selector -1, no header: empty", "hello", key40, true, -1, "", "", "", 0},
    };
    for (const auto& c : kCases) {
        const std::string got = EncryptStringToHex(c.plain, c.key, c.noHeader, c.selector);
        std::string expected = c.header;
        if (!c.blockKey.empty()) expected += Hex(EvpAesEcb(c.blockKey, c.blocks, false));
        EXPECT_EQ(got, expected) << c.name;
        EXPECT_EQ(got.size(), c.hexDigits) << c.name;
        EXPECT_TRUE(IsUpperHex(got)) << c.name << ": " << got;
    }
}

TEST(EncryptStringToHexTest, FullPaddingBlockIsAesOfSixteenTens) {
    const std::string key = "padding-key-0123";
    const std::string plain = "ABCDEFGHIJKLMNOP";
    const std::string got = EncryptStringToHex(plain, key, true, kAes128);
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(got.substr(0, 32), Hex(AesBlock(key, plain)));
    EXPECT_EQ(got.substr(32), Hex(AesBlock(key, std::string(16, '\x10'))));
}

TEST(EncryptStringToHexTest, EcbGivesEqualBlocksForEqualPlainBlocks) {
    const std::string x = "same block here!";
    const std::string y = "other block.....";
    const std::string plain = x + y + x;
    for (const bool noHeader : {false, true}) {
        for (const int selector : {0, 1, 2}) {
            const std::string got = EncryptStringToHex(plain, "ecb", noHeader, selector);
            const std::size_t start = noHeader ? 0 : 16;
            ASSERT_EQ(got.size(), start + (noHeader ? 4 : 3) * 32u);
            EXPECT_EQ(got.substr(start, 32), got.substr(start + 64, 32));
            EXPECT_NE(got.substr(start, 32), got.substr(start + 32, 32));
        }
    }
}

TEST(HexUpperTest, TwoUpperCaseDigitsPerByte) {
    struct Case {
        std::string bytes;
        const char* hex;
    };
    const Case kCases[] = {
        {"", ""},
        {std::string(1, '\0'), "00"},
        {"\x0A\xBC\xDE\xF0", "0ABCDEF0"},
        {"\xFF\x7F\x80\x01", "FF7F8001"},
        {"az", "617A"},
    };
    for (const auto& c : kCases) EXPECT_EQ(HexUpper(c.bytes), c.hex) << c.hex;
}

TEST(AesTest, RejectsKeySizesOtherThan16_24_32) {
    for (const std::size_t n : {0u, 8u, 15u, 17u, 20u, 23u, 25u, 31u, 33u, 64u}) {
        const std::vector<std::uint8_t> key(n, 0x11);
        EXPECT_THROW(Aes{std::span<const std::uint8_t>(key)}, std::invalid_argument)
            << n << " bytes";
    }
    for (const std::size_t n : {16u, 24u, 32u}) {
        const std::vector<std::uint8_t> key(n, 0x11);
        EXPECT_NO_THROW(Aes{std::span<const std::uint8_t>(key)}) << n << " bytes";
    }
}

// ---- 6. the framed format -------------------------------------------------------------------

// Plain content as the client's files hold it: ASCII, line ends and GBK double-byte characters.
std::string GbkishText(std::mt19937& rng, std::size_t n) {
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> ascii(0x20, 0x7E);
    std::uniform_int_distribution<int> lead(0x81, 0xFE);
    std::uniform_int_distribution<int> trail(0x40, 0xFE);
    std::string out;
    while (out.size() < n) {
        const int k = kind(rng);
        if (k < 4) {
            out += static_cast<char>(ascii(rng));
        } else if (k == 4) {
            out += "\r\n";
        } else {
            out += static_cast<char>(lead(rng));
            int t = trail(rng);
            if (t == 0x7F) t = 0x80;
            out += static_cast<char>(t);
        }
    }
    out.resize(n);
    return out;
}

TEST(FramedCipherTest, DesConvertEnciphersWholeBlocksAndKeepsTheTail) {
    const auto cipher = FetchCipher("DES-ECB");
    ASSERT_NE(cipher, nullptr) << kNoLegacy;
    const std::string keyBytes = "Hwqt47Mx";
    const TDes des(KeyTextFromBytes(kClientFileKey));
    std::mt19937 rng(8);
    for (const std::size_t n : {0u, 1u, 5u, 7u, 8u, 9u, 12u, 15u, 16u, 17u, 23u, 24u, 31u, 100u}) {
        const std::string plain = GbkishText(rng, n);
        const std::size_t whole = n / 8 * 8;
        const std::string body = DesConvert(des, DesMode::Encrypt, plain);
        ASSERT_EQ(body.size(), n);
        EXPECT_EQ(Hex(body.substr(0, whole)),
                  Hex(EvpEcb(cipher.get(), keyBytes, plain.substr(0, whole), false)))
            << "length " << n;
        EXPECT_EQ(body.substr(whole), plain.substr(whole)) << "length " << n;
        if (whole > 0) {
            EXPECT_NE(body.substr(0, whole), plain.substr(0, whole)) << "length " << n;
        }
        EXPECT_EQ(DesConvert(des, DesMode::Decrypt, body), plain) << "length " << n;
    }
}

TEST(FramedCipherTest, PlainShorterThanEightIsNotEnciphered) {
    for (std::size_t n = 0; n < 8; ++n) {
        const std::string plain = std::string("\xB2\xE2\xCA\xD4xyz", n);
        EXPECT_EQ(EncryptFramedText(plain, kClientFileKey), Md5HexUpper(plain) + plain) << n;
    }
    // One byte more and the first eight are enciphered.
    const std::string nine = "\xB2\xE2\xCA\xD4xyz!?";
    const std::string framed = EncryptFramedText(nine, kClientFileKey);
    ASSERT_EQ(framed.size(), 32u + 9u);
    EXPECT_NE(framed.substr(32, 8), nine.substr(0, 8));
    EXPECT_EQ(framed.substr(40), "?");
}

TEST(FramedCipherTest, FrameBodyIsUpperCaseMd5ThenBody) {
    EXPECT_EQ(FrameBody(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(FrameBody("abc"), "900150983CD24FB0D6963F7D28E17F72abc");
    const std::string binary("\x00\xFF\x10", 3);
    EXPECT_EQ(FrameBody(binary), Hex(EvpMd5(binary)) + binary);
}

TEST(FramedCipherTest, EncryptFramedTextMatchesOpenSslDes) {
    const auto cipher = FetchCipher("DES-ECB");
    ASSERT_NE(cipher, nullptr) << kNoLegacy;
    struct Case {
        const char* keyText;  // UTF-8
        std::string keyBytes;
    };
    const Case kCases[] = {
        {kClientFileKey, "Hwqt47Mx"},
        {"abc", "abc?????"},
        {"", "????????"},
        {"密钥ab", std::string("\xC6\xA5") + "ab????"},
    };
    std::mt19937 rng(14);
    for (const auto& c : kCases) {
        const std::string plain = GbkishText(rng, 45);
        const std::string framed = EncryptFramedText(plain, c.keyText);
        const std::string body =
            EvpEcb(cipher.get(), c.keyBytes, plain.substr(0, 40), false) + plain.substr(40);
        EXPECT_EQ(framed, Hex(EvpMd5(body)) + body) << "key " << c.keyText;
    }
}

TEST(FramedCipherTest, RoundTripOfGbkText) {
    std::mt19937 rng(936);
    std::uniform_int_distribution<std::size_t> length(0, 300);
    const char* const keys[] = {kClientFileKey, "", "abc", "长一点的中文密钥文本"};
    for (int i = 0; i < 200; ++i) {
        const char* key = keys[i % 4];
        const std::string plain = GbkishText(rng, length(rng));
        const std::string framed = EncryptFramedText(plain, key);
        ASSERT_EQ(framed.size(), plain.size() + 32);
        ASSERT_TRUE(IsUpperHex(framed.substr(0, 32)));
        std::string back = "untouched";
        ASSERT_EQ(DecryptFramedText(framed, key, back), kCipherOk) << "key " << key;
        ASSERT_EQ(back, plain) << "key " << key << " length " << plain.size();
    }
}

TEST(FramedCipherTest, ChecksumOfEmptyBodyDecryptsToEmpty) {
    std::string plain = "untouched";
    EXPECT_EQ(DecryptFramedText("D41D8CD98F00B204E9800998ECF8427E", kClientFileKey, plain),
              kCipherOk);
    EXPECT_EQ(plain, "");
}

TEST(FramedCipherTest, BadFramesGiveChecksumCode) {
    std::mt19937 rng(2);
    const std::string plain = GbkishText(rng, 29);
    const std::string good = EncryptFramedText(plain, kClientFileKey);
    ASSERT_EQ(good.size(), 61u);
    auto withByte = [&](std::size_t pos, char xorMask) {
        std::string s = good;
        s[pos] = static_cast<char>(s[pos] ^ xorMask);
        return s;
    };
    std::string lower = good;
    for (std::size_t i = 0; i < 32; ++i) {
        if (lower[i] >= 'A' && lower[i] <= 'F') lower[i] = static_cast<char>(lower[i] - 'A' + 'a');
    }
    ASSERT_NE(lower, good) << "the checksum should hold a letter";

    struct Case {
        const char* name;
        std::string framed;
    };
    const Case kCases[] = {
        {"lower-case checksum", lower},
        {"first body byte changed", withByte(32, 0x01)},
        {"body byte in a block changed", withByte(45, 0x40)},
        {"tail byte changed", withByte(60, 0x02)},
        {"checksum digit changed", (good[0] == '0' ? "1" : "0") + good.substr(1)},
        {"body byte missing", good.substr(0, 60)},
        {"byte added", good + "x"},
        {"checksum of another body", FrameBody("other body").substr(0, 32) + good.substr(32)},
        {"empty text", ""},
        {"shorter than 32", good.substr(0, 31)},
        {"part of the empty checksum", "D41D8CD98F"},
        {"empty checksum in lower case", "d41d8cd98f00b204e9800998ecf8427e"},
    };
    for (const auto& c : kCases) {
        std::string out = "untouched";
        EXPECT_EQ(DecryptFramedText(c.framed, kClientFileKey, out), kDecryptChecksum) << c.name;
        EXPECT_EQ(out, "untouched") << c.name;
    }
    std::string out;
    EXPECT_EQ(DecryptFramedText(good, kClientFileKey, out), kCipherOk);
    EXPECT_EQ(out, plain);
}

// The checksum covers the body, so another key passes the check and gives other content.
TEST(FramedCipherTest, WrongKeyPassesChecksumButGivesOtherPlain) {
    const std::string plain = "content of sixteen+3";
    const std::string framed = EncryptFramedText(plain, kClientFileKey);
    std::string out;
    ASSERT_EQ(DecryptFramedText(framed, "Hwqt47Mz", out), kCipherOk);
    EXPECT_NE(out.substr(0, 16), plain.substr(0, 16));
    EXPECT_EQ(out.substr(16), plain.substr(16));
    ASSERT_EQ(DecryptFramedText(framed, "Hwqt47MxANYTHING", out), kCipherOk);
    EXPECT_EQ(out, plain) << "only the first eight key characters count";
}

TEST(FramedCipherTest, ErrorTextOfEveryCode) {
    struct Case {
        int code;
        const char* text;
    };
    constexpr Case kCases[] = {
        {kDecryptNoSource, "没有传入解密源文件数据。"},
        {kDecryptChecksum, "解密源文件时校验码检查不一致。"},
        {kDecryptFailed, "解密源文件时失败。"},
        {kDecryptEmptyOutput, "解密源文件时失败，解密输出数据为空。"},
        {kDecryptError, "解密源文件时出现错误。"},
        {kDecryptException, ""},
        {kDecryptUnexpected, "解密源文件失败。"},
        {kEncryptNoSource, "没有传入加密源文件数据。"},
        {kEncryptFailed, "加密源文件时失败。"},
        {kEncryptEmptyOutput, "加密源文件时失败，加密输出数据为空。"},
        {kEncryptReadBack, "加密源文件时失败，加密输出数据读取错误。"},
        {kEncryptException, "加密源文件时出现错误。"},
        {kEncryptUnexpected, "加密源文件过程中出现错误。"},
        {kCipherOk, ""},
        {7, ""},
        {10, ""},
        {16, ""},
        {-2, ""},
    };
    for (const auto& c : kCases) EXPECT_EQ(CipherErrorText(c.code), c.text) << "code " << c.code;
    // The enumerators carry the numbers of the table.
    constexpr std::array<std::pair<int, int>, 14> kNumbers = {{
        {kCipherOk, 0}, {kDecryptNoSource, 1}, {kDecryptChecksum, 2}, {kDecryptFailed, 3},
        {kDecryptEmptyOutput, 4}, {kDecryptError, 5}, {kDecryptException, 6},
        {kDecryptUnexpected, -1}, {kEncryptNoSource, 11}, {kEncryptFailed, 12},
        {kEncryptEmptyOutput, 13}, {kEncryptReadBack, 14}, {kEncryptException, 15},
        {kEncryptUnexpected, -11},
    }};
    for (const auto& [value, number] : kNumbers) EXPECT_EQ(value, number);
}

}  // namespace
}  // namespace nelto
