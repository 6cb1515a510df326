#pragma once
// The debug log of the plug-in and the worker: time-stamped lines in a monthly ANSI file beside
// the running executable ("log\<exe>_YYYYMM.log"), dropped once it passes 10240 bytes, with the
// three previous months' files removed. Also reads the debug switch of the maker's common
// "KvConfig.ini".
//
// Threading: any thread may log; LogLock() serialises the clean-up and each append.

#include <functional>
#include <string>
#include <string_view>

#include "common/daemon_log_format.h"
#include "common/win/handles.h"

namespace nelto {

class TDaemonLog {
public:
    using Clock = std::function<LogTime()>;

    // The log of the running executable with the local clock.
    TDaemonLog();
    // A log as if the executable were exePath, with the given clock (tests).
    TDaemonLog(const std::string& exePath, Clock clock);

    // Appends one line. Never throws; a line that cannot be written is lost.
    void writeDebugLog(std::string_view logstr) noexcept;
    // printf-style format (UTF-8 %s arguments), then writeDebugLog.
    void writeLogFmt(const char* aFormat, ...) noexcept __attribute__((format(printf, 2, 3)));

    std::string GetLogFileName() const;
    // Drops the current file once it passed the limit, then last three months' files.
    void CleanOldLogs() noexcept;

    // The last line written (UTF-8, with its CR LF); empty while a write is in progress.
    std::string LastLog() const;

private:
    std::string exeFolder_;
    std::string exeStem_;
    Clock clock_;
    mutable CriticalSection lastLogLock_;
    std::string FLastLog;
};

// The process-wide log, created on first use. Every call also runs CleanOldLogs.
TDaemonLog& DaemonLog();

// Serialises clean-up and appends of every TDaemonLog in the process.
CriticalSection& LogLock();

// Read once at module load: "debugswitch" of [system] in <system drive>\Tarvesk\Common\KvConfig.ini is "1".
bool DebugSwitch();

// Full path of the maker's common configuration file.
std::string KvConfigFileName();

// Module load work, kernel32 only so that DllMain may call it: creates the lock, creates the
// folder of KvConfig.ini and reads the debug switch. The worker calls it at start.
void DaemonLogModuleInit() noexcept;
// Unload: frees the log object.
void DaemonLogModuleFinal() noexcept;

}  // namespace nelto
