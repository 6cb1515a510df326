#include "plugin/framework.h"

#include <utility>

#include "common/win/bstr.h"
#include "common/win/fs.h"
#include "common/win/unicode.h"

namespace nelto {
namespace {


TQvHttpProfilerBundleActivator* gInstance = nullptr;

CriticalSection& InstanceLock() {
    static CriticalSection lock;
    return lock;
}

}  // namespace

HMODULE PluginModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&PluginModule), &module);
    return module;
}

TOSGiBundleActivator::~TOSGiBundleActivator() {
    if (FBundleContext) FBundleContext->Release();
}

HRESULT __stdcall TOSGiBundleActivator::QueryInterface(REFIID riid, void** object) {
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

BSTR __stdcall TOSGiBundleActivator::ToString() { return AllocBstr(ClassName()); }

HMODULE __stdcall TOSGiBundleActivator::GetBundleHandle() { return PluginModule(); }

BSTR __stdcall TOSGiBundleActivator::GetBundleProvider() { return AllocBstr(L""); }
BSTR __stdcall TOSGiBundleActivator::GetBundleDescription() { return AllocBstr(L""); }
BSTR __stdcall TOSGiBundleActivator::GetBundleCopyRight() { return AllocBstr(L""); }
BSTR __stdcall TOSGiBundleActivator::GetBundleCategory() { return AllocBstr(L""); }
BSTR __stdcall TOSGiBundleActivator::GetBundleDependence() { return AllocBstr(L""); }

BSTR __stdcall TOSGiBundleActivator::GetBundleSymbolicName() { return AllocBstr(Widen(ModuleFileName(PluginModule()))); }
BSTR __stdcall TOSGiBundleActivator::GetBundlePath() {
    return AllocBstr(Widen(ExtractFilePath(ModuleFileName(PluginModule()))));
}
BSTR __stdcall TOSGiBundleActivator::GetBundleFileName() {
    return AllocBstr(Widen(ExtractFileName(ModuleFileName(PluginModule()))));
}

std::wstring TOSGiBundleActivator::BundleInformation() const {
    const std::wstring file = Widen(ModuleFileName(PluginModule()));
    const std::wstring folder = Widen(ExtractFilePath(Narrow(file)));
    const std::wstring name = Widen(ExtractFileName(Narrow(file)));
    const std::pair<const wchar_t*, std::wstring> lines[] = {
        {L"Bundle-Provider     : ", L""},     {L"Bundle-Description  : ", L""},
        {L"Bundle-Category     : ", L""},     {L"Bundle-CopyRight    : ", L""},
        {L"Bundle-SymbolicName : ", file},    {L"Bundle-Dependence   : ", L""},
        {L"Bundle-Path         : ", folder},  {L"Bundle-FileName     : ", name},
    };
    std::wstring text;
    for (const auto& [label, value] : lines) {
        if (!text.empty()) text += L"\n\r";
        text += label;
        text += value;
    }
    return text;
}

BSTR __stdcall TOSGiBundleActivator::GetBundleInformation() { return AllocBstr(BundleInformation()); }

HRESULT __stdcall TOSGiBundleActivator::start(IBundleContext* context) {
    if (context) context->AddRef();
    IBundleContext* old = nullptr;
    {
        CriticalSection::Guard guard(contextLock_);
        old = std::exchange(FBundleContext, context);
    }
    if (old) old->Release();
    return S_OK;
}

HRESULT __stdcall TOSGiBundleActivator::stop(IBundleContext*) {
    IBundleContext* old = nullptr;
    {
        CriticalSection::Guard guard(contextLock_);
        old = std::exchange(FBundleContext, nullptr);
    }
    if (old) old->Release();
    return S_OK;
}

IBundleContext* TOSGiBundleActivator::GetBundleContext() {
    CriticalSection::Guard guard(contextLock_);
    if (FBundleContext) FBundleContext->AddRef();
    return FBundleContext;
}

TQvHttpProfilerBundleActivator* TQvHttpProfilerBundleActivator::GetInstance() {
    CriticalSection::Guard guard(InstanceLock());
    if (!gInstance) gInstance = new TQvHttpProfilerBundleActivator();
    return gInstance;
}

void TQvHttpProfilerBundleActivator::FreeInstance() {
    CriticalSection::Guard guard(InstanceLock());
    delete std::exchange(gInstance, nullptr);
}

}  // namespace nelto
