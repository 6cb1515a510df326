#pragma once
// A guard against structured exceptions (access violations, RaiseException) leaving code of
// another module, for mingw, which has no __try: a frame-based handler registered on the
// thread's exception chain around the call. Only exceptions the callee does not handle itself
// reach it. C++ exceptions of this program use their own unwinder and are not affected.

#include <windows.h>

namespace nelto {

// Runs fn(context). Returns true when it returned normally; false when a structured exception
// left it, with its code in exceptionCode. The callee's frames are abandoned, not unwound.
[[nodiscard]] bool CallGuarded(void (*fn)(void* context), void* context, DWORD& exceptionCode);

}  // namespace nelto
