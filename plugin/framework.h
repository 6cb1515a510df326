#pragma once
// The small host framework the plug-in carries: reference-counted objects, the bundle activator,
// the action handler base and the request-mapping attributes.
//
// Threading: the activator may be used from any host thread; reference counts are interlocked.

#include <windows.h>

#include <string>

#include "common/win/handles.h"
#include "plugin/host_contract.h"

namespace nelto {

// Root object class.
class TQvObject {
public:
    TQvObject() = default;
    virtual ~TQvObject() = default;
    TQvObject(const TQvObject&) = delete;
    TQvObject& operator=(const TQvObject&) = delete;
    // Gives no object.
    virtual TQvObject* Clone() const { return nullptr; }
    virtual std::wstring ClassName() const { return L"TQvObject"; }
};

// Reference counting for interface objects. An object created with aLifeOwner false is never
// freed by releases: its owner frees it.
class TQvLifecycleInterfacedObject : public TQvObject {
public:
    explicit TQvLifecycleInterfacedObject(bool aLifeOwner) : FLifeOwner(aLifeOwner) {}
    bool LifeOwner() const { return FLifeOwner; }
    LONG RefCount() const { return FRefCount; }
    std::wstring ClassName() const override { return L"TQvLifecycleInterfacedObject"; }

protected:
    ULONG DoAddRef() { return static_cast<ULONG>(InterlockedIncrement(&FRefCount)); }
    ULONG DoRelease() {
        const LONG count = InterlockedDecrement(&FRefCount);
        if (count == 0 && FLifeOwner) delete this;
        return static_cast<ULONG>(count);
    }

private:
    volatile LONG FRefCount = 0;
    bool FLifeOwner;
};

// The activator handed to the host.
class TOSGiBundleActivator : public TQvLifecycleInterfacedObject, public IBundleActivator {
public:
    explicit TOSGiBundleActivator(bool aLifeOwner) : TQvLifecycleInterfacedObject(aLifeOwner) {}
    ~TOSGiBundleActivator() override;
    std::wstring ClassName() const override { return L"TOSGiBundleActivator"; }

    // IUnknown
    HRESULT __stdcall QueryInterface(REFIID riid, void** object) override;
    ULONG __stdcall AddRef() override { return DoAddRef(); }
    ULONG __stdcall Release() override { return DoRelease(); }
    // IQvInterface
    void* __stdcall Implementor() override { return this; }
    BSTR __stdcall ToString() override;
    // IBundleActivator
    HMODULE __stdcall GetBundleHandle() override;
    BSTR __stdcall GetBundleInformation() override;
    BSTR __stdcall GetBundleProvider() override;
    BSTR __stdcall GetBundleDescription() override;
    BSTR __stdcall GetBundleCopyRight() override;
    BSTR __stdcall GetBundleSymbolicName() override;
    BSTR __stdcall GetBundlePath() override;
    BSTR __stdcall GetBundleFileName() override;
    BSTR __stdcall GetBundleCategory() override;
    BSTR __stdcall GetBundleDependence() override;
    HRESULT __stdcall start(IBundleContext* context) override;
    HRESULT __stdcall stop(IBundleContext* context) override;

    // The kept context with an added reference, or nullptr (none before start, none after stop).
    IBundleContext* GetBundleContext();
    // The eight "Bundle-...: value" lines joined by LF CR (UTF-16).
    std::wstring BundleInformation() const;

private:
    IBundleContext* FBundleContext = nullptr;
    CriticalSection contextLock_;
};

// The one activator of the library.
class TQvHttpProfilerBundleActivator : public TOSGiBundleActivator {
public:
    TQvHttpProfilerBundleActivator() : TOSGiBundleActivator(false) {}
    std::wstring ClassName() const override { return L"TQvHttpProfilerBundleActivator"; }
    HRESULT __stdcall start(IBundleContext* context) override { return TOSGiBundleActivator::start(context); }
    HRESULT __stdcall stop(IBundleContext* context) override { return TOSGiBundleActivator::stop(context); }

    // Created on first use (not owned by its references); later calls give the same object.
    static TQvHttpProfilerBundleActivator* GetInstance();
    // Destroys the activator when one exists (library unload).
    static void FreeInstance();
};

// Attribute of an action class.
class QvRequestController {
public:
    QvRequestController(const wchar_t* AHost, const wchar_t* APath) : FHost(AHost), FPath(APath) {}
    const wchar_t* Host() const { return FHost; }
    const wchar_t* Path() const { return FPath; }

private:
    const wchar_t* FHost;
    const wchar_t* FPath;
};

// Base of action classes.
class TQvActionHandler : public TQvObject {
public:
    virtual bool Initialize() { return true; }
    std::wstring ClassName() const override { return L"TQvActionHandler"; }
};

class TQvActionUtils {
public:
    // Does nothing in this library: the host finds actions through QvGetActionControllers.
    template <typename THandler>
    static void RegisterHandler() {}
};

// The module of the plug-in (the running program when linked into a test).
HMODULE PluginModule();

}  // namespace nelto
