#pragma once
// UTF-8 <-> UTF-16 without the platform. Invalid input is replaced by U+FFFD, never dropped.

#include <string>
#include <string_view>

namespace nelto {

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace nelto
