// Stand-in for the worker, started as "test_worker.exe <section>" from the service folder S (its
// own folder). Tests copy or link it to S\Httpd.Nelto.exe.
//
// It reads [section] InParam of S\NeltoParam.ini, loads that request and obeys its object
// "testWorker":
//   "mode": "write"   (default) WriteResponse with "result" (default {"messageCode":"00000000","data":{}})
//           "none"    writes nothing
//           "sleep"   sleeps "sleepMs", then acts as mode "then" (default "write")
//           "invalid" writes a Response.json that is not JSON ("not json"), outParam/Return as "write"
//           "exit"    exits at once with "exitCode" (default 0)
//           "late"    sleeps "sleepMs", then writes "result" into section "section" (default its
//                     own) naming a Response.json in a new S\Temp\{GUID}\ folder
// Every run appends one UTF-8 line to S\test_worker.log:
//   start=<tick ms>\tend=<tick ms>\tsection=<section>\tcwd=<working folder>\tcmd=<command line>
// Exit code 0, except "exit" mode and 2 when there is no readable request (nothing written then).
//
// Named DeZazevozor.exe it only appends one UTF-8 line to <its folder>\launches.log:
//   cmd=<command line>\tcwd=<working folder>
// and exits 0.

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "common/exchange.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"

namespace {

using nelto::Json;

void AppendLine(const std::string& path, const std::string& line) {
    const std::string bytes = line + "\r\n";
    // Other runs may append at the same moment: retry while the file is busy.
    for (int attempt = 0; attempt < 200; ++attempt) {
        nelto::UniqueFile file(CreateFileW(nelto::Widen(path).c_str(), FILE_APPEND_DATA,
                                           FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                           nullptr));
        if (file) {
            DWORD written = 0;
            WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            return;
        }
        Sleep(10);
    }
}

std::string CurrentFolder() {
    wchar_t buffer[MAX_PATH * 2] = {};
    const DWORD n = GetCurrentDirectoryW(MAX_PATH * 2, buffer);
    return n > 0 && n < MAX_PATH * 2 ? nelto::Narrow(std::wstring_view(buffer, n)) : std::string();
}

std::string CommandLine() { return nelto::Narrow(GetCommandLineW()); }

// The first argument after the program name.
std::string FirstArgument() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::string first;
    if (args && count > 1) first = nelto::Narrow(args[1]);
    if (args) LocalFree(args);
    return first;
}

Json DefaultResult() { return Json{{"messageCode", "00000000"}, {"data", Json::object()}}; }

Json ResultOf(const Json& control) {
    const Json* result = nelto::JsonFind(control, "result");
    return result && result->is_object() ? *result : DefaultResult();
}

// Runs one mode; returns the exit code.
int Act(const std::string& mode, const Json& control, const std::string& service, const std::string& section,
        const std::string& requestFile, bool nested) {
    if (mode == "none") return 0;
    if (mode == "exit") return static_cast<int>(nelto::JsonInt(control, "exitCode", 0));
    if (mode == "sleep" && !nested) {
        Sleep(static_cast<DWORD>(nelto::JsonInt(control, "sleepMs", 0)));
        std::string then = nelto::JsonText(control, "then");
        return Act(then.empty() ? "write" : then, control, service, section, requestFile, true);
    }
    if (mode == "invalid") {
        nelto::WriteResponseText(service, section, requestFile, "not json", nelto::ReturnCodeFor(ResultOf(control)));
        return 0;
    }
    if (mode == "late") {
        if (!nested) Sleep(static_cast<DWORD>(nelto::JsonInt(control, "sleepMs", 0)));
        std::string target = nelto::JsonText(control, "section");
        if (target.empty()) target = section;
        const std::string guid = nelto::NewGuidText();
        if (guid.empty()) return 3;
        const std::string folder = service + "Temp\\" + guid + "\\";
        if (!nelto::ForceDirectories(folder)) return 3;
        nelto::WriteResponse(service, target, folder + "Request.json", ResultOf(control));
        return 0;
    }
    nelto::WriteResponse(service, section, requestFile, ResultOf(control));
    return 0;
}

int Run() {
    const DWORD start = GetTickCount();
    const std::string exe = nelto::ModuleFileName(nullptr);
    const std::string service = nelto::ExtractFilePath(exe);
    if (CompareStringOrdinal(nelto::Widen(nelto::ExtractFileName(exe)).c_str(), -1, L"DeZazevozor.exe", -1, TRUE) ==
        CSTR_EQUAL) {
        AppendLine(service + "launches.log", "cmd=" + CommandLine() + "\tcwd=" + CurrentFolder());
        return 0;
    }

    const std::string section = FirstArgument();
    const std::string requestFile = nelto::ReadInParam(service, section);
    Json request;
    int code = 2;
    if (!requestFile.empty() && nelto::ReadRequestFile(requestFile, request)) {
        const Json* found = nelto::JsonFind(request, "testWorker");
        const Json control = found && found->is_object() ? *found : Json::object();
        std::string mode = nelto::JsonText(control, "mode");
        if (mode.empty()) mode = "write";
        code = Act(mode, control, service, section, requestFile, false);
    }
    AppendLine(service + "test_worker.log", "start=" + std::to_string(start) + "\tend=" +
                                                std::to_string(GetTickCount()) + "\tsection=" + section +
                                                "\tcwd=" + CurrentFolder() + "\tcmd=" + CommandLine());
    return code;
}

}  // namespace

int main() {
    try {
        return Run();
    } catch (...) {
        return 4;
    }
}
