#include "worker/invoker.h"

#include <objbase.h>

#include <stdexcept>

#include "common/client_path.h"
#include "common/daemon_log.h"
#include "common/win/bstr.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "worker/file_cipher.h"
#include "worker/invoker_rules.h"
#include "worker/seh_guard.h"

namespace nelto {
namespace {

constexpr char kTextClientMissing[] = "未找到个税申报软件，请检查是否插入安全U盾或当前电脑是否安装个税申报软件。";
constexpr char kTextLibraryMissing[] = "申报软件基础组件没有找到，请重新安装个税申报软件或者联系软件服务商协助解决。";
constexpr char kTextLibraryNotLoaded[] = "申报软件基础组件加载失败，请稍候再试或者联系软件服务商协助解决。";
constexpr char kTextExportMissing[] = "申报软件基础组件功能加载失败，请重新安装个税申报软件或者联系软件服务商协助解决。";
constexpr char kTextCallFailed[] = "申报软件基础组件功能调用失败，请重新安装个税申报软件或者联系软件服务商协助解决。";
constexpr char kTextClientBroken[] = "个税申报软件已损坏，请联系服务商协助解决。";

void Log(const std::string& line) { DaemonLog().writeDebugLog(line); }

// Logs the enter and leave lines of a step, also when it raises.
class StepLog {
public:
    explicit StepLog(std::string name) : name_(std::move(name)) { Log("LogEnter[TDKDJInvoker." + name_ + "]"); }
    ~StepLog() { Log("LogLeave[TDKDJInvoker." + name_ + "]"); }
    StepLog(const StepLog&) = delete;
    StepLog& operator=(const StepLog&) = delete;

private:
    std::string name_;
};

// A call of the library that raised or answered with something that is not a JSON object.
struct CallFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ExportCall {
    ClientExportFn fn;
    const wchar_t* request;
    BSTR* output;
    ClientBool returned;
};

void CallExport(void* context) {
    auto* call = static_cast<ExportCall*>(context);
    call->returned = call->fn(call->request, call->output);
}

std::string WorkerFolder() { return ExtractFilePath(ModuleFileName(nullptr)); }

}  // namespace

// ---- construction and recording ----

TDKDJInvoker::TDKDJInvoker(Json& request) : Request(request) {
    StepLog log("Create");
    UserConfig = WorkerFolder() + "UserConfig.ini";
    if (!FileExists(UserConfig)) {
        UniqueFile created(CreateFileW(Widen(UserConfig).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!Request.is_object()) Request = Json::object();
    if (JsonText(Request, "sdyf").empty()) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        Request["sdyf"] = PreviousMonthText(now.wYear, now.wMonth);
    }
}

TDKDJInvoker::~TDKDJInvoker() = default;

void TDKDJInvoker::SetResultMessage(const std::string& code, const std::string& text) {
    Result.MessageCode = code == "10000201" && !DeviceMode ? "10000202" : code;
    Result.Data = Json{{"text", text}};
}

void TDKDJInvoker::SetResultData(const std::string& code, const Json* data) {
    Result.MessageCode = code;
    Result.Data = data ? *data : Json::object();
    if (data && DeviceMode && JsonFind(Request, "rezaPath") && Result.Data->is_object()) {
        (*Result.Data)["rezaPath"] = Json{{"path", ClientFolder}, {"nsrsbh", TaxId}};
    }
}

Json TDKDJInvoker::Envelope() const {
    Json envelope = Json::object();
    envelope["messageCode"] = Result.MessageCode;
    envelope["data"] = Result.Data ? *Result.Data : Json::object();
    return envelope;
}

// ---- public operations ----

bool TDKDJInvoker::Run(const char* operation, Json& request, Json& result,
                       const std::function<bool(TDKDJInvoker&)>& steps) {
    StepLog log(operation);
    result = Json::object();
    TDKDJInvoker invoker(request);
    try {
        const bool ok = steps(invoker);
        result = invoker.Envelope();
        return ok;
    } catch (...) {
        result = invoker.Envelope();
        throw;
    }
}

bool TDKDJInvoker::RunLater(const char* operation, const char* step, Json& request, Json& result) {
    return Run(operation, request, result, [step](TDKDJInvoker&) -> bool { throw NotBuilt(step); });
}

#define NELTO_LATER_STEP(Operation, StepName) \
    bool TDKDJInvoker::Operation(Json& request, Json& result) { return RunLater(#Operation, StepName, request, result); }

NELTO_LATER_STEP(loginREZA, "DoREZALogin")
NELTO_LATER_STEP(getDeclareStateInfo, "DoREZALogin")
NELTO_LATER_STEP(getPersonInfos, "DoREZALogin")
NELTO_LATER_STEP(checkPersonInfos, "DoREZALogin")
NELTO_LATER_STEP(savePersonInfos, "DoREZALogin")
NELTO_LATER_STEP(syncSalaryData, "DoREZALogin")
NELTO_LATER_STEP(startRezaSoft, "DoREZALoginBySQL")
NELTO_LATER_STEP(getKJSDSBGBInfos, "DoREZALogin")
NELTO_LATER_STEP(existCompany, "DoExistCompany")
NELTO_LATER_STEP(getAreaCode, "DoGetAreaCode")
NELTO_LATER_STEP(updatePersonInfos, "DoREZALogin")
NELTO_LATER_STEP(getREZAPath, "DoGetREZAPath")
NELTO_LATER_STEP(getAllCompanyInfos, "DoGetAllCompanyInfos")
NELTO_LATER_STEP(getLastMonthByFilledInSalary, "DoREZALoginBySQL")
NELTO_LATER_STEP(getREZAVer, "DoGetREZAVersion")
NELTO_LATER_STEP(getSDXMInfos, "DoREZALogin")
NELTO_LATER_STEP(addGZXJInfos, "DoREZALogin")
#undef NELTO_LATER_STEP

bool TDKDJInvoker::getCompanyInfos(Json& request, Json& result) {
    return Run("getCompanyInfos", request, result,
               [](TDKDJInvoker& self) { return self.DoREZAInit() && self.DoGetCompanyInfos(); });
}

// ---- shared routines ----

std::string TDKDJInvoker::GetREZAVersion() {
    Log("LogEnter[TDKDJInvoker.GetREZAVersion]");
    std::string version;
    const std::string file = ClientFolder + client::kComponentList;
    if (FileExists(file)) {
        std::string framed;
        std::string plain;
        if (!LoadFileToString(file, framed) || DecryptFramedText(framed, kClientFileKey, plain) != kCipherOk) {
            return {};
        }
        version = FromAnsi(VersionTagOf(plain));
    }
    Log("LogLeave[TDKDJInvoker.GetREZAVersion]:" + version);
    return version;
}

bool TDKDJInvoker::IsClientFolder(const std::string& folder) {
    const std::string marker = folder + client::kComponentList;
    Log("RODUDAppComs:" + marker);
    return FileExists(marker);
}

std::string TDKDJInvoker::SystemDriveLetter() { return SystemDriveRoot().substr(0, 1); }

void TDKDJInvoker::NotifyClientRefresh() {
    try {
        const HWND window = FindWindowW(client::kMainWindowClass, nullptr);
        if (!window) return;
        std::string text = ToAnsi(kRefreshMessageText);
        COPYDATASTRUCT data{};
        data.dwData = kRefreshMessageId;
        data.cbData = static_cast<DWORD>(text.size() + 1);  // with the terminating zero
        data.lpData = text.data();
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_NORMAL, 60000, &answer);
    } catch (...) {
    }
}

bool TDKDJInvoker::InterfaceCall(const std::vector<const char*>& exports, bool (*body)(TDKDJInvoker&, Calls&)) {
    if (!InterfaceModule) {
        SetResultMessage("10009903", kTextLibraryNotLoaded);
        return false;
    }
    struct ComScope {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ~ComScope() {
            if (SUCCEEDED(hr)) CoUninitialize();
        }
    } com;
    Calls calls;
    calls.owner_ = this;
    for (const char* name : exports) {
        const auto fn = ProcAddress<ClientExportFn>(InterfaceModule, name);
        if (!fn) {
            SetResultMessage("10009904", kTextExportMissing);
            return false;
        }
        calls.exports_.emplace_back(name, fn);
    }
    try {
        return body(*this, calls);
    } catch (const CallFailed& failure) {
        Log(std::string("InterfaceCall:") + failure.what());
        SetResultMessage("10009905", kTextCallFailed);
        return false;
    }
}

bool TDKDJInvoker::Calls::Call(const char* exportName, const Json& argument, Json& answer) {
    ClientExportFn fn = nullptr;
    for (const auto& [name, address] : exports_) {
        if (std::string_view(name) == exportName) fn = address;
    }
    if (!fn) throw std::logic_error(std::string("export not looked up: ") + exportName);
    const std::wstring request = Widen(ToCompactJson(argument));
    UniqueBstr output;  // NULL before the call; the library stores a SysAllocString value
    ExportCall call{fn, request.c_str(), output.put(), 0};
    DWORD exceptionCode = 0;
    const bool completed = CallGuarded(&CallExport, &call, exceptionCode);
    std::optional<Json> parsed;
    if (output) parsed = ParseJsonObject(BstrToUtf8(output.get()));
    if (!completed) {
        char code[16];
        wsprintfA(code, "%08lX", exceptionCode);
        throw CallFailed(std::string(exportName) + " raised " + code);
    }
    if (!parsed) throw CallFailed(std::string(exportName) + " answered no JSON object");
    answer = std::move(*parsed);
    if (!call.returned) {
        owner_->SetResultMessage(JsonText(answer, "messageCode"), JsonText(answer, "message"));
        return false;
    }
    return true;
}

// ---- steps ----

bool TDKDJInvoker::CheckClientInstallation() {
    if (!DirectoryExists(ClientFolder)) {
        SetResultMessage("10009901", kTextClientMissing);
        return false;
    }
    if (!FileExists(ClientFolder + client::kClientProgram)) {
        SetResultMessage("10009908", kTextClientBroken);
        return false;
    }
    if (!FileExists(ClientFolder + client::kInterfaceLibrary)) {
        SetResultMessage("10009902", kTextLibraryMissing);
        return false;
    }
    return true;
}

bool TDKDJInvoker::LoadInterfaceLibrary() {
    if (!InterfaceModule) {
        // By full path: the client's own dependencies resolve from its folder, never from ours
        // or the current folder.
        InterfaceModule = LoadLibraryExW(Widen(ClientFolder + client::kInterfaceLibrary).c_str(), nullptr,
                                         LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }
    if (!InterfaceModule) {
        Log("LoadLibrary:" + std::to_string(GetLastError()));
        SetResultMessage("10009903", kTextLibraryNotLoaded);
        return false;
    }
    return true;
}

bool TDKDJInvoker::DoREZAInit() {
    StepLog log("DoREZAInit");
    ClientFolder.clear();
    const Json* rezaPath = JsonFind(Request, "rezaPath");
    if (rezaPath && rezaPath->is_object()) {
        ClientFolder = JsonText(*rezaPath, "path");
        TaxId = JsonText(*rezaPath, "nsrsbh");
    }
    if (ClientFolder.empty()) throw NotBuilt("GetKvPortalPath");
    // The folder comes from the web request: nothing but a local drive path is looked at, and
    // no other installation is tried in its place.
    if (!IsLocalDrivePath(ClientFolder)) {
        Log("门户环境：" + ClientFolder);
        SetResultMessage("10009901", kTextClientMissing);
        return false;
    }
    ClientFolder = IncludeTrailingBackslash(ClientFolder);
    Log("门户环境：" + ClientFolder);
    if (!CheckClientInstallation()) return false;
    if (DeviceMode) throw NotBuilt("RewriteDbcForDevice");
    if (!LoadInterfaceLibrary()) return false;
    return InterfaceCall({"initREZARunEnvironment"}, [](TDKDJInvoker& self, Calls& calls) {
        Json answer;
        if (!calls.Call("initREZARunEnvironment", self.Request, answer)) return false;
        self.SetResultData("00000000", JsonFind(answer, "data"));
        return true;
    });
}

bool TDKDJInvoker::DoGetCompanyInfos() {
    StepLog log("DoGetCompanyInfos");
    return InterfaceCall({"getCompanyInfos"}, [](TDKDJInvoker& self, Calls& calls) {
        Json answer;
        if (!calls.Call("getCompanyInfos", self.Request, answer)) return false;
        self.SetResultData("00000000", JsonFind(answer, "data"));
        return true;
    });
}

}  // namespace nelto
