// Httpd.Nelto.exe: started by the plug-in with the service number as its only argument; runs that
// service once and ends itself with exit code -1. It shows no window.
#include <windows.h>

#include <charconv>
#include <string>

#include "common/daemon_log.h"
#include "worker/services.h"

namespace {

// The first argument as a decimal number; 999 when missing or not a number.
int ServiceNumber(const std::string& argument) {
    int number = 0;
    const char* first = argument.data();
    const char* last = first + argument.size();
    if (first != last && *first == '+') ++first;
    const auto [end, ec] = std::from_chars(first, last, number);
    return argument.empty() || ec != std::errc() || end != last ? 999 : number;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // No error boxes for libraries of the client that cannot be loaded.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    try {
        nelto::DaemonLogModuleInit();
        nelto::DispatchService(ServiceNumber(nelto::ServiceSection()));
    } catch (...) {
    }
    nelto::TerminateSelf();
}
