#pragma once
// The binary contract between the local HTTP host ("Httpd") and its plug-in libraries.
//
// A host in any language can implement its side from this header alone:
//
// Layout. Every interface is COM-style: a pointer to a vtable whose slots 0..2 are IUnknown's
// QueryInterface, AddRef and Release; IQvInterface adds Implementor (slot 3) and ToString
// (slot 4); each interface below then numbers its own operations from 1 (operation k is slot
// 4 + k). Every method uses __stdcall, the callee removes the arguments.
//
// Types. Texts and JSON cross as BSTR (UTF-16, length-prefixed, allocated with SysAllocString).
// JSON objects cross as their JSON text; a NULL BSTR means "no object" and is rendered as null.
// Booleans are 8 bits (QvBool): 0 is false, anything else true.
//
// Ownership. A BSTR passed *into* a method stays owned by the caller, who frees it after the call.
// A BSTR *returned* (result or out parameter) belongs to the caller, who frees it with
// SysFreeString. An interface pointer returned through an out parameter carries one added
// reference that the caller releases.
//
// Threads. The host may call actions on any of its threads, several at the same time; each
// action call gets its own context object, used only on that thread during the call.
//
// Entry points of a plug-in library (undecorated exports):
//   QvGetBundleActivator   void __stdcall (IBundleActivator** activator, void* reserved)
//                          stores the activator with one added reference; reserved is not read.
//   QvGetActionControllers const QvControllerInfo* __stdcall (uint32_t* count)
//                          the plug-in's action classes and their request mappings (C++ has no
//                          run-time type information for published methods); the tables and
//                          their texts live as long as the library stays loaded.

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include <cstddef>
#include <cstdint>

typedef std::uint8_t QvBool;

// {5E1A0A3C-2B7D-4E8F-9C61-3D2A7F0B1C01} and following: interface identifiers of the contract.
// clang-format off
inline constexpr GUID IID_IQvInterface       = {0x5e1a0a3c, 0x2b7d, 0x4e8f, {0x9c, 0x61, 0x3d, 0x2a, 0x7f, 0x0b, 0x1c, 0x01}};
inline constexpr GUID IID_IQvActionRequest   = {0x5e1a0a3c, 0x2b7d, 0x4e8f, {0x9c, 0x61, 0x3d, 0x2a, 0x7f, 0x0b, 0x1c, 0x02}};
inline constexpr GUID IID_IQvActionResponse  = {0x5e1a0a3c, 0x2b7d, 0x4e8f, {0x9c, 0x61, 0x3d, 0x2a, 0x7f, 0x0b, 0x1c, 0x03}};
inline constexpr GUID IID_IQvActionContext   = {0x5e1a0a3c, 0x2b7d, 0x4e8f, {0x9c, 0x61, 0x3d, 0x2a, 0x7f, 0x0b, 0x1c, 0x04}};
inline constexpr GUID IID_IBundleContext     = {0x5e1a0a3c, 0x2b7d, 0x4e8f, {0x9c, 0x61, 0x3d, 0x2a, 0x7f, 0x0b, 0x1c, 0x05}};
inline constexpr GUID IID_IBundleActivator   = {0x5e1a0a3c, 0x2b7d, 0x4e8f, {0x9c, 0x61, 0x3d, 0x2a, 0x7f, 0x0b, 0x1c, 0x06}};
// clang-format on

// Root of all contract interfaces.
struct IQvInterface : public IUnknown {
    // Slot 3: the implementing object itself (no reference added).
    virtual void* __stdcall Implementor() = 0;
    // Slot 4: a description (the class name); the caller frees the BSTR.
    virtual BSTR __stdcall ToString() = 0;
};

// The request of one action call (host side).
struct IQvActionRequest : public IQvInterface {
    // Operation 1: the request parameters as one JSON object text (NULL: none). May be called
    // several times; each call returns a new BSTR the caller frees.
    virtual HRESULT __stdcall GetParams(BSTR* params) = 0;
};

// The response of one action call (host side). Ten operations; the plug-in calls 2, 5 and 9.
// The others belong to the host: a plug-in never calls them.
struct IQvActionResponse : public IQvInterface {
    virtual HRESULT __stdcall HostOperation1() = 0;
    // Operation 2: success. data: JSON object text or NULL; code, message: texts.
    virtual HRESULT __stdcall WriteSuccess(BSTR data, BSTR code, BSTR message) = 0;
    virtual HRESULT __stdcall HostOperation3() = 0;
    virtual HRESULT __stdcall HostOperation4() = 0;
    // Operation 5: failure, same arguments as WriteSuccess.
    virtual HRESULT __stdcall WriteFailure(BSTR data, BSTR code, BSTR message) = 0;
    virtual HRESULT __stdcall HostOperation6() = 0;
    virtual HRESULT __stdcall HostOperation7() = 0;
    virtual HRESULT __stdcall HostOperation8() = 0;
    // Operation 9: the action itself failed. detail, code, message: texts.
    virtual HRESULT __stdcall WriteError(BSTR detail, BSTR code, BSTR message) = 0;
    virtual HRESULT __stdcall HostOperation10() = 0;
};

