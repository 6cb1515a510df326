#include <windows.h>

#include "worker/file_cipher.h"

#include <gtest/gtest.h>

#include "common/aes.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "tests/win/test_util.h"
#include "worker/md5.h"

namespace nelto {
namespace {

using test::ReadBytes;
using test::ScratchFolder;
using test::WriteBytes;

const std::string kGbkXml = ToAnsi(
    "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<DBConfig><LOCALDB>C:\\客户端\\数据.db</LOCALDB>"
    "<NAME>扣缴</NAME></DBConfig>\r\n");

std::string ProgramTemp() { return test::ProgramFolder() + "Temp\\"; }

int CountFiles(const std::string& folder, const std::string& pattern) {
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW(Widen(folder + pattern).c_str(), &data));
    int n = 0;
    if (find) {
        do ++n;
        while (FindNextFileW(find.get(), &data));
    }
    return n;
}

TEST(FileCipher, RoundTripOfGbkXmlMatchesTheFrameLayout) {
    ScratchFolder dir;
    WriteBytes(dir / "plain.xml", kGbkXml);
    ASSERT_EQ(FileEncrypt(dir / "plain.xml", dir / "GRSDSDB.dbc", kClientFileKey), 0);
    const std::string framed = ReadBytes(dir / "GRSDSDB.dbc");
    EXPECT_EQ(framed, EncryptFramedText(kGbkXml, kClientFileKey));
    // The temporary file keeps the raw body.
    EXPECT_EQ(ReadBytes(ProgramTemp() + "tmpDest.app"), framed.substr(32));

    ASSERT_EQ(FileDecrypt(dir / "GRSDSDB.dbc", dir / "out.xml", kClientFileKey), 0);
    EXPECT_EQ(ReadBytes(dir / "out.xml"), kGbkXml);
    EXPECT_EQ(CountFiles(ProgramTemp(), "*tmpSour.app"), 0);
    // The source is never changed.
    EXPECT_EQ(ReadBytes(dir / "GRSDSDB.dbc"), framed);
}

TEST(FileCipher, ResultCodesOfBadInput) {
    ScratchFolder dir;
    const std::string emptyFrame = Md5HexUpper("");
    WriteBytes(dir / "empty.plain", "");
    WriteBytes(dir / "zero.dbc", "");
    WriteBytes(dir / "lower.dbc", [] {
        std::string f = EncryptFramedText("some plain text", kClientFileKey);
        for (int i = 0; i < 32; ++i) f[i] = static_cast<char>(tolower(f[i]));
        return f;
    }());
    WriteBytes(dir / "empty.dbc", emptyFrame);

    EXPECT_EQ(FileDecrypt(dir / "missing.dbc", dir / "m.out", kClientFileKey), 1);
    EXPECT_FALSE(FileExists(dir / "m.out"));
    EXPECT_EQ(FileEncrypt(dir / "missing.plain", dir / "m.dbc", kClientFileKey), 11);
    EXPECT_FALSE(FileExists(dir / "m.dbc"));

    EXPECT_EQ(FileDecrypt(dir / "zero.dbc", dir / "z.out", kClientFileKey), 2);
    EXPECT_EQ(FileDecrypt(dir / "lower.dbc", dir / "l.out", kClientFileKey), 2);
    // The frame of an empty plain text is the bare checksum; its empty body is never written.
    EXPECT_EQ(FileDecrypt(dir / "empty.dbc", dir / "e.out", kClientFileKey), 3);
    EXPECT_EQ(FileEncrypt(dir / "empty.plain", dir / "e.dbc", kClientFileKey), 0);
    EXPECT_EQ(ReadBytes(dir / "e.dbc"), emptyFrame);
}

TEST(FileCipher, ReadOnlyDestinationIsReplaced) {
    ScratchFolder dir;
    WriteBytes(dir / "plain.xml", kGbkXml);
    WriteBytes(dir / "GRSDSDB.dbc", "old content");
    ASSERT_TRUE(SetFileAttributesW(Widen(dir / "GRSDSDB.dbc").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(FileEncrypt(dir / "plain.xml", dir / "GRSDSDB.dbc", kClientFileKey), 0);
    EXPECT_EQ(ReadBytes(dir / "GRSDSDB.dbc"), EncryptFramedText(kGbkXml, kClientFileKey));
}

TEST(FileCipher, FailedReplacementLeavesTheOldFileIntact) {
    ScratchFolder dir;
    WriteBytes(dir / "plain.xml", kGbkXml);
    WriteBytes(dir / "GRSDSDB.dbc", "old content");
    {
        // Another program holds the file open without sharing deletion: it cannot be replaced.
        UniqueFile holder(CreateFileW(Widen(dir / "GRSDSDB.dbc").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        EXPECT_EQ(FileEncrypt(dir / "plain.xml", dir / "GRSDSDB.dbc", kClientFileKey), 14);
    }
    EXPECT_EQ(ReadBytes(dir / "GRSDSDB.dbc"), "old content");
    EXPECT_EQ(CountFiles(dir.path(), "*"), 2 + 2);  // ".", "..", plain.xml, GRSDSDB.dbc: no temporary left
}

TEST(FileCipher, MissingDestinationFoldersAreCreated) {
    ScratchFolder dir;
    WriteBytes(dir / "plain.xml", kGbkXml);
    EXPECT_EQ(FileEncrypt(dir / "plain.xml", dir / "a\\b\\c.dbc", kClientFileKey), 0);
    EXPECT_EQ(ReadBytes(dir / "a\\b\\c.dbc"), EncryptFramedText(kGbkXml, kClientFileKey));
}

TEST(FileCipher, InPlaceConversionNeedsDeleteSource) {
    ScratchFolder dir;
    WriteBytes(dir / "f.bin", "0123456789abc");
    EXPECT_FALSE(DESEncryptFile(dir / "f.bin", dir / "f.bin", kClientFileKey, false));
    EXPECT_EQ(ReadBytes(dir / "f.bin"), "0123456789abc");
    EXPECT_TRUE(DESEncryptFile(dir / "f.bin", dir / "f.bin", kClientFileKey, true));
    const std::string body = ReadBytes(dir / "f.bin");
    EXPECT_EQ(body.size(), 13u);
    EXPECT_NE(body.substr(0, 8), "01234567");
    EXPECT_EQ(body.substr(8), "89abc");
    EXPECT_TRUE(DESDecryptFile(dir / "f.bin", dir / "f.bin", kClientFileKey, true));
    EXPECT_EQ(ReadBytes(dir / "f.bin"), "0123456789abc");
    EXPECT_EQ(CountFiles(dir.path(), "tmp_*"), 0);
}

TEST(FileCipher, TextAndFileJobsRefuseTheWrongMode) {
    ScratchFolder dir;
    WriteBytes(dir / "src", "12345678");
    TFileDES decryptJob(dir / "src", TFileDES::kDecryptMode, kClientFileKey, dir / "dst");
    EXPECT_TRUE(decryptJob.Ready());
    EXPECT_FALSE(decryptJob.EncryptFile());
    TFileDES missing(dir / "nothing", TFileDES::kEncryptMode, kClientFileKey, dir / "dst2");
    EXPECT_FALSE(missing.Ready());
    EXPECT_FALSE(missing.EncryptFile());
    TFileDES textJob(kClientFileKey, TFileDES::kEncryptMode);
    std::string plain;
    EXPECT_FALSE(textJob.DecryptText("12345678", plain));
}

TEST(ClientFileTool, RoundTripAndMessages) {
    ScratchFolder dir;
    WriteBytes(dir / "plain.xml", kGbkXml);
    const std::string tool = "\"" + test::ProgramFolder() + "clientfile.exe\" ";
    auto run = [&](const std::string& args) { return test::RunProcess(tool + args); };

    auto r = run("encrypt \"" + (dir / "plain.xml") + "\" \"" + (dir / "c.dbc") + "\"");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.output, "0\r\n\r\n");
    r = run("decrypt \"" + (dir / "c.dbc") + "\" \"" + (dir / "back.xml") + "\"");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(ReadBytes(dir / "back.xml"), kGbkXml);

    WriteBytes(dir / "bad.dbc", std::string(40, 'x'));
    r = run("decrypt \"" + (dir / "bad.dbc") + "\" \"" + (dir / "bad.xml") + "\"");
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(r.output, "2\r\n" + ToAnsi("解密源文件时校验码检查不一致。") + "\r\n");

    r = run("encrypt \"" + (dir / "plain.xml") + "\" \"" + (dir / "k.dbc") + "\" --key other");
    EXPECT_EQ(ReadBytes(dir / "k.dbc"), EncryptFramedText(kGbkXml, "other"));

    r = run("aes-hex 中文abc Tc8vRo2KmYw5sPz= --no-header --bits 128");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.output, EncryptStringToHex(ToAnsi("中文abc"), "Tc8vRo2KmYw5sPz=", true, kAes128) + "\r\n");
}

}  // namespace
}  // namespace nelto
