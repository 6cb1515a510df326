// getCompanyInfos through the whole chain: HTTP → stand-in host → plug-in → Httpd.Nelto.exe →
// the stand-in client's interface library → back.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/win/fs.h"
#include "common/win/unicode.h"
#include "tests/win/e2e/installed_host.h"

namespace nelto::test {
namespace {

void InstallClient(const std::string& folder, const Json& overrides) { InstallStandInClient(folder, overrides.dump()); }

class WorkerEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { host.Start(false); }
    HttpReply GetCompanyInfos(const std::string& path) {
        return host.Post("getCompanyInfos", Json{{"rezaPath", {{"path", path}, {"nsrsbh", "91330106MA2CF7KX3T"}}}});
    }
    InstalledHost host{"Httpd.Nelto.exe"};
    ScratchFolder clients;
};

TEST_F(WorkerEndToEnd, AnswersTheClientsCompanies) {
    const std::string client = clients / "Kv Portal\\";
    InstallClient(client, Json::object());
    const HttpReply reply = GetCompanyInfos(client);
    ASSERT_EQ(reply.json["code"], "00000000") << reply.body;
    EXPECT_EQ(reply.json["message"], "处理成功");
    const Json& list = reply.json["data"]["companyList"];
    ASSERT_EQ(list.size(), 3u) << reply.body;
    EXPECT_EQ(list[0]["nsrsbh"], "91330106MA2CF7KX3T");
    EXPECT_EQ(list[0]["kjywrmc"], "杭州云帆科技有限公司");
    // A success removes the request folder.
    EXPECT_TRUE(host.RequestFolders().empty());
}

TEST_F(WorkerEndToEnd, InstallationFaultsGiveTheirCodes) {
    struct Case { const char* name; Json scenario; const char* code; };
    const Case cases[] = {
        {"client program missing", Json{{"omit", {"DeZazevozor.exe"}}}, "10009908"},
        {"library missing", Json{{"omit", {"AppModules\\RODUD\\REZAInterface.dll"}}}, "10009902"},
        {"library corrupt", Json{{"corruptLibrary", true}}, "10009903"},
        {"dependency missing", Json{{"missingDependency", true}}, "10009903"},
        {"export missing", Json{{"missingExports", {"getCompanyInfos"}}}, "10009904"},
        {"export raises", Json{{"scenario", {{"getCompanyInfos", {{"raise", true}}}}}}, "10009905"},
        {"export crashes", Json{{"scenario", {{"initREZARunEnvironment", {{"crash", true}}}}}}, "10009905"},
        {"output not JSON", Json{{"scenario", {{"getCompanyInfos", {{"notJson", true}}}}}}, "10009905"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string client = clients / ("c" + std::to_string(n++) + "\\");
        InstallClient(client, c.scenario);
        const HttpReply reply = GetCompanyInfos(client);
        EXPECT_EQ(reply.json["code"], c.code) << c.name << ": " << reply.body;
        EXPECT_EQ(reply.json["message"], "") << c.name;
        EXPECT_TRUE(reply.json["data"]["text"].is_string()) << c.name;
    }
}

TEST_F(WorkerEndToEnd, LibraryFailurePassesItsOwnCodeAndMessage) {
    const std::string client = clients / "fail\\";
    InstallClient(client, Json{{"scenario", {{"getCompanyInfos", {{"fail", {{"messageCode", "10000301"}, {"message", "企业列表读取失败"}}}}}}}});
    HttpReply reply = GetCompanyInfos(client);
    EXPECT_EQ(reply.json, (Json{{"code", "10000301"}, {"message", ""}, {"data", {{"text", "企业列表读取失败"}}}}))
        << reply.body;
    // Outside device mode a company the client does not know is reported as 10000202.
    InstallClient(client, Json{{"scenario", {{"getCompanyInfos", {{"fail", {{"messageCode", "10000201"}, {"message", "未注册"}}}}}}}});
    reply = GetCompanyInfos(client);
    EXPECT_EQ(reply.json["code"], "10000202") << reply.body;
}

TEST_F(WorkerEndToEnd, ClientFolderMustBeALocalDrivePath) {
    const std::string missing = clients / "nobody here\\";
    EXPECT_EQ(GetCompanyInfos(missing).json["code"], "10009901");
    for (const char* path : {"\\\\server\\share\\KvPortal\\", "KvPortal\\", "\\\\?\\C:\\KvPortal\\", "\\\\.\\C:\\"}) {
        const HttpReply reply = GetCompanyInfos(path);
        EXPECT_EQ(reply.json["code"], "10009901") << path << ": " << reply.body;
    }
}

}  // namespace
}  // namespace nelto::test
