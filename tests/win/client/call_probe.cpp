// client_call_probe.exe <library> <export>: calls one export of an interface library with "{}"
// and prints "exception XXXXXXXX" when a structured exception leaves it (then exits 3), or
// "returned N" with the Boolean result.

#include <windows.h>
#include <oleauto.h>

#include <cstdio>

#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "worker/client_contract.h"

namespace {

LONG CALLBACK Report(EXCEPTION_POINTERS* pointers) {
    std::printf("exception %08lX\n",
                static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode));
    std::fflush(stdout);
    ExitProcess(3);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 1;
    const nelto::UniqueModule library(
        LoadLibraryExW(argv[1], nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!library) return 2;
    const auto fn =
        nelto::ProcAddress<ClientExportFn>(library.get(), nelto::WideToAnsi(argv[2]).c_str());
    if (!fn) return 2;
    AddVectoredExceptionHandler(1, Report);
    BSTR out = nullptr;
    const int ok = fn(L"{}", &out) & 0xFF;
    SysFreeString(out);
    std::printf("returned %d\n", ok);
    return 0;
}
