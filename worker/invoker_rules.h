#pragma once
// Small rules of the invoker that need no platform. Portable: no windows.h.

#include <string>
#include <string_view>

namespace nelto {

// Whether the installed client version satisfies the required one. A leading "v"/"V" is ignored,
// parts are compared as decimal numbers (a part that is not a number counts as 0), so
// "V3.0.027" satisfies "v3.0.27" and "3.0.9" does not satisfy "V3.0.014".
// An empty required version asks for nothing (true); an empty installed version satisfies no
// requirement (false).
[[nodiscard]] bool VersionAtLeast(std::string_view installed, std::string_view required);

// "yyyymm" of the calendar month before (year, month): January gives December of the year before.
std::string PreviousMonthText(int year, int month);

// The text between the first "<VERSION>" and the first "</VERSION>" after it; empty when either
// is missing.
std::string VersionTagOf(std::string_view plain);

// The text of the refresh message sent to a running client.
inline constexpr char kRefreshMessageText[] =
    "FilterList=93101-01-00-00-00,93101-02-01-00-00,93101-02-01-01-00,93103-02-00-00-00,93;MsgId=3329";
inline constexpr unsigned kRefreshMessageId = 3330;

}  // namespace nelto
