#include "plugin/usage_post.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "common/daemon_log.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"

namespace nelto {
namespace {

using namespace std::chrono_literals;

// A one-shot HTTP server on 127.0.0.1: accepts one connection, captures the raw request and
// answers with a status and body, or stays silent until it is destroyed.
class Listener {
public:
    struct Reply {
        int status = 200;
        std::string body;
        bool silent = false;
    };

    explicit Listener(Reply reply) : reply_(std::move(reply)) {
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) throw std::runtime_error("WSAStartup");
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        int size = sizeof(address);
        if (socket_ == INVALID_SOCKET || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(socket_, 1) != 0 || getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("cannot listen");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~Listener() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
        closesocket(socket_);
        WSACleanup();
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    // The captured request, or nothing when none came within the wait.
    std::optional<std::string> WaitRequest(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, wait, [this] { return request_.has_value(); });
        return request_;
    }

private:
    void Serve() noexcept {
        try {
            SOCKET client = INVALID_SOCKET;
            while (client == INVALID_SOCKET) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (stop_) return;
                }
                fd_set readable;
                FD_ZERO(&readable);
                FD_SET(socket_, &readable);
                timeval poll = {0, 50000};
                if (select(0, &readable, nullptr, nullptr, &poll) == 1) client = accept(socket_, nullptr, nullptr);
            }
            const std::string request = ReadRequest(client);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                request_ = request;
            }
            changed_.notify_all();
            if (reply_.silent) {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return stop_; });
            } else {
                const std::string answer = "HTTP/1.1 " + std::to_string(reply_.status) +
                                           " Status\r\nContent-Type: text/plain\r\nContent-Length: " +
                                           std::to_string(reply_.body.size()) + "\r\nConnection: close\r\n\r\n" +
                                           reply_.body;
                send(client, answer.data(), static_cast<int>(answer.size()), 0);
                shutdown(client, SD_SEND);
                char rest[256];
                while (recv(client, rest, sizeof(rest), 0) > 0) {
                }
            }
            closesocket(client);
        } catch (...) {
        }
    }

    // Head and body (by Content-Length) of one request.
    static std::string ReadRequest(SOCKET client) {
        std::string data;
        char buffer[4096];
        std::size_t need = std::string::npos;
        while (data.size() < need) {
            const int n = recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0) break;
            data.append(buffer, static_cast<std::size_t>(n));
            const auto end = data.find("\r\n\r\n");
            if (need == std::string::npos && end != std::string::npos) {
                std::string head = data.substr(0, end);
                for (char& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
                const auto at = head.find("\r\ncontent-length:");
                need = end + 4 + (at == std::string::npos ? 0 : std::stoul(head.substr(at + 17)));
            }
        }
        return data;
    }

    Reply reply_;
    SOCKET socket_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::optional<std::string> request_;
};

std::string Head(const std::string& request) { return request.substr(0, request.find("\r\n\r\n") + 2); }
std::string Body(const std::string& request) {
    const auto end = request.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : request.substr(end + 4);
}

// The text of the exception HttpRequestText throws, "" when it returns.
std::string RequestError(const std::string& url, std::uint32_t timeoutMs) {
    try {
        (void)HttpRequestText(url, "POST", "{}", true, {}, timeoutMs);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return {};
}

TEST(HttpRequestText, SendsMethodHeadersAndUtf8Body) {
    Listener server({200, "好的", false});
    const std::string body = R"({"a":"中文"})";
    const std::string answer = HttpRequestText(server.Url("/hawk/grab/tarveskcommon.htm?x=1"), "post", body, true,
                                               {"X-First=1", "X-Second=two words"}, 2000);
    EXPECT_EQ(answer, "好的");
    const auto request = server.WaitRequest(5s);
    ASSERT_TRUE(request);
    const std::string head = Head(*request);
    EXPECT_EQ(head.substr(0, head.find("\r\n")), "POST /hawk/grab/tarveskcommon.htm?x=1 HTTP/1.1");
    const std::vector<std::string> ordered = {
        "\r\nAccept-Language: zh-cn\r\n",
        "\r\nContent-Type: application/json\r\n",
        "\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.1; Trident/4.0; .NET4.0C; .NET4.0E)\r\n",
        "\r\nX-First: 1\r\n",
        "\r\nX-Second: two words\r\n",
    };
    std::size_t last = 0;
    for (const std::string& line : ordered) {
        const auto at = head.find(line);
        ASSERT_NE(at, std::string::npos) << line << "\n" << head;
        EXPECT_GT(at, last) << line << "\n" << head;
        last = at;
    }
    EXPECT_EQ(head.find("User-Agent:"), head.rfind("User-Agent:")) << head;  // sent once
    EXPECT_EQ(Body(*request), body);
}

TEST(HttpRequestText, DecodesTheAnswer) {
    struct Case {
        std::string sent;
        bool utf8;
        std::string want;
    };
    for (const Case& c : {Case{"中文", true, "中文"}, Case{"\xEF\xBB\xBF{}", true, "{}"},
                          Case{"\xD6\xD0\xCE\xC4", false, "中文"}, Case{"", true, ""}}) {
        Listener server({200, c.sent, false});
        EXPECT_EQ(HttpRequestText(server.Url("/"), "GET", "", c.utf8, {}, 2000), c.want) << c.want;
    }
}

TEST(HttpRequestText, StatusOtherThan200Fails) {
    for (int status : {500, 404, 201}) {
        Listener server({status, "body", false});
        EXPECT_EQ(RequestError(server.Url("/"), 2000), "连接服务器失败!") << status;
    }
}

TEST(HttpRequestText, UnreachableServerFails) {
    std::string url;
    {
        Listener closed({200, "", false});
        url = closed.Url("/");
    }
    EXPECT_EQ(RequestError(url, 2000), "连接服务器失败!");
}

TEST(HttpRequestText, SilentServerTimesOut) {
    Listener server({200, "", true});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RequestError(server.Url("/"), 1000), "连接超时!");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 800ms);
    EXPECT_LT(elapsed, 5s);
    EXPECT_TRUE(server.WaitRequest(0ms));
}

