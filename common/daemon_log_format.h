#pragma once
// The text side of the daemon log: file names and line layout. Portable: no windows.h.

#include <string>
#include <string_view>

namespace nelto {

struct LogTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// folder (with trailing backslash) + "log\" + stem + "_" + YYYYMM + ".log"
std::string LogFileNameFor(std::string_view exeFolder, std::string_view exeStem, int year, int month);

// "【yyyy-mm-dd hh:nn:ss.zzz】" + message + CR LF, UTF-8.
std::string FormatLogLine(const LogTime& time, std::string_view message);

// The year and month k months before (year, month).
void MonthsBefore(int& year, int& month, int k);

// Limit above which the current file is dropped before the next line.
inline constexpr long long kLogFileLimit = 10240;

}  // namespace nelto
