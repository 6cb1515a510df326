#include "plugin/usage_record.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace nelto {
namespace {

const Json kParams = Json::parse(R"({"nsrsbh":"91110000X","mobile":"13800000000","locationCode":"11",
                                     "companyName":"测试公司","code":"12"})");

std::vector<std::string> Keys(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

TEST(UsageRecord, KeysInOrderAndFixedValues) {
    const Json result = Json::parse(R"({"messageCode":"00000000","data":{}})");
    const Json r = BuildUsageRecord(&kParams, &result, "nelto/rezaManager/getCompanyInfos", 1234, "AA-BB");
    EXPECT_EQ(Keys(r), (std::vector<std::string>{"cjlx", "rjdm", "mark", "entrance", "otherParameters", "nsrsbh",
                                                 "accountName", "locationCode", "status", "reason", "djxh",
                                                 "source", "mac", "requestUrl", "cost"}));
    EXPECT_EQ(ToCompactJson(r),
              R"({"cjlx":"pqweb","rjdm":"httpd_service_nelto","mark":"nelto/rezaManager/getCompanyInfos",)"
              R"("entrance":"","otherParameters":{"code":"12","messageCode":"00000000",)"
              R"("companyName":"\u6d4b\u8bd5\u516c\u53f8"},"nsrsbh":"91110000X","accountName":"13800000000",)"
              R"("locationCode":"11","status":"succeed","reason":"","djxh":"","source":"","mac":"AA-BB",)"
              R"("requestUrl":"","cost":"1234"})");
}

TEST(UsageRecord, StatusAndReason) {
    struct Case {
        const char* result;
        const char* status;
        const char* reason;
    };
    for (const Case& c : {
             Case{R"({"messageCode":"00000000","data":{"a":"中"}})", "succeed", ""},
             {R"({"messageCode":"00000001","data":{"a":"中","n":1}})", "fail", R"({"a":"\u4e2d","n":1})"},
             {R"({"messageCode":"E1"})", "fail", ""},
             {R"({"messageCode":"E1","data":null})", "fail", ""},
             {R"({"messageCode":"E1","data":"text"})", "fail", "text"},
             {R"({"data":{}})", "fail", "{}"},
         }) {
        const Json result = Json::parse(c.result);
        const Json r = BuildUsageRecord(&kParams, &result, "m", 0, "");
        EXPECT_EQ(r["status"], c.status) << c.result;
        EXPECT_EQ(r["reason"], c.reason) << c.result;
        EXPECT_EQ(r["otherParameters"]["messageCode"], JsonText(result, "messageCode")) << c.result;
    }
}

TEST(UsageRecord, CodeOnlyWhenGiven) {
    struct Case {
        const char* params;
        std::optional<std::string> code;
    };
    for (const Case& c : {
             Case{R"({"code":"12"})", "12"},
             {R"({"code":12})", "12"},
             {R"({"code":" 7 "})", "7"},
             {R"({"code":"x"})", "0"},
             {R"({"code":""})", std::nullopt},
             {R"({"code":null})", std::nullopt},
             {R"({})", std::nullopt},
         }) {
        const Json params = Json::parse(c.params);
        const Json result = Json::parse(R"({"messageCode":"00000000"})");
        const Json other = BuildUsageRecord(&params, &result, "m", 0, "")["otherParameters"];
        if (c.code) {
            EXPECT_EQ(Keys(other), (std::vector<std::string>{"code", "messageCode", "companyName"})) << c.params;
            EXPECT_EQ(other["code"], *c.code) << c.params;
        } else {
            EXPECT_EQ(Keys(other), (std::vector<std::string>{"messageCode", "companyName"})) << c.params;
        }
    }
}

TEST(UsageRecord, DataFlags) {
    struct Case {
        const char* data;
        const char* other;  // otherParameters after messageCode and companyName
    };
    for (const Case& c : {
             Case{R"({})", R"({})"},
             {R"({"CheckUpdateEnvironment":true})", R"({"CheckUpdateEnvironment":"1"})"},
             {R"({"CheckUpdateEnvironment":false,"REZAVerLower":false,"UpdateReza":false})", R"({})"},
             {R"({"REZAVerLower":true})", R"({"REZAVerLower":"1"})"},
             {R"({"UpdateReza":true})", R"({"UpdateReza":"1"})"},
             {R"({"UpdateReza":true,"REZAVersion":"3.2.1"})", R"({"UpdateReza":"3.2.1"})"},
             {R"({"REZAVersion":"3.2.1"})", R"({"UpdateReza":"3.2.1"})"},
             {R"({"UpdateReza":true,"REZAVersion":""})", R"({"UpdateReza":"1"})"},
             {R"({"REZAVersion":"2","REZAVerLower":true,"CheckUpdateEnvironment":true,"UpdateReza":true})",
              R"({"CheckUpdateEnvironment":"1","REZAVerLower":"1","UpdateReza":"2"})"},
         }) {
        for (const char* messageCode : {"00000000", "00000009"}) {
            const Json result = {{"messageCode", messageCode}, {"data", Json::parse(c.data)}};
            const Json params = {{"companyName", "c"}};
            Json want = {{"messageCode", messageCode}, {"companyName", "c"}};
            want.update(Json::parse(c.other));
            EXPECT_EQ(ToCompactJson(BuildUsageRecord(&params, &result, "m", 0, "")["otherParameters"]),
                      ToCompactJson(want))
                << c.data << " " << messageCode;
        }
    }
    // A data that is not an object carries no flags.
    const Json result = Json::parse(R"({"messageCode":"00000000","data":"CheckUpdateEnvironment"})");
    EXPECT_EQ(Keys(BuildUsageRecord(&kParams, &result, "m", 0, "")["otherParameters"]),
              (std::vector<std::string>{"code", "messageCode", "companyName"}));
}

TEST(UsageRecord, WithoutParams) {
    const Json result = Json::parse(R"({"messageCode":"00000000","data":{"UpdateReza":true}})");
    for (const Json* r : {&result, static_cast<const Json*>(nullptr)}) {
        const Json record = BuildUsageRecord(nullptr, r, "nelto/x", 5, "00-11");
        EXPECT_EQ(ToCompactJson(record),
                  R"({"cjlx":"pqweb","rjdm":"httpd_service_nelto","mark":"nelto/x","entrance":"",)"
                  R"("otherParameters":{"messageCode":"X99999999"},"nsrsbh":"","accountName":"",)"
                  R"("locationCode":"","status":"fail",)"
                  R"("reason":"\u8c03\u7528\u7ec4\u4ef6\u529f\u80fd\u70b9\u5f02\u5e38,\u8bf7\u7a0d\u540e\u91cd\u8bd5",)"
                  R"("djxh":"","source":"","mac":"00-11","requestUrl":"","cost":"5"})");
        EXPECT_EQ(record["reason"], "调用组件功能点异常,请稍后重试");
    }
}

TEST(UsageRecord, WithoutResult) {
    const Json record = BuildUsageRecord(&kParams, nullptr, "m", 4294967295u, "");
    EXPECT_EQ(ToCompactJson(record["otherParameters"]),
              R"({"code":"12","messageCode":"","companyName":"\u6d4b\u8bd5\u516c\u53f8"})");
    EXPECT_EQ(record["status"], "fail");
    EXPECT_EQ(record["reason"], "");
    EXPECT_EQ(record["nsrsbh"], "91110000X");
    EXPECT_EQ(record["accountName"], "13800000000");
    EXPECT_EQ(record["locationCode"], "11");
    EXPECT_EQ(record["cost"], "4294967295");
}

TEST(UsageRecord, ParamsReadWithCoercion) {
    const Json params = Json::parse(R"({"nsrsbh":123,"mobile":null,"companyName":true})");
    const Json result = Json::parse(R"({"messageCode":"00000000"})");
    const Json record = BuildUsageRecord(&params, &result, "m", 0, "");
    EXPECT_EQ(record["nsrsbh"], "123");
    EXPECT_EQ(record["accountName"], "");
    EXPECT_EQ(record["locationCode"], "");
    EXPECT_EQ(record["otherParameters"]["companyName"], "true");
}

TEST(FormatMac, Table) {
    struct Case {
        const char* hex;
        const char* want;
    };
    for (const Case& c : {
             Case{"", ""},
             {"0", ""},
             {"001", ""},
             {"00", "00"},
             {"00AB", "00-AB"},
             {"001122AABBCC", "00-11-22-AA-BB-CC"},
             {"001122AABBC", ""},
         }) {
        EXPECT_EQ(FormatMac(c.hex), c.want) << c.hex;
    }
    EXPECT_EQ(FormatMac("001122AABBCC").size(), 17u);
}

TEST(HttpWaitSeconds, RoundsToNearestTiesToEven) {
    struct Case {
        std::uint32_t ms;
        std::uint32_t seconds;
    };
    for (const Case& c : {Case{0, 0}, {1, 1}, {400, 1}, {499, 1}, {500, 1}, {1000, 1}, {1499, 1}, {1500, 2},
                          {2000, 2}, {2500, 2}, {2501, 3}, {3500, 4}, {4500, 4}, {60000, 60}}) {
        EXPECT_EQ(HttpWaitSeconds(c.ms), c.seconds) << c.ms;
    }
}

}  // namespace
}  // namespace nelto
