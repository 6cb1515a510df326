// collector.exe: the stand-in for the usage collection server. Every POST body received at
// /hawk/grab/tarveskcommon.htm is appended to the output file as one line (raw bytes and "\n"),
// written through at once, and answered 200 "ok". Stops on Ctrl+C or when the event
// Local\NeltoCollectorStop-<port> is set.
//
//   collector.exe PORT OUTPUT-FILE [--slow MS]   (--slow: wait MS after recording, then answer)

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "testbed/host/http_server.h"

namespace {

constexpr unsigned kWorkers = 8;
constexpr const char* kPath = "/hawk/grab/tarveskcommon.htm";

HANDLE gStopEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
    if (gStopEvent) SetEvent(gStopEvent);
    return TRUE;
}

void Report(const std::string& text) {
    std::fprintf(stderr, "collector: %s\n", nelto::ToAnsi(text).c_str());
    std::fflush(stderr);
}

bool ParseNumber(const wchar_t* text, unsigned long max, unsigned long* out) {
    if (!text || !*text) return false;
    unsigned long value = 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p < L'0' || *p > L'9') return false;
        value = value * 10 + static_cast<unsigned long>(*p - L'0');
        if (value > max) return false;
    }
    *out = value;
    return true;
}

// The output file, appended to by one request at a time.
class Recorder {
public:
    bool Open(const std::wstring& path) {
        file_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(file_);
    }
    bool Append(const std::string& body) {
        const std::string line = body + "\n";
        std::lock_guard<std::mutex> guard(lock_);
        DWORD written = 0;
        const bool ok = WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
                        written == line.size();
        FlushFileBuffers(file_.get());
        return ok;
    }

private:
    std::mutex lock_;
    nelto::UniqueFile file_;
};

int Run(int argc, wchar_t** argv) {
    unsigned long port = 0;
    unsigned long slowMs = 0;
    bool usage = argc != 3 && argc != 5;
    if (!usage) usage = !ParseNumber(argv[1], 65535, &port) || port == 0;
    if (!usage && argc == 5) {
        usage = std::wcscmp(argv[3], L"--slow") != 0 || !ParseNumber(argv[4], 600000, &slowMs);
    }
    if (usage) {
        std::fprintf(stderr, "usage: collector.exe PORT OUTPUT-FILE [--slow MS]\n");
        return 2;
    }

    const std::wstring eventName = L"Local\\NeltoCollectorStop-" + std::to_wstring(port);
    nelto::UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    if (!stopEvent) {
        Report("cannot create the stop event, error " + std::to_string(GetLastError()));
        return 1;
    }
    gStopEvent = stopEvent.get();
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

    Recorder recorder;
    if (!recorder.Open(argv[2])) {
        Report("cannot open " + nelto::Narrow(argv[2]) + ", error " + std::to_string(GetLastError()));
        return 1;
    }

    nelto::http::Server server([&](const nelto::http::Request& request) {
        if (request.path != kPath) return nelto::http::Response{404, "text/plain; charset=utf-8", "not found"};
        if (request.method != "POST") return nelto::http::Response{405, "text/plain; charset=utf-8", "POST only"};
        if (!recorder.Append(request.body)) {
            return nelto::http::Response{500, "text/plain; charset=utf-8", "cannot record"};
        }
        if (slowMs > 0) Sleep(slowMs);
        return nelto::http::Response{200, "text/plain; charset=utf-8", "ok"};
    });
    std::string error;
    if (!server.Start(static_cast<std::uint16_t>(port), kWorkers, &error)) {
        Report("cannot serve port " + std::to_string(port) + ": " + error);
        return 1;
    }
    if (!error.empty()) Report(error);
    std::printf("listening on %lu\n", port);
    std::fflush(stdout);

    WaitForSingleObject(stopEvent.get(), INFINITE);
    server.Stop();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int code = 1;
    try {
        code = Run(argc, argv);
    } catch (const std::exception& e) {
        Report(std::string("failed: ") + e.what());
    }
    std::fflush(stdout);
    return code;
}
