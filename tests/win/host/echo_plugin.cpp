// A tiny plug-in for the host's tests: one controller "nelto" + "/rezaManager".
//   echo      success with the parameters as data (reads them twice: each read must be a new text)
//   fail      failure with the parameters as data
//   error     error with a fixed detail
//   slow      success after 500 ms
//   silent    writes nothing
//   nulldata  success with a NULL data text;  textdata: success with data that is not JSON
//   count     success with {"calls": number of action calls so far, this one included}
// When NELTO_ECHO_MARKER names a file, "start", "slow" and "stop" lines are appended to it
// ("stop-other-context" when stop gets another context than start).

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "common/win/handles.h"
#include "plugin/host_contract.h"
#include "common/win/bstr.h"

namespace {

using nelto::AllocBstr;
using nelto::BstrView;
using nelto::UniqueBstr;

std::atomic<long> gCalls{0};

void Mark(const char* line) {
    static std::mutex lock;
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = GetEnvironmentVariableW(L"NELTO_ECHO_MARKER", path, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) return;
    std::lock_guard<std::mutex> guard(lock);
    nelto::UniqueFile file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string text = std::string(line) + "\n";
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

class EchoActivator final : public IBundleActivator {
public:
    HRESULT __stdcall QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvInterface) ||
            IsEqualIID(riid, IID_IBundleActivator)) {
            *object = static_cast<IBundleActivator*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG __stdcall AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG __stdcall Release() override {
        const LONG count = InterlockedDecrement(&refs_);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }
    void* __stdcall Implementor() override { return this; }
    BSTR __stdcall ToString() override { return AllocBstr(L"TEchoActivator"); }
    HMODULE __stdcall GetBundleHandle() override { return nullptr; }
    BSTR __stdcall GetBundleInformation() override { return AllocBstr(L"echo"); }
    BSTR __stdcall GetBundleProvider() override { return AllocBstr(L""); }
    BSTR __stdcall GetBundleDescription() override { return AllocBstr(L""); }
    BSTR __stdcall GetBundleCopyRight() override { return AllocBstr(L""); }
    BSTR __stdcall GetBundleSymbolicName() override { return AllocBstr(L"echo_plugin"); }
    BSTR __stdcall GetBundlePath() override { return AllocBstr(L""); }
    BSTR __stdcall GetBundleFileName() override { return AllocBstr(L"echo_plugin.dll"); }
    BSTR __stdcall GetBundleCategory() override { return AllocBstr(L""); }
    BSTR __stdcall GetBundleDependence() override { return AllocBstr(L""); }
    HRESULT __stdcall start(IBundleContext* context) override {
        if (!context) return E_POINTER;
        context->AddRef();
        context_ = context;
        Mark("start");
        return S_OK;
    }
    HRESULT __stdcall stop(IBundleContext* context) override {
        Mark(context && context == context_ ? "stop" : "stop-other-context");
        if (context_) context_->Release();
        context_ = nullptr;
        return S_OK;
    }

private:
    ~EchoActivator() { if (context_) context_->Release(); }
    volatile LONG refs_ = 0;
    IBundleContext* context_ = nullptr;
};

// Request and response of a call, released at the end of the action.
struct Call {
    IQvActionRequest* request = nullptr;
    IQvActionResponse* response = nullptr;
    explicit Call(IQvActionContext* context) {
        ++gCalls;
        context->GetRequest(&request);
        context->GetResponse(&response);
    }
    ~Call() {
        if (request) request->Release();
        if (response) response->Release();
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    bool ok() const { return request && response; }
};

QvBool Success(Call& call, BSTR data) {
    UniqueBstr code(AllocBstr(L"00000000"));
    UniqueBstr message(AllocBstr(L"处理成功"));
    return SUCCEEDED(call.response->WriteSuccess(data, code.get(), message.get()));
}

QvBool __stdcall Echo(IQvActionContext* context) {
    Call call(context);
    if (!call.ok()) return 0;
    UniqueBstr first;
    UniqueBstr second;
    call.request->GetParams(first.put());
    call.request->GetParams(second.put());
    if (!first || first.get() == second.get() || BstrView(first.get()) != BstrView(second.get())) {
        UniqueBstr detail(AllocBstr(L"GetParams did not give two equal fresh texts"));
        UniqueBstr code(AllocBstr(L"E0002"));
        call.response->WriteError(detail.get(), code.get(), code.get());
        return 0;
    }
    return Success(call, first.get());
}

QvBool __stdcall Fail(IQvActionContext* context) {
    Call call(context);
    if (!call.ok()) return 0;
    UniqueBstr params;
    call.request->GetParams(params.put());
    UniqueBstr code(AllocBstr(L"E0001"));
    UniqueBstr message(AllocBstr(L"处理失败"));
    call.response->WriteFailure(params.get(), code.get(), message.get());
    return 0;
}

QvBool __stdcall Error(IQvActionContext* context) {
    Call call(context);
    if (!call.ok()) return 0;
    UniqueBstr detail(AllocBstr(L"细节: detail"));
    UniqueBstr code(AllocBstr(L"E9999"));
    UniqueBstr message(AllocBstr(L"发生错误"));
    call.response->WriteError(detail.get(), code.get(), message.get());
    return 0;
}

QvBool __stdcall Slow(IQvActionContext* context) {
    Call call(context);
    if (!call.ok()) return 0;
    Mark("slow");
    Sleep(500);
    UniqueBstr params;
    call.request->GetParams(params.put());
    return Success(call, params.get());
}

QvBool __stdcall Silent(IQvActionContext* context) {
    Call call(context);
    return 0;
}

QvBool __stdcall NullData(IQvActionContext* context) {
    Call call(context);
    return call.ok() && Success(call, nullptr);
}

QvBool __stdcall TextData(IQvActionContext* context) {
    Call call(context);
    if (!call.ok()) return 0;
    UniqueBstr data(AllocBstr(L"not json {"));
    return Success(call, data.get());
}

QvBool __stdcall Count(IQvActionContext* context) {
    Call call(context);
    if (!call.ok()) return 0;
    UniqueBstr data(AllocBstr(L"{\"calls\":" + std::to_wstring(gCalls.load()) + L"}"));
    return Success(call, data.get());
}

const QvRequestMappingInfo kMethods[] = {
    {L"echo", L"1.0", L"", reqAll, invokeSync, Echo},
    {L"fail", L"1.0", L"", reqAll, invokeSync, Fail},
    {L"error", L"1.0", L"", reqAll, invokeSync, Error},
    {L"slow", L"1.0", L"", reqAll, invokeSync, Slow},
    {L"silent", L"1.0", L"", reqAll, invokeSync, Silent},
    {L"nulldata", L"1.0", L"", reqAll, invokeSync, NullData},
    {L"textdata", L"1.0", L"", reqAll, invokeSync, TextData},
    {L"count", L"1.0", L"", reqAll, invokeSync, Count},
};
const QvControllerInfo kControllers[] = {
    {L"TEchoAction", L"nelto", L"/rezaManager", static_cast<std::uint32_t>(std::size(kMethods)), kMethods},
};

}  // namespace

// Exported undecorated through echo_plugin.def.
extern "C" void __stdcall QvGetBundleActivator(IBundleActivator** activator, void*) {
    if (!activator) return;
    auto* created = new EchoActivator();
    created->AddRef();
    *activator = created;
}

extern "C" const QvControllerInfo* __stdcall QvGetActionControllers(std::uint32_t* count) {
    if (count) *count = static_cast<std::uint32_t>(std::size(kControllers));
    return kControllers;
}
