#pragma once
// Conversions at the Windows edge: UTF-8 inside, UTF-16 at W-APIs, the ANSI code page only for
// the files the system keeps in it (INI, logs, exchange files).

#include <string>
#include <string_view>

namespace nelto {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// To the system ANSI code page; characters it cannot represent become its default character.
std::string ToAnsi(std::string_view utf8);
std::string WideToAnsi(std::wstring_view wide);
// From the system ANSI code page.
std::string FromAnsi(std::string_view ansi);
std::wstring AnsiToWide(std::string_view ansi);

}  // namespace nelto
