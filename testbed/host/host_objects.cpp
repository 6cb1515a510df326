#include "testbed/host/host_objects.h"

#include <exception>

#include "common/win/bstr.h"

namespace nelto::host {

Json ParseData(BSTR data) {
    if (!data) return nullptr;
    Json parsed = Json::parse(BstrToUtf8(data), nullptr, false);
    if (parsed.is_discarded()) return nullptr;
    return parsed;
}

HRESULT __stdcall ActionRequest::QueryInterface(REFIID riid, void** object) {
    return Query(riid, object, IID_IQvActionRequest, true);
}

BSTR __stdcall ActionRequest::ToString() { return AllocBstr(L"TQvActionRequest"); }

HRESULT __stdcall ActionRequest::GetParams(BSTR* params) {
    if (!params) return E_POINTER;
    *params = nullptr;
    try {
        *params = AllocBstrUtf8(params_);
        return *params ? S_OK : E_OUTOFMEMORY;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT __stdcall ActionResponse::QueryInterface(REFIID riid, void** object) {
    return Query(riid, object, IID_IQvActionResponse, true);
}

BSTR __stdcall ActionResponse::ToString() { return AllocBstr(L"TQvActionResponse"); }

HRESULT ActionResponse::Write(WriteKind kind, Json data, BSTR code, BSTR message) {
    Json envelope = Json::object();
    envelope["code"] = BstrToUtf8(code);
    envelope["message"] = BstrToUtf8(message);
    envelope["data"] = std::move(data);
    CriticalSection::Guard guard(lock_);
    kind_ = kind;
    envelope_ = std::move(envelope);
    return S_OK;
}

HRESULT __stdcall ActionResponse::WriteSuccess(BSTR data, BSTR code, BSTR message) {
    try {
        return Write(WriteKind::Success, ParseData(data), code, message);
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT __stdcall ActionResponse::WriteFailure(BSTR data, BSTR code, BSTR message) {
    try {
        return Write(WriteKind::Failure, ParseData(data), code, message);
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT __stdcall ActionResponse::WriteError(BSTR detail, BSTR code, BSTR message) {
    try {
        Json data = Json::object();
        data["detail"] = BstrToUtf8(detail);
        return Write(WriteKind::Error, std::move(data), code, message);
    } catch (...) {
        return E_FAIL;
    }
}

WriteKind ActionResponse::Kind() {
    CriticalSection::Guard guard(lock_);
    return kind_;
}

Json ActionResponse::Envelope() {
    CriticalSection::Guard guard(lock_);
    return envelope_;
}

ActionContext::ActionContext(ActionRequest* request, ActionResponse* response)
    : request_(request), response_(response) {
    request_->AddRef();
    response_->AddRef();
}

ActionContext::~ActionContext() {
    request_->Release();
    response_->Release();
}

HRESULT __stdcall ActionContext::QueryInterface(REFIID riid, void** object) {
    return Query(riid, object, IID_IQvActionContext, true);
}

BSTR __stdcall ActionContext::ToString() { return AllocBstr(L"TQvActionContext"); }

HRESULT __stdcall ActionContext::GetRequest(IQvActionRequest** request) {
    if (!request) return E_POINTER;
    request_->AddRef();
    *request = request_;
    return S_OK;
}

HRESULT __stdcall ActionContext::GetResponse(IQvActionResponse** response) {
    if (!response) return E_POINTER;
    response_->AddRef();
    *response = response_;
    return S_OK;
}

}  // namespace nelto::host
