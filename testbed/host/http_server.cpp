#include "testbed/host/http_server.h"

// winsock2.h before windows.h; http.h needs both.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <http.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "common/win/handles.h"
#include "common/win/unicode.h"

namespace nelto::http {
namespace {

constexpr HTTPAPI_VERSION kApiVersion = HTTPAPI_VERSION_2;
constexpr ULONG kFirstBufferBytes = 16 * 1024;
constexpr std::size_t kMaxBodyBytes = 32 * 1024 * 1024;
constexpr unsigned kReceivers = 4;
constexpr DWORD kWatchPeriodMs = 100;
constexpr DWORD kBodyStallMs = 30000;

// Owners of the HTTP Server API's handles and identifiers.
struct QueueTraits {
    using Type = HANDLE;
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE queue) { HttpCloseRequestQueue(queue); }
};
struct UrlGroupTraits {
    using Type = HTTP_URL_GROUP_ID;
    static HTTP_URL_GROUP_ID Invalid() { return HTTP_NULL_ID; }
    static void Close(HTTP_URL_GROUP_ID group) { HttpCloseUrlGroup(group); }
};
struct SessionTraits {
    using Type = HTTP_SERVER_SESSION_ID;
    static HTTP_SERVER_SESSION_ID Invalid() { return HTTP_NULL_ID; }
    static void Close(HTTP_SERVER_SESSION_ID session) { HttpCloseServerSession(session); }
};
using UniqueQueue = UniqueResource<QueueTraits>;
using UniqueUrlGroup = UniqueResource<UrlGroupTraits>;
using UniqueSession = UniqueResource<SessionTraits>;

// HttpInitialize for the server role, undone by the destructor.
class ApiUse {
public:
    ApiUse() = default;
    ~ApiUse() { End(); }
    ApiUse(const ApiUse&) = delete;
    ApiUse& operator=(const ApiUse&) = delete;
    ULONG Begin() {
        const ULONG rc = HttpInitialize(kApiVersion, HTTP_INITIALIZE_SERVER, nullptr);
        active_ = rc == NO_ERROR;
        return rc;
    }
    void End() {
        if (active_) HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
        active_ = false;
    }

private:
    bool active_ = false;
};

std::string VerbText(const HTTP_REQUEST& request) {
    switch (request.Verb) {
        case HttpVerbOPTIONS: return "OPTIONS";
        case HttpVerbGET: return "GET";
        case HttpVerbHEAD: return "HEAD";
        case HttpVerbPOST: return "POST";
        case HttpVerbPUT: return "PUT";
        case HttpVerbDELETE: return "DELETE";
        case HttpVerbTRACE: return "TRACE";
        case HttpVerbCONNECT: return "CONNECT";
        default: break;
    }
    if (request.pUnknownVerb) return std::string(request.pUnknownVerb, request.UnknownVerbLength);
    return {};
}

std::string HeaderText(const HTTP_REQUEST& request, HTTP_HEADER_ID id) {
    const HTTP_KNOWN_HEADER& header = request.Headers.KnownHeaders[id];
    if (!header.pRawValue) return {};
    return std::string(header.pRawValue, header.RawValueLength);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Path and query from the request target as sent ("/a/b?x" or "http://host:port/a/b?x").
void SplitTarget(std::string_view target, Request& out) {
    if (target.empty()) target = "/";
    if (const auto scheme = target.find("://"); scheme != std::string_view::npos && target.front() != '/') {
        const auto slash = target.find('/', scheme + 3);
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
    const auto mark = target.find('?');
    out.path = PercentDecode(target.substr(0, mark));
    out.query = mark == std::string_view::npos ? std::string() : std::string(target.substr(mark + 1));
}

void SetRemote(const SOCKADDR* address, Request& out) {
    if (!address) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        InetNtopA(AF_INET, const_cast<in_addr*>(&v4->sin_addr), text, sizeof text);
        out.remoteLoopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    } else if (address->sa_family == AF_INET6) {
        auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        InetNtopA(AF_INET6, const_cast<in6_addr*>(&v6->sin6_addr), text, sizeof text);
        const unsigned char* b = v6->sin6_addr.s6_addr;
        bool zeros10 = true;
        for (int i = 0; i < 10; ++i) zeros10 = zeros10 && b[i] == 0;
        bool loopback6 = zeros10 && b[10] == 0 && b[11] == 0 && b[12] == 0 && b[13] == 0 && b[14] == 0 && b[15] == 1;
        bool mapped127 = zeros10 && b[10] == 0xff && b[11] == 0xff && b[12] == 127;
        out.remoteLoopback = loopback6 || mapped127;
    }
    out.remoteAddress = text;
}

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Whether some socket listens on the IPv4 port (true when that cannot be told).
bool SomethingListensOn(std::uint16_t port) {
    ULONG size = 0;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 3 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size + 4096);
        size = static_cast<ULONG>(buffer.size());
        rc = GetTcpTable(reinterpret_cast<MIB_TCPTABLE*>(buffer.data()), &size, FALSE);
    }
    if (rc != NO_ERROR) return true;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW& row = table->table[i];
        if (row.dwState == MIB_TCP_STATE_LISTEN && ntohs(static_cast<u_short>(row.dwLocalPort)) == port) return true;
    }
    return false;
}

}  // namespace

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Payload Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Unknown";
    }
}

