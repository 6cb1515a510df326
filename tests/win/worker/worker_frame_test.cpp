// The worker program as the plug-in starts it: a service folder S holding Httpd.Nelto.exe and the
// exchange files.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/exchange.h"
#include "common/win/fs.h"
#include "common/win/unicode.h"
#include "tests/win/test_util.h"

namespace nelto::test {
namespace {

class WorkerFrame : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CopyFileW(Widen(ProgramFolder() + "Httpd.Nelto.exe").c_str(), Widen(S() + "Httpd.Nelto.exe").c_str(),
                              FALSE));
    }
    const std::string& S() const { return folder.path(); }

    // Runs the worker with the argument text; returns its exit code.
    unsigned long Run(const std::string& argument, const char* watchdogMs = nullptr) {
        SetEnvironmentVariableW(L"NELTO_TEST_WATCHDOG_MS", watchdogMs ? Widen(watchdogMs).c_str() : nullptr);
        const auto result = RunProcess("\"" + S() + "Httpd.Nelto.exe\"" + (argument.empty() ? "" : " " + argument), S());
        SetEnvironmentVariableW(L"NELTO_TEST_WATCHDOG_MS", nullptr);
        return result.exitCode;
    }

    // The worker's log, as UTF-8.
    std::string LogText() const {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(Widen(S() + "log\\Httpd.Nelto_*.log").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return {};
        FindClose(find);
        return FromAnsi(ReadBytes(S() + "log\\" + Narrow(data.cFileName)));
    }

    std::string Ini(const std::string& section, const std::string& key) const {
        wchar_t value[1024] = {};
        GetPrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(), L"", value, 1024,
                                 Widen(S() + "NeltoParam.ini").c_str());
        return Narrow(value);
    }

    ScratchFolder folder;
};

TEST_F(WorkerFrame, WithoutArgumentLooksForService999AndEndsWithMinusOne) {
    EXPECT_EQ(Run(""), 0xFFFFFFFFu);
    EXPECT_NE(LogText().find("未找到代扣代缴服务[sid:999],请检查"), std::string::npos) << LogText();
    for (const char* argument : {"abc", "9x", "18"}) {
        EXPECT_EQ(Run(argument), 0xFFFFFFFFu) << argument;
    }
    EXPECT_NE(LogText().find("未找到代扣代缴服务[sid:18],请检查"), std::string::npos);
}

TEST_F(WorkerFrame, LeadingZeroRunsTheServiceButReadsItsOwnSection) {
    WriteRequestFiles(S(), "09", R"({"rezaPath":{"path":"C:\\no such client\\","nsrsbh":"X"}})");
    EXPECT_EQ(Run("09"), 0xFFFFFFFFu);
    const std::string log = LogText();
    EXPECT_NE(log.find("执行相关的代扣代缴服务:[sid:9]"), std::string::npos) << log;
    EXPECT_NE(log.find("LogEnter[TNeltoGetCompanyInfos.DoREZAEvent]"), std::string::npos);
    EXPECT_NE(log.find("LogLeave[TNeltoGetCompanyInfos.DoREZAEvent]"), std::string::npos);
    EXPECT_EQ(Ini("09", "Return"), "-1");
    const std::string response = Ini("09", "outParam");
    ASSERT_FALSE(response.empty());
    EXPECT_EQ(ParseJsonObject(ReadBytes(response)).value_or(Json())["messageCode"], "10009901");
    EXPECT_EQ(Ini("9", "outParam"), "");
}

