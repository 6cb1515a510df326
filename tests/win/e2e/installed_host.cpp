#include "tests/win/e2e/installed_host.h"

#include <windows.h>
#include <winhttp.h>
#include <winsock2.h>

#include <gtest/gtest.h>

#include <sstream>

#include "common/daemon_log.h"
#include "common/win/fs.h"
#include "common/win/unicode.h"

namespace nelto::test {
namespace {

struct WinHttpCloser {
    HINTERNET h = nullptr;
    ~WinHttpCloser() {
        if (h) WinHttpCloseHandle(h);
    }
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

void CopyOrFail(const std::string& from, const std::string& to) {
    ASSERT_TRUE(ForceDirectories(ExtractFilePath(to)));
    ASSERT_TRUE(CopyFileW(Widen(from).c_str(), Widen(to).c_str(), FALSE)) << from << " -> " << to;
}

}  // namespace

HttpReply HttpPost(int port, const std::string& path, const std::string& body, const std::string& method) {
    HttpReply reply;
    WinHttpCloser session{WinHttpOpen(L"nelto-test", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                      WINHTTP_NO_PROXY_BYPASS, 0)};
    WinHttpSetTimeouts(session.h, 5000, 5000, 60000, 120000);
    WinHttpCloser connection{WinHttpConnect(session.h, L"127.0.0.1", static_cast<INTERNET_PORT>(port), 0)};
    WinHttpCloser request{WinHttpOpenRequest(connection.h, Widen(method).c_str(), Widen(path).c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)};
    if (!request.h) {
        ADD_FAILURE() << "WinHttpOpenRequest failed " << GetLastError();
        return reply;
    }
    const wchar_t* headers = L"Content-Type: application/json; charset=utf-8";
    if (!WinHttpSendRequest(request.h, headers, static_cast<DWORD>(-1L), const_cast<char*>(body.data()),
                            static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
        !WinHttpReceiveResponse(request.h, nullptr)) {
        ADD_FAILURE() << "request to " << path << " failed " << GetLastError();
        return reply;
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    reply.status = status;
    char buffer[8192];
    DWORD read = 0;
    while (WinHttpReadData(request.h, buffer, sizeof buffer, &read) && read > 0) reply.body.append(buffer, read);
    reply.json = Json::parse(reply.body, nullptr, false);
    if (reply.json.is_discarded()) reply.json = nullptr;
    return reply;
}

int FreePort() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    closesocket(s);
    return port;
}

RunningProgram::RunningProgram(const std::string& commandLine, const std::string& folder,
                               const std::string& stopEvent) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readRaw = nullptr;
    HANDLE writeRaw = nullptr;
    CreatePipe(&readRaw, &writeRaw, &sa, 0);
    UniqueHandle readEnd(readRaw);
    UniqueHandle writeEnd(writeRaw);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = Widen(commandLine);
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, Widen(folder).c_str(), &si, &pi)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": " << GetLastError();
        return;
    }
    process_.reset(pi.hProcess);
    CloseHandle(pi.hThread);
    writeEnd.reset();
    stopEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, Widen(stopEvent).c_str()));
    // Wait for the "listening" line; the rest of the output is drained by nobody (the pipe is
    // closed when we stop reading, which the programs tolerate).
    std::string output;
    char c = 0;
    DWORD read = 0;
    while (output.find("listening") == std::string::npos && ReadFile(readEnd.get(), &c, 1, &read, nullptr) && read) {
        output += c;
    }
    if (output.find("listening") == std::string::npos) ADD_FAILURE() << commandLine << " did not start: " << output;
    while (output.back() != '\n' && ReadFile(readEnd.get(), &c, 1, &read, nullptr) && read) output += c;
}

unsigned long RunningProgram::Stop() {
    DWORD code = 0;
    if (!process_) return code;
    SetEvent(stopEvent_.get());
    if (WaitForSingleObject(process_.get(), 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "program did not stop";
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
    }
    GetExitCodeProcess(process_.get(), &code);
    process_.reset();
    return code;
}

RunningProgram::~RunningProgram() { Stop(); }

void WriteKvConfig(const std::string& content) {
    const std::string config = KvConfigFileName();
    EXPECT_TRUE(ForceDirectories(ExtractFilePath(config)));
    WriteBytes(config, content);
}

InstalledHost::InstalledHost(const std::string& workerExe) {
    const std::string bin = ProgramFolder();
    CopyOrFail(bin + "Httpd.exe", S() + "Httpd.exe");
    CopyOrFail(bin + "com.tarvesk.httpd.nelto.dll", S() + "bundles\\com.tarvesk.httpd.nelto.dll");
    if (!workerExe.empty()) CopyOrFail(bin + workerExe, S() + "Httpd.Nelto.exe");
    CopyOrFail(bin + "collector.exe", S() + "collector\\collector.exe");
    const std::string config = KvConfigFileName();
    hadConfig_ = FileExists(config);
    if (hadConfig_) savedConfig_ = ReadBytes(config);
}

InstalledHost::~InstalledHost() {
    host_.Stop();
    collector_.Stop();
    const std::string config = KvConfigFileName();
    if (hadConfig_) {
        WriteBytes(config, savedConfig_);
    } else {
        (void)DeleteFileUtf8(config);
    }
}

void InstalledHost::Start(bool withCollector, const std::string& extraConfig) {
    host_.Stop();
    if (withCollector && !collectorPort_) {
        collectorPort_ = FreePort();
        collector_ = RunningProgram("\"" + S() + "collector\\collector.exe\" " + std::to_string(collectorPort_) +
                                        " \"" + S() + "collector\\posts.log\"",
                                    S() + "collector\\", "Local\\NeltoCollectorStop-" + std::to_string(collectorPort_));
    }
    std::string content = "[system]\r\n" + extraConfig;
    if (collectorPort_) {
        content += "usageUrl=http://127.0.0.1:" + std::to_string(collectorPort_) + "/hawk/grab/tarveskcommon.htm\r\n";
    }
    WriteKvConfig(content);
    port_ = FreePort();
    host_ = RunningProgram("\"" + S() + "Httpd.exe\" \"" + S() + "bundles\\com.tarvesk.httpd.nelto.dll\" " +
                               std::to_string(port_),
                           S(), "Local\\NeltoHostStop-" + std::to_string(port_));
}

void InstalledHost::StopHost() { host_.Stop(); }

HttpReply InstalledHost::Post(const std::string& action, const Json& body) {
    return HttpPost(port_, "/nelto/rezaManager/" + action, body.dump());
}

std::vector<std::string> InstalledHost::WorkerRuns() const { return Lines(ReadBytes(S() + "test_worker.log")); }

std::vector<Json> InstalledHost::UsagePosts() const {
    std::vector<Json> posts;
    for (const std::string& line : Lines(ReadBytes(S() + "collector\\posts.log"))) {
        posts.push_back(Json::parse(line, nullptr, false));
    }
    return posts;
}

std::vector<Json> InstalledHost::WaitForUsagePosts(std::size_t n, unsigned deadlineMs) const {
    const DWORD start = GetTickCount();
    std::vector<Json> posts = UsagePosts();
    while (posts.size() < n && GetTickCount() - start < deadlineMs) {
        Sleep(50);
        posts = UsagePosts();
    }
    return posts;
}

std::vector<std::string> InstalledHost::RequestFolders() const {
    std::vector<std::string> folders;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW(Widen(S() + "Temp\\{*").c_str(), &data));
    if (find) {
        do {
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) folders.push_back(Narrow(data.cFileName));
        } while (FindNextFileW(find.get(), &data));
    }
    return folders;
}

}  // namespace nelto::test
