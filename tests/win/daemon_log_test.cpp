#include "common/daemon_log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/win/fs.h"
#include "common/win/unicode.h"
#include "tests/win/test_util.h"

namespace nelto {
namespace {

using test::ReadBytes;
using test::ScratchFolder;
using test::WriteBytes;

struct FakeClock {
    LogTime now{2026, 12, 11, 8, 9, 10, 11};
    TDaemonLog::Clock fn() {
        return [this] { return now; };
    }
};

TEST(DaemonLog, FileNameIsMonthlyBesideTheExecutable) {
    ScratchFolder dir;
    FakeClock clock;
    TDaemonLog log(dir / "Httpd.Nelto.exe", clock.fn());
    EXPECT_EQ(log.GetLogFileName(), dir / "log\\Httpd.Nelto_202612.log");
    clock.now.month = 1;
    clock.now.year = 2027;
    EXPECT_EQ(log.GetLogFileName(), dir / "log\\Httpd.Nelto_202701.log");
}

TEST(DaemonLog, LineIsStampedInFullWidthBracketsAndStoredAsGbk) {
    ScratchFolder dir;
    FakeClock clock;
    TDaemonLog log(dir / "Httpd.exe", clock.fn());
    log.writeDebugLog("中文 text");
    log.writeLogFmt("执行相关的代扣代缴服务:[sid:%d] %s", 9, "类");
    // 【 A1BE, 】 A1BF, 中 D6D0, 文 CEC4 in GBK.
    const std::string expected =
        "\xA1\xBE" "2026-12-11 08:09:10.011" "\xA1\xBF" "\xD6\xD0\xCE\xC4 text\r\n" +
        ToAnsi("【2026-12-11 08:09:10.011】执行相关的代扣代缴服务:[sid:9] 类\r\n");
    EXPECT_EQ(ReadBytes(dir / "log\\Httpd_202612.log"), expected);
    EXPECT_EQ(log.LastLog(), "【2026-12-11 08:09:10.011】执行相关的代扣代缴服务:[sid:9] 类\r\n");
}

TEST(DaemonLog, CharacterOutsideTheCodePageIsReplacedNotDropped) {
    ScratchFolder dir;
    FakeClock clock;
    TDaemonLog log(dir / "Httpd.exe", clock.fn());
    log.writeDebugLog("a\xF0\x9F\x98\x80z 结束");  // U+1F600 has no GBK form
    const std::string bytes = ReadBytes(dir / "log\\Httpd_202612.log");
    EXPECT_NE(bytes.find("a?"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("z \xBD\xE1\xCA\xF8\r\n"), std::string::npos) << bytes;  // 结束
}

TEST(DaemonLog, FileIsDroppedAtTheLineAfterItPassesTheLimit) {
    ScratchFolder dir;
    FakeClock clock;
    TDaemonLog log(dir / "Httpd.exe", clock.fn());
    const std::string file = dir / "log\\Httpd_202612.log";
    const std::string message(100, 'x');  // 27 + 100 + 2 = 129 bytes a line
    std::uint64_t size = 0;
    int lines = 0;
    while (size <= 10240) {
        log.CleanOldLogs();
        log.writeDebugLog(message);
        size = *FileSize(file);
        ++lines;
    }
    // The line that crossed the limit stays.
    EXPECT_EQ(size, 129u * lines);
    EXPECT_GT(size, 10240u);
    log.CleanOldLogs();
    log.writeDebugLog("next");
    EXPECT_EQ(*FileSize(file), 27u + 4 + 2);
}

TEST(DaemonLog, CleanUpRemovesExactlyTheThreePreviousMonths) {
    ScratchFolder dir;
    FakeClock clock;
    clock.now = LogTime{2026, 2, 1, 0, 0, 0, 0};
    ASSERT_TRUE(ForceDirectories(dir / "log"));
    const char* kept[] = {"Httpd_202510.log", "Httpd_202509.log", "Other_202601.log"};
    const char* dropped[] = {"Httpd_202601.log", "Httpd_202512.log", "Httpd_202511.log"};
    for (const char* name : kept) WriteBytes(dir / "log\\" + name, "old");
    for (const char* name : dropped) WriteBytes(dir / "log\\" + name, "old");
    TDaemonLog log(dir / "Httpd.exe", clock.fn());
    log.CleanOldLogs();
    for (const char* name : kept) EXPECT_TRUE(FileExists(dir / "log\\" + name)) << name;
    for (const char* name : dropped) EXPECT_FALSE(FileExists(dir / "log\\" + name)) << name;
}

TEST(DaemonLog, FolderThatCannotBeCreatedLosesTheLineQuietly) {
    ScratchFolder dir;
    FakeClock clock;
    WriteBytes(dir / "log", "a file where the folder should be");
    TDaemonLog log(dir / "Httpd.exe", clock.fn());
    log.CleanOldLogs();
    log.writeDebugLog("lost");
    EXPECT_FALSE(FileExists(dir / "log\\Httpd_202612.log"));
    EXPECT_EQ(ReadBytes(dir / "log"), "a file where the folder should be");
}

TEST(DaemonLog, ProcessLogGoesBesideTheRunningProgram) {
    DaemonLog().writeDebugLog("process log line");
    const std::string expected = ExtractFilePath(ModuleFileName(nullptr)) + "log\\" +
                                 ChangeFileExt(ExtractFileName(ModuleFileName(nullptr)), "") + "_";
    const std::string name = DaemonLog().GetLogFileName();
    EXPECT_EQ(name.substr(0, expected.size()), expected);
    EXPECT_NE(ReadBytes(name).find("process log line\r\n"), std::string::npos);
}

TEST(DaemonLog, DebugSwitchFollowsKvConfig) {
    const std::string config = KvConfigFileName();
    EXPECT_EQ(config, SystemDriveRoot() + "Tarvesk\\Common\\KvConfig.ini");
    const std::string saved = FileExists(config) ? ReadBytes(config) : std::string();
    const bool existed = FileExists(config);

    struct Case {
        const char* content;  // nullptr: no file
        bool expected;
    };
    const Case cases[] = {
        {nullptr, false},
        {"[system]\r\ndebugswitch=1\r\n", true},
        {"[system]\r\ndebugswitch=0\r\n", false},
        {"[system]\r\ndebugswitch=yes\r\n", false},
        {"[other]\r\ndebugswitch=1\r\n", false},
    };
    for (const Case& c : cases) {
        (void)DeleteFileUtf8(config);
        RemoveDirectoryW(Widen(ExtractFilePath(config)).c_str());
        if (c.content) {
            ASSERT_TRUE(ForceDirectories(ExtractFilePath(config)));
            WriteBytes(config, c.content);
        }
        DaemonLogModuleInit();
        EXPECT_EQ(DebugSwitch(), c.expected) << (c.content ? c.content : "(no file)");
        // The folder of the configuration file is created at every load.
        EXPECT_TRUE(DirectoryExists(ExtractFilePath(config)));
    }
    (void)DeleteFileUtf8(config);
    if (existed) WriteBytes(config, saved);
    DaemonLogModuleInit();
}

}  // namespace
}  // namespace nelto
