#include "common/json_util.h"

#include <gtest/gtest.h>

namespace nelto {
namespace {

TEST(JsonUtil, CompactTextEscapesEverythingOutsideAscii) {
    const Json value = Json::parse(R"({"a": "中文", "b": [1, 2], "c": {"d": true}})");
    EXPECT_EQ(ToCompactJson(value), R"({"a":"\u4e2d\u6587","b":[1,2],"c":{"d":true}})");
    // Key order is kept as it came.
    EXPECT_EQ(ToCompactJson(Json::parse(R"({"z":1,"a":2})")), R"({"z":1,"a":2})");
}

TEST(JsonUtil, ParseJsonObjectAcceptsObjectsOnly) {
    EXPECT_TRUE(ParseJsonObject("{}"));
    EXPECT_TRUE(ParseJsonObject(" {\"a\":1} \r\n"));
    for (const char* bad : {"", "[]", "1", "\"x\"", "{", "null", "{} {}"}) {
        EXPECT_FALSE(ParseJsonObject(bad)) << bad;
    }
}

TEST(JsonUtil, CoercedReads) {
    const Json p = Json::parse(R"({
        "timeOut": "60000", "funcId": 20, "neg": -1, "f": 2.9, "text": "abc", "empty": "",
        "t": true, "falseText": "false", "zero": 0, "rezaPath": {"path": "C:\\KvPortal\\"},
        "flat": "x", "nul": null})");
    struct IntCase { const char* path; std::int64_t want; };
    for (const IntCase& c : {IntCase{"timeOut", 60000}, {"funcId", 20}, {"neg", -1}, {"f", 2}, {"text", 0},
                             {"empty", 0}, {"t", 1}, {"missing", 0}, {"nul", 0}}) {
        EXPECT_EQ(JsonInt(p, c.path), c.want) << c.path;
    }
    struct BoolCase { const char* path; bool want; };
    for (const BoolCase& c : {BoolCase{"t", true}, {"falseText", true}, {"empty", false}, {"zero", false},
                              {"funcId", true}, {"missing", false}, {"nul", false}}) {
        EXPECT_EQ(JsonBool(p, c.path), c.want) << c.path;
    }
    EXPECT_EQ(JsonText(p, "rezaPath.path"), "C:\\KvPortal\\");
    EXPECT_EQ(JsonText(p, "flat.path"), "");
    EXPECT_EQ(JsonText(p, "funcId"), "20");
    EXPECT_EQ(JsonText(p, "t"), "true");
    EXPECT_EQ(JsonText(p, "nul"), "");
    EXPECT_EQ(JsonText(p, "rezaPath"), R"({"path":"C:\\KvPortal\\"})");
}

}  // namespace
}  // namespace nelto

#include "common/client_path.h"

namespace nelto {
namespace {

TEST(ClientPath, OnlyLocalAbsoluteDrivePathsPass) {
    struct Case { const char* path; bool ok; };
    const Case cases[] = {
        {"C:\\Program Files\\Tarvesk\\KvPortal\\", true}, {"d:/KvPortal/", true}, {"Z:\\", true},
        {"", false}, {"C:", false}, {"C:KvPortal\\", false}, {"KvPortal\\", false}, {"..\\KvPortal\\", false},
        {"\\\\server\\share\\KvPortal\\", false}, {"//server/share/", false}, {"\\\\?\\C:\\KvPortal\\", false},
        {"\\\\.\\C:\\KvPortal\\", false}, {"\\KvPortal\\", false}, {"1:\\x\\", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsLocalDrivePath(c.path), c.ok) << c.path;
}

}  // namespace
}  // namespace nelto
