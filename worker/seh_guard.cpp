#include "worker/seh_guard.h"

#include <intrin.h>

namespace nelto {
namespace {

#if !defined(__i386__)
#error "the frame-based guard is written for 32-bit x86"
#endif

// Registered on the stack at FS:[0]; the record must come first.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD record;
    void* jump[5];  // __builtin_setjmp buffer
    volatile DWORD code;
};

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* exception, void* establisher, CONTEXT*, void*) {
    if (exception->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    auto* frame = static_cast<GuardFrame*>(establisher);
    frame->code = exception->ExceptionCode;
    // Drop the callee's registrations together with ours, then resume after the call.
    __writefsdword(0, reinterpret_cast<DWORD>(frame->record.Next));
    __builtin_longjmp(frame->jump, 1);
}

}  // namespace

bool CallGuarded(void (*fn)(void* context), void* context, DWORD& exceptionCode) {
    GuardFrame frame{};
    frame.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&GuardHandler);
    frame.record.Next = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(__readfsdword(0));
    if (__builtin_setjmp(frame.jump) == 0) {
        __writefsdword(0, reinterpret_cast<DWORD>(&frame.record));
        fn(context);
        __writefsdword(0, reinterpret_cast<DWORD>(frame.record.Next));
        return true;
    }
    exceptionCode = frame.code;
    return false;
}

}  // namespace nelto