struct Server::State {
    Handler handler;
    ApiUse api;
    UniqueSession session;
    UniqueUrlGroup group;
    UniqueQueue queue;
    UniqueHandle stopEvent;
    UniqueHandle watchStopEvent;
    std::thread watcher;
    std::uint16_t port = 0;
    std::vector<std::thread> receivers;
    std::vector<std::string> urls;

    // Waits for an overlapped operation started with result rc; it is cancelled when the stop
    // event comes first (stopCancels) or the time limit passes. Gives the final result and the
    // bytes transferred.
    ULONG Await(ULONG rc, OVERLAPPED& ov, DWORD* bytes, bool stopCancels, DWORD limitMs = INFINITE) {
        *bytes = 0;
        if (rc != NO_ERROR && rc != ERROR_IO_PENDING) return rc;
        HANDLE waits[2] = {ov.hEvent, stopEvent.get()};
        if (WaitForMultipleObjects(stopCancels ? 2 : 1, waits, FALSE, limitMs) != WAIT_OBJECT_0) {
            CancelIoEx(queue.get(), &ov);
        }
        return GetOverlappedResult(queue.get(), &ov, bytes, TRUE) ? NO_ERROR : GetLastError();
    }

    // Receives the next request (headers and the body copied with them) into buffer.
    ULONG ReceiveHead(std::vector<ULONGLONG>& buffer, HANDLE event) {
        HTTP_REQUEST_ID id = HTTP_NULL_ID;
        while (true) {
            auto* request = reinterpret_cast<HTTP_REQUEST*>(buffer.data());
            const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG));
            OVERLAPPED ov{};
            ov.hEvent = event;
            ResetEvent(event);
            DWORD bytes = 0;
            const ULONG started = HttpReceiveHttpRequest(queue.get(), id, HTTP_RECEIVE_REQUEST_FLAG_COPY_BODY, request,
                                                         size, nullptr, &ov);
            const ULONG rc = Await(started, ov, &bytes, true);
            if (rc != ERROR_MORE_DATA) return rc;
            // The buffer was too small for this request: the same request again, larger.
            id = request->RequestId;
            const std::size_t wanted = std::max<std::size_t>(bytes, size * 2);
            buffer.resize((wanted + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
        }
    }

    // The rest of the body beyond what came with the headers. False when the client went away
    // or stalls; a request already taken is read to its end even while stopping.
    bool ReceiveRestOfBody(HTTP_REQUEST_ID id, HANDLE event, std::string& body, bool* tooLarge) {
        std::vector<char> chunk(64 * 1024);
        while (true) {
            OVERLAPPED ov{};
            ov.hEvent = event;
            ResetEvent(event);
            DWORD bytes = 0;
            const ULONG rc = Await(HttpReceiveRequestEntityBody(queue.get(), id, 0, chunk.data(),
                                                                static_cast<ULONG>(chunk.size()), nullptr, &ov),
                                   ov, &bytes, false, kBodyStallMs);
            if (rc == ERROR_HANDLE_EOF) return true;
            if (rc != NO_ERROR) return false;
            if (bytes == 0) return true;
            body.append(chunk.data(), bytes);
            if (body.size() > kMaxBodyBytes) {
                *tooLarge = true;
                return true;
            }
        }
    }

    void Send(HTTP_REQUEST_ID id, const Response& response) {
        HTTP_RESPONSE raw{};
        raw.StatusCode = static_cast<USHORT>(response.status);
        const char* reason = ReasonPhrase(response.status);
        raw.pReason = reason;
        raw.ReasonLength = static_cast<USHORT>(strlen(reason));
        HTTP_KNOWN_HEADER& type = raw.Headers.KnownHeaders[HttpHeaderContentType];
        type.pRawValue = response.contentType.c_str();
        type.RawValueLength = static_cast<USHORT>(response.contentType.size());
        HTTP_DATA_CHUNK chunk{};
        if (!response.body.empty()) {
            chunk.DataChunkType = HttpDataChunkFromMemory;
            chunk.FromMemory.pBuffer = const_cast<char*>(response.body.data());
            chunk.FromMemory.BufferLength = static_cast<ULONG>(response.body.size());
            raw.EntityChunkCount = 1;
            raw.pEntityChunks = &chunk;
        }
        ULONG sent = 0;
        // A client that went away is no error of ours.
        HttpSendHttpResponse(queue.get(), id, 0, &raw, nullptr, &sent, nullptr, 0, nullptr, nullptr);
    }

