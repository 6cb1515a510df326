// The stand-in host (Httpd.exe with echo_plugin.dll) and the collector, driven over HTTP; and
// the host's contract objects called through the C vtables of the contract header.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/json_util.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "common/win/bstr.h"
#include "testbed/host/host_objects.h"
#include "tests/win/test_util.h"

namespace {

using nelto::Json;
using nelto::Narrow;
using nelto::Widen;
using nelto::AllocBstr;
using nelto::UniqueBstr;
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Json Parse(const std::string& text) { return Json::parse(text, nullptr, false); }

// ---------------------------------------------------------------- contract objects, C vtables

template <typename Vtbl, typename Interface>
const Vtbl& CTable(Interface* object) {
    return **reinterpret_cast<Vtbl* const*>(object);
}

using WriteSlot = HRESULT(__stdcall* IQvActionResponseVtbl::*)(IQvActionResponse*, BSTR, BSTR, BSTR);

struct WriteCase {
    const char* name;
    WriteSlot slot;
    const wchar_t* first;  // data or detail; nullptr for a NULL BSTR
    nelto::host::WriteKind kind;
    const char* envelope;
};

TEST(HostObjects, ResponseWritesLandInTheirSlots) {
    using nelto::host::WriteKind;
    const WriteCase cases[] = {
        {"success", &IQvActionResponseVtbl::WriteSuccess, L"{\"a\":1,\"名\":\"张三\"}", WriteKind::Success,
         R"({"code":"C","message":"消息","data":{"a":1,"名":"张三"}})"},
        {"failure", &IQvActionResponseVtbl::WriteFailure, L"{\"b\":[1,2]}", WriteKind::Failure,
         R"({"code":"C","message":"消息","data":{"b":[1,2]}})"},
        {"error", &IQvActionResponseVtbl::WriteError, L"细节", WriteKind::Error,
         R"({"code":"C","message":"消息","data":{"detail":"细节"}})"},
        {"null data", &IQvActionResponseVtbl::WriteSuccess, nullptr, WriteKind::Success,
         R"({"code":"C","message":"消息","data":null})"},
        {"data not JSON", &IQvActionResponseVtbl::WriteFailure, L"{oops", WriteKind::Failure,
         R"({"code":"C","message":"消息","data":null})"},
        {"null detail", &IQvActionResponseVtbl::WriteError, nullptr, WriteKind::Error,
         R"({"code":"C","message":"消息","data":{"detail":""}})"},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto* response = new nelto::host::ActionResponse();
        IQvActionResponse* object = response;
        const auto& table = CTable<IQvActionResponseVtbl>(object);
        UniqueBstr first(c.first ? AllocBstr(c.first) : nullptr);
        UniqueBstr code(AllocBstr(L"C"));
        UniqueBstr message(AllocBstr(L"消息"));
        EXPECT_EQ((table.*c.slot)(object, first.get(), code.get(), message.get()), S_OK);
        EXPECT_EQ(response->Kind(), c.kind);
        EXPECT_EQ(response->Envelope(), Parse(c.envelope));
        EXPECT_EQ(table.Release(object), 0u);
    }
}

TEST(HostObjects, HostOperationsOfTheResponseWriteNothing) {
    using Slot = HRESULT(__stdcall* IQvActionResponseVtbl::*)(IQvActionResponse*);
    const Slot slots[] = {&IQvActionResponseVtbl::HostOperation1, &IQvActionResponseVtbl::HostOperation3,
                          &IQvActionResponseVtbl::HostOperation4, &IQvActionResponseVtbl::HostOperation6,
                          &IQvActionResponseVtbl::HostOperation7, &IQvActionResponseVtbl::HostOperation8,
                          &IQvActionResponseVtbl::HostOperation10};
    auto* response = new nelto::host::ActionResponse();
    IQvActionResponse* object = response;
    const auto& table = CTable<IQvActionResponseVtbl>(object);
    for (Slot slot : slots) EXPECT_EQ((table.*slot)(object), E_NOTIMPL);
    EXPECT_EQ(response->Kind(), nelto::host::WriteKind::None);
    EXPECT_EQ(table.Implementor(object), static_cast<void*>(response));
    UniqueBstr name(table.ToString(object));
    EXPECT_EQ(nelto::BstrToUtf8(name.get()), "TQvActionResponse");
    table.Release(object);
}

TEST(HostObjects, ContextGivesItsRequestAndResponseThroughTheCTable) {
    auto* request = new nelto::host::ActionRequest(R"({"x":"中"})");
    auto* response = new nelto::host::ActionResponse();
    IQvActionContext* context = new nelto::host::ActionContext(request, response);
    const auto& table = CTable<IQvActionContextVtbl>(context);

    IQvActionRequest* gotRequest = nullptr;
    ASSERT_EQ(table.GetRequest(context, &gotRequest), S_OK);
    EXPECT_EQ(gotRequest, static_cast<IQvActionRequest*>(request));
    IQvActionResponse* gotResponse = nullptr;
    ASSERT_EQ(table.GetResponse(context, &gotResponse), S_OK);
    EXPECT_EQ(gotResponse, static_cast<IQvActionResponse*>(response));

    // The request's own C table: each GetParams gives a new text.
    const auto& requestTable = CTable<IQvActionRequestVtbl>(gotRequest);
    UniqueBstr first;
    UniqueBstr second;
    ASSERT_EQ(requestTable.GetParams(gotRequest, first.put()), S_OK);
    ASSERT_EQ(requestTable.GetParams(gotRequest, second.put()), S_OK);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(nelto::BstrToUtf8(first.get()), R"({"x":"中"})");
    EXPECT_EQ(nelto::BstrToUtf8(second.get()), R"({"x":"中"})");

    using Slot = HRESULT(__stdcall* IQvActionContextVtbl::*)(IQvActionContext*);
    for (Slot slot : {&IQvActionContextVtbl::HostOperation3, &IQvActionContextVtbl::HostOperation4,
                      &IQvActionContextVtbl::HostOperation5, &IQvActionContextVtbl::HostOperation6,
                      &IQvActionContextVtbl::HostOperation7}) {
        EXPECT_EQ((table.*slot)(context), E_NOTIMPL);
    }
    UniqueBstr name(table.ToString(context));
    EXPECT_EQ(nelto::BstrToUtf8(name.get()), "TQvActionContext");
    EXPECT_EQ(table.AddRef(context), 2u);
    EXPECT_EQ(table.Release(context), 1u);

    // The references given out outlive the context; the creator's own go last.
    EXPECT_EQ(table.Release(context), 0u);
    EXPECT_EQ(gotRequest->Release(), 1u);
    EXPECT_EQ(gotResponse->Release(), 1u);
    EXPECT_EQ(request->Release(), 0u);
    EXPECT_EQ(response->Release(), 0u);
}

// ---------------------------------------------------------------- HTTP clients

struct WsaUse {
    WsaUse() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WsaUse() { WSACleanup(); }
};

struct SocketTraits {
    using Type = SOCKET;
    static SOCKET Invalid() { return INVALID_SOCKET; }
    static void Close(SOCKET s) { closesocket(s); }
};
using UniqueSocket = nelto::UniqueResource<SocketTraits>;

void CloseInternet(HINTERNET h) { WinHttpCloseHandle(h); }
using UniqueInternet = nelto::UniqueResource<nelto::NullTraits<HINTERNET, CloseInternet>>;

// A port nothing listens on right now.
std::uint16_t FreePort() {
    WsaUse wsa;
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

struct Reply {
    DWORD error = 0;  // WinHTTP error, 0 when a reply came
    DWORD status = 0;
    std::string contentType;
    std::string body;
};

// One request with WinHTTP to 127.0.0.1:<port>.
Reply Send(std::uint16_t port, const std::string& method, const std::string& path, const std::string& body = {},
           int receiveTimeoutMs = 15000) {
    Reply reply;
    auto failed = [&reply] {
        reply.error = GetLastError();
        return reply;
    };
    UniqueInternet session(WinHttpOpen(L"nelto-host-test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return failed();
    WinHttpSetTimeouts(session.get(), 5000, 5000, 15000, receiveTimeoutMs);
    UniqueInternet connection(WinHttpConnect(session.get(), L"127.0.0.1", port, 0));
    if (!connection) return failed();
    UniqueInternet request(WinHttpOpenRequest(connection.get(), Widen(method).c_str(), Widen(path).c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request) return failed();
    // Wine's WinHTTP waits for the reply head under this option only, not the receive timeout.
    DWORD replyTimeout = static_cast<DWORD>(receiveTimeoutMs);
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &replyTimeout, sizeof replyTimeout);
    const wchar_t* headers = L"Content-Type: application/json; charset=utf-8\r\n";
    if (!WinHttpSendRequest(request.get(), headers, static_cast<DWORD>(-1), const_cast<char*>(body.data()),
                            static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return failed();
    }
    DWORD size = sizeof reply.status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &reply.status, &size, WINHTTP_NO_HEADER_INDEX);
    wchar_t type[256] = {};
    size = sizeof type;
    if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX, type, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
        reply.contentType = Narrow(type);
    }
    char buffer[8192];
    DWORD read = 0;
    while (WinHttpReadData(request.get(), buffer, sizeof buffer, &read) && read > 0) reply.body.append(buffer, read);
    return reply;
}

// One request written as raw bytes to address:port; the status (0: no reply) and the body.
std::pair<int, std::string> SendRaw(const std::string& address, std::uint16_t port, const std::string& text) {
    WsaUse wsa;
    UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    DWORD timeout = 10000;
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return {0, "connect failed"};
    send(s.get(), text.data(), static_cast<int>(text.size()), 0);
    std::string received;
    char buffer[4096];
    while (true) {
        const auto end = received.find("\r\n\r\n");
        if (end != std::string::npos) {
            const auto lengthAt = received.find("Content-Length: ");
            if (lengthAt != std::string::npos && lengthAt < end &&
                received.size() >= end + 4 + std::stoul(received.substr(lengthAt + 16))) {
                break;
            }
        }
        const int n = recv(s.get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    if (received.rfind("HTTP/1.1 ", 0) != 0 || received.size() < 12) return {0, received};
    const auto end = received.find("\r\n\r\n");
    return {std::stoi(received.substr(9, 3)), end == std::string::npos ? std::string() : received.substr(end + 4)};
}

// An IPv4 address of this machine that is not loopback, if there is one.
std::optional<std::string> NonLoopbackAddress() {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer(size);
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    if (GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr, list, &size) !=
        NO_ERROR) {
        return std::nullopt;
    }
    for (auto* adapter = list; adapter; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(unicast->Address.lpSockaddr);
            if (v4->sin_family != AF_INET || (ntohl(v4->sin_addr.s_addr) >> 24) == 127) continue;
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
            return std::string(text);
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- programs under test

// A program of ours started in the background; ready once it printed "listening on <port>".
class Server {
public:
    // stopEvent: the name of the event that stops it.
    Server(const std::string& arguments, const std::string& stopEvent, const std::string& logPath)
        : stopEvent_(stopEvent), logPath_(logPath) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE readRaw = nullptr;
        HANDLE writeRaw = nullptr;
        if (!CreatePipe(&readRaw, &writeRaw, &inherit, 0)) return;
        output_.reset(readRaw);
        nelto::UniqueHandle writeEnd(writeRaw);
        SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        nelto::UniqueFile log(CreateFileW(Widen(logPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd.get();
        startup.hStdError = log.get();
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        PROCESS_INFORMATION info{};
        std::wstring command = Widen(arguments);
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                            &startup, &info)) {
            return;
        }
        process_.reset(info.hProcess);
        CloseHandle(info.hThread);
    }

    ~Server() {
        if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
            Signal();
            if (WaitForSingleObject(process_.get(), 15000) != WAIT_OBJECT_0) TerminateProcess(process_.get(), 99);
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Waits for the "listening on" line; false when the program ended or took too long.
    bool WaitReady(std::uint16_t port) {
        if (!process_) return false;
        const std::string expected = "listening on " + std::to_string(port);
        const auto start = Clock::now();
        std::string text;
        while (MillisecondsSince(start) < 30000) {
            DWORD available = 0;
            if (!PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) return false;
            if (available > 0) {
                std::string chunk(available, '\0');
                DWORD read = 0;
                ReadFile(output_.get(), chunk.data(), available, &read, nullptr);
                text.append(chunk.data(), read);
                if (text.find(expected) != std::string::npos) return true;
            } else if (WaitForSingleObject(process_.get(), 20) == WAIT_OBJECT_0) {
                return false;
            }
        }
        return false;
    }

    void Signal() {
        nelto::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, Widen(stopEvent_).c_str()));
        if (event) SetEvent(event.get());
    }

    // Sets the stop event and waits for the end; the exit code, or nothing when still running.
    std::optional<DWORD> Stop(DWORD waitMs = 20000) {
        Signal();
        if (WaitForSingleObject(process_.get(), waitMs) != WAIT_OBJECT_0) return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

    std::string Log() const { return nelto::test::ReadBytes(logPath_); }

private:
    std::string stopEvent_;
    std::string logPath_;
    nelto::UniqueHandle process_;
    nelto::UniqueHandle output_;
};

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// Sets an environment variable for the programs started while it lives.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::string& value) : name_(name) {
        SetEnvironmentVariableW(name_, Widen(value).c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const wchar_t* name_;
};

std::unique_ptr<Server> StartHost(std::uint16_t port, const nelto::test::ScratchFolder& folder) {
    ScopedEnvironment marker(L"NELTO_ECHO_MARKER", folder / "marker.txt");
    const std::string bin = nelto::test::ProgramFolder();
    auto host = std::make_unique<Server>(
        Quoted(bin + "Httpd.exe") + " " + Quoted(bin + "echo_plugin.dll") + " " + std::to_string(port),
        "Local\\NeltoHostStop-" + std::to_string(port), folder / "host.log");
    EXPECT_TRUE(host->WaitReady(port)) << host->Log();
    return host;
}

std::unique_ptr<Server> StartCollector(std::uint16_t port, const nelto::test::ScratchFolder& folder,
                                       const std::string& extra = {}) {
    const std::string bin = nelto::test::ProgramFolder();
    auto collector = std::make_unique<Server>(
        Quoted(bin + "collector.exe") + " " + std::to_string(port) + " " + Quoted(folder / "posts.txt") + extra,
        "Local\\NeltoCollectorStop-" + std::to_string(port), folder / "collector.log");
    EXPECT_TRUE(collector->WaitReady(port)) << collector->Log();
    return collector;
}

constexpr const char* kCollectPath = "/hawk/grab/tarveskcommon.htm";

// ---------------------------------------------------------------- the host over HTTP

class HostOverHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new nelto::test::ScratchFolder();
        port_ = FreePort();
        host_ = StartHost(port_, *folder_).release();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(host_->Stop(), std::optional<DWORD>(0)) << host_->Log();
        delete host_;
        delete folder_;
    }
    static std::string Action(const std::string& resource) { return "/nelto/rezaManager/" + resource; }
    static int Calls() {
        return static_cast<int>(nelto::JsonInt(Parse(Send(port_, "POST", Action("count")).body), "data.calls", -1));
    }

    static nelto::test::ScratchFolder* folder_;
    static Server* host_;
    static std::uint16_t port_;
};
nelto::test::ScratchFolder* HostOverHttp::folder_ = nullptr;
Server* HostOverHttp::host_ = nullptr;
std::uint16_t HostOverHttp::port_ = 0;

TEST_F(HostOverHttp, EnvelopesOfTheThreeWrites) {
    const std::string body = R"({"a":1,"b":"x"})";
    const struct {
        const char* resource;
        const char* envelope;
    } cases[] = {
        {"echo", R"({"code":"00000000","message":"处理成功","data":{"a":1,"b":"x"}})"},
        {"fail", R"({"code":"E0001","message":"处理失败","data":{"a":1,"b":"x"}})"},
        {"error", R"({"code":"E9999","message":"发生错误","data":{"detail":"细节: detail"}})"},
        {"nulldata", R"({"code":"00000000","message":"处理成功","data":null})"},
        {"textdata", R"({"code":"00000000","message":"处理成功","data":null})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resource);
        const Reply reply = Send(port_, "POST", Action(c.resource), body);
        ASSERT_EQ(reply.error, 0u);
        EXPECT_EQ(reply.status, 200u);
        EXPECT_EQ(reply.contentType, "application/json; charset=utf-8");
        // Exactly these keys in this order.
        EXPECT_EQ(Parse(reply.body).dump(), Parse(c.envelope).dump());
    }
}

TEST_F(HostOverHttp, ChineseTextRoundTrips) {
    const std::string bodies[] = {
        R"({"名字":"张三","地址":{"城市":"北京"},"emoji":"😀"})",
        R"({"escaped":"\u4e2d\u6587"})",
    };
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        const Reply reply = Send(port_, "POST", Action("echo"), body);
        ASSERT_EQ(reply.status, 200u);
        const Json envelope = Parse(reply.body);
        EXPECT_EQ(envelope["data"], Parse(body));
        EXPECT_EQ(envelope["message"], "处理成功");
    }
    // Non-ASCII text goes out as UTF-8 itself.
    EXPECT_NE(Send(port_, "POST", Action("echo"), bodies[0]).body.find("张三"), std::string::npos);
}

TEST_F(HostOverHttp, EmptyBodyIsAnEmptyObject) {
    for (const char* method : {"POST", "GET"}) {
        SCOPED_TRACE(method);
        const Reply reply = Send(port_, method, Action("echo"));
        ASSERT_EQ(reply.status, 200u);
        EXPECT_EQ(Parse(reply.body)["data"], Json::object());
    }
}

TEST_F(HostOverHttp, LargeBodyRoundTrips) {
    Json body = Json::object();
    body["text"] = std::string(60000, 'x') + "尾";
    const Reply reply = Send(port_, "POST", Action("echo"), body.dump());
    ASSERT_EQ(reply.status, 200u);
    EXPECT_EQ(Parse(reply.body)["data"], body);
}

TEST_F(HostOverHttp, BodiesThatAreNoObjectNeverReachThePlugin) {
    const int before = Calls();
    ASSERT_GT(before, 0);
    for (const char* body : {"[1,2]", "\"text\"", "42", "null", "not json", "{\"a\":", "{\"a\":\"\xff\"}"}) {
        SCOPED_TRACE(body);
        const Reply reply = Send(port_, "POST", Action("echo"), body);
        EXPECT_EQ(reply.status, 400u);
        EXPECT_EQ(Parse(reply.body)["code"], "400");
    }
    EXPECT_EQ(Calls(), before + 1);  // only the second count call itself
}

TEST_F(HostOverHttp, ActionThatWritesNothingGives500) {
    const Reply reply = Send(port_, "POST", Action("silent"), "{}");
    EXPECT_EQ(reply.status, 500u);
    EXPECT_EQ(reply.contentType, "application/json; charset=utf-8");
    EXPECT_TRUE(Parse(reply.body).contains("message"));
}

TEST_F(HostOverHttp, UnknownPathsAre404) {
    for (const char* path : {"/", "/nelto", "/nelto/rezaManager/nothing", "/nelto/rezaManager/echo/more",
                             "/other/rezaManager/echo", "/nelto/RezaManager/echo"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Send(port_, "POST", path, "{}").status, 404u);
    }
}

TEST_F(HostOverHttp, ListsTheRoutes) {
    const Reply reply = Send(port_, "GET", "/nelto/rezaManager");
    ASSERT_EQ(reply.status, 200u);
    EXPECT_EQ(Parse(reply.body),
              Parse(R"(["echo","fail","error","slow","silent","nulldata","textdata","count"])"));
}

TEST_F(HostOverHttp, HostHeaderMustNameThisHost) {
    const std::string port = std::to_string(port_);
    const struct {
        std::string host;
        int status;
    } cases[] = {
        {"127.0.0.1:" + port, 200}, {"localhost:" + port, 200},   {"evil.example:" + port, 403},
        {"127.0.0.2:" + port, 403}, {"LOCALHOST:" + port, 403},   {"127.0.0.1.evil.example:" + port, 403},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        const auto [status, body] =
            SendRaw("127.0.0.1", port_, "GET /nelto/rezaManager HTTP/1.1\r\nHost: " + c.host + "\r\n\r\n");
        EXPECT_EQ(status, c.status) << body;
    }
}

TEST_F(HostOverHttp, PeerThatIsNotLoopbackIs403) {
    const auto address = NonLoopbackAddress();
    if (!address) GTEST_SKIP() << "this machine has no address besides loopback";
    const auto [status, body] = SendRaw(*address, port_,
                                        "GET /nelto/rezaManager HTTP/1.1\r\nHost: 127.0.0.1:" +
                                            std::to_string(port_) + "\r\n\r\n");
    EXPECT_EQ(status, 403) << *address << ": " << body;
}

TEST_F(HostOverHttp, ActionsRunConcurrently) {
    std::vector<Reply> replies(4);
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (Reply& reply : replies) {
        threads.emplace_back([&reply] { reply = Send(port_, "POST", Action("slow"), R"({"n":1})"); });
    }
    for (std::thread& t : threads) t.join();
    const long long elapsed = MillisecondsSince(start);
    for (const Reply& reply : replies) EXPECT_EQ(reply.status, 200u);
    EXPECT_GE(elapsed, 500);
    EXPECT_LT(elapsed, 1500) << "four actions of 500 ms each did not overlap\n" << host_->Log();
}

TEST_F(HostOverHttp, KeepsServingWhenAnotherServerEnds) {
    {
        nelto::test::ScratchFolder folder;
        const std::uint16_t port = FreePort();
        auto collector = StartCollector(port, folder);
        ASSERT_EQ(collector->Stop(), std::optional<DWORD>(0)) << collector->Log();
    }
    // Wine's http.sys drops every listening socket when any queue closes; the host listens again.
    const auto start = Clock::now();
    DWORD status = 0;
    while ((status = Send(port_, "GET", "/nelto/rezaManager", {}, 1000).status) != 200 &&
           MillisecondsSince(start) < 5000) {
        Sleep(50);
    }
    EXPECT_EQ(status, 200u) << host_->Log();
    EXPECT_LT(MillisecondsSince(start), 2000);
}

// ---------------------------------------------------------------- stopping the host

TEST(HostStop, StopEventWaitsForTheRunningActionThenStopsThePlugin) {
    nelto::test::ScratchFolder folder;
    const std::uint16_t port = FreePort();
    auto host = StartHost(port, folder);
    Reply slow;
    std::thread caller([&] { slow = Send(port, "POST", "/nelto/rezaManager/slow", "{}"); });
    // Stop only once the action runs.
    const auto start = Clock::now();
    while (nelto::test::ReadBytes(folder / "marker.txt").find("slow") == std::string::npos &&
           MillisecondsSince(start) < 10000) {
        Sleep(10);
    }
    EXPECT_EQ(host->Stop(), std::optional<DWORD>(0)) << host->Log();
    caller.join();
    EXPECT_EQ(slow.status, 200u) << "the running action was not waited for";
    EXPECT_EQ(nelto::test::ReadBytes(folder / "marker.txt"), "start\nslow\nstop\n");
    // Nothing is served any more.
    EXPECT_NE(Send(port, "GET", "/nelto/rezaManager", {}, 3000).status, 200u);
}

TEST(HostStop, BadArgumentsEndWithAnError) {
    const std::string bin = nelto::test::ProgramFolder();
    const struct {
        std::string arguments;
        unsigned long code;
    } cases[] = {
        {"", 2},
        {Quoted(bin + "echo_plugin.dll") + " notaport", 2},
        {Quoted(bin + "echo_plugin.dll") + " 70000", 2},
        {Quoted(bin + "no_such_plugin.dll") + " " + std::to_string(FreePort()), 1},
        {Quoted(bin + "Httpd.exe") + " " + std::to_string(FreePort()), 1},  // no plug-in entry points
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(nelto::test::RunProcess(Quoted(bin + "Httpd.exe") + " " + c.arguments).exitCode, c.code);
    }
}

// ---------------------------------------------------------------- the collector


TEST(Collector, RecordsPostsInOrder) {
    nelto::test::ScratchFolder folder;
    const std::uint16_t port = FreePort();
    auto collector = StartCollector(port, folder);
    const std::string posts[] = {R"({"n":1})", R"({"n":2,"名":"张三"})", "plain text", ""};
    for (const std::string& post : posts) {
        const Reply reply = Send(port, "POST", kCollectPath, post);
        EXPECT_EQ(reply.status, 200u);
        EXPECT_EQ(reply.body, "ok");
    }
    EXPECT_EQ(Send(port, "GET", kCollectPath).status, 405u);
    EXPECT_EQ(Send(port, "POST", "/hawk/grab/other.htm", "x").status, 404u);
    EXPECT_EQ(nelto::test::ReadBytes(folder / "posts.txt"), "{\"n\":1}\n{\"n\":2,\"名\":\"张三\"}\nplain text\n\n");
    EXPECT_EQ(collector->Stop(), std::optional<DWORD>(0)) << collector->Log();
}

TEST(Collector, SlowDelaysTheAnswerNotTheRecord) {
    nelto::test::ScratchFolder folder;
    const std::uint16_t port = FreePort();
    auto collector = StartCollector(port, folder, " --slow 1500");
    auto start = Clock::now();
    const Reply patient = Send(port, "POST", kCollectPath, "first");
    EXPECT_EQ(patient.status, 200u);
    EXPECT_GE(MillisecondsSince(start), 1500);
    // A client that gives up early gets no answer, yet the post is recorded.
    start = Clock::now();
    const Reply hasty = Send(port, "POST", kCollectPath, "second", 300);
    // Wine's WinHTTP reports the socket's WSAETIMEDOUT where Windows reports its own timeout.
    EXPECT_EQ(hasty.status, 0u);
    EXPECT_TRUE(hasty.error == ERROR_WINHTTP_TIMEOUT || hasty.error == WSAETIMEDOUT) << hasty.error;
    EXPECT_LT(MillisecondsSince(start), 1400);
    EXPECT_EQ(nelto::test::ReadBytes(folder / "posts.txt"), "first\nsecond\n");
    EXPECT_EQ(collector->Stop(), std::optional<DWORD>(0)) << collector->Log();
}

}  // namespace
