// The plug-in's actions called the way the host calls them, through the controller description,
// with host objects of the test's own. The plug-in is installed in a scratch service folder
// (S\bundles\) without a worker, so every action answers "worker missing" at once.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "common/daemon_log.h"
#include "common/json_util.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "plugin/host_contract.h"
#include "tests/win/test_util.h"

namespace nelto {
namespace {

std::string Text(BSTR value) { return value ? Narrow(std::wstring_view(value, SysStringLen(value))) : "<null>"; }

// Minimal host objects: one object plays request, response and context.
class FakeHost : public IQvActionContext, public IQvActionRequest, public IQvActionResponse {
public:
    std::string params = "{}";
    std::vector<std::string> writes;             // "op|data|code|message"
    std::function<void()> onWrite;               // runs inside each write
    HRESULT writeResult = S_OK;

    // IUnknown (shared by the three faces; lifetime is the test's)
    HRESULT __stdcall QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG __stdcall AddRef() override { return 2; }
    ULONG __stdcall Release() override { return 1; }
    void* __stdcall Implementor() override { return this; }
    BSTR __stdcall ToString() override { return SysAllocString(L"FakeHost"); }

    HRESULT __stdcall GetRequest(IQvActionRequest** request) override {
        *request = this;
        return S_OK;
    }
    HRESULT __stdcall GetResponse(IQvActionResponse** response) override {
        *response = this;
        return S_OK;
    }
    HRESULT __stdcall GetParams(BSTR* out) override {
        *out = SysAllocString(Widen(params).c_str());
        return S_OK;
    }
    HRESULT __stdcall WriteSuccess(BSTR data, BSTR code, BSTR message) override { return Record("success", data, code, message); }
    HRESULT __stdcall WriteFailure(BSTR data, BSTR code, BSTR message) override { return Record("failure", data, code, message); }
    HRESULT __stdcall WriteError(BSTR detail, BSTR code, BSTR message) override { return Record("error", detail, code, message); }
    HRESULT __stdcall HostOperation1() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation3() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation4() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation5() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation6() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation7() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation8() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation10() override { return E_NOTIMPL; }

private:
    HRESULT Record(const char* op, BSTR a, BSTR b, BSTR c) {
        writes.push_back(std::string(op) + "|" + Text(a) + "|" + Text(b) + "|" + Text(c));
        if (onWrite) onWrite();
        return writeResult;
    }
};

class PluginActions : public ::testing::Test {
protected:
    void SetUp() override {
        dll = folder / "bundles\\com.tarvesk.httpd.nelto.dll";
        ASSERT_TRUE(ForceDirectories(folder / "bundles"));
        ASSERT_TRUE(CopyFileW(Widen(test::ProgramFolder() + "com.tarvesk.httpd.nelto.dll").c_str(), Widen(dll).c_str(),
                              FALSE));
        module.reset(LoadLibraryW(Widen(dll).c_str()));
        ASSERT_TRUE(module);
        std::uint32_t count = 0;
        const QvControllerInfo* controllers =
            ProcAddress<QvGetActionControllersFn>(module.get(), "QvGetActionControllers")(&count);
        for (std::uint32_t i = 0; i < controllers[0].MethodCount; ++i) {
            entries.emplace_back(Narrow(controllers[0].Methods[i].Resource), controllers[0].Methods[i].Invoke);
        }
    }
    QvActionEntry Entry(const std::string& name) {
        for (auto& [resource, invoke] : entries) {
            if (resource == name) return invoke;
        }
        ADD_FAILURE() << "no action " << name;
        return nullptr;
    }
    // The lines the plug-in wrote into the host program's log (this test program's).
    static std::string LogText() { return FromAnsi(test::ReadBytes(DaemonLog().GetLogFileName())); }

