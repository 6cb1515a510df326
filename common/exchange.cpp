#include "common/exchange.h"

#include <windows.h>
#include <objbase.h>

#include <mutex>
#include <optional>
#include <random>
#include <string_view>

#include "common/daemon_log.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"

namespace nelto {
namespace {

constexpr const char* kIniName = "NeltoParam.ini";
constexpr const char* kSuccessCode = "00000000";

std::string IniFile(const std::string& servicePath) { return servicePath + kIniName; }

std::string ReadIni(const std::string& ini, const std::string& section, const std::string& key) {
    const std::wstring file = Widen(ini);
    const std::wstring sec = Widen(section);
    const std::wstring name = Widen(key);
    std::wstring buffer(1024, L'\0');
    for (;;) {
        const DWORD n = GetPrivateProfileStringW(sec.c_str(), name.c_str(), L"", buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), file.c_str());
        // n == size - 1 means the value may have been cut.
        if (n + 1 < buffer.size() || buffer.size() >= 65536) {
            buffer.resize(n);
            return Narrow(buffer);
        }
        buffer.resize(buffer.size() * 4);
    }
}

bool WriteIni(const std::string& ini, const std::string& section, const std::string& key, const std::string& value) {
    return WritePrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(), Widen(value).c_str(),
                                      Widen(ini).c_str()) != FALSE;
}

// Full path through GetFullPathNameW, long names where the path exists.
std::wstring FullPathW(const std::wstring& path) {
    if (path.empty()) return {};
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0) return {};
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n + 1);
    }
    std::wstring longName(full.size() + MAX_PATH, L'\0');
    const DWORD n = GetLongPathNameW(full.c_str(), longName.data(), static_cast<DWORD>(longName.size()));
    if (n > 0 && n < longName.size()) {
        longName.resize(n);
        // GetLongPathNameW may drop a trailing backslash; keep the caller's form.
        if (!full.empty() && full.back() == L'\\' && (longName.empty() || longName.back() != L'\\')) {
            longName += L'\\';
        }
        return longName;
    }
    return full;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
}

std::wstring WithBackslash(std::wstring path) {
    if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) path += L'\\';
    return path;
}

std::wstring FolderOfW(const std::wstring& path) {
    const auto cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

bool IsHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f'); }

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
bool IsRegistryGuid(std::wstring_view name) {
    if (name.size() != 38 || name.front() != L'{' || name.back() != L'}') return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? name[i] != L'-' : !IsHex(name[i])) return false;
    }
    return true;
}

// The folder (with backslash) is S\Temp\{GUID}\, canonicalised.
bool IsRequestFolder(const std::string& servicePath, const std::wstring& fullFolder) {
    const std::wstring temp = WithBackslash(FullPathW(Widen(servicePath + "Temp\\")));
    if (temp.size() < 2 || fullFolder.size() != temp.size() + 39 || fullFolder.back() != L'\\') return false;
    if (!SamePath(fullFolder.substr(0, temp.size()), temp)) return false;
    return IsRegistryGuid(std::wstring_view(fullFolder).substr(temp.size(), 38));
}

int RandomSuffix() {
    static std::mutex lock;
    static std::mt19937 engine = [] {
        std::seed_seq seed{static_cast<unsigned>(GetTickCount()), static_cast<unsigned>(GetCurrentProcessId()),
                           static_cast<unsigned>(GetCurrentThreadId())};
        return std::mt19937(seed);
    }();
    std::lock_guard<std::mutex> guard(lock);
    return std::uniform_int_distribution<int>(0, 64998)(engine);
}

// One line of compact JSON with \u escapes, CR LF, in the ANSI code page; replaces the file.
bool WriteJsonLine(const std::string& path, const std::string& text) {
    const std::string bytes = ToAnsi(text + "\r\n");
    UniqueFile file(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool Rename(const std::string& from, const std::string& to) {
    return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), 0) != FALSE;
}

// Puts temp in place of target. A target that cannot be deleted is kept under its name followed
// by a random number.
bool Publish(const std::string& temp, const std::string& target) {
    if (FileExists(target) && !DeleteFileUtf8(target)) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (Rename(target, target + std::to_string(RandomSuffix()))) break;
        }
    }
    return Rename(temp, target);
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
    UniqueFile file(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string bytes;
    char buffer[8192];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::wstring wide;
    wide.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        wide += static_cast<wchar_t>(bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0);
    }
    return Narrow(wide);
}

// Text of a file kept in the ANSI code page (a byte-order mark selects UTF-8 or UTF-16 instead).
std::string DecodeText(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
    if (bytes.starts_with("\xFF\xFE")) return Utf16ToUtf8(bytes.substr(2), false);
    if (bytes.starts_with("\xFE\xFF")) return Utf16ToUtf8(bytes.substr(2), true);
    return FromAnsi(bytes);
}

bool ReadJsonObjectFile(const std::string& path, Json& out) {
    const auto bytes = ReadFileBytes(path);
    if (!bytes) return false;
    auto parsed = ParseJsonObject(DecodeText(*bytes));
    if (!parsed) return false;
    out = std::move(*parsed);
    return true;
}

bool RemoveLinkOrFile(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str()) != FALSE
                                                    : DeleteFileW(path.c_str()) != FALSE;
}

void EmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    do {
        const std::wstring_view name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring full = folder + L"\\" + data.cFileName;
        const DWORD attributes = data.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            EmptyFolder(full);
        }
        RemoveLinkOrFile(full, attributes);
    } while (FindNextFileW(find.get(), &data));
}

}  // namespace

std::string NewGuidText() {
    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) return {};
    wchar_t text[40] = {};
    if (StringFromGUID2(guid, text, 40) != 39) return {};
    return Narrow(text);
}

