#include "plugin/usage_post.h"

#include <windows.h>
#include <objbase.h>
#include <winhttp.h>

#include <memory>
#include <stdexcept>

#include "common/daemon_log.h"
#include "common/utf.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "plugin/usage_record.h"

namespace nelto {
namespace {

void WinHttpCloseFn(HINTERNET h) { ::WinHttpCloseHandle(h); }
using UniqueInternet = UniqueResource<NullTraits<HINTERNET, WinHttpCloseFn>>;

constexpr const char* kTimeoutText = "连接超时!";
constexpr const char* kServerFailedText = "连接服务器失败!";

constexpr DWORD kIgnoreCertificateErrors = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                           SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                           SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
static_assert(kIgnoreCertificateErrors == 0x3300);

constexpr std::uint32_t kPostTimeoutMs = 2000;

// The error of a failed WinHTTP call: a time-out when the wait ended, otherwise the server failed.
// Wine reports an ended wait as the socket's WSAETIMEDOUT instead of ERROR_WINHTTP_TIMEOUT.
[[noreturn]] void ThrowRequestError() {
    constexpr DWORD kSocketTimedOut = 10060;  // WSAETIMEDOUT
    const DWORD error = GetLastError();
    const bool timedOut = error == ERROR_WINHTTP_TIMEOUT || error == kSocketTimedOut || error == ERROR_TIMEOUT;
    throw std::runtime_error(timedOut ? kTimeoutText : kServerFailedText);
}

std::wstring UpperAscii(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

// "name=value" -> "name: value"; entries without '=' are not headers.
std::wstring HeaderLine(const std::string& entry) {
    const auto eq = entry.find('=');
    if (eq == std::string::npos || eq == 0) return {};
    return Widen(entry.substr(0, eq)) + L": " + Widen(entry.substr(eq + 1));
}

std::string DecodeUtf8(const std::string& raw) {
    std::string_view text(raw);
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    return Utf16ToUtf8(Utf8ToUtf16(text));  // invalid sequences become U+FFFD
}

std::string ReadString(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return Narrow(value);
}

// The thread that posts one record. Self-freeing: its thread deletes it. Each thread holds a
// reference to the module this code lives in and drops it with FreeLibraryAndExitThread, so the
// plug-in cannot be unloaded under a post still in flight.
class TRDCJThread {
public:
    // A new object with its thread created suspended; nullptr when that is not possible.
    static TRDCJThread* Create() noexcept;
    void Init(const std::string& AURL, const std::string& AData) {
        FURL = AURL;
        FData = AData;
    }
    // Lets the thread run; the object belongs to the thread from here on.
    void Start() noexcept;

private:
    TRDCJThread() = default;
    static DWORD WINAPI ThreadProc(void* param);
    void Execute() noexcept;

    std::string FURL;
    std::string FData;
    HMODULE module_ = nullptr;
    UniqueHandle thread_;
};

TRDCJThread* TRDCJThread::Create() noexcept {
    try {
        std::unique_ptr<TRDCJThread> self(new TRDCJThread);
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<const wchar_t*>(&TRDCJThread::ThreadProc), &self->module_)) {
            return nullptr;
        }
        self->thread_.reset(CreateThread(nullptr, 0, &TRDCJThread::ThreadProc, self.get(), CREATE_SUSPENDED, nullptr));
        if (!self->thread_) {
            FreeLibrary(self->module_);
            return nullptr;
        }
        return self.release();
    } catch (...) {
        return nullptr;
    }
}

void TRDCJThread::Start() noexcept {
    // Nobody waits for the thread: the handle is closed here, before the object may be gone.
    UniqueHandle thread = std::move(thread_);
    ResumeThread(thread.get());
}

DWORD WINAPI TRDCJThread::ThreadProc(void* param) {
    auto* self = static_cast<TRDCJThread*>(param);
    const HMODULE module = self->module_;
    self->Execute();
    delete self;
    // No code of the module runs after this call: it may unload the module.
    FreeLibraryAndExitThread(module, 0);
}

void TRDCJThread::Execute() noexcept {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    try {
        if (!FURL.empty()) (void)HttpRequestText(FURL, "POST", FData, true, {}, kPostTimeoutMs);
    } catch (...) {
        // A record that cannot be delivered is dropped.
    }
    if (SUCCEEDED(hr)) CoUninitialize();
}

}  // namespace

std::string UsageUrl() {
    const std::wstring file = Widen(KvConfigFileName());
    std::wstring value(4096, L'\0');
    const DWORD n = GetPrivateProfileStringW(L"system", L"usageUrl", L"", value.data(),
                                             static_cast<DWORD>(value.size()), file.c_str());
    value.resize(n);
    return Narrow(value);
}

