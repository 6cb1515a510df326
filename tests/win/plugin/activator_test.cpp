// What the host sees of the plug-in library before any request.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "plugin/framework.h"
#include "plugin/host_contract.h"
#include "tests/win/test_util.h"

namespace nelto {
namespace {

std::wstring Take(BSTR text) {
    std::wstring value = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
    SysFreeString(text);
    return value;
}

// A host-side context that counts its references.
struct CountingContext : IBundleContext {
    LONG refs = 1;
    HRESULT __stdcall QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG __stdcall AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
    ULONG __stdcall Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
};

class LoadedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        path = test::ProgramFolder() + "com.tarvesk.httpd.nelto.dll";
        module.reset(LoadLibraryW(Widen(path).c_str()));
        ASSERT_TRUE(module) << GetLastError();
        getActivator = ProcAddress<QvGetBundleActivatorFn>(module.get(), "QvGetBundleActivator");
        getControllers =
            ProcAddress<QvGetActionControllersFn>(module.get(), "QvGetActionControllers");
        ASSERT_TRUE(getActivator);
        ASSERT_TRUE(getControllers);
    }
    std::string path;
    UniqueModule module;
    QvGetBundleActivatorFn getActivator = nullptr;
    QvGetActionControllersFn getControllers = nullptr;
};

TEST_F(LoadedPlugin, HandsOutTheSameActivatorWithAnAddedReferenceEachTime) {
    IBundleActivator* first = nullptr;
    IBundleActivator* second = nullptr;
    getActivator(&first, nullptr);
    getActivator(&second, nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    // Two references handed out: one more AddRef makes three.
    EXPECT_EQ(first->AddRef(), 3u);
    EXPECT_EQ(first->Release(), 2u);
    first->Release();
    EXPECT_EQ(second->Release(), 0u);
    // Host releases never free it: it still answers.
    EXPECT_EQ(Take(first->GetBundleFileName()), L"com.tarvesk.httpd.nelto.dll");
    IBundleActivator* again = nullptr;
    getActivator(&again, nullptr);
    EXPECT_EQ(again, first);
    again->Release();
}

TEST_F(LoadedPlugin, BundleTextsAndInformation) {
    IBundleActivator* activator = nullptr;
    getActivator(&activator, nullptr);
    ASSERT_TRUE(activator);
    const std::wstring file = Widen(ModuleFileName(module.get()));
    const std::wstring folder = Widen(ExtractFilePath(Narrow(file)));
    EXPECT_EQ(activator->GetBundleHandle(), module.get());
    EXPECT_EQ(Take(activator->GetBundleSymbolicName()), file);
    EXPECT_EQ(Take(activator->GetBundlePath()), folder);
    EXPECT_EQ(Take(activator->GetBundleFileName()), L"com.tarvesk.httpd.nelto.dll");
    for (BSTR empty : {activator->GetBundleProvider(), activator->GetBundleDescription(), activator->GetBundleCopyRight(),
                       activator->GetBundleCategory(), activator->GetBundleDependence()}) {
        EXPECT_EQ(Take(empty), L"");
    }
    EXPECT_EQ(Take(activator->GetBundleInformation()),
              L"Bundle-Provider     : \n\rBundle-Description  : \n\rBundle-Category     : \n\r"
              L"Bundle-CopyRight    : \n\rBundle-SymbolicName : " + file +
                  L"\n\rBundle-Dependence   : \n\rBundle-Path         : " + folder +
                  L"\n\rBundle-FileName     : com.tarvesk.httpd.nelto.dll");
    EXPECT_EQ(Take(activator->ToString()), L"TQvHttpProfilerBundleActivator");
    IUnknown* unknown = nullptr;
    EXPECT_EQ(activator->QueryInterface(IID_IBundleActivator, reinterpret_cast<void**>(&unknown)), S_OK);
    if (unknown) unknown->Release();
    EXPECT_EQ(activator->QueryInterface(IID_IQvActionContext, reinterpret_cast<void**>(&unknown)), E_NOINTERFACE);
    activator->Release();
}

TEST_F(LoadedPlugin, StartKeepsTheContextAndStopReleasesIt) {
    IBundleActivator* activator = nullptr;
    getActivator(&activator, nullptr);
    ASSERT_TRUE(activator);
    CountingContext context;
    // Through the C vtable, as a host in another language calls it.
    auto* vtbl = *reinterpret_cast<IBundleActivatorVtbl**>(activator);
    EXPECT_EQ(vtbl->start(activator, &context), S_OK);
    EXPECT_EQ(context.refs, 2);
    EXPECT_EQ(vtbl->stop(activator, &context), S_OK);
    EXPECT_EQ(context.refs, 1);
    activator->Release();
}

TEST_F(LoadedPlugin, DescribesTheTwelveActionsInDeclarationOrder) {
    std::uint32_t count = 0;
    const QvControllerInfo* controllers = getControllers(&count);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(controllers[0].ClassName, L"TQvNeltoAction");
    EXPECT_STREQ(controllers[0].Host, L"nelto");
    EXPECT_STREQ(controllers[0].Path, L"/rezaManager");
    const wchar_t* expected[] = {L"loginREZA", L"getDeclareStateInfo", L"getPersonInfos", L"checkPersonInfos",
                                 L"savePersonInfos", L"syncSalaryData", L"startRezaSoft", L"getKJSDSBGBInfos",
                                 L"callREZAFunc", L"existCompany", L"getCompanyInfos", L"updatePersonInfos"};
    ASSERT_EQ(controllers[0].MethodCount, std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const QvRequestMappingInfo& m = controllers[0].Methods[i];
        EXPECT_STREQ(m.Resource, expected[i]);
        EXPECT_STREQ(m.Version, L"1.0");
        EXPECT_STREQ(m.AliasName, L"");
        EXPECT_EQ(m.RequestMethod, reqAll);
        EXPECT_EQ(m.InvokeMethod, invokeAsync);
        EXPECT_NE(m.Invoke, nullptr);
        EXPECT_EQ(m.Invoke(nullptr), 0) << "no context, no action";
    }
}

// The names in the export directory of a loaded module.
std::vector<std::string> ExportNames(HMODULE module) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::vector<std::string> result;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) result.emplace_back(reinterpret_cast<const char*>(base + names[i]));
    return result;
}

TEST_F(LoadedPlugin, ExportsExactlyTheTwoEntryPointsUndecorated) {
    EXPECT_EQ(ExportNames(module.get()), (std::vector<std::string>{"QvGetActionControllers", "QvGetBundleActivator"}));
}

// In-process: the kept context before start, during and after stop.
TEST(BundleActivator, ContextOnlyBetweenStartAndStop) {
    TQvHttpProfilerBundleActivator* activator = TQvHttpProfilerBundleActivator::GetInstance();
    EXPECT_EQ(activator, TQvHttpProfilerBundleActivator::GetInstance());
    EXPECT_FALSE(activator->LifeOwner());
    EXPECT_EQ(activator->GetBundleContext(), nullptr);
    CountingContext context;
    activator->start(&context);
    IBundleContext* kept = activator->GetBundleContext();
    EXPECT_EQ(kept, &context);
    if (kept) kept->Release();
    activator->stop(&context);
    EXPECT_EQ(activator->GetBundleContext(), nullptr);
    EXPECT_EQ(context.refs, 1);
    TQvHttpProfilerBundleActivator::FreeInstance();
}

}  // namespace
}  // namespace nelto
