// The plug-in end to end: HTTP → stand-in host → com.tarvesk.httpd.nelto.dll → a stand-in worker
// through the exchange files → back, with the usage posts seen by a stand-in collector.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "common/aes.h"
#include "common/win/fs.h"
#include "common/win/unicode.h"
#include "tests/win/e2e/installed_host.h"

namespace nelto::test {
namespace {

const Json kOk = Json{{"messageCode", "00000000"}, {"data", {{"rows", 1}}}};

Json WorkerSays(const Json& control) { return Json{{"testWorker", control}}; }

std::string Field(const std::string& line, const std::string& key) {
    const auto at = line.find(key + "=");
    if (at == std::string::npos) return {};
    const auto end = line.find('\t', at);
    return line.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

class PluginEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { host.Start(); }
    InstalledHost host;
};

TEST_F(PluginEndToEnd, EveryActionReachesItsServiceAndSuccessSaysProcessed) {
    struct Case { const char* action; Json extra; const char* section; };
    const Case cases[] = {
        {"loginREZA", Json::object(), "0"},        {"getDeclareStateInfo", Json::object(), "1"},
        {"getPersonInfos", Json::object(), "2"},   {"checkPersonInfos", Json::object(), "3"},
        {"savePersonInfos", Json::object(), "4"},  {"syncSalaryData", Json::object(), "5"},
        {"startRezaSoft", Json::object(), "6"},    {"getKJSDSBGBInfos", Json::object(), "7"},
        {"existCompany", Json::object(), "8"},     {"getCompanyInfos", Json::object(), "9"},
        {"updatePersonInfos", Json::object(), "11"}, {"callREZAFunc", Json{{"funcId", 13}}, "13"},
        {"callREZAFunc", Json{{"funcId", "16"}}, "16"}, {"callREZAFunc", Json::object(), "0"},
    };
    std::size_t runs = 0;
    for (const Case& c : cases) {
        Json body = WorkerSays({{"result", {{"messageCode", "00000000"}, {"message", "worker text"}, {"data", {{"n", c.section}}}}}});
        body.update(c.extra);
        const HttpReply reply = host.Post(c.action, body);
        EXPECT_EQ(reply.status, 200u) << c.action;
        EXPECT_EQ(reply.json, (Json{{"code", "00000000"}, {"message", "处理成功"}, {"data", {{"n", c.section}}}}))
            << c.action << ": " << reply.body;
        const auto lines = host.WorkerRuns();
        ASSERT_EQ(lines.size(), ++runs) << c.action;
        EXPECT_EQ(Field(lines.back(), "section"), c.section) << c.action;
    }
}

TEST_F(PluginEndToEnd, FailuresPassTheirOwnCodeMessageAndData) {
    const HttpReply reply = host.Post(
        "getCompanyInfos", WorkerSays({{"result", {{"messageCode", "10009901"}, {"data", {{"text", "未找到"}}}}}}));
    EXPECT_EQ(reply.json, (Json{{"code", "10009901"}, {"message", ""}, {"data", {{"text", "未找到"}}}})) << reply.body;
}

TEST_F(PluginEndToEnd, TransportFailuresGiveTheirCodes) {
    const Json timeoutAnswer = {{"code", "10009998"},
                                {"message", ""},
                                {"data", {{"text", "请求超时，请稍候再试或联系软件服务商协助解决。"}}}};
    struct Case { const char* name; Json body; };
    const Case cases[] = {
        {"no result", WorkerSays({{"mode", "none"}})},
        {"time-out", [] {
             Json b = WorkerSays({{"mode", "sleep"}, {"sleepMs", 4000}});
             b["timeOut"] = "1500";
             return b;
         }()},
        {"function not in the table", Json{{"funcId", 99}, {"testWorker", {{"mode", "none"}}}}},
    };
    for (const Case& c : cases) {
        const HttpReply reply = host.Post("callREZAFunc", c.body);
        EXPECT_EQ(reply.json, timeoutAnswer) << c.name << ": " << reply.body;
    }
    // Failed runs keep their request folders.
    EXPECT_EQ(host.RequestFolders().size(), 3u);
}

TEST_F(PluginEndToEnd, WithoutItsRequestFilesTheWorkerIsNotStarted) {
    // The last request named in the INI (kept: it failed) must not run again as this one.
    host.Post("getCompanyInfos", WorkerSays({{"result", {{"messageCode", "10009902"}, {"data", Json::object()}}}}));
    ASSERT_EQ(host.WorkerRuns().size(), 1u);
    RemoveTree(host.S() + "Temp");
    WriteBytes(host.S() + "Temp", "a file where the request folders go");
    const HttpReply reply = host.Post("getCompanyInfos", WorkerSays({{"result", kOk}}));
    EXPECT_EQ(reply.json["code"], "10009998") << reply.body;
    EXPECT_EQ(host.WorkerRuns().size(), 1u);
    // Give the folder back before the host stops: its shutdown under Wine stalls without it.
    (void)DeleteFileUtf8(host.S() + "Temp");
    EXPECT_TRUE(ForceDirectories(host.S() + "Temp"));
}

TEST_F(PluginEndToEnd, ResultThatIsNotJsonEndsInTheErrorAnswer) {
    const HttpReply reply = host.Post("existCompany", WorkerSays({{"mode", "invalid"}}));
    EXPECT_EQ(reply.json, (Json{{"code", "99999999"},
                                {"message", "处理异常"},
                                {"data", {{"detail", "调用组件功能点异常,请稍后重试"}}}}))
        << reply.body;
}

TEST_F(PluginEndToEnd, RequestFolderIsRemovedAfterSuccessOnly) {
    host.Post("getCompanyInfos", WorkerSays({{"result", kOk}}));
    EXPECT_TRUE(host.RequestFolders().empty());
    host.Post("getCompanyInfos", WorkerSays({{"result", {{"messageCode", "10009902"}, {"data", Json::object()}}}}));
    ASSERT_EQ(host.RequestFolders().size(), 1u);
    const std::string folder = host.S() + "Temp\\" + host.RequestFolders()[0] + "\\";
    EXPECT_TRUE(FileExists(folder + "Request.json"));
    EXPECT_TRUE(FileExists(folder + "Response.json"));
}

TEST_F(PluginEndToEnd, DebugSwitchKeepsSuccessfulRequestFolders) {
    host.Start(true, "debugswitch=1\r\n");
    host.Post("getCompanyInfos", WorkerSays({{"result", kOk}}));
    EXPECT_EQ(host.RequestFolders().size(), 1u);
}

TEST_F(PluginEndToEnd, LateWorkerOfAnEarlierRequestCannotAnswerTheNextOne) {
    // The first run gives up after 1.5 s; its worker writes a result for section 9 later, while
    // the next request of section 9 is waiting.
    Json late = WorkerSays({{"mode", "late"},
                            {"sleepMs", 2500},
                            {"result", {{"messageCode", "00000000"}, {"data", {{"company", "another"}}}}}});
    late["timeOut"] = 1500;
    EXPECT_EQ(host.Post("getCompanyInfos", late).json["code"], "10009998");
    Json next = WorkerSays({{"mode", "sleep"}, {"sleepMs", 2500}, {"then", "none"}});
    const HttpReply reply = host.Post("getCompanyInfos", next);
    EXPECT_EQ(reply.json["code"], "10009998") << reply.body;
    EXPECT_EQ(reply.body.find("another"), std::string::npos);
}

TEST_F(PluginEndToEnd, ConcurrentRequestsAreAllAnsweredOneWorkerAtATime) {
    constexpr int kRequests = 8;
    std::vector<HttpReply> replies(kRequests);
    std::vector<std::thread> threads;
    for (int i = 0; i < kRequests; ++i) {
        threads.emplace_back([&, i] {
            replies[i] = host.Post("getCompanyInfos",
                                   WorkerSays({{"mode", "sleep"},
                                               {"sleepMs", 100},
                                               {"result", {{"messageCode", "00000000"}, {"data", {{"i", i}}}}}}));
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kRequests; ++i) {
        EXPECT_EQ(replies[i].json, (Json{{"code", "00000000"}, {"message", "处理成功"}, {"data", {{"i", i}}}}));
    }
    const auto runs = host.WorkerRuns();
    ASSERT_EQ(runs.size(), static_cast<std::size_t>(kRequests));
    std::vector<std::pair<unsigned long, unsigned long>> spans;
    for (const auto& line : runs) spans.emplace_back(std::stoul(Field(line, "start")), std::stoul(Field(line, "end")));
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i) EXPECT_GE(spans[i].first, spans[i - 1].second) << "runs overlap";
}

TEST_F(PluginEndToEnd, UsagePostOfEveryActionCarriesItsOwnMark) {
    const char* actions[] = {"loginREZA", "getDeclareStateInfo", "getPersonInfos", "checkPersonInfos",
                             "savePersonInfos", "syncSalaryData", "startRezaSoft", "getKJSDSBGBInfos",
                             "callREZAFunc", "existCompany", "getCompanyInfos", "updatePersonInfos"};
    for (const char* action : actions) {
        Json body = WorkerSays({{"result", {{"messageCode", "10000001"}, {"data", {{"text", "失败"}}}}}});
        body["nsrsbh"] = "91330100MA2B";
        body["mobile"] = "13800000000";
        body["code"] = "12";
        body["companyName"] = "测试公司";
        host.Post(action, body);
    }
    const auto posts = host.WaitForUsagePosts(std::size(actions));
    ASSERT_EQ(posts.size(), std::size(actions));
    std::map<std::string, Json> byMark;
    for (const Json& post : posts) byMark[post.value("mark", "")] = post;
    for (const char* action : actions) {
        const std::string mark = std::string("nelto/rezaManager/") + action;
        ASSERT_TRUE(byMark.count(mark)) << mark;
        const Json& post = byMark[mark];
        EXPECT_EQ(post["status"], "fail");
        EXPECT_EQ(post["reason"], R"({"text":"\u5931\u8d25"})");
        EXPECT_EQ(post["nsrsbh"], "91330100MA2B");
        EXPECT_EQ(post["accountName"], "13800000000");
        EXPECT_EQ(post["otherParameters"],
                  (Json{{"code", "12"}, {"messageCode", "10000001"}, {"companyName", "测试公司"}}));
    }
    host.Post("getCompanyInfos", WorkerSays({{"result", kOk}}));
    const auto more = host.WaitForUsagePosts(std::size(actions) + 1);
    ASSERT_EQ(more.size(), std::size(actions) + 1);
    EXPECT_EQ(more.back()["status"], "succeed");
    EXPECT_EQ(more.back()["reason"], "");
}

class PluginWithoutWorker : public ::testing::Test {
protected:
    void SetUp() override { host.Start(false); }
    InstalledHost host{""};
};

TEST_F(PluginWithoutWorker, MissingWorkerAnswersMissingComponent) {
    const HttpReply reply = host.Post("getCompanyInfos", Json::object());
    EXPECT_EQ(reply.json, (Json{{"code", "99999998"},
                                {"message", "处理失败"},
                                {"data", {{"text", "Httpd基础组件没有找到，请联系软件服务商协助解决。"}}}}))
        << reply.body;
}

TEST_F(PluginWithoutWorker, WorkerThatCannotStartGivesTheTimeoutResult) {
    WriteBytes(host.S() + "Httpd.Nelto.exe", "this is not a program");
    const HttpReply reply = host.Post("getCompanyInfos", Json::object());
    EXPECT_EQ(reply.json["code"], "10009998") << reply.body;
}

TEST_F(PluginWithoutWorker, ClientPathStartsTheClientWithTheEncipheredParameter) {
    ScratchFolder client;
    ASSERT_TRUE(CopyFileW(Widen(ProgramFolder() + "test_worker.exe").c_str(),
                          Widen(client / "DeZazevozor.exe").c_str(), FALSE));
    struct Case { const char* action; Json body; };
    const Case cases[] = {
        {"callREZAFunc", Json{{"funcId", 20}, {"timeOut", 5000}, {"rezaPath", {{"path", client.path()}}}}},
        {"getCompanyInfos", Json{{"funcId", "20"}, {"timeOut", 5000}, {"rezaPath", {{"path", client.path()}}}}},
    };
    const std::string plain = "plugindll=" + host.S() + "Httpd.WRPA.dll;businessHandler=NeltoHttpPost;"
                              "exceptHandler=UpgradeProcess;servicepath=" + host.S() + ";";
    const std::string expected = "data=" + EncryptStringToHex(ToAnsi(plain), "Tc8vRo2KmYw5sPz=", true, 0);
    for (const Case& c : cases) {
        const HttpReply reply = host.Post(c.action, c.body);
        EXPECT_EQ(reply.json["code"], "10009998") << reply.body;
    }
    std::vector<std::string> launches;
    for (const std::string& line : [&] {
             std::vector<std::string> v;
             std::string text = ReadBytes(client / "launches.log");
             std::size_t pos = 0;
             while (pos < text.size()) {
                 auto end = text.find("\r\n", pos);
                 v.push_back(text.substr(pos, end - pos));
                 pos = end == std::string::npos ? text.size() : end + 2;
             }
             return v;
         }()) {
        launches.push_back(line);
    }
    ASSERT_EQ(launches.size(), 2u);
    for (const std::string& line : launches) {
        EXPECT_NE(Field(line, "cmd").find(expected), std::string::npos) << line;
        EXPECT_EQ(IncludeTrailingBackslash(Field(line, "cwd")), host.S()) << line;
    }
    // The section of each run is the action's own number: 20 for callREZAFunc, 9 otherwise.
    const std::string ini = ReadBytes(host.S() + "NeltoParam.ini");
    EXPECT_NE(ini.find("[20]"), std::string::npos);
    EXPECT_NE(ini.find("[9]"), std::string::npos);
}

TEST_F(PluginWithoutWorker, ClientFolderOutsideTheLocalDrivesStartsNothing) {
    for (const char* path : {"\\\\server\\share\\KvPortal\\", "\\\\?\\C:\\KvPortal\\", "KvPortal\\", ""}) {
        const HttpReply reply =
            host.Post("callREZAFunc", Json{{"funcId", 20}, {"rezaPath", {{"path", path}}}});
        EXPECT_EQ(reply.json["code"], "99999998") << path;
    }
}

}  // namespace
}  // namespace nelto::test
