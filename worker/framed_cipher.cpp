#include "worker/framed_cipher.h"

#include <exception>

#include "common/utf.h"
#include "worker/md5.h"

namespace nelto {

std::string DesConvert(const TDes& des, DesMode mode, std::string_view in) {
    std::string out;
    out.reserve(in.size());
    std::size_t pos = 0;
    for (; pos + 8 <= in.size(); pos += 8) {
        std::uint8_t block[8];
        std::uint8_t result[8];
        for (int i = 0; i < 8; ++i) block[i] = static_cast<std::uint8_t>(in[pos + i]);
        if (mode == DesMode::Encrypt) {
            des.EncryptBytes(block, result);
        } else {
            des.DecryptBytes(block, result);
        }
        out.append(reinterpret_cast<const char*>(result), 8);
    }
    out.append(in.substr(pos));
    return out;
}

std::string FrameBody(std::string_view body) {
    std::string framed = Md5HexUpper(body);
    framed.append(body);
    return framed;
}

std::string EncryptFramedText(std::string_view plain, std::string_view keyText) {
    const TDes des(Utf8ToUtf16(keyText));
    return FrameBody(DesConvert(des, DesMode::Encrypt, plain));
}

int DecryptFramedText(std::string_view framed, std::string_view keyText, std::string& plain) {
    try {
        const std::string_view checksum = framed.substr(0, 32);
        const std::string_view body = framed.size() > 32 ? framed.substr(32) : std::string_view{};
        if (Md5HexUpper(body) != checksum) return kDecryptChecksum;
        std::string out;
        try {
            const TDes des(Utf8ToUtf16(keyText));
            out = DesConvert(des, DesMode::Decrypt, body);
        } catch (const std::exception&) {
            return kDecryptException;
        }
        plain = std::move(out);
        return kCipherOk;
    } catch (...) {
        return kDecryptUnexpected;
    }
}

std::string CipherErrorText(int code) {
    switch (code) {
        case kDecryptNoSource: return "没有传入解密源文件数据。";
        case kDecryptChecksum: return "解密源文件时校验码检查不一致。";
        case kDecryptFailed: return "解密源文件时失败。";
        case kDecryptEmptyOutput: return "解密源文件时失败，解密输出数据为空。";
        case kDecryptError: return "解密源文件时出现错误。";
        case kDecryptUnexpected: return "解密源文件失败。";
        case kEncryptNoSource: return "没有传入加密源文件数据。";
        case kEncryptFailed: return "加密源文件时失败。";
        case kEncryptEmptyOutput: return "加密源文件时失败，加密输出数据为空。";
        case kEncryptReadBack: return "加密源文件时失败，加密输出数据读取错误。";
        case kEncryptException: return "加密源文件时出现错误。";
        case kEncryptUnexpected: return "加密源文件过程中出现错误。";
        default: return "";
    }
}

}  // namespace nelto