    Response Dispatch(const Request& request) {
        try {
            return handler(request);
        } catch (const std::exception& e) {
            return Response{500, "text/plain; charset=utf-8", std::string("internal error: ") + e.what()};
        } catch (...) {
            return Response{500, "text/plain; charset=utf-8", "internal error"};
        }
    }

    // A request taken from the queue, waiting for a worker.
    struct Work {
        HTTP_REQUEST_ID id = HTTP_NULL_ID;
        Request request;
        bool moreBody = false;
    };
    std::mutex workLock;
    std::condition_variable workReady;
    std::deque<Work> work;
    bool receiversDone = false;
    std::vector<std::thread> workers;

    // Receiving threads: take each request off the queue at once and hand it to the workers.
    // (Wine's http.sys may never deliver a request that finds no receive pending.)
    void Receive() {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) return;
        std::vector<ULONGLONG> buffer(kFirstBufferBytes / sizeof(ULONGLONG));
        while (WaitForSingleObject(stopEvent.get(), 0) != WAIT_OBJECT_0) {
            const ULONG rc = ReceiveHead(buffer, event.get());
            if (rc == ERROR_OPERATION_ABORTED || rc == ERROR_INVALID_HANDLE) return;
            if (rc != NO_ERROR) {
                // The client went away between connection and receive, or similar: next one.
                if (WaitForSingleObject(stopEvent.get(), 10) == WAIT_OBJECT_0) return;
                continue;
            }
            const auto* raw = reinterpret_cast<const HTTP_REQUEST*>(buffer.data());
            Work item;
            item.id = raw->RequestId;
            item.moreBody = (raw->Flags & HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS) != 0;
            Request& request = item.request;
            request.method = VerbText(*raw);
            SplitTarget(std::string_view(raw->pRawUrl ? raw->pRawUrl : "/", raw->pRawUrl ? raw->RawUrlLength : 1),
                        request);
            request.host = HeaderText(*raw, HttpHeaderHost);
            request.contentType = HeaderText(*raw, HttpHeaderContentType);
            SetRemote(raw->Address.pRemoteAddress, request);
            for (USHORT i = 0; i < raw->EntityChunkCount; ++i) {
                const HTTP_DATA_CHUNK& chunk = raw->pEntityChunks[i];
                if (chunk.DataChunkType != HttpDataChunkFromMemory) continue;
                request.body.append(static_cast<const char*>(chunk.FromMemory.pBuffer), chunk.FromMemory.BufferLength);
            }
            {
                std::lock_guard<std::mutex> guard(workLock);
                work.push_back(std::move(item));
            }
            workReady.notify_one();
        }
    }

    // Working threads: the rest of the body, the handler, the answer. Requests taken before a
    // stop are still answered.
    void Serve() {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) return;
        while (true) {
            Work item;
            {
                std::unique_lock<std::mutex> guard(workLock);
                workReady.wait(guard, [this] { return !work.empty() || receiversDone; });
                if (work.empty()) return;
                item = std::move(work.front());
                work.pop_front();
            }
            bool tooLarge = false;
            if (item.moreBody && !ReceiveRestOfBody(item.id, event.get(), item.request.body, &tooLarge)) continue;
            if (tooLarge) {
                Send(item.id, Response{413, "text/plain; charset=utf-8", "request body too large"});
                continue;
            }
            Send(item.id, Dispatch(item.request));
        }
    }

    // Under Wine 8, http.sys closes every listening socket of the prefix when any request queue
    // is closed, so another server's end (even in another process) silences this one. Its URLs
    // are registered again when nothing listens on the port any more.
    void Watch() {
        int misses = 0;
        while (WaitForSingleObject(watchStopEvent.get(), kWatchPeriodMs) == WAIT_TIMEOUT) {
            misses = SomethingListensOn(port) ? 0 : misses + 1;
            if (misses < 2) continue;
            misses = -8;  // the new socket may take a moment to appear
            for (const std::string& url : urls) {
                const std::wstring wide = Widen(url);
                HttpRemoveUrlFromUrlGroup(group.get(), wide.c_str(), 0);
                HttpAddUrlToUrlGroup(group.get(), wide.c_str(), 0, 0);
            }
        }
    }

    // A thread procedure never lets an exception out; the thread just ends.
    void RunWatcher() noexcept {
        try {
            Watch();
        } catch (...) {
        }
    }
    void RunReceiver() noexcept {
        try {
            Receive();
        } catch (...) {
        }
    }
    void RunWorker() noexcept {
        try {
            Serve();
        } catch (...) {
        }
    }
};

