#include <windows.h>

#include <gtest/gtest.h>

#include "common/win/unicode.h"

// The users' systems run with the Chinese ANSI code page; every ANSI file of the system depends on it.
TEST(Environment, AnsiCodePageIsGbk) {
    EXPECT_EQ(GetACP(), 936u);
    EXPECT_EQ(nelto::ToAnsi("中文"), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(nelto::FromAnsi("\xD6\xD0\xCE\xC4"), "中文");
}