// What one action call receives (host side). Seven operations; the plug-in calls 1 and 2.
struct IQvActionContext : public IQvInterface {
    // Operation 1: the request; *request gets an added reference.
    virtual HRESULT __stdcall GetRequest(IQvActionRequest** request) = 0;
    // Operation 2: the response; *response gets an added reference.
    virtual HRESULT __stdcall GetResponse(IQvActionResponse** response) = 0;
    virtual HRESULT __stdcall HostOperation3() = 0;
    virtual HRESULT __stdcall HostOperation4() = 0;
    virtual HRESULT __stdcall HostOperation5() = 0;
    virtual HRESULT __stdcall HostOperation6() = 0;
    virtual HRESULT __stdcall HostOperation7() = 0;
};

// The host's bundle context (host side); the plug-in only keeps a reference to it.
struct IBundleContext : public IUnknown {};

// The plug-in's activator (plug-in side). Texts are returned as BSTRs the caller frees.
struct IBundleActivator : public IQvInterface {
    virtual HMODULE __stdcall GetBundleHandle() = 0;        // operation 1, slot 5
    virtual BSTR __stdcall GetBundleInformation() = 0;      // 2, slot 6
    virtual BSTR __stdcall GetBundleProvider() = 0;         // 3, slot 7
    virtual BSTR __stdcall GetBundleDescription() = 0;      // 4, slot 8
    virtual BSTR __stdcall GetBundleCopyRight() = 0;        // 5, slot 9
    virtual BSTR __stdcall GetBundleSymbolicName() = 0;     // 6, slot 10
    virtual BSTR __stdcall GetBundlePath() = 0;             // 7, slot 11
    virtual BSTR __stdcall GetBundleFileName() = 0;         // 8, slot 12
    virtual BSTR __stdcall GetBundleCategory() = 0;         // 9, slot 13
    virtual BSTR __stdcall GetBundleDependence() = 0;       // 10, slot 14
    // 11, slot 15: called after loading; the plug-in keeps a reference to the context.
    virtual HRESULT __stdcall start(IBundleContext* context) = 0;
    // 12, slot 16: called before unloading; the plug-in releases the context.
    virtual HRESULT __stdcall stop(IBundleContext* context) = 0;
};

// Request methods and invocation modes of a mapping.
enum QvRequestMethod : std::int32_t { reqUndefine = 0, reqAll = 1, reqGet = 2, reqPost = 3, reqDelete = 4, reqPut = 5 };
enum QvInvokeMethod : std::int32_t { invokeAsync = 0, invokeSync = 1 };

// Runs one action: creates the action object, calls the method with the context, frees the
// object. Never lets an exception out; the result is the method's Boolean.
typedef QvBool(__stdcall* QvActionEntry)(IQvActionContext* context);

// One published action method and its mapping (the QvRequestMapping attribute).
struct QvRequestMappingInfo {
    const wchar_t* Resource;  // e.g. L"getCompanyInfos"
    const wchar_t* Version;   // L"1.0"
    const wchar_t* AliasName; // L""
    std::int32_t RequestMethod;  // QvRequestMethod
    std::int32_t InvokeMethod;   // QvInvokeMethod
    QvActionEntry Invoke;
};

// One action class (the QvRequestController attribute and its methods in declaration order).
// The host routes Host + Path + "/" + Resource, e.g. "nelto" + "/rezaManager" + "/getCompanyInfos".
struct QvControllerInfo {
    const wchar_t* ClassName;  // e.g. L"TQvNeltoAction"
    const wchar_t* Host;
    const wchar_t* Path;
    std::uint32_t MethodCount;
    const QvRequestMappingInfo* Methods;
};

typedef void(__stdcall* QvGetBundleActivatorFn)(IBundleActivator** activator, void* reserved);
typedef const QvControllerInfo*(__stdcall* QvGetActionControllersFn)(std::uint32_t* count);

// The same layouts as plain C vtables, for hosts written in other languages. Slot numbers are
// checked at compile time; a test checks that the C++ interfaces above match them.
#define QV_SLOT(vtbl, member) (offsetof(vtbl, member) / sizeof(void*))

struct IQvActionRequestVtbl {
    HRESULT(__stdcall* QueryInterface)(IQvActionRequest*, REFIID, void**);
    ULONG(__stdcall* AddRef)(IQvActionRequest*);
    ULONG(__stdcall* Release)(IQvActionRequest*);
    void*(__stdcall* Implementor)(IQvActionRequest*);
    BSTR(__stdcall* ToString)(IQvActionRequest*);
    HRESULT(__stdcall* GetParams)(IQvActionRequest*, BSTR*);
};

