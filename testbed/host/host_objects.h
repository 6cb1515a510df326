#pragma once
// The host's side of the plug-in contract: the objects an action call receives (context,
// request, response) and the bundle context handed to the activator. Reference counted with
// interlocked counts; created with one reference that the creator releases.

#include <windows.h>

#include <string>

#include "common/json_util.h"
#include "common/win/handles.h"
#include "plugin/host_contract.h"

namespace nelto::host {

// Reference counting and QueryInterface for one contract interface.
template <typename Interface>
class ComObject : public Interface {
public:
    ULONG __stdcall AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG __stdcall Release() override {
        const LONG count = InterlockedDecrement(&refs_);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;
    // Answers IUnknown, the root interface (when rooted in it) and the interface itself.
    HRESULT Query(REFIID riid, void** object, const GUID& own, bool qvRooted) {
        if (!object) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, own) ||
            (qvRooted && IsEqualIID(riid, IID_IQvInterface))) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

private:
    volatile LONG refs_ = 1;
};

class ActionRequest final : public ComObject<IQvActionRequest> {
public:
    // params: the JSON object text given to the plug-in.
    explicit ActionRequest(std::string params) : params_(std::move(params)) {}

    HRESULT __stdcall QueryInterface(REFIID riid, void** object) override;
    void* __stdcall Implementor() override { return this; }
    BSTR __stdcall ToString() override;
    HRESULT __stdcall GetParams(BSTR* params) override;

private:
    const std::string params_;
};

// What a response was given.
enum class WriteKind { None, Success, Failure, Error };

class ActionResponse final : public ComObject<IQvActionResponse> {
public:
    ActionResponse() = default;

    HRESULT __stdcall QueryInterface(REFIID riid, void** object) override;
    void* __stdcall Implementor() override { return this; }
    BSTR __stdcall ToString() override;
    HRESULT __stdcall HostOperation1() override { return E_NOTIMPL; }
    HRESULT __stdcall WriteSuccess(BSTR data, BSTR code, BSTR message) override;
    HRESULT __stdcall HostOperation3() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation4() override { return E_NOTIMPL; }
    HRESULT __stdcall WriteFailure(BSTR data, BSTR code, BSTR message) override;
    HRESULT __stdcall HostOperation6() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation7() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation8() override { return E_NOTIMPL; }
    HRESULT __stdcall WriteError(BSTR detail, BSTR code, BSTR message) override;
    HRESULT __stdcall HostOperation10() override { return E_NOTIMPL; }

    // The last write: its kind and {"code", "message", "data"} (null when nothing was written).
    WriteKind Kind();
    Json Envelope();

private:
    HRESULT Write(WriteKind kind, Json data, BSTR code, BSTR message);

    CriticalSection lock_;
    WriteKind kind_ = WriteKind::None;
    Json envelope_;
};

class ActionContext final : public ComObject<IQvActionContext> {
public:
    // Keeps a reference to both.
    ActionContext(ActionRequest* request, ActionResponse* response);

    HRESULT __stdcall QueryInterface(REFIID riid, void** object) override;
    void* __stdcall Implementor() override { return this; }
    BSTR __stdcall ToString() override;
    HRESULT __stdcall GetRequest(IQvActionRequest** request) override;
    HRESULT __stdcall GetResponse(IQvActionResponse** response) override;
    HRESULT __stdcall HostOperation3() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation4() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation5() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation6() override { return E_NOTIMPL; }
    HRESULT __stdcall HostOperation7() override { return E_NOTIMPL; }

private:
    ~ActionContext() override;
    ActionRequest* const request_;
    ActionResponse* const response_;
};

class BundleContext final : public ComObject<IBundleContext> {
public:
    HRESULT __stdcall QueryInterface(REFIID riid, void** object) override {
        return Query(riid, object, IID_IBundleContext, false);
    }
};

// The data of a write: the JSON text parsed; NULL or text that is not JSON gives null.
Json ParseData(BSTR data);

}  // namespace nelto::host
