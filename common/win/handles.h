#pragma once
// Owners for Windows handles: one type per close function, move-only, get/release/reset.

#include <windows.h>

#include <utility>

namespace nelto {

// Traits: type T, static T Invalid(), static void Close(T).
template <typename Traits>
class UniqueResource {
    using T = typename Traits::Type;

public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Invalid(); }
    T release() { return std::exchange(value_, Traits::Invalid()); }
    void reset(T value = Traits::Invalid()) {
        const T old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }
    // For APIs that fill a handle through a pointer; the current one is closed first.
    T* put() {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::Invalid();
};

template <typename T, void (*CloseFn)(T)>
struct NullTraits {
    using Type = T;
    static T Invalid() { return nullptr; }
    static void Close(T value) { CloseFn(value); }
};
template <void (*CloseFn)(HANDLE)>
struct InvalidValueTraits {
    using Type = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE value) { CloseFn(value); }
};

inline void CloseHandleFn(HANDLE h) { ::CloseHandle(h); }
inline void FindCloseFn(HANDLE h) { ::FindClose(h); }
inline void RegCloseKeyFn(HKEY h) { ::RegCloseKey(h); }
inline void FreeLibraryFn(HMODULE h) { ::FreeLibrary(h); }

// Most kernel objects: NULL when empty.
using UniqueHandle = UniqueResource<NullTraits<HANDLE, CloseHandleFn>>;
// Files and searches: INVALID_HANDLE_VALUE when empty.
using UniqueFile = UniqueResource<InvalidValueTraits<CloseHandleFn>>;
using UniqueFind = UniqueResource<InvalidValueTraits<FindCloseFn>>;
using UniqueKey = UniqueResource<NullTraits<HKEY, RegCloseKeyFn>>;
using UniqueModule = UniqueResource<NullTraits<HMODULE, FreeLibraryFn>>;

// A typed export of a loaded module, or nullptr.
template <typename Fn>
Fn ProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// A critical section that lives as long as its owner; Guard holds it for a scope.
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() { EnterCriticalSection(&cs_); }
    void Leave() { LeaveCriticalSection(&cs_); }

    class Guard {
    public:
        explicit Guard(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
        ~Guard() { cs_.Leave(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        CriticalSection& cs_;
    };

private:
    CRITICAL_SECTION cs_;
};

}  // namespace nelto