TEST_F(WorkerFrame, NothingIsWrittenWithoutARequest) {
    struct Case { const char* name; void (*prepare)(const std::string& s); const char* logLine; };
    const Case cases[] = {
        {"no InParam", [](const std::string&) {}, nullptr},
        {"request file missing",
         [](const std::string& s) {
             WritePrivateProfileStringW(L"9", L"InParam", Widen(s + "Temp\\gone\\Request.json").c_str(),
                                        Widen(s + "NeltoParam.ini").c_str());
         },
         nullptr},
        {"request path names a folder",
         [](const std::string& s) {
             ASSERT_TRUE(ForceDirectories(s + "Temp\\x\\Request.json"));
             WritePrivateProfileStringW(L"9", L"InParam", Widen(s + "Temp\\x\\Request.json").c_str(),
                                        Widen(s + "NeltoParam.ini").c_str());
         },
         nullptr},
        {"request not JSON",
         [](const std::string& s) {
             ASSERT_TRUE(ForceDirectories(s + "Temp\\y"));
             WriteBytes(s + "Temp\\y\\Request.json", "not json\r\n");
             WritePrivateProfileStringW(L"9", L"InParam", Widen(s + "Temp\\y\\Request.json").c_str(),
                                        Widen(s + "NeltoParam.ini").c_str());
         },
         "[TNeltoGetCompanyInfos.DoREZAEvent]:运行过程出现异常"},
        {"step of a later part",
         [](const std::string& s) { WriteRequestFiles(s, "9", R"({"rezaPath":{"path":""}})"); },
         "[TNeltoGetCompanyInfos.DoREZAEvent]:运行过程出现异常"},
    };
    for (const Case& c : cases) {
        ScratchFolder local;
        ASSERT_TRUE(CopyFileW(Widen(S() + "Httpd.Nelto.exe").c_str(), Widen(local / "Httpd.Nelto.exe").c_str(), FALSE));
        c.prepare(local.path());
        const auto result = RunProcess("\"" + local.path() + "Httpd.Nelto.exe\" 9", local.path());
        EXPECT_EQ(result.exitCode, 0xFFFFFFFFu) << c.name;
        wchar_t value[1024] = {};
        GetPrivateProfileStringW(L"9", L"outParam", L"", value, 1024, Widen(local / "NeltoParam.ini").c_str());
        EXPECT_STREQ(value, L"") << c.name;
        if (c.logLine) {
            WIN32_FIND_DATAW data;
            HANDLE find = FindFirstFileW(Widen(local / "log\\Httpd.Nelto_*.log").c_str(), &data);
            ASSERT_NE(find, INVALID_HANDLE_VALUE);
            FindClose(find);
            const std::string log = FromAnsi(ReadBytes(local / ("log\\" + Narrow(data.cFileName))));
            EXPECT_NE(log.find(c.logLine), std::string::npos) << c.name << "\n" << log;
        }
    }
}

TEST_F(WorkerFrame, UnreadableRequestIsReportedByTheDispatcher) {
    ASSERT_TRUE(ForceDirectories(S() + "Temp\\x"));
    WriteBytes(S() + "Temp\\x\\Request.json", "{}\r\n");
    WritePrivateProfileStringW(L"2", L"InParam", Widen(S() + "Temp\\x\\Request.json").c_str(),
                               Widen(S() + "NeltoParam.ini").c_str());
    {
        // Another program holds the file without sharing it.
        HANDLE held = CreateFileW(Widen(S() + "Temp\\x\\Request.json").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        Run("2");
        CloseHandle(held);
    }
    EXPECT_NE(LogText().find("执行相关的代扣代缴服务[sid:2] className:TNeltoGetPersonInfos,出现异常err:"), std::string::npos)
        << LogText();
    EXPECT_EQ(Ini("2", "outParam"), "");
}

TEST_F(WorkerFrame, WatchdogEndsAServiceThatPumpsTooLong) {
    const std::string client = S() + "client\\";
    InstallStandInClient(client, R"({"scenario": {"initREZARunEnvironment": {"pumpMs": 8000}}})");
    WriteRequestFiles(S(), "9", Json{{"rezaPath", {{"path", client}}}}.dump());
    const DWORD t0 = GetTickCount();
    EXPECT_EQ(Run("9", "1000"), 0xFFFFFFFFu);
    EXPECT_LT(GetTickCount() - t0, 6000u) << "the watchdog did not end the service";
    EXPECT_EQ(Ini("9", "outParam"), "");
    EXPECT_EQ(LogText().find("LogLeave[TNeltoGetCompanyInfos.DoREZAEvent]"), std::string::npos);
}

TEST_F(WorkerFrame, WatchdogDoesNotFireWhileTheServiceBlocksWithoutPumping) {
    const std::string client = S() + "client\\";
    InstallStandInClient(client, R"({"scenario": {"initREZARunEnvironment": {"blockMs": 2500}}})");
    WriteRequestFiles(S(), "9", Json{{"rezaPath", {{"path", client}}}}.dump());
    EXPECT_EQ(Run("9", "500"), 0xFFFFFFFFu);
    const std::string response = Ini("9", "outParam");
    ASSERT_FALSE(response.empty()) << LogText();
    EXPECT_EQ(ParseJsonObject(ReadBytes(response)).value_or(Json())["messageCode"], "00000000");
    EXPECT_EQ(Ini("9", "Return"), "0");
}

}  // namespace
}  // namespace nelto::test