std::string GetServicePath(void* module) {
    std::string folder = ExtractFilePath(ModuleFileName(module));
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    return ExtractFilePath(folder);
}

std::string WriteRequestFiles(const std::string& servicePath, const std::string& section,
                              const std::string& requestText) {
    std::string folder;
    try {
        const auto request = ParseJsonObject(requestText);
        if (!request) return {};
        const std::string guid = NewGuidText();
        if (guid.empty()) return {};
        const std::string wanted = Narrow(FullPathW(Widen(servicePath + "Temp\\" + guid + "\\")));
        if (wanted.empty() || !ForceDirectories(wanted)) return {};
        folder = wanted;
        const std::string temp = folder + "Request.~tmp";
        const std::string target = folder + "Request.json";
        // InParam moves on even when the file could not be written: a worker started now must
        // find nothing rather than an earlier request.
        if (WriteJsonLine(temp, ToCompactJson(*request))) (void)Publish(temp, target);
        const std::string ini = IniFile(servicePath);
        (void)WriteIni(ini, section, "InParam", target);
        (void)WriteIni(ini, section, "outParam", "");
    } catch (...) {
    }
    return folder;
}

std::string TimeoutResult() {
    Json result;
    result["messageCode"] = "10009998";
    result["data"]["text"] = "请求超时，请稍候再试或联系软件服务商协助解决。";
    return ToCompactJson(result);
}

std::string JoinTextLines(std::string_view text) {
    std::string joined;
    joined.reserve(text.size() + 2);
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", i);
        if (end == std::string_view::npos) {
            joined.append(text.substr(i)).append("\r\n");
            break;
        }
        joined.append(text.substr(i, end - i)).append("\r\n");
        i = end + 1;
        if (text[end] == '\r' && i < text.size() && text[i] == '\n') ++i;
    }
    return joined;
}

ResponseFiles ReadResponseFiles(const std::string& servicePath, const std::string& section,
                                const std::string& requestFolder) {
    ResponseFiles response;
    try {
        const std::string ini = IniFile(servicePath);
        const std::string outParam = ReadIni(ini, section, "outParam");
        response.success = ReadIni(ini, section, "Return") == "0";
        TDaemonLog& log = DaemonLog();
        log.writeDebugLog("begin.............." + section);
        log.writeDebugLog("sFileName:" + outParam);

        const std::wstring resultFile = FullPathW(Widen(outParam));
        const std::wstring resultFolder = FolderOfW(resultFile);
        bool accepted = !outParam.empty() && FileExists(outParam) && !resultFolder.empty();
        if (accepted && !requestFolder.empty()) {
            accepted = SamePath(resultFolder, WithBackslash(FullPathW(Widen(requestFolder))));
        }
        std::optional<std::string> bytes;
        if (accepted) bytes = ReadFileBytes(Narrow(resultFile));
        if (bytes) {
            log.writeDebugLog("1:" + outParam);
            response.text = JoinTextLines(DecodeText(*bytes));
            response.read = true;
            if (response.success && !DebugSwitch() && IsRequestFolder(servicePath, resultFolder)) {
                (void)DeleteFolderTree(Narrow(resultFolder));
            }
        } else {
            log.writeDebugLog("2:" + outParam);
            response.text = TimeoutResult();
        }
        log.writeDebugLog("end..............");
    } catch (...) {
        if (!response.read) response.text = TimeoutResult();
    }
    return response;
}

bool DeleteFolderTree(const std::string& folder) {
    try {
        std::wstring path = Widen(folder);
        while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
        if (path.empty()) return false;
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
        // A linked folder is removed as a link, never entered.
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) EmptyFolder(path);
        RemoveLinkOrFile(path, attributes);
        return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
    } catch (...) {
        return false;
    }
}

std::string ReadInParam(const std::string& servicePath, const std::string& section) {
    try {
        const std::string ini = IniFile(servicePath);
        if (!FileExists(ini)) return {};
        return ReadIni(ini, section, "InParam");
    } catch (...) {
        return {};
    }
}

void WriteResponse(const std::string& servicePath, const std::string& section, const std::string& requestFile,
                   const Json& result) {
    try {
        WriteResponseText(servicePath, section, requestFile, ToCompactJson(result), ReturnCodeFor(result));
    } catch (...) {
    }
}

std::string ReturnCodeFor(const Json& result) {
    const Json* code = result.is_object() ? JsonFind(result, "messageCode") : nullptr;
    return code && code->is_string() && code->get_ref<const std::string&>() == kSuccessCode ? "0" : "-1";
}

void WriteResponseText(const std::string& servicePath, const std::string& section, const std::string& requestFile,
                       const std::string& line, const std::string& returnCode) {
    try {
        const std::string folder = Narrow(FolderOfW(FullPathW(Widen(requestFile))));
        if (folder.empty()) return;
        const std::string temp = folder + "Response.~tmp";
        const std::string target = folder + "Response.json";
        if (FileExists(temp)) (void)DeleteFileUtf8(temp);
        // outParam never names an old Response.json that could not be replaced.
        if (!WriteJsonLine(temp, line) || !Publish(temp, target)) return;
        const std::string ini = IniFile(servicePath);
        // Return first: whoever sees the new outParam also sees its Return.
        (void)WriteIni(ini, section, "Return", returnCode);
        (void)WriteIni(ini, section, "outParam", target);
    } catch (...) {
    }
}

bool ReadRequestFile(const std::string& requestFile, Json& request) {
    try {
        return ReadJsonObjectFile(requestFile, request);
    } catch (...) {
        return false;
    }
}

}  // namespace nelto
