// Stand-in for the withholding client's programs DeZazevozor.exe, KvEvenue_SH.exe and
// Tarveskbgup.exe (one source, three programs).
//
// Every start appends one UTF-8 line to "launches.log" beside the program:
//   program=<exe name>\tcmd=<full command line>\tcwd=<working folder>\ttick=<GetTickCount>
// and the program exits 0. DeZazevozor.exe with "--window" anywhere on its command line instead
// stays up with a top-level window of class "Tfrm_MainFrame" that records each WM_COPYDATA as
// one line of "copydata.log" beside the program:
//   dwData=<n>\tcbData=<n>\thex=<the cbData bytes in upper-case hexadecimal>
// and ends on WM_CLOSE, or on its own after 60 s.

#include <windows.h>

#include <cwchar>
#include <exception>
#include <string>

#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "worker/client_contract.h"

namespace {

constexpr UINT_PTR kSafetyTimer = 1;
constexpr UINT kSafetyMs = 60000;

std::string ProgramFolder() { return nelto::ExtractFilePath(nelto::ModuleFileName(nullptr)); }

void AppendLine(const std::string& fileName, const std::string& line) {
    const std::wstring path = nelto::Widen(ProgramFolder() + fileName);
    nelto::UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string bytes = line + "\r\n";
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void RecordLaunch() {
    wchar_t cwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    AppendLine("launches.log", "program=" + nelto::ExtractFileName(nelto::ModuleFileName(nullptr)) +
                                   "\tcmd=" + nelto::Narrow(GetCommandLineW()) +
                                   "\tcwd=" + nelto::Narrow(cwd) +
                                   "\ttick=" + std::to_string(GetTickCount()));
}

void RecordCopyData(const COPYDATASTRUCT& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    const auto* bytes = static_cast<const unsigned char*>(data.lpData);
    for (DWORD i = 0; bytes && i < data.cbData; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    AppendLine("copydata.log", "dwData=" + std::to_string(data.dwData) +
                                   "\tcbData=" + std::to_string(data.cbData) + "\thex=" + hex);
}

LRESULT CALLBACK MainFrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        switch (message) {
            case WM_COPYDATA:
                if (lParam) RecordCopyData(*reinterpret_cast<const COPYDATASTRUCT*>(lParam));
                return TRUE;
            case WM_TIMER:
                if (wParam == kSafetyTimer) DestroyWindow(window);
                return 0;
            case WM_CLOSE:
                DestroyWindow(window);
                return 0;
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
            default:
                break;
        }
    } catch (const std::exception&) {
        return message == WM_COPYDATA ? TRUE : 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int RunMainFrame(HINSTANCE instance) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = MainFrameProc;
    cls.hInstance = instance;
    cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    cls.lpszClassName = nelto::client::kMainWindowClass;
    if (!RegisterClassExW(&cls)) return 1;
    HWND window = CreateWindowExW(0, nelto::client::kMainWindowClass, L"扣缴客户端",
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 480, 320,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    SetTimer(window, kSafetyTimer, kSafetyMs, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

bool IsMainProgram() {
    return CompareStringOrdinal(
               nelto::Widen(nelto::ExtractFileName(nelto::ModuleFileName(nullptr))).c_str(), -1,
               L"DeZazevozor.exe", -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    try {
        RecordLaunch();
        if (IsMainProgram() && std::wcsstr(GetCommandLineW(), L"--window")) {
            return RunMainFrame(instance);
        }
    } catch (const std::exception&) {
        return 1;
    }
    return 0;
}
