// The stand-in withholding client: installer, interface library, programs and main window.

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "common/json_util.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "tests/win/test_util.h"
#include "worker/client_contract.h"
#include "worker/framed_cipher.h"

namespace nelto {
namespace {

using test::ProgramFolder;
using test::ReadBytes;
using test::RunProcess;
using test::ScratchFolder;
using test::WriteBytes;

constexpr char kFirstId[] = "91330106MA2CF7KX3T";

Json DemoScenario() {
    auto demo = ParseJsonObject(ReadBytes(ProgramFolder() + "client-demo-scenario.json"));
    EXPECT_TRUE(demo.has_value());
    return demo.value_or(Json::object());
}

// Installs the scenario into <scratch>\<name>\ and gives that folder.
std::string Install(const ScratchFolder& scratch, const std::string& name, const Json& scenario) {
    const std::string file = scratch / (name + ".json");
    WriteBytes(file, scenario.dump());
    const std::string client = scratch / (name + "\\");
    // No trailing backslash inside the quotes: it would escape the closing quote.
    const auto run = RunProcess("\"" + ProgramFolder() + "client_install.exe\" \"" + file +
                                "\" \"" + scratch / name + "\"");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    return client;
}

std::string Decrypt(const std::string& path) {
    std::string plain;
    EXPECT_EQ(DecryptFramedText(ReadBytes(path), kClientFileKey, plain), kCipherOk) << path;
    return FromAnsi(plain);
}

UniqueModule LoadLibrary(const std::string& client) {
    return UniqueModule(LoadLibraryExW(Widen(client + client::kInterfaceLibrary).c_str(), nullptr,
                                       LOAD_WITH_ALTERED_SEARCH_PATH));
}

struct Reply {
    bool ok = false;
    std::string text;
    Json json;
};

Reply Call(HMODULE library, const char* name, const Json& request = Json::object()) {
    Reply reply;
    const auto fn = ProcAddress<ClientExportFn>(library, name);
    EXPECT_NE(fn, nullptr) << name;
    if (!fn) return reply;
    BSTR out = nullptr;
    reply.ok = (fn(Widen(request.dump()).c_str(), &out) & 0xFF) != 0;
    if (out) reply.text = Narrow(std::wstring(out, SysStringLen(out)));
    SysFreeString(out);
    reply.json = ParseJsonObject(reply.text).value_or(Json());
    return reply;
}

TEST(StubClient, InstallLaysOutTheClient) {
    ScratchFolder scratch;
    const std::string client = Install(scratch, "demo", DemoScenario());
    for (const char* file : {"DeZazevozor.exe", "KvEvenue_SH.exe", "Tarveskbgup.exe",
                             client::kInterfaceLibrary, client::kStaticConfig,
                             client::kClientUserConfig, "AppModules\\RODUD\\AppComs\\DB\\RODUD.db"}) {
        EXPECT_TRUE(FileExists(client + file)) << file;
    }
    EXPECT_FALSE(FileExists(client + "AppModules\\RODUD\\REZAInterface.scenario.json"));
    EXPECT_NE(Decrypt(client + client::kComponentList).find("<VERSION>V3.0.027</VERSION>"),
              std::string::npos);
    EXPECT_NE(Decrypt(client + client::kDatabaseConfig)
                  .find("<LOCALDB>" + client + "AppModules\\RODUD\\AppComs\\DB\\RODUD.db</LOCALDB>"),
              std::string::npos);
    EXPECT_NE(FromAnsi(ReadBytes(client + client::kStaticConfig)).find("areaCode=33"),
              std::string::npos);
    EXPECT_NE(ReadBytes(client + client::kClientUserConfig)
                  .find(std::string("[") + kFirstId + "]\r\nPayTaxModel=SFXY"),
              std::string::npos);
}

TEST(StubClient, LibraryAnswersFromTheDatabase) {
    ScratchFolder scratch;
    const std::string client = Install(scratch, "demo", DemoScenario());
    const UniqueModule library = LoadLibrary(client);
    ASSERT_TRUE(library) << GetLastError();
    for (const char* name : client::kExportNames) {
        EXPECT_NE(GetProcAddress(library.get(), name), nullptr) << name;
    }

    const Reply init = Call(library.get(), "initREZARunEnvironment");
    EXPECT_TRUE(init.ok) << init.text;
    EXPECT_TRUE(init.json.contains("data"));

    const Reply login = Call(library.get(), "companyLogin", {{"nsrsbh", kFirstId}});
    EXPECT_TRUE(login.ok) << login.text;
    EXPECT_EQ(JsonText(login.json, "data.kjywrmc"), "杭州云帆科技有限公司");
    EXPECT_EQ(JsonText(login.json, "data.nsrsbh"), kFirstId);
    EXPECT_EQ(JsonText(login.json, "data.djxh"), "10113301000049871234");
    // The answer carries the characters themselves.
    EXPECT_NE(login.text.find("杭州云帆科技有限公司"), std::string::npos);

    const Reply unknown = Call(library.get(), "companyLogin", {{"nsrsbh", "91000000000000000X"}});
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(JsonText(unknown.json, "messageCode"), "10000201");
    EXPECT_EQ(JsonText(unknown.json, "message").rfind("申报软件中还未注册当前企业", 0), 0u);

    const Reply list = Call(library.get(), "getCompanyInfos");
    ASSERT_TRUE(list.ok) << list.text;
    const Json* companies = JsonFind(list.json, "data.companyList");
    ASSERT_TRUE(companies && companies->is_array() && companies->size() == 3) << list.text;
    EXPECT_EQ(JsonText((*companies)[0], "kjywrmc"), "杭州云帆科技有限公司");
    EXPECT_EQ(JsonText((*companies)[1], "kjywrmc"), "浙江青松食品贸易有限公司");
    EXPECT_EQ(JsonText((*companies)[2], "nsrsbh"), "91330110MA2J0D6R1E");
    EXPECT_EQ(JsonText((*companies)[2], "zgswjgmc"), "国家税务总局杭州市余杭区税务局");

    const Reply other = Call(library.get(), "getPersonInfos");
    EXPECT_FALSE(other.ok);
    EXPECT_EQ(JsonText(other.json, "messageCode"), "10009997");
}

TEST(StubClient, ScenarioSteersSingleExports) {
    ScratchFolder scratch;
    Json scenario = DemoScenario();
    scenario["scenario"] = {
        {"companyLogin", {{"fail", {{"messageCode", "10000299"}, {"message", "登录失败"}}}}},
        {"getCompanyInfos", {{"notJson", true}}},
        {"getPersonInfos", {{"pumpMs", 300}}},
        {"getSDXMInfos", {{"blockMs", 300}}}};
    const std::string client = Install(scratch, "steered", scenario);
    const UniqueModule library = LoadLibrary(client);
    ASSERT_TRUE(library);

    const Reply login = Call(library.get(), "companyLogin", {{"nsrsbh", kFirstId}});
    EXPECT_FALSE(login.ok);
    EXPECT_EQ(JsonText(login.json, "messageCode"), "10000299");
    EXPECT_EQ(JsonText(login.json, "message"), "登录失败");
    EXPECT_EQ(Call(library.get(), "getCompanyInfos").text, "this is not json");

    // Pumping takes the thread's messages; blocking leaves them queued.
    constexpr UINT kProbe = WM_APP + 7;
    MSG msg;
    PostThreadMessageW(GetCurrentThreadId(), kProbe, 0, 0);
    DWORD start = GetTickCount();
    Call(library.get(), "getPersonInfos");
    EXPECT_GE(GetTickCount() - start, 250u);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, kProbe, kProbe, PM_REMOVE));
    PostThreadMessageW(GetCurrentThreadId(), kProbe, 0, 0);
    start = GetTickCount();
    Call(library.get(), "getSDXMInfos");
    EXPECT_GE(GetTickCount() - start, 250u);
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, kProbe, kProbe, PM_REMOVE));

    // The file is read at every call.
    ASSERT_TRUE(DeleteFileUtf8(client + "AppModules\\RODUD\\REZAInterface.scenario.json"));
    EXPECT_TRUE(Call(library.get(), "companyLogin", {{"nsrsbh", kFirstId}}).ok);
}

