#include "plugin/nelto_action.h"

#include <memory>
#include <optional>
#include <stdexcept>

#include "common/daemon_log.h"
#include "common/json_util.h"
#include "common/win/bstr.h"
#include "common/win/unicode.h"
#include "plugin/usage_post.h"
#include "plugin/worker_invocation.h"

namespace nelto {
namespace {

constexpr char kAddressPrefix[] = "nelto/rezaManager/";

// Releases a COM pointer at scope end.
template <typename T>
struct ComRef {
    T* p = nullptr;
    ~ComRef() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
};

// A BSTR made from UTF-8 text, freed at scope end.
class Bstr : public UniqueBstr {
public:
    Bstr() = default;
    explicit Bstr(const std::string& utf8) : UniqueBstr(AllocBstrUtf8(utf8)) {}
};

void CheckHr(HRESULT hr, const char* what) {
    if (FAILED(hr)) throw std::runtime_error(what);
}

// The request parameters, fetched afresh at each use; nothing when the host gives no object.
std::optional<Json> Params(IQvActionContext* context) {
    ComRef<IQvActionRequest> request;
    CheckHr(context->GetRequest(&request.p), "GetRequest");
    if (!request.p) throw std::runtime_error("no request");
    Bstr params;
    CheckHr(request->GetParams(params.put()), "GetParams");
    if (!params.get()) return std::nullopt;
    return ParseJsonObject(BstrToUtf8(params.get()));
}

IQvActionResponse* Response(IQvActionContext* context, ComRef<IQvActionResponse>& holder) {
    CheckHr(context->GetResponse(&holder.p), "GetResponse");
    if (!holder.p) throw std::runtime_error("no response");
    return holder.p;
}

// "data" of the envelope as text for the host; no BSTR when there is no such key.
std::unique_ptr<Bstr> DataText(const Json& envelope) {
    const auto it = envelope.find("data");
    if (it == envelope.end() || it->is_null()) return std::make_unique<Bstr>();
    return std::make_unique<Bstr>(ToCompactJson(*it));
}

}  // namespace

bool TQvNeltoAction::RunAction(IQvActionContext* Context, const char* name, std::int64_t serviceNumber,
                               bool logParams) {
    const std::string action = name;
    if (logParams) {
        const std::optional<Json> params = Params(Context);
        DaemonLog().writeDebugLog("LogEnter[TQvProfilerAction." + action + "]:" +
                                  (params ? ToCompactJson(*params) : std::string()));
    } else {
        DaemonLog().writeDebugLog("LogEnter[TQvProfilerAction." + action + "]");
    }
    const DWORD t0 = GetTickCount();
    std::optional<Json> params;
    std::optional<Json> result;
    try {
        try {
            params = Params(Context);
            if (!params) throw std::runtime_error("no parameters");
            std::string text = ToCompactJson(*params);
            const std::int64_t number = serviceNumber == kFromFuncId ? JsonInt(*params, "funcId") : serviceNumber;
            CallREZAServ(text, static_cast<std::uint32_t>(number));
            result = ParseJsonObject(text);
            if (!result) throw std::runtime_error("result is not a JSON object");
            ComRef<IQvActionResponse> holder;
            IQvActionResponse* response = Response(Context, holder);
            const std::unique_ptr<Bstr> data = DataText(*result);
            const std::string code = JsonText(*result, "messageCode");
            if (code == "00000000") {
                const Bstr success("00000000");
                const Bstr message("处理成功");
                CheckHr(response->WriteSuccess(data->get(), success.get(), message.get()), "WriteSuccess");
            } else {
                const Bstr failure(code);
                const Bstr message(JsonText(*result, "message"));
                CheckHr(response->WriteFailure(data->get(), failure.get(), message.get()), "WriteFailure");
            }
        } catch (const std::exception&) {
            ComRef<IQvActionResponse> holder;
            IQvActionResponse* response = Response(Context, holder);
            const Bstr detail("调用组件功能点异常,请稍后重试");
            const Bstr code("99999999");
            const Bstr message("处理异常");
            response->WriteError(detail.get(), code.get(), message.get());
            DaemonLog().writeDebugLog("[" + action + "]:调用功能点异常");
        }
    } catch (...) {
        // The host's own response failed: the action still posts its record and logs its leave line.
    }
    const std::uint32_t cost = GetTickCount() - t0;
    try {
        PostUsageRecord(params ? &*params : nullptr, result ? &*result : nullptr, kAddressPrefix + action, cost);
    } catch (...) {
    }
    DaemonLog().writeDebugLog("LogLeave[TQvProfilerAction." + action + "]");
    return true;
}

bool TQvNeltoAction::loginREZA(IQvActionContext* Context) { return RunAction(Context, "loginREZA", 0); }
bool TQvNeltoAction::getDeclareStateInfo(IQvActionContext* Context) {
    return RunAction(Context, "getDeclareStateInfo", 1);
}
bool TQvNeltoAction::getPersonInfos(IQvActionContext* Context) { return RunAction(Context, "getPersonInfos", 2); }
bool TQvNeltoAction::checkPersonInfos(IQvActionContext* Context) { return RunAction(Context, "checkPersonInfos", 3); }
bool TQvNeltoAction::savePersonInfos(IQvActionContext* Context) { return RunAction(Context, "savePersonInfos", 4); }
bool TQvNeltoAction::syncSalaryData(IQvActionContext* Context) {
    // Salary rows are large and personal: the enter line carries no parameters.
    return RunAction(Context, "syncSalaryData", 5, false);
}
bool TQvNeltoAction::startRezaSoft(IQvActionContext* Context) { return RunAction(Context, "startRezaSoft", 6); }
bool TQvNeltoAction::getKJSDSBGBInfos(IQvActionContext* Context) { return RunAction(Context, "getKJSDSBGBInfos", 7); }
bool TQvNeltoAction::callREZAFunc(IQvActionContext* Context) { return RunAction(Context, "callREZAFunc", kFromFuncId); }
bool TQvNeltoAction::existCompany(IQvActionContext* Context) { return RunAction(Context, "existCompany", 8); }
bool TQvNeltoAction::getCompanyInfos(IQvActionContext* Context) { return RunAction(Context, "getCompanyInfos", 9); }
bool TQvNeltoAction::updatePersonInfos(IQvActionContext* Context) {
    return RunAction(Context, "updatePersonInfos", 11);
}

namespace {

// Creates the action object, calls the method, frees the object; nothing escapes to the host.
template <bool (TQvNeltoAction::*Method)(IQvActionContext*)>
QvBool __stdcall Invoke(IQvActionContext* context) {
    try {
        if (!context) return 0;
        TQvNeltoAction action;
        if (!action.Initialize()) return 0;
        return (action.*Method)(context) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

#define NELTO_MAPPING(name) {L## #name, L"1.0", L"", reqAll, invokeAsync, &Invoke<&TQvNeltoAction::name>}

// Declaration order of the published methods.
const QvRequestMappingInfo kMappings[] = {
    NELTO_MAPPING(loginREZA),       NELTO_MAPPING(getDeclareStateInfo), NELTO_MAPPING(getPersonInfos),
    NELTO_MAPPING(checkPersonInfos), NELTO_MAPPING(savePersonInfos),    NELTO_MAPPING(syncSalaryData),
    NELTO_MAPPING(startRezaSoft),   NELTO_MAPPING(getKJSDSBGBInfos),    NELTO_MAPPING(callREZAFunc),
    NELTO_MAPPING(existCompany),    NELTO_MAPPING(getCompanyInfos),     NELTO_MAPPING(updatePersonInfos),
};
#undef NELTO_MAPPING

const QvRequestController kController(L"nelto", L"/rezaManager");
const QvControllerInfo kControllers[] = {
    {L"TQvNeltoAction", kController.Host(), kController.Path(), sizeof kMappings / sizeof kMappings[0], kMappings},
};

}  // namespace

const QvControllerInfo* NeltoControllers(std::uint32_t* count) {
    if (count) *count = sizeof kControllers / sizeof kControllers[0];
    return kControllers;
}

}  // namespace nelto