// Sets (or removes, with nullopt) [system] usageUrl of the common configuration for the test's
// duration, then puts the former value back.
class ScopedUsageUrl {
public:
    explicit ScopedUsageUrl(const std::optional<std::string>& value) : file_(Widen(KvConfigFileName())) {
        (void)ForceDirectories(ExtractFilePath(KvConfigFileName()));
        wchar_t old[4096] = {};
        GetPrivateProfileStringW(L"system", L"usageUrl", L"\x01", old, 4096, file_.c_str());
        if (std::wstring_view(old) != L"\x01") old_ = old;
        Write(value ? std::optional<std::wstring>(Widen(*value)) : std::nullopt);
    }
    ~ScopedUsageUrl() { Write(old_); }
    ScopedUsageUrl(const ScopedUsageUrl&) = delete;
    ScopedUsageUrl& operator=(const ScopedUsageUrl&) = delete;

private:
    void Write(const std::optional<std::wstring>& value) {
        WritePrivateProfileStringW(L"system", L"usageUrl", value ? value->c_str() : nullptr, file_.c_str());
    }
    std::wstring file_;
    std::optional<std::wstring> old_;
};

TEST(PostUsageRecord, DeliversTheRecordToTheConfiguredUrl) {
    Listener server({200, "{}", false});
    ScopedUsageUrl config(server.Url("/hawk/grab/tarveskcommon.htm"));
    EXPECT_EQ(UsageUrl(), server.Url("/hawk/grab/tarveskcommon.htm"));
    const Json params = Json::parse(R"({"nsrsbh":"91110000X","mobile":"138","companyName":"公司","code":"3"})");
    const Json result = Json::parse(R"({"messageCode":"00000000","data":{}})");
    EXPECT_TRUE(PostUsageRecord(&params, &result, "nelto/rezaManager/getCompanyInfos", 77));
    const auto request = server.WaitRequest(10s);
    ASSERT_TRUE(request);
    const std::string head = Head(*request);
    EXPECT_EQ(head.substr(0, head.find("\r\n")), "POST /hawk/grab/tarveskcommon.htm HTTP/1.1");
    EXPECT_NE(head.find("\r\nContent-Type: application/json\r\n"), std::string::npos) << head;
    const auto record = ParseJsonObject(Body(*request));
    ASSERT_TRUE(record) << Body(*request);
    EXPECT_EQ(Body(*request), ToCompactJson(*record));  // compact, \u escapes
    EXPECT_EQ(JsonText(*record, "mark"), "nelto/rezaManager/getCompanyInfos");
    EXPECT_EQ(JsonText(*record, "cost"), "77");
    EXPECT_EQ(JsonText(*record, "status"), "succeed");
    EXPECT_EQ(JsonText(*record, "nsrsbh"), "91110000X");
    EXPECT_EQ(JsonText(*record, "otherParameters.companyName"), "公司");
    EXPECT_EQ(JsonText(*record, "otherParameters.code"), "3");
    EXPECT_EQ(JsonText(*record, "mac"), GetMacList());
}