Server::Server(Handler handler) : state_(std::make_unique<State>()) { state_->handler = std::move(handler); }

Server::~Server() { Stop(); }

const std::vector<std::string>& Server::Urls() const { return state_->urls; }

bool Server::Start(std::uint16_t port, unsigned workers, std::string* error) {
    State& s = *state_;
    auto fail = [&](const std::string& what, ULONG rc) {
        if (error) *error = what + " failed with error " + std::to_string(rc);
        Stop();
        return false;
    };
    if (ULONG rc = s.api.Begin(); rc != NO_ERROR) return fail("HttpInitialize", rc);
    if (ULONG rc = HttpCreateServerSession(kApiVersion, s.session.put(), 0); rc != NO_ERROR) {
        return fail("HttpCreateServerSession", rc);
    }
    if (ULONG rc = HttpCreateUrlGroup(s.session.get(), s.group.put(), 0); rc != NO_ERROR) {
        return fail("HttpCreateUrlGroup", rc);
    }
    if (ULONG rc = HttpCreateRequestQueue(kApiVersion, nullptr, nullptr, 0, s.queue.put()); rc != NO_ERROR) {
        return fail("HttpCreateRequestQueue", rc);
    }
    HTTP_BINDING_INFO binding{};
    binding.Flags.Present = 1;
    binding.RequestQueueHandle = s.queue.get();
    if (ULONG rc = HttpSetUrlGroupProperty(s.group.get(), HttpServerBindingProperty, &binding, sizeof binding);
        rc != NO_ERROR) {
        return fail("HttpSetUrlGroupProperty", rc);
    }
    const std::string suffix = ":" + std::to_string(port) + "/";
    std::string refused;
    auto add = [&](const std::string& url) {
        const ULONG rc = HttpAddUrlToUrlGroup(s.group.get(), Widen(url).c_str(), 0, 0);
        if (rc == NO_ERROR) {
            s.urls.push_back(url);
        } else {
            refused += (refused.empty() ? "" : "; ") + url + " refused with error " + std::to_string(rc);
        }
    };
    add("http://+" + suffix);
    if (s.urls.empty()) {
        add("http://127.0.0.1" + suffix);
        add("http://localhost" + suffix);
    }
    if (s.urls.empty()) {
        if (error) *error = refused;
        Stop();
        return false;
    }
    if (error) *error = refused;  // what was refused on the way, if anything
    s.port = port;
    s.stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    s.watchStopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!s.stopEvent || !s.watchStopEvent) return fail("CreateEvent", GetLastError());
    try {
        for (unsigned i = 0; i < std::max(workers, 1u); ++i) s.workers.emplace_back([&s] { s.RunWorker(); });
        for (unsigned i = 0; i < kReceivers; ++i) s.receivers.emplace_back([&s] { s.RunReceiver(); });
        if (RunningUnderWine()) s.watcher = std::thread([&s] { s.RunWatcher(); });
    } catch (const std::exception&) {
        return fail("starting the receiving threads", ERROR_NOT_ENOUGH_MEMORY);
    }
    return true;
}

void Server::Stop() {
    State& s = *state_;
    if (s.watchStopEvent) SetEvent(s.watchStopEvent.get());
    if (s.watcher.joinable()) s.watcher.join();
    // No new requests: the URLs go first, then the receiving threads end. The workers answer
    // every request already taken, then end too.
    for (const std::string& url : s.urls) HttpRemoveUrlFromUrlGroup(s.group.get(), Widen(url).c_str(), 0);
    if (s.stopEvent) SetEvent(s.stopEvent.get());
    for (std::thread& t : s.receivers) {
        if (t.joinable()) t.join();
    }
    {
        std::lock_guard<std::mutex> guard(s.workLock);
        s.receiversDone = true;
    }
    s.workReady.notify_all();
    for (std::thread& t : s.workers) {
        if (t.joinable()) t.join();
    }
    s.receivers.clear();
    s.workers.clear();
    s.receiversDone = false;
    s.urls.clear();
    s.group.reset();
    s.queue.reset();
    s.session.reset();
    s.stopEvent.reset();
    s.watchStopEvent.reset();
    s.api.End();
}

}  // namespace nelto::http
