#include "common/exchange.h"

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "common/daemon_log.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "tests/win/test_util.h"

// The test program never calls DaemonLogModuleInit, so the debug switch is off in every case here:
// the "keep the folder when debugging" rule is not exercised, only the deletion rule around it.

namespace nelto {
namespace {

using test::ReadBytes;
using test::ScratchFolder;
using test::WriteBytes;

const char* const kSection = "27";

std::string Ini(const std::string& service, const std::string& section, const std::string& key) {
    wchar_t value[1024] = {};
    GetPrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(), L"<missing>", value, 1024,
                             Widen(service + "NeltoParam.ini").c_str());
    return Narrow(value);
}

void SetIni(const std::string& service, const std::string& section, const std::string& key,
            const std::string& value) {
    WritePrivateProfileStringW(Widen(section).c_str(), Widen(key).c_str(), Widen(value).c_str(),
                               Widen(service + "NeltoParam.ini").c_str());
}

bool IsUpperGuid(const std::string& name) {
    if (name.size() != 38 || name.front() != '{' || name.back() != '}') return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const char c = name[i];
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

// One line of pure ASCII ended by the only CR LF.
void ExpectOneAsciiLine(const std::string& bytes) {
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    EXPECT_EQ(bytes.find_first_of("\r\n"), bytes.size() - 2) << bytes;
    for (const char c : bytes) EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << bytes;
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW(Widen(folder + "*").c_str(), &data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(Narrow(name));
    } while (FindNextFileW(find.get(), &data));
    return names;
}

// ---- request ----

struct RequestCase {
    const char* text;
    const char* line;  // expected file bytes without the CR LF
};

TEST(WriteRequestFiles, WritesOneCompactEscapedAsciiLineInANewGuidFolder) {
    const RequestCase cases[] = {
        {R"({"a":1})", R"({"a":1})"},
        {"{ \"name\" : \"张三\",\n \"n\": [1, 2] }", R"({"name":"\u5f20\u4e09","n":[1,2]})"},
        {R"({"z":{"y":"\u00e9"},"a":true})", R"({"z":{"y":"\u00e9"},"a":true})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ScratchFolder s;
        const std::string folder = WriteRequestFiles(s.path(), kSection, c.text);
        ASSERT_EQ(folder.size(), s.path().size() + 5 + 39) << folder;
        EXPECT_EQ(folder.substr(0, s.path().size() + 5), s / "Temp\\");
        EXPECT_TRUE(IsUpperGuid(folder.substr(s.path().size() + 5, 38))) << folder;
        EXPECT_EQ(folder.back(), '\\');
        const std::string bytes = ReadBytes(folder + "Request.json");
        EXPECT_EQ(bytes, std::string(c.line) + "\r\n");
        ExpectOneAsciiLine(bytes);
        EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"Request.json"});
        EXPECT_EQ(Ini(s.path(), kSection, "InParam"), folder + "Request.json");
        EXPECT_EQ(Ini(s.path(), kSection, "outParam"), "");
    }
}

TEST(WriteRequestFiles, ClearsOutParamKeepsReturnAndOtherSections) {
    ScratchFolder s;
    SetIni(s.path(), kSection, "outParam", "C:\\old\\Response.json");
    SetIni(s.path(), kSection, "Return", "0");
    SetIni(s.path(), "5", "outParam", "other");
    ASSERT_FALSE(WriteRequestFiles(s.path(), kSection, "{}").empty());
    EXPECT_EQ(Ini(s.path(), kSection, "outParam"), "");
    EXPECT_EQ(Ini(s.path(), kSection, "Return"), "0");
    EXPECT_EQ(Ini(s.path(), "5", "outParam"), "other");
}

TEST(WriteRequestFiles, EachRequestGetsItsOwnFolder) {
    ScratchFolder s;
    const std::string first = WriteRequestFiles(s.path(), kSection, "{}");
    const std::string second = WriteRequestFiles(s.path(), kSection, "{}");
    EXPECT_NE(first, second);
    EXPECT_EQ(Ini(s.path(), kSection, "InParam"), second + "Request.json");
}

TEST(WriteRequestFiles, TextThatIsNoObjectWritesNothing) {
    for (const char* text : {"", "[1]", "not json", "{\"a\":"}) {
        SCOPED_TRACE(text);
        ScratchFolder s;
        SetIni(s.path(), kSection, "InParam", "before");
        EXPECT_EQ(WriteRequestFiles(s.path(), kSection, text), "");
        EXPECT_FALSE(DirectoryExists(s / "Temp"));
        EXPECT_EQ(Ini(s.path(), kSection, "InParam"), "before");
    }
}

// ---- response ----

struct ReturnCase {
    const char* result;
    const char* expectedReturn;
};

TEST(WriteResponse, WritesResponseBesideTheRequestAndSetsOutParamAndReturn) {
    const ReturnCase cases[] = {
        {R"({"messageCode":"00000000","data":{"name":"张三"}})", "0"},
        {R"({"messageCode":"10000001","data":{}})", "-1"},
        {R"({"data":{}})", "-1"},
        {R"({"messageCode":0})", "-1"},
        {R"({"messageCode":"00000000 "})", "-1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        ScratchFolder s;
        const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
        SetIni(s.path(), kSection, "Return", "stale");
        const Json result = *ParseJsonObject(c.result);
        WriteResponse(s.path(), kSection, ReadInParam(s.path(), kSection), result);
        const std::string bytes = ReadBytes(folder + "Response.json");
        ExpectOneAsciiLine(bytes);
        EXPECT_EQ(bytes, ToCompactJson(result) + "\r\n");
        EXPECT_FALSE(FileExists(folder + "Response.~tmp"));
        EXPECT_EQ(Ini(s.path(), kSection, "outParam"), folder + "Response.json");
        EXPECT_EQ(Ini(s.path(), kSection, "Return"), c.expectedReturn);
    }
}

TEST(Exchange, ChineseTextSurvivesTheRoundTrip) {
    ScratchFolder s;
    const std::string folder = WriteRequestFiles(s.path(), kSection, R"({"name":"张三"})");
    Json request;
    ASSERT_TRUE(ReadRequestFile(ReadInParam(s.path(), kSection), request));
    EXPECT_EQ(JsonText(request, "name"), "张三");
    WriteResponse(s.path(), kSection, ReadInParam(s.path(), kSection),
                  Json{{"messageCode", "00000000"}, {"data", {{"name", JsonText(request, "name")}}}});
    const ResponseFiles response = ReadResponseFiles(s.path(), kSection, folder);
    ASSERT_TRUE(response.read);
    EXPECT_TRUE(response.success);
    const auto parsed = ParseJsonObject(response.text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(JsonText(*parsed, "data.name"), "张三");
}

// An old Response.json that cannot be deleted but can be renamed (read-only) is kept as
// "Response.json<digits>". (Request.json always goes into a new folder, where none exists yet; it
// takes the same path.)
TEST(WriteResponse, UndeletableOldResponseIsKeptUnderANumberedName) {
    ScratchFolder s;
    const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
    WriteBytes(folder + "Response.json", "old\r\n");
    SetFileAttributesW(Widen(folder + "Response.json").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteResponse(s.path(), kSection, folder + "Request.json", Json{{"messageCode", "00000000"}});
    EXPECT_EQ(ReadBytes(folder + "Response.json"), "{\"messageCode\":\"00000000\"}\r\n");
    EXPECT_EQ(Ini(s.path(), kSection, "outParam"), folder + "Response.json");
    std::vector<std::string> kept;
    for (const auto& name : FolderNames(folder)) {
        if (name.starts_with("Response.json") && name != "Response.json") kept.push_back(name);
    }
    ASSERT_EQ(kept.size(), 1u);
    const std::string digits = kept[0].substr(13);
    ASSERT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << kept[0];
    EXPECT_LE(std::stoi(digits), 64998);
    EXPECT_EQ(ReadBytes(folder + kept[0]), "old\r\n");
}

// Held open without FILE_SHARE_DELETE, the old file can be neither deleted nor renamed (delete
// access is needed for both): the INI must not point at its stale content.
TEST(WriteResponse, OldResponseHeldOpenIsNeverReportedAsTheResult) {
    ScratchFolder s;
    const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
    const std::string old = folder + "Response.json";
    WriteBytes(old, "old\r\n");
    UniqueFile holder(CreateFileW(Widen(old).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    WriteResponse(s.path(), kSection, folder + "Request.json", Json{{"messageCode", "00000000"}});
    const bool moved = ReadBytes(old) != "old\r\n";
    holder.reset();
    if (moved) {
        // A system that lets the held file go: the plain rule applies.
        EXPECT_EQ(ReadBytes(old), "{\"messageCode\":\"00000000\"}\r\n");
        EXPECT_EQ(Ini(s.path(), kSection, "outParam"), old);
    } else {
        EXPECT_EQ(Ini(s.path(), kSection, "outParam"), "");
        EXPECT_EQ(ReadResponseFiles(s.path(), kSection, folder).text, TimeoutResult());
    }
}

TEST(WriteResponse, ReplacesAStaleTemporaryFile) {
    ScratchFolder s;
    const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
    WriteBytes(folder + "Response.~tmp", "left over from a crash, much longer than the result\r\n");
    WriteResponse(s.path(), kSection, folder + "Request.json", Json{{"messageCode", "1"}});
    EXPECT_EQ(ReadBytes(folder + "Response.json"), "{\"messageCode\":\"1\"}\r\n");
}

// ---- reading the result ----

TEST(ReadResponseFiles, SuccessReadsTheResultAndDeletesTheRequestFolder) {
    ScratchFolder s;
    const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
    WriteResponse(s.path(), kSection, folder + "Request.json", Json{{"messageCode", "00000000"}});
    const ResponseFiles response = ReadResponseFiles(s.path(), kSection, folder);
    EXPECT_TRUE(response.read);
    EXPECT_TRUE(response.success);
    EXPECT_EQ(response.text, "{\"messageCode\":\"00000000\"}\r\n");
    EXPECT_FALSE(DirectoryExists(folder));
    EXPECT_TRUE(DirectoryExists(s / "Temp"));
    EXPECT_TRUE(DaemonLog().LastLog().ends_with("end..............\r\n")) << DaemonLog().LastLog();
}

TEST(ReadResponseFiles, FailureReadsTheResultAndKeepsTheFolder) {
    ScratchFolder s;
    const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
    WriteResponse(s.path(), kSection, folder + "Request.json", Json{{"messageCode", "10000001"}});
    const ResponseFiles response = ReadResponseFiles(s.path(), kSection, folder);
    EXPECT_TRUE(response.read);
    EXPECT_FALSE(response.success);
    EXPECT_EQ(response.text, "{\"messageCode\":\"10000001\"}\r\n");
    EXPECT_TRUE(FileExists(folder + "Response.json"));
}

TEST(ReadResponseFiles, NoResultGivesTheTimeoutEnvelope) {
    EXPECT_EQ(TimeoutResult(),
              R"({"messageCode":"10009998","data":{"text":"\u8bf7\u6c42\u8d85\u65f6\uff0c\u8bf7\u7a0d\u5019)"
              R"(\u518d\u8bd5\u6216\u8054\u7cfb\u8f6f\u4ef6\u670d\u52a1\u5546\u534f\u52a9\u89e3\u51b3\u3002"}})");
    EXPECT_EQ(JsonText(*ParseJsonObject(TimeoutResult()), "data.text"),
              "请求超时，请稍候再试或联系软件服务商协助解决。");
    const char* const outParams[] = {"", "<missing>", "<folder>"};
    for (const char* outParam : outParams) {
        SCOPED_TRACE(outParam);
        ScratchFolder s;
        const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
        SetIni(s.path(), kSection, "Return", "0");
        const std::string value = std::string(outParam) == "<missing>"  ? folder + "Response.json"
                                  : std::string(outParam) == "<folder>" ? folder
                                                                        : std::string();
        SetIni(s.path(), kSection, "outParam", value);
        const ResponseFiles response = ReadResponseFiles(s.path(), kSection, folder);
        EXPECT_FALSE(response.read);
        EXPECT_EQ(response.text, TimeoutResult());
        EXPECT_TRUE(DirectoryExists(folder));
    }
}

// Where outParam points, relative to S; "*" is the request folder.
struct PlacementCase {
    const char* where;
    bool passRequestFolder;
    bool read;
    bool folderDeleted;
};

TEST(ReadResponseFiles, AcceptsAndDeletesOnlyWhereAllowed) {
    const PlacementCase cases[] = {
        {"*", true, true, true},
        {"*", false, true, true},
        // A late worker of an earlier request: another GUID folder.
        {"Temp\\{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\\", true, false, false},
        {"Temp\\{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\\", false, true, true},
        {"", true, false, false},
        {"*sub\\", true, false, false},
        // Read, but never deleted: not a GUID subfolder of S\Temp\.
        {"", false, true, false},
        {"Temp\\", false, true, false},
        {"Temp\\plain\\", false, true, false},
        {"Temp\\{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}x\\", false, true, false},
        {"Temp\\{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\\inner\\", false, true, false},
        {"Other\\{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\\", false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.where) + (c.passRequestFolder ? " with" : " without") + " request folder");
        ScratchFolder s;
        const std::string requestFolder = WriteRequestFiles(s.path(), kSection, "{}");
        std::string where = c.where;
        const std::string folder = where.starts_with("*") ? requestFolder + where.substr(1) : s.path() + where;
        ASSERT_TRUE(ForceDirectories(folder));
        WriteBytes(folder + "Response.json", "{\"messageCode\":\"00000000\"}\r\n");
        SetIni(s.path(), kSection, "outParam", folder + "Response.json");
        SetIni(s.path(), kSection, "Return", "0");
        const ResponseFiles response =
            ReadResponseFiles(s.path(), kSection, c.passRequestFolder ? requestFolder : std::string());
        EXPECT_EQ(response.read, c.read);
        EXPECT_EQ(response.text, c.read ? "{\"messageCode\":\"00000000\"}\r\n" : TimeoutResult());
        EXPECT_EQ(DirectoryExists(folder), !c.folderDeleted);
        if (!c.folderDeleted) {
            EXPECT_EQ(ReadBytes(folder + "Response.json"), "{\"messageCode\":\"00000000\"}\r\n");
        }
        EXPECT_TRUE(FileExists(s / "NeltoParam.ini"));
        EXPECT_TRUE(DirectoryExists(s / "Temp"));
    }
}

TEST(ReadResponseFiles, ComparesFoldersCanonicallyAndWithoutCase) {
    ScratchFolder s;
    const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
    WriteResponse(s.path(), kSection, folder + "Request.json", Json{{"messageCode", "1"}});
    std::string odd = folder.substr(0, folder.size() - 1);  // no trailing backslash
    for (const std::string& given : {odd, s.path() + "Temp\\..\\Temp\\" + folder.substr(s.path().size() + 5)}) {
        SCOPED_TRACE(given);
        EXPECT_TRUE(ReadResponseFiles(s.path(), kSection, given).read);
    }
    std::string upper = folder;
    for (char& ch : upper) {
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    }
    EXPECT_TRUE(ReadResponseFiles(s.path(), kSection, upper).read) << upper;
}

struct LinesCase {
    const char* text;
    const char* joined;
};

TEST(JoinTextLines, EveryLineEndsWithCrLf) {
    const LinesCase cases[] = {
        {"", ""},
        {"abc", "abc\r\n"},
        {"a\r\nb\r\n", "a\r\nb\r\n"},
        {"a\nb", "a\r\nb\r\n"},
        {"a\n\nb\n", "a\r\n\r\nb\r\n"},
        {"a\rb", "a\r\nb\r\n"},
        {"\r\n", "\r\n"},
        {"x\r\n\r\n", "x\r\n\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(JoinTextLines(c.text), c.joined) << c.text;
}

TEST(ReadResponseFiles, ReadsTheFileAsAnsiLines) {
    const LinesCase cases[] = {
        {"abc", "abc\r\n"},
        {"a\nb\n", "a\r\nb\r\n"},
        {"\xD5\xC5\xC8\xFD\r\n", "张三\r\n"},  // GBK
        {"\xEF\xBB\xBF\xE5\xBC\xA0", "张\r\n"},  // UTF-8 with its byte-order mark
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ScratchFolder s;
        const std::string folder = WriteRequestFiles(s.path(), kSection, "{}");
        WriteBytes(folder + "Response.json", c.text);
        SetIni(s.path(), kSection, "outParam", folder + "Response.json");
        SetIni(s.path(), kSection, "Return", "-1");
        EXPECT_EQ(ReadResponseFiles(s.path(), kSection, folder).text, c.joined);
    }
}

// ---- deleting folders ----

TEST(DeleteFolderTree, RemovesNestedFilesAndReadOnlyEntries) {
    ScratchFolder s;
    const std::string root = s / "root\\";
    ASSERT_TRUE(ForceDirectories(root + "a\\b\\c"));
    WriteBytes(root + "top.txt", "1");
    WriteBytes(root + "a\\b\\deep.txt", "2");
    WriteBytes(root + "a\\ro.txt", "3");
    SetFileAttributesW(Widen(root + "a\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(DeleteFolderTree(root));
    EXPECT_FALSE(DirectoryExists(root));
    EXPECT_TRUE(DirectoryExists(s.path()));
    EXPECT_TRUE(DeleteFolderTree(root));  // already gone
}

// A mount point (junction) made through FSCTL_SET_REPARSE_POINT; false when unsupported.
bool MakeJunction(const std::string& link, const std::string& target) {
    if (!CreateDirectoryW(Widen(link).c_str(), nullptr)) return false;
    UniqueFile handle(CreateFileW(Widen(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return false;
    const std::wstring substitute = L"\\??\\" + Widen(target);
    const std::wstring print = Widen(target);
    const std::size_t pathBytes = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
    // ReparseTag, ReparseDataLength, Reserved, then four USHORT offsets/lengths and the paths.
    std::vector<unsigned char> buffer(8 + 8 + pathBytes, 0);
    auto put16 = [&](std::size_t at, std::size_t value) {
        buffer[at] = static_cast<unsigned char>(value & 0xFF);
        buffer[at + 1] = static_cast<unsigned char>(value >> 8);
    };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    memcpy(buffer.data(), &tag, 4);
    put16(4, 8 + pathBytes);
    put16(8, 0);
    put16(10, substitute.size() * sizeof(wchar_t));
    put16(12, (substitute.size() + 1) * sizeof(wchar_t));
    put16(14, print.size() * sizeof(wchar_t));
    memcpy(buffer.data() + 16, substitute.c_str(), substitute.size() * sizeof(wchar_t));
    memcpy(buffer.data() + 16 + (substitute.size() + 1) * sizeof(wchar_t), print.c_str(),
           print.size() * sizeof(wchar_t));
    DWORD returned = 0;
    return DeviceIoControl(handle.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                           nullptr, 0, &returned, nullptr) != FALSE;
}

bool IsReparsePoint(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(DeleteFolderTree, RemovesLinksWithoutEnteringThem) {
    ScratchFolder s;
    const std::string target = s / "target";
    ASSERT_TRUE(ForceDirectories(target + "\\inner"));
    WriteBytes(target + "\\keep.txt", "keep");
    const std::string root = s / "root\\";
    ASSERT_TRUE(ForceDirectories(root));
    WriteBytes(root + "file.txt", "x");

    std::string made;
    const std::string junction = root + "junction";
    if (MakeJunction(junction, target) && IsReparsePoint(junction)) made = junction;
    const std::string symlink = root + "symlink";
    if (made.empty() &&
        CreateSymbolicLinkW(Widen(symlink).c_str(), Widen(target).c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        IsReparsePoint(symlink)) {
        made = symlink;
    }
    if (made.empty()) {
        RemoveDirectoryW(Widen(junction).c_str());
        GTEST_SKIP() << "this system creates neither junctions (FSCTL_SET_REPARSE_POINT) nor directory "
                        "symbolic links (CreateSymbolicLinkW) that report FILE_ATTRIBUTE_REPARSE_POINT";
    }
    ASSERT_TRUE(FileExists(made + "\\keep.txt")) << "the link does not lead to its target";
    EXPECT_TRUE(DeleteFolderTree(root));
    EXPECT_FALSE(DirectoryExists(root));
    EXPECT_EQ(ReadBytes(target + "\\keep.txt"), "keep");
    EXPECT_TRUE(DirectoryExists(target + "\\inner"));
}

// ---- worker side and paths ----

TEST(ReadInParam, EmptyWithoutIniOrKey) {
    ScratchFolder s;
    EXPECT_EQ(ReadInParam(s.path(), kSection), "");
    SetIni(s.path(), "other", "InParam", "x");
    EXPECT_EQ(ReadInParam(s.path(), kSection), "");
    SetIni(s.path(), kSection, "outParam", "y");
    EXPECT_EQ(ReadInParam(s.path(), kSection), "");
    SetIni(s.path(), kSection, "InParam", "C:\\a\\Request.json");
    EXPECT_EQ(ReadInParam(s.path(), kSection), "C:\\a\\Request.json");
}

TEST(GetServicePath, IsTheParentOfTheModuleFolder) {
    std::string folder = test::ProgramFolder();
    folder.pop_back();
    EXPECT_EQ(GetServicePath(nullptr), ExtractFilePath(folder));
    EXPECT_EQ(GetServicePath(nullptr).back(), '\\');
}

// ---- with the stand-in worker ----

struct WorkerCase {
    const char* control;  // value of "testWorker"
    unsigned long exitCode;
    bool read;
    const char* text;  // expected result text when read
};

TEST(TestWorker, AnswersThroughTheFiles) {
    const WorkerCase cases[] = {
        {nullptr, 0, true, "{\"messageCode\":\"00000000\",\"data\":{}}\r\n"},
        {R"({"mode":"write","result":{"messageCode":"00000000","data":{"name":"张三"}}})", 0, true,
         "{\"messageCode\":\"00000000\",\"data\":{\"name\":\"\\u5f20\\u4e09\"}}\r\n"},
        {R"({"mode":"none"})", 0, false, nullptr},
        {R"({"mode":"exit","exitCode":5})", 5, false, nullptr},
        {R"({"mode":"sleep","sleepMs":50,"then":"invalid"})", 0, true, "not json\r\n"},
        {R"({"mode":"late","sleepMs":0})", 0, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control ? c.control : "no testWorker key");
        ScratchFolder s;
        ASSERT_TRUE(CopyFileW(Widen(test::ProgramFolder() + "test_worker.exe").c_str(),
                              Widen(s / "Httpd.Nelto.exe").c_str(), FALSE));
        Json request = {{"name", "张三"}};
        if (c.control) request["testWorker"] = *ParseJsonObject(c.control);
        const std::string folder = WriteRequestFiles(s.path(), kSection, ToCompactJson(request));
        ASSERT_FALSE(folder.empty());
        const auto run = test::RunProcess("\"" + s / "Httpd.Nelto.exe" + "\" " + kSection, s.path());
        EXPECT_EQ(run.exitCode, c.exitCode);
        const ResponseFiles response = ReadResponseFiles(s.path(), kSection, folder);
        EXPECT_EQ(response.read, c.read);
        EXPECT_EQ(response.text, c.read ? c.text : TimeoutResult());
        const std::string log = ReadBytes(s / "test_worker.log");
        EXPECT_EQ(log.find("\r\n"), log.size() - 2) << log;
        EXPECT_NE(log.find("\tsection=27\t"), std::string::npos) << log;
    }
}

TEST(TestWorker, UnderItsClientNameOnlyRecordsTheLaunch) {
    ScratchFolder s;
    ASSERT_TRUE(CopyFileW(Widen(test::ProgramFolder() + "test_worker.exe").c_str(),
                          Widen(s / "DeZazevozor.exe").c_str(), FALSE));
    const std::string command = "\"" + s / "DeZazevozor.exe" + "\" -a b";
    EXPECT_EQ(test::RunProcess(command, s.path()).exitCode, 0u);
    std::string folder = s.path();
    folder.pop_back();
    EXPECT_EQ(ReadBytes(s / "launches.log"), "cmd=" + command + "\tcwd=" + folder + "\r\n");
    EXPECT_FALSE(FileExists(s / "test_worker.log"));
}

}  // namespace
}  // namespace nelto