    test::ScratchFolder folder;
    std::string dll;
    UniqueModule module;
    std::vector<std::pair<std::string, QvActionEntry>> entries;
};

TEST_F(PluginActions, MissingWorkerAnswersThroughWriteFailure) {
    FakeHost host;
    host.params = R"({"nsrsbh":"9133","companyName":"测试"})";
    EXPECT_EQ(Entry("getCompanyInfos")(&host), 1);
    ASSERT_EQ(host.writes.size(), 1u);
    EXPECT_EQ(host.writes[0],
              "failure|{\"text\":\"Httpd\\u57fa\\u7840\\u7ec4\\u4ef6\\u6ca1\\u6709\\u627e\\u5230\\uff0c\\u8bf7\\u8054"
              "\\u7cfb\\u8f6f\\u4ef6\\u670d\\u52a1\\u5546\\u534f\\u52a9\\u89e3\\u51b3\\u3002\"}|99999998|处理失败");
    const std::string log = LogText();
    EXPECT_NE(log.find("LogEnter[TQvProfilerAction.getCompanyInfos]:{\"nsrsbh\":\"9133\",\"companyName\":\"\\u6d4b\\u8bd5\"}"),
              std::string::npos);
    EXPECT_NE(log.find("CallREZAServ:" + folder.path() + "Httpd.Nelto.exe"), std::string::npos);
    EXPECT_NE(log.find("LogLeave[TQvProfilerAction.getCompanyInfos]"), std::string::npos);
}

TEST_F(PluginActions, SalaryEnterLineCarriesNoParameters) {
    FakeHost host;
    host.params = R"({"secret":"salary rows"})";
    EXPECT_EQ(Entry("syncSalaryData")(&host), 1);
    const std::string log = LogText();
    EXPECT_NE(log.find("LogEnter[TQvProfilerAction.syncSalaryData]\r\n"), std::string::npos);
    EXPECT_EQ(log.find("salary rows"), std::string::npos);
}

TEST_F(PluginActions, FailingResponseEndsInWriteErrorAndTheLineComesAfterIt) {
    FakeHost host;
    // The log file lives on between runs: count the line instead of looking for it.
    const auto count = [] {
        const std::string log = LogText();
        std::size_t n = 0;
        for (auto at = log.find("[existCompany]:调用功能点异常"); at != std::string::npos;
             at = log.find("[existCompany]:调用功能点异常", at + 1)) {
            ++n;
        }
        return n;
    };
    const std::size_t before = count();
    bool lineBeforeError = true;
    host.writeResult = E_FAIL;  // the host's WriteFailure fails
    host.onWrite = [&] {
        if (host.writes.back().rfind("error|", 0) == 0) lineBeforeError = count() > before;
    };
    EXPECT_EQ(Entry("existCompany")(&host), 1);
    ASSERT_EQ(host.writes.size(), 2u);
    EXPECT_EQ(host.writes[1], "error|调用组件功能点异常,请稍后重试|99999999|处理异常");
    EXPECT_FALSE(lineBeforeError);
    EXPECT_EQ(count(), before + 1);
    const std::string log = LogText();
    const auto errorLine = log.rfind("[existCompany]:调用功能点异常");
    const auto leaveLine = log.rfind("LogLeave[TQvProfilerAction.existCompany]");
    ASSERT_NE(errorLine, std::string::npos);
    ASSERT_NE(leaveLine, std::string::npos);
    EXPECT_LT(errorLine, leaveLine);
}

TEST_F(PluginActions, UnloadingWhileAPostIsInFlightIsSafe) {
    // An endpoint that accepts and never answers: the post thread waits its two seconds.
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(listener, 4);
    const std::string config = KvConfigFileName();
    const bool had = FileExists(config);
    const std::string saved = had ? test::ReadBytes(config) : std::string();
    test::WriteBytes(config, "[system]\r\nusageUrl=http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) +
                                 "/hawk/grab/tarveskcommon.htm\r\n");

    FakeHost host;
    EXPECT_EQ(Entry("loginREZA")(&host), 1);
    module.reset();  // the host unloads the plug-in; the post thread still runs in it
    HMODULE still = nullptr;
    EXPECT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, Widen(dll).c_str(), &still))
        << "the post thread holds the library while it runs";
    Sleep(3500);  // the thread gives up after 2 s and leaves through FreeLibraryAndExitThread
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, Widen(dll).c_str(), &still))
        << "the library is unloaded once the post ended";
    closesocket(listener);
    if (had) {
        test::WriteBytes(config, saved);
    } else {
        (void)DeleteFileUtf8(config);
    }
}

}  // namespace
}  // namespace nelto
