#include "common/daemon_log_format.h"

#include <cstdio>

namespace nelto {

std::string LogFileNameFor(std::string_view exeFolder, std::string_view exeStem, int year, int month) {
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%04d%02d", year, month);
    std::string name(exeFolder);
    name += "log\\";
    name += exeStem;
    name += '_';
    name += stamp;
    name += ".log";
    return name;
}

std::string FormatLogLine(const LogTime& t, std::string_view message) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, t.millisecond);
    std::string line = "【";
    line += stamp;
    line += "】";
    line += message;
    line += "\r\n";
    return line;
}

void MonthsBefore(int& year, int& month, int k) {
    int index = year * 12 + (month - 1) - k;
    year = index / 12;
    month = index % 12 + 1;
}

}  // namespace nelto
