#include "common/win/unicode.h"

#include <windows.h>

namespace nelto {
namespace {

std::wstring ToWide(UINT codePage, std::string_view text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string FromWide(UINT codePage, std::wstring_view wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr,
                        nullptr);
    return text;
}

}  // namespace

std::wstring Widen(std::string_view utf8) { return ToWide(CP_UTF8, utf8); }
std::string Narrow(std::wstring_view wide) { return FromWide(CP_UTF8, wide); }
std::string ToAnsi(std::string_view utf8) { return FromWide(CP_ACP, Widen(utf8)); }
std::string WideToAnsi(std::wstring_view wide) { return FromWide(CP_ACP, wide); }
std::string FromAnsi(std::string_view ansi) { return Narrow(ToWide(CP_ACP, ansi)); }
std::wstring AnsiToWide(std::string_view ansi) { return ToWide(CP_ACP, ansi); }

}  // namespace nelto
