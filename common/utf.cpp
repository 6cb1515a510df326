#include "common/utf.h"

#include <cstdint>

namespace nelto {

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b0 = static_cast<std::uint8_t>(utf8[i]);
        std::uint32_t cp = 0xfffd;
        std::size_t len = 1;
        if (b0 < 0x80) {
            cp = b0;
        } else {
            std::size_t need = 0;
            std::uint32_t min = 0;
            if ((b0 & 0xe0) == 0xc0) { need = 1; cp = b0 & 0x1f; min = 0x80; }
            else if ((b0 & 0xf0) == 0xe0) { need = 2; cp = b0 & 0x0f; min = 0x800; }
            else if ((b0 & 0xf8) == 0xf0) { need = 3; cp = b0 & 0x07; min = 0x10000; }
            bool ok = need > 0;
            for (std::size_t k = 1; ok && k <= need; ++k) {
                if (i + k >= utf8.size()) { ok = false; break; }
                const auto b = static_cast<std::uint8_t>(utf8[i + k]);
                if ((b & 0xc0) != 0x80) { ok = false; break; }
                cp = (cp << 6) | (b & 0x3f);
            }
            if (ok && cp >= min && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff)) {
                len = need + 1;
            } else {
                cp = 0xfffd;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xd800 + (cp >> 10));
            out += static_cast<char16_t>(0xdc00 + (cp & 0x3ff));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        std::uint32_t cp = utf16[i];
        if (cp >= 0xd800 && cp <= 0xdbff && i + 1 < utf16.size() && utf16[i + 1] >= 0xdc00 &&
            utf16[i + 1] <= 0xdfff) {
            cp = 0x10000 + ((cp - 0xd800) << 10) + (utf16[i + 1] - 0xdc00);
            ++i;
        } else if (cp >= 0xd800 && cp <= 0xdfff) {
            cp = 0xfffd;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    return out;
}

}  // namespace nelto
