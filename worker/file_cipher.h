#pragma once
// The client's framed DES files on disk. Paths are UTF-8; contents are bytes (the client keeps
// GBK text in them). All functions run on the calling thread and never throw.

#include <string>
#include <string_view>

#include "worker/framed_cipher.h"

// windows.h maps these names to the encrypting-file-system API; include this header after it.
#undef EncryptFile
#undef DecryptFile

namespace nelto {

// One conversion job, from file to file or on text held in memory.
class TFileDES {
public:
    static constexpr int kEncryptMode = 1;
    static constexpr int kDecryptMode = 0;

    // File job: prepares the destination at once (a fresh empty file); Ready() is false when the
    // source is missing or the destination cannot be prepared.
    TFileDES(std::string sourcePath, int mode, std::string keyText, std::string destPath);
    // Text job: prepares nothing.
    TFileDES(std::string keyText, int mode);

    bool Ready() const { return ready_; }

    // Each does nothing and gives false in the wrong mode or when not ready.
    [[nodiscard]] bool EncryptFile();
    [[nodiscard]] bool DecryptFile();
    [[nodiscard]] bool DecryptText(std::string_view body, std::string& plain);

private:
    [[nodiscard]] bool ConvertFile(int wantedMode);

    bool ready_ = true;
    std::string sourcePath_;
    std::string keyText_;
    std::string destPath_;
    int mode_ = kDecryptMode;
};

// Framed file from a plain file; result code 0 or 11..15, -11. The destination is replaced as a
// whole: a failure leaves the file that was there intact.
[[nodiscard]] int FileEncrypt(const std::string& source, const std::string& dest, std::string_view keyText);
// Plain file from a framed file; result code 0..6 or -1.
[[nodiscard]] int FileDecrypt(const std::string& source, const std::string& dest, std::string_view keyText);

[[nodiscard]] bool DESEncryptFile(const std::string& source, const std::string& dest, std::string_view keyText,
                                  bool deleteSource);
[[nodiscard]] bool DESDecryptFile(const std::string& source, const std::string& dest, std::string_view keyText,
                                  bool deleteSource);

// True if the file existed and was read whole.
[[nodiscard]] bool LoadFileToString(const std::string& path, std::string& bytes);
// False for empty bytes (nothing is written). Creates missing folders, clears attributes.
[[nodiscard]] bool SaveStringToFile(const std::string& path, std::string_view bytes);

// Replaces path with bytes through a temporary file beside it: the old file stays whole until
// the new one is complete. Clears a read-only attribute of the old file.
[[nodiscard]] bool ReplaceFileContent(const std::string& path, std::string_view bytes);

}  // namespace nelto