TEST(PostUsageRecord, WithoutParamsOrResultStillPosts) {
    Listener server({500, "", false});
    ScopedUsageUrl config(server.Url("/u"));
    EXPECT_TRUE(PostUsageRecord(nullptr, nullptr, "nelto/x", 1));
    const auto request = server.WaitRequest(10s);
    ASSERT_TRUE(request);
    const auto record = ParseJsonObject(Body(*request));
    ASSERT_TRUE(record);
    EXPECT_EQ(JsonText(*record, "otherParameters.messageCode"), "X99999999");
    EXPECT_EQ(JsonText(*record, "status"), "fail");
}

TEST(PostUsageRecord, NothingSentWithoutConfiguredUrl) {
    for (const std::optional<std::string>& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
        ScopedUsageUrl config(value);
        EXPECT_EQ(UsageUrl(), "");
        const Json params = Json::parse(R"({"code":"1"})");
        EXPECT_FALSE(PostUsageRecord(&params, nullptr, "nelto/x", 1));
    }
}

TEST(PostUsageRecord, UnreachableEndpointIsDroppedSilently) {
    std::string url;
    {
        Listener closed({200, "", false});
        url = closed.Url("/u");
    }
    ScopedUsageUrl config(url);
    EXPECT_TRUE(PostUsageRecord(nullptr, nullptr, "nelto/x", 1));
    Sleep(500);  // the thread ends by itself; nothing reaches the test
}

// A scratch tree of network cards under HKCU: name -> ServiceName (nullopt: no value).
class ScratchCards {
public:
    explicit ScratchCards(const std::vector<std::pair<std::string, std::optional<std::string>>>& cards)
        : path_("Software\\NeltoTest\\usage_" + std::to_string(GetCurrentProcessId()) + "_" +
                std::to_string(GetTickCount()) + "\\NetworkCards") {
        UniqueKey root;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, Widen(path_).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            root.put(), nullptr) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot create " << path_;
            return;
        }
        for (const auto& [name, service] : cards) {
            UniqueKey card;
            RegCreateKeyExW(root.get(), Widen(name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, card.put(),
                            nullptr);
            if (!service) continue;
            const std::wstring value = Widen(*service);
            RegSetValueExW(card.get(), L"ServiceName", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        }
    }
    ~ScratchCards() { RegDeleteTreeW(HKEY_CURRENT_USER, Widen(ExtractFilePath(path_)).c_str()); }
    ScratchCards(const ScratchCards&) = delete;
    ScratchCards& operator=(const ScratchCards&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(GetMacList, LastAdapterFirstJoinedByBar) {
    const std::map<std::string, std::string> macs = {
        {"{A}", "001122334455"}, {"{B}", ""}, {"{C}", "AABBCCDDEEFF"}, {"{D}", "0A0B0C0D0E0F"}};
    struct Case {
        std::vector<std::pair<std::string, std::optional<std::string>>> cards;
        std::string want;
        std::vector<std::string> queried;
    };
    const std::vector<Case> cases = {
        {{}, "", {}},
        {{{"1", "{A}"}}, "00-11-22-33-44-55", {"{A}", "{A}"}},
        {{{"1", "{A}"}, {"2", "{C}"}}, "AA-BB-CC-DD-EE-FF|00-11-22-33-44-55", {"{C}", "{C}", "{A}", "{A}"}},
        {{{"1", "{A}"}, {"2", "{B}"}, {"3", "{D}"}},
         "0A-0B-0C-0D-0E-0F|00-11-22-33-44-55",
         {"{D}", "{D}", "{B}", "{A}", "{A}"}},
        {{{"1", "{B}"}, {"2", "{A}"}, {"3", std::nullopt}}, "00-11-22-33-44-55", {"", "{A}", "{A}", "{B}"}},
    };
    for (const Case& c : cases) {
        ScratchCards cards(c.cards);
        std::vector<std::string> queried;
        MacSource source;
        source.root = HKEY_CURRENT_USER;
        source.subKey = cards.path();
        source.query = [&](const std::string& service) {
            queried.push_back(service);
            const auto it = macs.find(service);
            return it == macs.end() ? std::string() : it->second;
        };
        EXPECT_EQ(GetMacList(source), c.want) << c.want;
        EXPECT_EQ(queried, c.queried) << c.want;
    }
}

TEST(GetMacList, MissingKeyGivesNothing) {
    MacSource source;
    source.root = HKEY_CURRENT_USER;
    source.subKey = "Software\\NeltoTest\\no such key";
    source.query = [](const std::string&) { return std::string("001122334455"); };
    EXPECT_EQ(GetMacList(source), "");
}

TEST(ReadAdapterMac, UnknownDeviceGivesNothing) {
    EXPECT_EQ(ReadAdapterMac("NeltoNoSuchAdapter"), "");
    EXPECT_EQ(ReadAdapterMac(""), "");
}

}  // namespace
}  // namespace nelto