struct IQvActionResponseVtbl {
    HRESULT(__stdcall* QueryInterface)(IQvActionResponse*, REFIID, void**);
    ULONG(__stdcall* AddRef)(IQvActionResponse*);
    ULONG(__stdcall* Release)(IQvActionResponse*);
    void*(__stdcall* Implementor)(IQvActionResponse*);
    BSTR(__stdcall* ToString)(IQvActionResponse*);
    HRESULT(__stdcall* HostOperation1)(IQvActionResponse*);
    HRESULT(__stdcall* WriteSuccess)(IQvActionResponse*, BSTR, BSTR, BSTR);
    HRESULT(__stdcall* HostOperation3)(IQvActionResponse*);
    HRESULT(__stdcall* HostOperation4)(IQvActionResponse*);
    HRESULT(__stdcall* WriteFailure)(IQvActionResponse*, BSTR, BSTR, BSTR);
    HRESULT(__stdcall* HostOperation6)(IQvActionResponse*);
    HRESULT(__stdcall* HostOperation7)(IQvActionResponse*);
    HRESULT(__stdcall* HostOperation8)(IQvActionResponse*);
    HRESULT(__stdcall* WriteError)(IQvActionResponse*, BSTR, BSTR, BSTR);
    HRESULT(__stdcall* HostOperation10)(IQvActionResponse*);
};

struct IQvActionContextVtbl {
    HRESULT(__stdcall* QueryInterface)(IQvActionContext*, REFIID, void**);
    ULONG(__stdcall* AddRef)(IQvActionContext*);
    ULONG(__stdcall* Release)(IQvActionContext*);
    void*(__stdcall* Implementor)(IQvActionContext*);
    BSTR(__stdcall* ToString)(IQvActionContext*);
    HRESULT(__stdcall* GetRequest)(IQvActionContext*, IQvActionRequest**);
    HRESULT(__stdcall* GetResponse)(IQvActionContext*, IQvActionResponse**);
    HRESULT(__stdcall* HostOperation3)(IQvActionContext*);
    HRESULT(__stdcall* HostOperation4)(IQvActionContext*);
    HRESULT(__stdcall* HostOperation5)(IQvActionContext*);
    HRESULT(__stdcall* HostOperation6)(IQvActionContext*);
    HRESULT(__stdcall* HostOperation7)(IQvActionContext*);
};

struct IBundleActivatorVtbl {
    HRESULT(__stdcall* QueryInterface)(IBundleActivator*, REFIID, void**);
    ULONG(__stdcall* AddRef)(IBundleActivator*);
    ULONG(__stdcall* Release)(IBundleActivator*);
    void*(__stdcall* Implementor)(IBundleActivator*);
    BSTR(__stdcall* ToString)(IBundleActivator*);
    HMODULE(__stdcall* GetBundleHandle)(IBundleActivator*);
    BSTR(__stdcall* GetBundleInformation)(IBundleActivator*);
    BSTR(__stdcall* GetBundleProvider)(IBundleActivator*);
    BSTR(__stdcall* GetBundleDescription)(IBundleActivator*);
    BSTR(__stdcall* GetBundleCopyRight)(IBundleActivator*);
    BSTR(__stdcall* GetBundleSymbolicName)(IBundleActivator*);
    BSTR(__stdcall* GetBundlePath)(IBundleActivator*);
    BSTR(__stdcall* GetBundleFileName)(IBundleActivator*);
    BSTR(__stdcall* GetBundleCategory)(IBundleActivator*);
    BSTR(__stdcall* GetBundleDependence)(IBundleActivator*);
    HRESULT(__stdcall* start)(IBundleActivator*, IBundleContext*);
    HRESULT(__stdcall* stop)(IBundleActivator*, IBundleContext*);
};

static_assert(sizeof(QvBool) == 1, "Booleans cross the contract as 8 bits");
static_assert(QV_SLOT(IQvActionRequestVtbl, Implementor) == 3 && QV_SLOT(IQvActionRequestVtbl, ToString) == 4);
static_assert(QV_SLOT(IQvActionRequestVtbl, GetParams) == 5);
static_assert(QV_SLOT(IQvActionResponseVtbl, WriteSuccess) == 6);
static_assert(QV_SLOT(IQvActionResponseVtbl, WriteFailure) == 9);
static_assert(QV_SLOT(IQvActionResponseVtbl, WriteError) == 13);
static_assert(sizeof(IQvActionResponseVtbl) == (5 + 10) * sizeof(void*), "ten response operations");
static_assert(QV_SLOT(IQvActionContextVtbl, GetRequest) == 5 && QV_SLOT(IQvActionContextVtbl, GetResponse) == 6);
static_assert(sizeof(IQvActionContextVtbl) == (5 + 7) * sizeof(void*), "seven context operations");
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleHandle) == 5);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleInformation) == 6);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleProvider) == 7);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleDescription) == 8);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleCopyRight) == 9);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleSymbolicName) == 10);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundlePath) == 11);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleFileName) == 12);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleCategory) == 13);
static_assert(QV_SLOT(IBundleActivatorVtbl, GetBundleDependence) == 14);
static_assert(QV_SLOT(IBundleActivatorVtbl, start) == 15 && QV_SLOT(IBundleActivatorVtbl, stop) == 16);
