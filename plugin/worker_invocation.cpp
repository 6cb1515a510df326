#include "plugin/worker_invocation.h"

#include <shellapi.h>

#include "common/aes.h"
#include "common/client_path.h"
#include "common/daemon_log.h"
#include "common/exchange.h"
#include "common/json_util.h"
#include "common/win/fs.h"
#include "common/win/unicode.h"
#include "plugin/framework.h"

namespace nelto {
namespace {

constexpr DWORD kDefaultTimeout = 300000;

void ProcessMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace

CriticalSection& ServiceLock() {
    static CriticalSection lock;
    return lock;
}

std::string ServicePath() { return GetServicePath(PluginModule()); }

std::string MissingComponentResult() {
    Json result = Json::object();
    result["messageCode"] = "99999998";
    result["message"] = "处理失败";
    result["data"] = Json{{"text", "Httpd基础组件没有找到，请联系软件服务商协助解决。"}};
    return ToCompactJson(result);
}

std::string ClientStartArgument(const std::string& servicePath) {
    const std::string plain = "plugindll=" + servicePath + "Httpd.WRPA.dll" +
                              ";businessHandler=NeltoHttpPost;exceptHandler=UpgradeProcess;servicepath=" +
                              servicePath + ";";
    return "data=" + EncryptStringToHex(ToAnsi(plain), kClientStartKey, true, kAes128);
}

bool ShellExecuteAndWait(const std::string& file, const std::string& parameters, const std::string& folder,
                         UniqueHandle& process, DWORD& exitCode, DWORD timeout, int showCommand, int waitMode) {
    const std::wstring wideFile = Widen(file);
    const std::wstring wideParameters = Widen(parameters);
    const std::wstring wideFolder = Widen(folder.empty() ? ExtractFilePath(file) : folder);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_FLAG_NO_UI;
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.c_str();
    info.lpDirectory = wideFolder.c_str();
    info.nShow = showCommand;
    if (!ShellExecuteExW(&info)) {
        exitCode = GetLastError();
        return false;
    }
    exitCode = STILL_ACTIVE;
    if (!info.hProcess) return true;
    process.reset(info.hProcess);
    const HANDLE handle = process.get();
    if (waitMode == 1) {
        // Each wait may last the whole timeout again: input for this thread restarts it.
        DWORD waited;
        do {
            ProcessMessages();
            waited = MsgWaitForMultipleObjects(1, &handle, FALSE, timeout, QS_ALLINPUT);
        } while (waited == WAIT_OBJECT_0 + 1);
        ProcessMessages();
    } else if (waitMode == 2) {
        do ProcessMessages();
        while (WaitForInputIdle(handle, 50) == WAIT_TIMEOUT);
    }
    DaemonLog().writeDebugLog("ResultCode1: " + std::to_string(exitCode));
    if (!GetExitCodeProcess(handle, &exitCode)) exitCode = static_cast<DWORD>(-1);
    return true;
}

bool CallREZAServ(std::string& text, std::uint32_t serviceNumber) {
    CriticalSection::Guard guard(ServiceLock());
    UniqueHandle process;
    const std::string servicePath = ServicePath();
    const std::string section = std::to_string(serviceNumber);
    const std::string requestFolder = WriteRequestFiles(servicePath, section, text);

    const Json params = ParseJsonObject(text).value_or(Json::object());
    const DWORD timeout = JsonText(params, "timeOut").empty()
                              ? kDefaultTimeout
                              : static_cast<DWORD>(JsonInt(params, "timeOut"));
    const bool clientPath = JsonInt(params, "funcId") == 20;

    std::string exe;
    std::string arguments;
    bool present = false;
    if (!clientPath) {
        exe = servicePath + (JsonBool(params, "isWRPA") ? "Httpd.WRPA.Nelto.exe" : "Httpd.Nelto.exe");
        arguments = section;
        DaemonLog().writeDebugLog("CallREZAServ:" + exe);
        present = FileExists(exe);
    } else {
        const std::string clientFolder = JsonText(params, "rezaPath.path");
        exe = clientFolder + "DeZazevozor.exe";
        DaemonLog().writeDebugLog("CallREZAServ:" + exe);
        // The folder comes from the web request: nothing outside a local drive is looked at.
        present = IsLocalDrivePath(clientFolder) && FileExists(exe);
        if (present) arguments = ClientStartArgument(servicePath);
    }
    if (!present) {
        text = MissingComponentResult();
        return false;
    }

    if (requestFolder.empty()) {
        // Without this call's own request files the program would run on whatever the INI named
        // before (another request): start nothing and answer as for no result.
        DaemonLog().writeDebugLog("CallREZAServ:request files not written");
        text = TimeoutResult();
        return false;
    }

    DWORD exitCode = 0;
    ShellExecuteAndWait(exe, arguments, servicePath, process, exitCode, timeout, SW_SHOWNORMAL, 1);
    DaemonLog().writeDebugLog("ResultCode:" + std::to_string(static_cast<std::int32_t>(exitCode)));
    Sleep(1000);
    // On the worker path only a result inside this call's own request folder counts: a late
    // worker of an earlier request must not answer this one.
    ResponseFiles response = ReadResponseFiles(servicePath, section, clientPath ? std::string() : requestFolder);
    text = std::move(response.text);
    return response.success;
}

}  // namespace nelto
