#include "tests/win/test_util.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "common/json_util.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"

namespace nelto::test {

ScratchFolder::ScratchFolder() {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    path_ = Narrow(temp) + "nelto_test_" + std::to_string(GetCurrentProcessId()) + "_" +
            std::to_string(GetTickCount()) + "_" + std::to_string(counter++) + "\\";
    RemoveTree(path_);
    if (!ForceDirectories(path_)) ADD_FAILURE() << "cannot create " << path_;
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
    std::wstring folder = Widen(path);
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((folder + L"*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = folder + name;
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(Narrow(full));
            } else {
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    RemoveDirectoryW(folder.c_str());
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(Widen(path).c_str(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(Widen(path).c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ProgramFolder() { return ExtractFilePath(ModuleFileName(nullptr)); }

ProcessResult RunProcess(const std::string& commandLine, const std::string& folder) {
    ProcessResult result;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE readRaw = nullptr;
    HANDLE writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &sa, 0)) {
        ADD_FAILURE() << "CreatePipe failed";
        return result;
    }
    UniqueHandle readEnd(readRaw);
    UniqueHandle writeEnd(writeRaw);
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.get();
    si.hStdError = writeEnd.get();
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = Widen(commandLine);
    const std::wstring dir = Widen(folder);
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        dir.empty() ? nullptr : dir.c_str(), &si, &pi)) {
        ADD_FAILURE() << "cannot start " << commandLine << ": " << GetLastError();
        return result;
    }
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    writeEnd.reset();
    // Read while the program runs, then what is left: programs it started may keep the pipe
    // open long after it ended, so the end of the pipe is not waited for.
    char buffer[4096];
    auto drain = [&] {
        DWORD available = 0;
        DWORD read = 0;
        while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
            result.output.append(buffer, read);
        }
    };
    while (WaitForSingleObject(process.get(), 20) == WAIT_TIMEOUT) drain();
    drain();
    GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

void InstallStandInClient(const std::string& folder, const std::string& overridesJson) {
    Json scenario = Json::parse(ReadBytes(ProgramFolder() + "client-demo-scenario.json"));
    scenario.update(Json::parse(overridesJson));
    const std::string file = ExtractFilePath(folder.substr(0, folder.size() - 1)) +
                             ExtractFileName(folder.substr(0, folder.size() - 1)) + ".scenario.json";
    WriteBytes(file, scenario.dump());
    const ProcessResult result = RunProcess("\"" + ProgramFolder() + "client_install.exe\" \"" + file + "\" \"" +
                                            folder.substr(0, folder.size() - 1) + "\"");
    ASSERT_EQ(result.exitCode, 0u) << result.output;
}

}  // namespace nelto::test
