#include "worker/invoker.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "tests/win/test_util.h"
#include "worker/invoker_rules.h"

namespace nelto {
namespace {

TEST(Invoker, EnvelopeHasExactlyCodeAndDataAndTheLastRecordWins) {
    Json request = Json::object();
    TDKDJInvoker invoker(request);
    EXPECT_EQ(invoker.Envelope(), (Json{{"messageCode", ""}, {"data", Json::object()}}));
    invoker.SetResultMessage("10009901", "未找到");
    const Json data = {{"companyList", Json::array()}};
    invoker.SetResultData("00000000", &data);
    EXPECT_EQ(invoker.Envelope(), (Json{{"messageCode", "00000000"}, {"data", data}}));
    invoker.SetResultMessage("10009905", "调用失败");
    EXPECT_EQ(invoker.Envelope(), (Json{{"messageCode", "10009905"}, {"data", {{"text", "调用失败"}}}}));
    invoker.SetResultData("00000000", nullptr);
    EXPECT_EQ(invoker.Envelope(), (Json{{"messageCode", "00000000"}, {"data", Json::object()}}));
}

TEST(Invoker, UnregisteredCompanyCodeDependsOnDeviceMode) {
    Json request = {{"rezaPath", {{"path", "C:\\x\\"}}}};
    TDKDJInvoker invoker(request);
    invoker.SetResultMessage("10000201", "未注册");
    EXPECT_EQ(invoker.Envelope()["messageCode"], "10000202");
    invoker.DeviceMode = true;
    invoker.SetResultMessage("10000201", "未注册");
    EXPECT_EQ(invoker.Envelope()["messageCode"], "10000201");
    // In device mode a data result also tells which folder and taxpayer answered.
    invoker.ClientFolder = "D:\\KvPortal\\";
    invoker.TaxId = "9133";
    const Json data = {{"a", 1}, {"rezaPath", "old"}};
    invoker.SetResultData("00000000", &data);
    EXPECT_EQ(invoker.Envelope()["data"],
              (Json{{"a", 1}, {"rezaPath", {{"path", "D:\\KvPortal\\"}, {"nsrsbh", "9133"}}}}));
}

TEST(Invoker, MissingMonthDefaultsToThePreviousOne) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    Json without = Json::object();
    TDKDJInvoker a(without);
    EXPECT_EQ(without["sdyf"], PreviousMonthText(now.wYear, now.wMonth));
    Json with = {{"sdyf", "202401"}};
    TDKDJInvoker b(with);
    EXPECT_EQ(with["sdyf"], "202401");
    EXPECT_TRUE(FileExists(test::ProgramFolder() + "UserConfig.ini"));
}

TEST(Invoker, VersionComesFromTheFramedComponentList) {
    test::ScratchFolder dir;
    const std::string client = dir / "client\\";
    test::InstallStandInClient(client, R"({"version": "V3.1.005"})");
    Json request = Json::object();
    TDKDJInvoker invoker(request);
    invoker.ClientFolder = client;
    EXPECT_EQ(invoker.GetREZAVersion(), "V3.1.005");
    EXPECT_TRUE(TDKDJInvoker::IsClientFolder(client));
    test::WriteBytes(client + "AppComs\\Main\\RODUDAppComs.app", "0123456789ABCDEF0123456789ABCDEFgarbage");
    EXPECT_EQ(invoker.GetREZAVersion(), "");
    invoker.ClientFolder = dir / "none\\";
    EXPECT_EQ(invoker.GetREZAVersion(), "");
    EXPECT_FALSE(TDKDJInvoker::IsClientFolder(dir / "none\\"));
}

TEST(Invoker, RefreshMessageReachesTheClientWindow) {
    // Without a client window it returns at once.
    const DWORD t0 = GetTickCount();
    TDKDJInvoker::NotifyClientRefresh();
    EXPECT_LT(GetTickCount() - t0, 1000u);

    test::ScratchFolder dir;
    const std::string client = dir / "client\\";
    test::InstallStandInClient(client);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring cmd = Widen("\"" + client + "DeZazevozor.exe\" --window");
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, Widen(client).c_str(), &si, &pi));
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    HWND window = nullptr;
    for (int i = 0; i < 200 && !window; ++i) {
        window = FindWindowW(L"Tfrm_MainFrame", nullptr);
        if (!window) Sleep(50);
    }
    ASSERT_TRUE(window);
    TDKDJInvoker::NotifyClientRefresh();
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    std::string hex;
    for (const unsigned char c : std::string(kRefreshMessageText)) {
        char two[3];
        wsprintfA(two, "%02X", c);
        hex += two;
    }
    const std::string expected = "dwData=3330\tcbData=" + std::to_string(sizeof kRefreshMessageText) + "\thex=" + hex + "00";
    EXPECT_NE(test::ReadBytes(client + "copydata.log").find(expected), std::string::npos)
        << test::ReadBytes(client + "copydata.log");
}

}  // namespace
}  // namespace nelto