TEST(StubClient, ScenarioRaisesStructuredExceptions) {
    ScratchFolder scratch;
    Json scenario = DemoScenario();
    scenario["scenario"] = {{"companyLogin", {{"raise", true}}},
                            {"getCompanyInfos", {{"crash", true}}}};
    const std::string client = Install(scratch, "faulty", scenario);
    const std::string probe = "\"" + ProgramFolder() + "client_call_probe.exe\" \"" + client +
                              client::kInterfaceLibrary + "\" ";
    auto run = RunProcess(probe + "companyLogin");
    EXPECT_EQ(run.output, "exception E0C1A001\r\n");
    run = RunProcess(probe + "getCompanyInfos");
    EXPECT_EQ(run.output, "exception C0000005\r\n");
    run = RunProcess(probe + "initREZARunEnvironment");
    EXPECT_EQ(run.output, "returned 1\r\n");
}

TEST(StubClient, VariantsBreakTheInstallation) {
    ScratchFolder scratch;
    Json omitted = DemoScenario();
    omitted["omit"] = {"DeZazevozor.exe", "AppModules\\RODUD\\AppComs\\DB\\RODUD.db"};
    std::string client = Install(scratch, "omitted", omitted);
    EXPECT_FALSE(FileExists(client + "DeZazevozor.exe"));
    EXPECT_TRUE(FileExists(client + "KvEvenue_SH.exe"));
    {
        const UniqueModule library = LoadLibrary(client);
        ASSERT_TRUE(library);
        const Reply init = Call(library.get(), "initREZARunEnvironment");
        EXPECT_FALSE(init.ok);
        EXPECT_EQ(JsonText(init.json, "messageCode"), "10000104") << init.text;
    }

    Json corrupt = DemoScenario();
    corrupt["corruptLibrary"] = true;
    client = Install(scratch, "corrupt", corrupt);
    EXPECT_TRUE(FileExists(client + client::kInterfaceLibrary));
    EXPECT_FALSE(LoadLibrary(client));

    Json lacking = DemoScenario();
    lacking["missingExports"] = {"getCompanyInfos"};
    client = Install(scratch, "lacking", lacking);
    {
        const UniqueModule library = LoadLibrary(client);
        ASSERT_TRUE(library);
        EXPECT_EQ(GetProcAddress(library.get(), "getCompanyInfos"), nullptr);
        EXPECT_NE(GetProcAddress(library.get(), "companyLogin"), nullptr);
    }

    Json dependent = DemoScenario();
    dependent["missingDependency"] = true;
    client = Install(scratch, "dependent", dependent);
    EXPECT_TRUE(FileExists(client + client::kInterfaceLibrary));
    EXPECT_FALSE(LoadLibrary(client));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(StubClient, RegistryPointsToTheClient) {
    ScratchFolder scratch;
    constexpr wchar_t kKey[] = L"SOFTWARE\\NeltoStubClientTest";
    Json scenario = DemoScenario();
    scenario["registry"] = {{"key", "SOFTWARE\\NeltoStubClientTest\\KvPortal3.0"}};
    const std::string client = Install(scratch, "registered", scenario);
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof value;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"SOFTWARE\\NeltoStubClientTest\\KvPortal3.0",
                           L"InstalledPath", RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(Narrow(value) + "\\", client);
    RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
}

TEST(StubClient, ProgramsRecordTheirLaunch) {
    ScratchFolder scratch;
    const std::string client = Install(scratch, "demo", DemoScenario());
    const auto run = RunProcess("\"" + client + "KvEvenue_SH.exe\" lookForPath=1;", scratch.path());
    EXPECT_EQ(run.exitCode, 0u);
    const std::string log = ReadBytes(client + "launches.log");
    EXPECT_NE(log.find("program=KvEvenue_SH.exe\tcmd=\"" + client +
                       "KvEvenue_SH.exe\" lookForPath=1;\tcwd=" +
                       scratch.path().substr(0, scratch.path().size() - 1) + "\ttick="),
              std::string::npos)
        << log;
}

struct WindowSearch {
    DWORD process;
    HWND window;
};

BOOL CALLBACK FindMainFrame(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (process != search->process || std::wstring(name) != client::kMainWindowClass) return TRUE;
    search->window = window;
    return FALSE;
}

TEST(StubClient, MainWindowRecordsCopyDataAndCloses) {
    ScratchFolder scratch;
    const std::string client = Install(scratch, "demo", DemoScenario());
    std::wstring command = Widen("\"" + client + "DeZazevozor.exe\" --window");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               Widen(client).c_str(), &si, &pi));
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    WindowSearch search{pi.dwProcessId, nullptr};
    for (int i = 0; i < 200 && !search.window; ++i) {
        Sleep(50);
        EnumWindows(FindMainFrame, reinterpret_cast<LPARAM>(&search));
    }
    ASSERT_NE(search.window, nullptr);

    const std::string text = ToAnsi("刷新") + '\0';
    COPYDATASTRUCT data{3330, static_cast<DWORD>(text.size()), const_cast<char*>(text.data())};
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutW(search.window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                                  SMTO_NORMAL, 10000, &answer),
              0);
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
    EXPECT_EQ(ReadBytes(client + "copydata.log"), "dwData=3330\tcbData=5\thex=CBA2D0C200\r\n");

    PostMessageW(search.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
    if (WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
}

}  // namespace
}  // namespace nelto
