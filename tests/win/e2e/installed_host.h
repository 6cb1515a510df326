#pragma once
// An installed tree as on a user's machine, in a scratch folder:
//   S\Httpd.exe, S\bundles\com.tarvesk.httpd.nelto.dll, S\Httpd.Nelto.exe (a stand-in worker)
// with the host running on a free loopback port, and a usage collector.

#include <string>
#include <vector>

#include "common/json_util.h"
#include "common/win/handles.h"
#include "tests/win/test_util.h"

namespace nelto::test {

struct HttpReply {
    unsigned long status = 0;
    std::string body;  // UTF-8
    Json json;         // body parsed, null when not JSON
};

// A WinHTTP request to 127.0.0.1:port.
HttpReply HttpPost(int port, const std::string& path, const std::string& body, const std::string& method = "POST");

int FreePort();

// A running program that is stopped through its named stop event.
class RunningProgram {
public:
    RunningProgram() = default;
    RunningProgram(const std::string& commandLine, const std::string& folder, const std::string& stopEvent);
    ~RunningProgram();
    RunningProgram(RunningProgram&&) = default;
    RunningProgram& operator=(RunningProgram&&) = default;
    // Sets the stop event and waits for the exit; returns the exit code.
    unsigned long Stop();

private:
    UniqueHandle process_;
    UniqueHandle stopEvent_;
};

class InstalledHost {
public:
    // workerExe: the program installed as S\Httpd.Nelto.exe ("" for none).
    explicit InstalledHost(const std::string& workerExe = "test_worker.exe");
    ~InstalledHost();

    const std::string& S() const { return folder_.path(); }
    int port() const { return port_; }
    // Starts (or restarts) the host, and the collector when withCollector. extraConfig: further
    // lines of the [system] section of KvConfig.ini (read by the plug-in when it loads).
    void Start(bool withCollector = true, const std::string& extraConfig = {});
    void StopHost();
    HttpReply Post(const std::string& action, const Json& body);

    // Lines of S\test_worker.log (one per worker run), and the usage posts received so far.
    std::vector<std::string> WorkerRuns() const;
    std::vector<Json> UsagePosts() const;
    // Waits until at least n usage posts arrived (deadline in ms).
    std::vector<Json> WaitForUsagePosts(std::size_t n, unsigned deadlineMs = 10000) const;
    // Request folders left under S\Temp.
    std::vector<std::string> RequestFolders() const;

private:
    ScratchFolder folder_;
    int port_ = 0;
    int collectorPort_ = 0;
    RunningProgram host_;
    RunningProgram collector_;
    std::string savedConfig_;
    bool hadConfig_ = false;
};

// Sets [system] keys of KvConfig.ini for the lifetime of the object.
void WriteKvConfig(const std::string& content);

}  // namespace nelto::test
