#pragma once
// The worker's service table: one class per service number, each adapting the exchange files to
// one public operation of the invoker, run once under a watchdog.
//
// Threading: the worker's one thread. The watchdog is a thread timer: it fires only while this
// thread processes window messages (inside the client's library, in dialogs, in system calls
// that pump), never while a service blocks without pumping.

#include <windows.h>

#include <memory>
#include <string>

#include "common/json_util.h"

namespace nelto {

class TNeltoFuncBase {
public:
    TNeltoFuncBase();
    virtual ~TNeltoFuncBase();
    TNeltoFuncBase(const TNeltoFuncBase&) = delete;
    TNeltoFuncBase& operator=(const TNeltoFuncBase&) = delete;

    virtual const char* ClassName() const = 0;
    // Runs the service: 0 when the invoker reported success, -1 otherwise.
    int DoREZAEvent();

    void EnableWatchdog();
    void WriteResponse(const Json& result);

    std::string RequestFile;

protected:
    // The class's invoker operation.
    virtual bool Invoke(Json& request, Json& result) = 0;

private:
    static void CALLBACK OnWatchdogTimer(HWND, UINT, UINT_PTR, DWORD);
    UINT_PTR WatchdogTimer = 0;
};

// Walks the table and runs every entry of that number (there is at most one).
void DispatchService(int number);
void RunService(TNeltoFuncBase& service);

// The service section: the first command-line argument unchanged. The service folder: ours.
const std::string& ServiceSection();
std::string WorkerServicePath();

// Interval of the watchdog: five minutes; NELTO_TEST_WATCHDOG_MS shortens it for tests.
DWORD WatchdogInterval();

// Ends the process with exit code -1 at once: no unit finalisation, no unloading.
[[noreturn]] void TerminateSelf();

}  // namespace nelto
