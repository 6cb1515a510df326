#include "common/daemon_log_format.h"

#include <gtest/gtest.h>

namespace nelto {
namespace {

TEST(LogFormat, FileNameAndLine) {
    EXPECT_EQ(LogFileNameFor("C:\\Tarvesk\\Httpd\\", "Httpd", 2026, 3), "C:\\Tarvesk\\Httpd\\log\\Httpd_202603.log");
    EXPECT_EQ(FormatLogLine(LogTime{2026, 1, 2, 3, 4, 5, 6}, "消息"), "【2026-01-02 03:04:05.006】消息\r\n");
}

TEST(LogFormat, MonthsBeforeCrossYears) {
    struct Case { int year, month, k, wantYear, wantMonth; };
    const Case cases[] = {
        {2026, 12, 1, 2026, 11}, {2026, 1, 1, 2025, 12}, {2026, 3, 3, 2025, 12}, {2026, 2, 3, 2025, 11},
    };
    for (const Case& c : cases) {
        int year = c.year, month = c.month;
        MonthsBefore(year, month, c.k);
        EXPECT_EQ(year, c.wantYear);
        EXPECT_EQ(month, c.wantMonth);
    }
}

}  // namespace
}  // namespace nelto
