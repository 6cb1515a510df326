// Entry points of com.tarvesk.httpd.nelto.dll.
//
// Load: the log lock and the debug switch, the service lock, the (empty) handler registration.
// All of it is kernel32 work, safe under the loader lock. Unload, in reverse order: the
// activator, the service lock, the log. When the process is ending nothing is freed: other
// threads are already gone and their locks may be held.
#include <windows.h>

#include "common/daemon_log.h"
#include "plugin/framework.h"
#include "plugin/host_contract.h"
#include "plugin/nelto_action.h"
#include "plugin/worker_invocation.h"

extern "C" {

void __stdcall QvGetBundleActivator(IBundleActivator** activator, void* /*reserved*/) {
    try {
        if (!activator) return;
        IBundleActivator* instance = nelto::TQvHttpProfilerBundleActivator::GetInstance();
        instance->AddRef();
        *activator = instance;
    } catch (...) {
    }
}

const QvControllerInfo* __stdcall QvGetActionControllers(std::uint32_t* count) {
    return nelto::NeltoControllers(count);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            nelto::DaemonLogModuleInit();
            (void)nelto::ServiceLock();
            nelto::TQvActionUtils::RegisterHandler<nelto::TQvNeltoAction>();
            break;
        case DLL_PROCESS_DETACH:
            if (reserved == nullptr) {
                nelto::TQvHttpProfilerBundleActivator::FreeInstance();
                nelto::DaemonLogModuleFinal();
            }
            break;
        default:
            break;
    }
    return TRUE;
}

}  // extern "C"
