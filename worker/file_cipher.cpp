#include <windows.h>

#include "worker/file_cipher.h"

#include <cstdio>
#include <random>

#include "common/utf.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "worker/md5.h"

namespace nelto {
namespace {

bool SamePath(const std::string& a, const std::string& b) {
    return CompareStringOrdinal(Widen(a).c_str(), -1, Widen(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

// "Temp\" beside the running program.
std::string ProgramTempFolder() { return ExtractFilePath(ModuleFileName(nullptr)) + "Temp\\"; }

std::string LocalStamp17() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u%02u%02u%02u%02u%02u%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return stamp;
}

bool RunFileJob(const std::string& source, const std::string& dest, std::string_view keyText, int mode) {
    TFileDES job(source, mode, std::string(keyText), dest);
    return mode == TFileDES::kEncryptMode ? job.EncryptFile() : job.DecryptFile();
}

bool DesFileConvert(const std::string& source, const std::string& dest, std::string_view keyText,
                    bool deleteSource, int mode) {
    const bool same = SamePath(source, dest);
    if (same && !deleteSource) return false;
    const std::string target = same ? ExtractFilePath(dest) + "tmp_" + LocalStamp17() + "_" + ExtractFileName(dest)
                                    : dest;
    if (!RunFileJob(source, target, keyText, mode)) {
        if (FileExists(target)) (void)DeleteFileUtf8(target);
        return false;
    }
    bool ok = true;
    if (deleteSource) ok = DeleteFileUtf8(source);
    if (same && ok) ok = MoveFileW(Widen(target).c_str(), Widen(source).c_str()) != FALSE;
    return ok;
}

}  // namespace

TFileDES::TFileDES(std::string sourcePath, int mode, std::string keyText, std::string destPath)
    : sourcePath_(std::move(sourcePath)), keyText_(std::move(keyText)), destPath_(std::move(destPath)), mode_(mode) {
    const std::string sourceFolder = ExtractFilePath(sourcePath_);
    const std::string destFolder = ExtractFilePath(destPath_);
    ready_ = !sourceFolder.empty() && FileExists(sourcePath_) && !destFolder.empty();
    if (!ready_) return;
    if (FileExists(destPath_) && !DeleteFileUtf8(destPath_)) {
        ready_ = false;
        return;
    }
    // One level, as the client does it.
    if (!DirectoryExists(destFolder) && !CreateDirectoryW(Widen(destFolder).c_str(), nullptr)) {
        ready_ = false;
        return;
    }
    UniqueFile file(CreateFileW(Widen(destPath_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ready_ = static_cast<bool>(file);
}

TFileDES::TFileDES(std::string keyText, int mode) : keyText_(std::move(keyText)), mode_(mode) {}

bool TFileDES::ConvertFile(int wantedMode) {
    if (mode_ != wantedMode || !ready_) return false;
    std::string input;
    if (!LoadFileToString(sourcePath_, input)) {
        ready_ = false;
        return false;
    }
    const TDes des(Utf8ToUtf16(keyText_));
    const std::string output = DesConvert(des, mode_ == kEncryptMode ? DesMode::Encrypt : DesMode::Decrypt, input);
    UniqueFile file(CreateFileW(Widen(destPath_).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ready_ = file && WriteAll(file.get(), output) && SetEndOfFile(file.get());
    return ready_;
}

bool TFileDES::EncryptFile() { return ConvertFile(kEncryptMode); }
bool TFileDES::DecryptFile() { return ConvertFile(kDecryptMode); }

bool TFileDES::DecryptText(std::string_view body, std::string& plain) {
    if (mode_ != kDecryptMode || !ready_) return false;
    const TDes des(Utf8ToUtf16(keyText_));
    plain = DesConvert(des, DesMode::Decrypt, body);
    return ready_;
}

bool DESEncryptFile(const std::string& source, const std::string& dest, std::string_view keyText,
                    bool deleteSource) {
    return DesFileConvert(source, dest, keyText, deleteSource, TFileDES::kEncryptMode);
}

bool DESDecryptFile(const std::string& source, const std::string& dest, std::string_view keyText,
                    bool deleteSource) {
    return DesFileConvert(source, dest, keyText, deleteSource, TFileDES::kDecryptMode);
}

bool LoadFileToString(const std::string& path, std::string& bytes) {
    try {
        if (!FileExists(path)) return false;
        UniqueFile file(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x7fffffff) return false;
        std::string data(static_cast<std::size_t>(size.QuadPart), '\0');
        std::size_t done = 0;
        while (done < data.size()) {
            DWORD read = 0;
            if (!ReadFile(file.get(), data.data() + done, static_cast<DWORD>(data.size() - done), &read, nullptr) ||
                read == 0) {
                return false;
            }
            done += read;
        }
        bytes = std::move(data);
        return true;
    } catch (...) {
        return false;
    }
}

bool SaveStringToFile(const std::string& path, std::string_view bytes) {
    try {
        if (bytes.empty()) return false;
        const std::string folder = ExtractFilePath(path);
        if (!folder.empty()) (void)ForceDirectories(folder);
        const std::wstring wide = Widen(path);
        SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
        UniqueFile file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        return file && WriteAll(file.get(), bytes);
    } catch (...) {
        return false;
    }
}

bool ReplaceFileContent(const std::string& path, std::string_view bytes) {
    const std::string folder = ExtractFilePath(path);
    if (folder.empty() || !ForceDirectories(folder)) return false;
    wchar_t temp[MAX_PATH + 16] = {};
    if (!GetTempFileNameW(Widen(folder).c_str(), L"nlt", 0, temp)) return false;
    bool ok = false;
    {
        UniqueFile file(CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ok = file && WriteAll(file.get(), bytes) && FlushFileBuffers(file.get());
    }
    if (ok) {
        const std::wstring wide = Widen(path);
        const DWORD attr = GetFileAttributesW(wide.c_str());
        if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY)) {
            SetFileAttributesW(wide.c_str(), attr & ~FILE_ATTRIBUTE_READONLY);
        }
        ok = MoveFileExW(temp, wide.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    }
    if (!ok) DeleteFileW(temp);
    return ok;
}

int FileEncrypt(const std::string& source, const std::string& dest, std::string_view keyText) {
    try {
        if (!FileExists(source)) return kEncryptNoSource;
        const std::string tempFolder = ProgramTempFolder();
        (void)ForceDirectories(tempFolder);
        const std::string tempFile = tempFolder + "tmpDest.app";
        try {
            if (!DESEncryptFile(source, tempFile, keyText, false)) return kEncryptFailed;
            if (!FileExists(tempFile)) return kEncryptEmptyOutput;
            std::string body;
            if (!LoadFileToString(tempFile, body)) return kEncryptReadBack;
            return ReplaceFileContent(dest, FrameBody(body)) ? kCipherOk : kEncryptReadBack;
        } catch (...) {
            return kEncryptException;
        }
    } catch (...) {
        return kEncryptUnexpected;
    }
}

int FileDecrypt(const std::string& source, const std::string& dest, std::string_view keyText) {
    try {
        if (!FileExists(source)) return kDecryptNoSource;
        const std::string tempFolder = ProgramTempFolder();
        (void)ForceDirectories(tempFolder);
        std::mt19937 random(static_cast<unsigned>(GetTickCount()) ^ GetCurrentProcessId());
        const std::string tempFile =
            tempFolder + std::to_string(std::uniform_int_distribution<int>(0, 998)(random)) + "tmpSour.app";
        std::string framed;
        (void)LoadFileToString(source, framed);
        const std::string_view all(framed);
        const std::string_view checksum = all.substr(0, 32);
        const std::string_view body = all.size() > 32 ? all.substr(32) : std::string_view{};
        if (Md5HexUpper(body) != checksum) return kDecryptChecksum;
        (void)SaveStringToFile(tempFile, body);
        try {
            if (!DESDecryptFile(tempFile, dest, keyText, true)) return kDecryptFailed;
            return FileExists(dest) ? kCipherOk : kDecryptEmptyOutput;
        } catch (...) {
            return kDecryptException;
        }
    } catch (...) {
        return kDecryptUnexpected;
    }
}

}  // namespace nelto
