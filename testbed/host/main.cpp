// Httpd.exe: the stand-in for the local HTTP host. Loads one plug-in library, serves its actions
// on http://+:<port>/ and stops on Ctrl+C or when the event Local\NeltoHostStop-<port> is set.
//
//   Httpd.exe PLUGIN.dll [PORT]      (PORT 18960 when not given)

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "testbed/host/action_host.h"
#include "testbed/host/host_objects.h"
#include "testbed/host/http_server.h"

namespace {

constexpr std::uint16_t kDefaultPort = 18960;
constexpr unsigned kWorkers = 16;

HANDLE gStopEvent = nullptr;
HANDLE gDoneEvent = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (gStopEvent) SetEvent(gStopEvent);
    // The process ends when this returns for these: give the shutdown its time first.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        if (gDoneEvent) WaitForSingleObject(gDoneEvent, 5000);
    }
    return TRUE;
}

void Report(const std::string& text) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::fprintf(stderr, "Httpd: %s\n", nelto::ToAnsi(text).c_str());
    std::fflush(stderr);
}

bool ParsePort(const wchar_t* text, std::uint16_t* port) {
    if (!text || !*text) return false;
    unsigned long value = 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p < L'0' || *p > L'9') return false;
        value = value * 10 + static_cast<unsigned long>(*p - L'0');
        if (value > 65535) return false;
    }
    if (value == 0) return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

// The loaded plug-in: its library, activator (one reference) and our bundle context.
struct Plugin {
    nelto::UniqueModule library;
    IBundleActivator* activator = nullptr;
    nelto::host::BundleContext* context = nullptr;
    bool started = false;

    ~Plugin() { Unload(); }
    void Unload() {
        if (activator && started) activator->stop(context);
        started = false;
        if (activator) activator->Release();
        activator = nullptr;
        if (context) context->Release();
        context = nullptr;
        library.reset();
    }
};

int Run(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: Httpd.exe PLUGIN.dll [PORT]\n");
        return 2;
    }
    std::uint16_t port = kDefaultPort;
    if (argc == 3 && !ParsePort(argv[2], &port)) {
        Report("not a port: " + nelto::Narrow(argv[2]));
        return 2;
    }

    const std::wstring eventName = L"Local\\NeltoHostStop-" + std::to_wstring(port);
    nelto::UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    nelto::UniqueHandle doneEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent || !doneEvent) {
        Report("cannot create the stop event, error " + std::to_string(GetLastError()));
        return 1;
    }
    gStopEvent = stopEvent.get();
    gDoneEvent = doneEvent.get();
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

    wchar_t full[MAX_PATH * 4] = {};
    const DWORD fullLength = GetFullPathNameW(argv[1], static_cast<DWORD>(std::size(full)), full, nullptr);
    if (fullLength == 0 || fullLength >= std::size(full)) {
        Report("bad plug-in path " + nelto::Narrow(argv[1]));
        return 1;
    }

    Plugin plugin;
    plugin.library.reset(LoadLibraryExW(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!plugin.library) {
        Report("cannot load " + nelto::Narrow(full) + ", error " + std::to_string(GetLastError()));
        return 1;
    }
    auto getActivator = reinterpret_cast<QvGetBundleActivatorFn>(
        reinterpret_cast<void*>(GetProcAddress(plugin.library.get(), "QvGetBundleActivator")));
    auto getControllers = reinterpret_cast<QvGetActionControllersFn>(
        reinterpret_cast<void*>(GetProcAddress(plugin.library.get(), "QvGetActionControllers")));
    if (!getActivator || !getControllers) {
        Report("the library does not export QvGetBundleActivator and QvGetActionControllers");
        return 1;
    }
    getActivator(&plugin.activator, nullptr);
    if (!plugin.activator) {
        Report("the plug-in gave no activator");
        return 1;
    }
    plugin.context = new nelto::host::BundleContext();
    if (const HRESULT hr = plugin.activator->start(plugin.context); FAILED(hr)) {
        Report("the plug-in's start failed with " + std::to_string(static_cast<unsigned long>(hr)));
        return 1;
    }
    plugin.started = true;

    std::uint32_t count = 0;
    const QvControllerInfo* controllers = getControllers(&count);
    const nelto::host::ActionHost host(port, controllers, count);

    nelto::http::Server server([&host](const nelto::http::Request& request) {
        nelto::http::Response response = host.Handle(request);
        Report(request.method + " " + request.path + " -> " + std::to_string(response.status));
        return response;
    });
    std::string error;
    if (!server.Start(port, kWorkers, &error)) {
        Report("cannot serve port " + std::to_string(port) + ": " + error);
        return 1;
    }
    if (!error.empty()) Report(error);
    std::string urls;
    for (const std::string& url : server.Urls()) urls += " " + url;
    Report("serving " + std::to_string(host.ActionCount()) + " actions on" + urls);
    std::printf("listening on %u\n", static_cast<unsigned>(port));
    std::fflush(stdout);

    WaitForSingleObject(stopEvent.get(), INFINITE);
    server.Stop();
    plugin.Unload();
    Report("stopped");
    SetEvent(doneEvent.get());
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
