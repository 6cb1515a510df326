#pragma once
// An owner for BSTRs (SysFreeString) and the conversions between them and UTF-8.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>
#include <utility>

#include "common/win/unicode.h"

namespace nelto {

class UniqueBstr {
public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR value) : value_(value) {}
    ~UniqueBstr() { reset(); }
    UniqueBstr(UniqueBstr&& other) noexcept : value_(other.release()) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;

    BSTR get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }
    BSTR release() { return std::exchange(value_, nullptr); }
    void reset(BSTR value = nullptr) {
        if (BSTR old = std::exchange(value_, value)) SysFreeString(old);
    }
    // For out parameters; the current text is freed first.
    BSTR* put() {
        reset();
        return &value_;
    }

private:
    BSTR value_ = nullptr;
};

// A new BSTR holding the text (embedded NULs kept).
inline BSTR AllocBstr(std::wstring_view text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}
inline BSTR AllocBstrUtf8(std::string_view utf8) { return AllocBstr(Widen(utf8)); }

// The whole text of a BSTR (NULL is the empty text).
inline std::wstring_view BstrView(BSTR value) {
    return value ? std::wstring_view(value, SysStringLen(value)) : std::wstring_view();
}
inline std::string BstrToUtf8(BSTR value) { return Narrow(BstrView(value)); }

}  // namespace nelto
