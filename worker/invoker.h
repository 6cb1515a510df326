#pragma once
// The worker's way into the withholding client. For each request the worker frame calls one of
// the eighteen public operations with the request object; the operation creates one invoker,
// runs one or two steps on it and gives back the result envelope {"messageCode", "data"}.
//
// Threading: the worker's one thread.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/json_util.h"
#include "worker/client_contract.h"

namespace nelto {

// What the steps recorded.
struct TResponseInfo {
    std::string MessageCode;
    std::optional<Json> Data;
};

class TDKDJInvoker {
public:
    // Public operations: request in (steps may add keys to it), envelope out; true on success.
    static bool loginREZA(Json& request, Json& result);
    static bool getDeclareStateInfo(Json& request, Json& result);
    static bool getPersonInfos(Json& request, Json& result);
    static bool checkPersonInfos(Json& request, Json& result);
    static bool savePersonInfos(Json& request, Json& result);
    static bool syncSalaryData(Json& request, Json& result);
    static bool startRezaSoft(Json& request, Json& result);
    static bool getKJSDSBGBInfos(Json& request, Json& result);
    static bool existCompany(Json& request, Json& result);
    static bool getCompanyInfos(Json& request, Json& result);
    static bool getAreaCode(Json& request, Json& result);
    static bool updatePersonInfos(Json& request, Json& result);
    static bool getREZAPath(Json& request, Json& result);
    static bool getAllCompanyInfos(Json& request, Json& result);
    static bool getLastMonthByFilledInSalary(Json& request, Json& result);
    static bool getREZAVer(Json& request, Json& result);
    static bool getSDXMInfos(Json& request, Json& result);
    static bool addGZXJInfos(Json& request, Json& result);

    explicit TDKDJInvoker(Json& request);
    ~TDKDJInvoker();
    TDKDJInvoker(const TDKDJInvoker&) = delete;
    TDKDJInvoker& operator=(const TDKDJInvoker&) = delete;

    // Recording: the last call wins.
    void SetResultMessage(const std::string& code, const std::string& text);
    void SetResultData(const std::string& code, const Json* data);
    // The envelope of what was recorded.
    Json Envelope() const;

    // Shared routines.
    std::string GetREZAVersion();
    static bool IsClientFolder(const std::string& folder);
    static std::string SystemDriveLetter();
    static void NotifyClientRefresh();

    // Calls the named exports of the loaded interface library one after another as the body
    // asks: looks them all up first (10009903 without library, 10009904 for a missing one),
    // initialises COM around the calls, records the library's failure (10009905 when a call
    // raised or its output was not a JSON object). Returns false when the step must end.
    class Calls;
    bool InterfaceCall(const std::vector<const char*>& exports, bool (*body)(TDKDJInvoker&, Calls&));

    // Steps.
    bool DoREZAInit();
    bool DoGetCompanyInfos();

    // Fields.
    std::string TaxId;
    bool DeviceMode = false;
    std::string UserConfig;  // the worker's own "UserConfig.ini"
    std::string ClientFolder;
    Json& Request;
    TResponseInfo Result;
    HMODULE InterfaceModule = nullptr;  // never unloaded before the process ends

private:
    // Creates the invoker, runs the steps, fills the envelope also when a step raises.
    static bool Run(const char* operation, Json& request, Json& result,
                    const std::function<bool(TDKDJInvoker&)>& steps);
    // An operation whose first step belongs to a later part of the worker.
    static bool RunLater(const char* operation, const char* step, Json& request, Json& result);
    bool LoadInterfaceLibrary();
    bool CheckClientInstallation();
};

// Output of one export call inside InterfaceCall.
class TDKDJInvoker::Calls {
public:
    // Calls the export with the object; answer is its output parsed. False when the export
    // returned false: its "messageCode"/"message" are recorded. Throws when the call raised or the
    // output was not a JSON object (InterfaceCall records 10009905).
    bool Call(const char* exportName, const Json& argument, Json& answer);

private:
    friend class TDKDJInvoker;
    TDKDJInvoker* owner_ = nullptr;
    std::vector<std::pair<const char*, ClientExportFn>> exports_;
};

// A step that belongs to a later part of the worker raises this; the frame logs it and writes
// no result.
struct NotBuilt : std::runtime_error {
    explicit NotBuilt(const char* what) : std::runtime_error(std::string("not built: ") + what) {}
};

}  // namespace nelto
