#include "common/daemon_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/win/fs.h"
#include "common/win/unicode.h"

namespace nelto {
namespace {

LogTime LocalClock() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return LogTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

// Module state: the lock lives from load to unload; the log object from first use to unload.
CriticalSection& LockInstance() {
    static CriticalSection lock;
    return lock;
}
bool gDebugSwitch = false;
std::unique_ptr<TDaemonLog> gLog;

}  // namespace

TDaemonLog::TDaemonLog() : TDaemonLog(ModuleFileName(nullptr), LocalClock) {}

TDaemonLog::TDaemonLog(const std::string& exePath, Clock clock)
    : exeFolder_(ExtractFilePath(exePath)),
      exeStem_(ChangeFileExt(ExtractFileName(exePath), "")),
      clock_(std::move(clock)) {}

std::string TDaemonLog::GetLogFileName() const {
    const LogTime now = clock_();
    return LogFileNameFor(exeFolder_, exeStem_, now.year, now.month);
}

void TDaemonLog::CleanOldLogs() noexcept {
    try {
        CriticalSection::Guard guard(LogLock());
        const LogTime now = clock_();
        const std::string current = LogFileNameFor(exeFolder_, exeStem_, now.year, now.month);
        const auto size = FileSize(current);
        if (size && *size > static_cast<std::uint64_t>(kLogFileLimit)) (void)DeleteFileUtf8(current);
        for (int k = 1; k <= 3; ++k) {
            int year = now.year, month = now.month;
            MonthsBefore(year, month, k);
            const std::string old = LogFileNameFor(exeFolder_, exeStem_, year, month);
            if (FileExists(old)) (void)DeleteFileUtf8(old);
        }
    } catch (...) {
    }
}

void TDaemonLog::writeDebugLog(std::string_view logstr) noexcept {
    try {
        {
            CriticalSection::Guard guard(lastLogLock_);
            FLastLog.clear();
        }
        const std::string fileName = GetLogFileName();
        (void)ForceDirectories(ExtractFilePath(fileName));
        const std::string line = FormatLogLine(clock_(), logstr);
        const std::string bytes = ToAnsi(line);
        {
            CriticalSection::Guard guard(LogLock());
            UniqueFile file(CreateFileW(Widen(fileName).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file) {
                DWORD written = 0;
                WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            }
        }
        CriticalSection::Guard guard(lastLogLock_);
        FLastLog = line;
    } catch (...) {
    }
}

void TDaemonLog::writeLogFmt(const char* aFormat, ...) noexcept {
    try {
        va_list args;
        va_start(args, aFormat);
        va_list copy;
        va_copy(copy, args);
        const int n = std::vsnprintf(nullptr, 0, aFormat, copy);
        va_end(copy);
        std::string text;
        if (n > 0) {
            std::vector<char> buffer(static_cast<std::size_t>(n) + 1);
            std::vsnprintf(buffer.data(), buffer.size(), aFormat, args);
            text.assign(buffer.data(), static_cast<std::size_t>(n));
        }
        va_end(args);
        writeDebugLog(text);
    } catch (...) {
    }
}

std::string TDaemonLog::LastLog() const {
    CriticalSection::Guard guard(lastLogLock_);
    return FLastLog;
}

TDaemonLog& DaemonLog() {
    {
        CriticalSection::Guard guard(LogLock());
        if (!gLog) gLog = std::make_unique<TDaemonLog>();
    }
    gLog->CleanOldLogs();
    return *gLog;
}

CriticalSection& LogLock() { return LockInstance(); }

bool DebugSwitch() { return gDebugSwitch; }

std::string KvConfigFileName() { return SystemDriveRoot() + "Tarvesk\\Common\\KvConfig.ini"; }

void DaemonLogModuleInit() noexcept {
    try {
        (void)LogLock();
        const std::wstring config = Widen(KvConfigFileName());
        (void)ForceDirectories(ExtractFilePath(KvConfigFileName()));
        gDebugSwitch = false;
        if (GetFileAttributesW(config.c_str()) != INVALID_FILE_ATTRIBUTES) {
            wchar_t value[16] = {};
            GetPrivateProfileStringW(L"system", L"debugswitch", L"0", value, 16, config.c_str());
            gDebugSwitch = std::wstring_view(value) == L"1";
        }
    } catch (...) {
    }
}

void DaemonLogModuleFinal() noexcept { gLog.reset(); }

}  // namespace nelto
