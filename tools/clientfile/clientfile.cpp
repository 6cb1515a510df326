// clientfile: reads and writes the withholding client's enciphered files, for support engineers.
//
//   clientfile decrypt SRC DST [--key K]    framed DES file -> plain file
//   clientfile encrypt SRC DST [--key K]    plain file -> framed DES file
//   clientfile aes-hex TEXT KEY [--no-header] [--bits 128|192|256]
//
// decrypt/encrypt print the result code and its message and exit with the code; the key defaults
// to the client's file key. aes-hex prints the hexadecimal cipher of TEXT in the ANSI code page.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/aes.h"
#include "common/win/unicode.h"
#include "worker/file_cipher.h"

namespace {

// Writes UTF-8 text to standard output in the console's code page.
void Print(const std::string& utf8) {
    const std::wstring wide = nelto::Widen(utf8);
    const UINT cp = GetConsoleOutputCP() ? GetConsoleOutputCP() : GetOEMCP();
    const int n = WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), n, nullptr, nullptr);
    bytes += '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

// The file functions want full paths; people type relative ones.
std::string FullPath(const std::string& path) {
    const std::wstring wide = nelto::Widen(path);
    wchar_t buffer[MAX_PATH * 4];
    const DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH * 4, buffer, nullptr);
    return n > 0 && n < MAX_PATH * 4 ? nelto::Narrow(std::wstring_view(buffer, n)) : path;
}

int Usage() {
    Print("usage: clientfile decrypt|encrypt SRC DST [--key K]\n"
          "       clientfile aes-hex TEXT KEY [--no-header] [--bits 128|192|256]");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(nelto::Narrow(argv[i]));
    if (args.empty()) return Usage();
    const std::string& command = args[0];

    if (command == "decrypt" || command == "encrypt") {
        if (args.size() != 3 && !(args.size() == 5 && args[3] == "--key")) return Usage();
        const std::string key = args.size() == 5 ? args[4] : nelto::kClientFileKey;
        const std::string source = FullPath(args[1]);
        const std::string dest = FullPath(args[2]);
        const int code = command == "decrypt" ? nelto::FileDecrypt(source, dest, key)
                                              : nelto::FileEncrypt(source, dest, key);
        Print(std::to_string(code));
        Print(nelto::CipherErrorText(code));
        return code;
    }
    if (command == "aes-hex") {
        if (args.size() < 3) return Usage();
        bool noHeader = false;
        int selector = nelto::kAes128;
        for (std::size_t i = 3; i < args.size(); ++i) {
            if (args[i] == "--no-header") {
                noHeader = true;
            } else if (args[i] == "--bits" && i + 1 < args.size()) {
                const std::string& bits = args[++i];
                if (bits == "128") selector = nelto::kAes128;
                else if (bits == "192") selector = nelto::kAes192;
                else if (bits == "256") selector = nelto::kAes256;
                else return Usage();
            } else {
                return Usage();
            }
        }
        Print(nelto::EncryptStringToHex(nelto::ToAnsi(args[1]), nelto::ToAnsi(args[2]), noHeader, selector));
        return 0;
    }
    return Usage();
}