bool PostUsageRecord(const Json* params, const Json* result, const std::string& address, std::uint32_t cost) noexcept {
    try {
        const std::string url = UsageUrl();
        if (url.empty()) return false;
        const std::string data = ToCompactJson(BuildUsageRecord(params, result, address, cost, GetMacList()));
        TRDCJThread* thread = TRDCJThread::Create();
        if (!thread) return false;
        try {
            thread->Init(url, data);
        } catch (...) {
            // Started anyway so that it frees itself; without a URL it sends nothing.
        }
        thread->Start();
        return true;
    } catch (...) {
        return false;
    }
}

std::string HttpRequestText(const std::string& url, const std::string& method, const std::string& body,
                            bool decodeUtf8, const std::vector<std::string>& extraHeaders, std::uint32_t timeoutMs) {
    const std::wstring wideUrl = Widen(url);
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts)) {
        throw std::runtime_error(kServerFailedText);
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    // No agent here: the User-Agent header comes with the others, in their order.
    UniqueInternet session(WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) ThrowRequestError();
    // 0 waits without limit.
    const int wait = static_cast<int>(HttpWaitSeconds(timeoutMs) * 1000);
    WinHttpSetTimeouts(session.get(), wait, wait, wait, wait);

    UniqueInternet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) ThrowRequestError();
    UniqueInternet request(WinHttpOpenRequest(connection.get(), UpperAscii(Widen(method)).c_str(), path.c_str(),
                                              nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) ThrowRequestError();
    // The wait for the response head is one more receive time-out (WinHTTP keeps it apart).
    DWORD responseWait = wait > 0 ? static_cast<DWORD>(wait) : INFINITE;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseWait, sizeof(responseWait));
    if (secure) {
        DWORD flags = kIgnoreCertificateErrors;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
    }

    std::vector<std::wstring> headers = {
        L"Accept-Language: zh-cn",
        L"Content-Type: application/json",
        L"User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.1; Trident/4.0; .NET4.0C; .NET4.0E)",
    };
    for (const std::string& entry : extraHeaders) {
        std::wstring line = HeaderLine(entry);
        if (!line.empty()) headers.push_back(std::move(line));
    }
    for (const std::wstring& line : headers) {
        // One header that WinHTTP refuses does not stop the request.
        WinHttpAddRequestHeaders(request.get(), line.c_str(), static_cast<DWORD>(line.size()), WINHTTP_ADDREQ_FLAG_ADD);
    }

    const DWORD size = static_cast<DWORD>(body.size());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            size ? const_cast<char*>(body.data()) : WINHTTP_NO_REQUEST_DATA, size, size, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        ThrowRequestError();
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) ||
        status != 200) {
        throw std::runtime_error(kServerFailedText);
    }

    std::string raw;
    char buffer[8192];
    while (true) {
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer, sizeof(buffer), &read)) ThrowRequestError();
        if (read == 0) break;
        raw.append(buffer, read);
    }
    return decodeUtf8 ? DecodeUtf8(raw) : FromAnsi(raw);
}

std::string ReadAdapterMac(const std::string& service) {
    UniqueFile device(CreateFileW(Widen("\\\\.\\" + service).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!device) return {};
    constexpr DWORD kQueryGlobalStats = 0x00170002;
    DWORD oid = 0x01010101;  // the permanent address
    unsigned char out[256] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(device.get(), kQueryGlobalStats, &oid, sizeof(oid), out, sizeof(out), &returned, nullptr)) {
        return {};
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (DWORD i = 0; i < returned && i < sizeof(out); ++i) {
        hex += kDigits[out[i] >> 4];
        hex += kDigits[out[i] & 0x0F];
    }
    return hex;
}

std::string GetMacList(const MacSource& source) {
    const auto query = source.query ? source.query : std::function<std::string(const std::string&)>(ReadAdapterMac);
    // The 64-bit view where there is one: a 32-bit program would otherwise read a redirected copy.
    UniqueKey cards;
    if (RegOpenKeyExW(source.root, Widen(source.subKey).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, cards.put()) !=
        ERROR_SUCCESS) {
        return {};
    }
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        const LONG rc = RegEnumKeyExW(cards.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_SUCCESS) names.emplace_back(name, length);
        if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) break;
    }
    std::string list;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        UniqueKey card;
        if (RegOpenKeyExW(cards.get(), it->c_str(), 0, KEY_READ | KEY_WOW64_64KEY, card.put()) != ERROR_SUCCESS) {
            continue;
        }
        const std::string service = ReadString(card.get(), L"ServiceName");
        if (query(service).empty()) continue;
        if (!list.empty()) list += '|';
        list += FormatMac(query(service));
    }
    return list;
}

}  // namespace nelto
