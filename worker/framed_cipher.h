#pragma once
// The client's checksum-framed DES format, in memory: 32 upper-case hexadecimal MD5 digits of the
// body, then the body. The body is the plain content with every complete 8-byte block enciphered
// with DES-ECB and a trailing 1..7 bytes kept as they are. Portable: no windows.h.

#include <string>
#include <string_view>

#include "worker/des.h"

namespace nelto {

// The one key of the client's enciphered files.
inline constexpr char kClientFileKey[] = "Hwqt47MxBRaZnu";

enum class DesMode { Decrypt = 0, Encrypt = 1 };

// Result codes of the file cipher.
enum CipherCode : int {
    kCipherOk = 0,
    kDecryptNoSource = 1,
    kDecryptChecksum = 2,
    kDecryptFailed = 3,
    kDecryptEmptyOutput = 4,
    kDecryptError = 5,
    kDecryptException = 6,
    kDecryptUnexpected = -1,
    kEncryptNoSource = 11,
    kEncryptFailed = 12,
    kEncryptEmptyOutput = 13,
    kEncryptReadBack = 14,
    kEncryptException = 15,
    kEncryptUnexpected = -11,
};

// The stream conversion of a job: whole blocks through the engine, a 1..7-byte tail unchanged.
std::string DesConvert(const TDes& des, DesMode mode, std::string_view in);

// Checksum followed by body.
std::string FrameBody(std::string_view body);

// Enciphers plain into a framed text with the key text (UTF-8).
std::string EncryptFramedText(std::string_view plain, std::string_view keyText);

// Checks and deciphers a framed text. Codes: 0, 2 (checksum differs, also for a lower-case
// checksum), 3, 6, -1. plain is set only on 0.
[[nodiscard]] int DecryptFramedText(std::string_view framed, std::string_view keyText,
                                    std::string& plain);

// The message of a result code (UTF-8), empty for codes without one.
std::string CipherErrorText(int code);

}  // namespace nelto
