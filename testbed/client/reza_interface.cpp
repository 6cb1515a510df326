// Stand-in for the withholding client's interface library "AppModules\RODUD\REZAInterface.dll".
//
// Every export has the shape of worker/client_contract.h. The library lives in
// <client>\AppModules\RODUD\ and finds the client's SQLite database through the enciphered
// configuration <client>\AppModules\RODUD\AppComs\DB\GRSDSDB.dbc (its first <LOCALDB>).
//
// Tests steer single exports through "REZAInterface.scenario.json" beside the library, read at
// every call (absent or unreadable: normal behaviour):
//   {"<export>": {"fail": {"messageCode": "...", "message": "..."}}   answer that failure
//               | {"raise": true}      RaiseException with kScenarioExceptionCode
//               | {"crash": true}      write through a null pointer (access violation)
//               | {"notJson": true}    answer "this is not json" (result true)
//               | {"pumpMs": N}        pump window messages for N ms, then answer normally
//               | {"blockMs": N}       sleep N ms without pumping, then answer normally
//   }

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include "common/json_util.h"
#include "common/win/fs.h"
#include "common/win/unicode.h"
#include "testbed/client/sqlite_db.h"
#include "worker/client_contract.h"
#include "worker/framed_cipher.h"

namespace {

using nelto::Json;
using nelto::stub::SqliteDb;

constexpr DWORD kScenarioExceptionCode = 0xE0C1A001;
constexpr char kNotRegistered[] =
    "申报软件中还未注册当前企业，请确认是否插入正确的安全U盾。如需将企业注册至申报软件中请点击【"
    "自动注册】。";

// What one call does before (or instead of) answering.
enum class Action { Normal, Fail, Raise, Crash, NotJson, Pump, Block };

struct Plan {
    Action action = Action::Normal;
    DWORD milliseconds = 0;
    std::string code;
    std::string message;
};

// An answer of the library: the Boolean result and the JSON text.
struct Answer {
    bool ok = false;
    std::string text;
};

class ClientError : public std::exception {
public:
    ClientError(std::string code, std::string message)
        : code_(std::move(code)), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& code() const { return code_; }

private:
    std::string code_;
    std::string message_;
};

std::string LibraryFolder() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&LibraryFolder), &self);
    return nelto::ExtractFilePath(nelto::ModuleFileName(self));
}

// <client>\ from <client>\AppModules\RODUD\.
std::string ClientFolder() {
    std::string folder = LibraryFolder();
    for (int up = 0; up < 2; ++up) {
        if (!folder.empty()) folder.pop_back();
        folder = nelto::ExtractFilePath(folder);
    }
    return folder;
}

bool ReadFile(const std::string& path, std::string& bytes) {
    std::ifstream in(nelto::Widen(path).c_str(), std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    bytes = s.str();
    return true;
}

std::string Failure(const std::string& code, const std::string& message) {
    return Json{{"messageCode", code}, {"message", message}}.dump(
        -1, ' ', false, Json::error_handler_t::replace);
}

std::string Success(Json data) {
    return Json{{"data", std::move(data)}}.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Plan ReadPlan(const char* name) {
    Plan plan;
    std::string text;
    if (!ReadFile(LibraryFolder() + "REZAInterface.scenario.json", text)) return plan;
    const auto scenario = nelto::ParseJsonObject(text);
    if (!scenario) return plan;
    const Json* entry = nelto::JsonFind(*scenario, name);
    if (!entry || !entry->is_object()) return plan;
    if (const Json* fail = nelto::JsonFind(*entry, "fail"); fail && fail->is_object()) {
        plan.action = Action::Fail;
        plan.code = nelto::JsonText(*fail, "messageCode");
        plan.message = nelto::JsonText(*fail, "message");
    } else if (nelto::JsonBool(*entry, "raise")) {
        plan.action = Action::Raise;
    } else if (nelto::JsonBool(*entry, "crash")) {
        plan.action = Action::Crash;
    } else if (nelto::JsonBool(*entry, "notJson")) {
        plan.action = Action::NotJson;
    } else if (entry->contains("pumpMs")) {
        plan.action = Action::Pump;
        plan.milliseconds = static_cast<DWORD>(nelto::JsonInt(*entry, "pumpMs"));
    } else if (entry->contains("blockMs")) {
        plan.action = Action::Block;
        plan.milliseconds = static_cast<DWORD>(nelto::JsonInt(*entry, "blockMs"));
    }
    return plan;
}

void PumpMessages(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // Leave the quit request to the caller's own loop.
                PostQuitMessage(static_cast<int>(msg.wParam));
                return;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

// The first <LOCALDB> of the configuration, XML entities resolved.
std::string LocalDbPath(const std::string& xml) {
    const auto open = xml.find("<LOCALDB>");
    if (open == std::string::npos) return {};
    const auto begin = open + 9;
    const auto close = xml.find("</LOCALDB>", begin);
    if (close == std::string::npos) return {};
    std::string raw = xml.substr(begin, close - begin);
    if (raw.rfind("<![CDATA[", 0) == 0 && raw.size() >= 12) return raw.substr(9, raw.size() - 12);
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '&') {
            static const std::pair<const char*, char> entities[] = {
                {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
            bool done = false;
            for (const auto& [entity, ch] : entities) {
                if (raw.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
                    text += ch;
                    i += std::char_traits<char>::length(entity) - 1;
                    done = true;
                    break;
                }
            }
            if (done) continue;
        }
        text += raw[i];
    }
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// Opens the client's database as the configuration names it; failures as ClientError.
SqliteDb OpenDatabase() {
    const std::string dbc = ClientFolder() + nelto::client::kDatabaseConfig;
    std::string framed;
    if (!ReadFile(dbc, framed)) {
        throw ClientError("10000101", "数据库配置文件不存在：" + dbc);
    }
    std::string plain;
    if (nelto::DecryptFramedText(framed, nelto::kClientFileKey, plain) != nelto::kCipherOk) {
        throw ClientError("10000102", "数据库配置文件无法解密：" + dbc);
    }
    const std::string path = LocalDbPath(nelto::FromAnsi(plain));
    if (path.empty()) throw ClientError("10000103", "数据库配置文件中没有本地数据库路径");
    if (!nelto::FileExists(path)) throw ClientError("10000104", "本地数据库不存在：" + path);
    try {
        return SqliteDb(path, false);
    } catch (const std::exception& e) {
        throw ClientError("10000104", std::string("本地数据库无法打开：") + e.what());
    }
}

Json ParseRequest(const wchar_t* request) {
    if (!request) return Json::object();
    auto parsed = nelto::ParseJsonObject(nelto::Narrow(request));
    return parsed ? *parsed : Json::object();
}

constexpr char kRegisteredCompanies[] =
    "SELECT A.KJYWRBM, A.KJYWRMC, A.DJXH, A.ZGSWJG, A.ZGSWJGMC FROM KJYWRXXB A, KJYWRXXBMFB B "
    "WHERE A.KJYWRBM = B.KJYWRBM AND A.KJYWRID = B.KJYWRID AND B.YXBZ = '1'";

Answer InitRunEnvironment(const Json&) {
    SqliteDb db = OpenDatabase();
    try {
        auto count = db.Prepare("SELECT COUNT(*) FROM KJYWRXXB");
        count.Step();
        db.Prepare("SELECT COUNT(*) FROM KJYWRXXBMFB").Step();
    } catch (const std::exception& e) {
        throw ClientError("10000105", std::string("本地数据库结构不完整：") + e.what());
    }
    return {true, Success(Json::object())};
}

Answer CompanyLogin(const Json& request) {
    const std::string id = nelto::JsonText(request, "nsrsbh");
    SqliteDb db = OpenDatabase();
    auto query = db.Prepare(std::string(kRegisteredCompanies) +
                            " AND UPPER(A.KJYWRBM) = UPPER(?1) ORDER BY A.KJYWRID");
    query.Bind(1, id);
    if (id.empty() || !query.Step()) return {false, Failure("10000201", kNotRegistered)};
    return {true, Success(Json{{"nsrsbh", query.Text(0)},
                               {"kjywrmc", query.Text(1)},
                               {"djxh", query.Text(2)}})};
}

Answer GetCompanyInfos(const Json&) {
    SqliteDb db = OpenDatabase();
    auto query = db.Prepare(std::string(kRegisteredCompanies) + " ORDER BY A.KJYWRID");
    Json list = Json::array();
    while (query.Step()) {
        list.push_back(Json{{"nsrsbh", query.Text(0)},
                            {"kjywrmc", query.Text(1)},
                            {"djxh", query.Text(2)},
                            {"zgswjg", query.Text(3)},
                            {"zgswjgmc", query.Text(4)}});
    }
    return {true, Success(Json{{"companyList", std::move(list)}})};
}

Answer NotBuilt(const Json&) { return {false, Failure("10009997", "stand-in: not built")}; }

Answer Respond(const char* name, const wchar_t* request) {
    const Json parsed = ParseRequest(request);
    const std::string_view op = name;
    if (op == "initREZARunEnvironment") return InitRunEnvironment(parsed);
    if (op == "companyLogin") return CompanyLogin(parsed);
    if (op == "getCompanyInfos") return GetCompanyInfos(parsed);
    return NotBuilt(parsed);
}

void Store(BSTR* result, const std::string& text) {
    if (!result) return;
    const std::wstring wide = nelto::Widen(text);
    *result = SysAllocString(wide.c_str());
}

// Everything with C++ objects, so that the structured exceptions below leave no live frames
// that would need unwinding.
bool Run(const char* name, const wchar_t* request, BSTR* result, Action& fault) noexcept {
    try {
        const Plan plan = ReadPlan(name);
        switch (plan.action) {
            case Action::Raise:
            case Action::Crash:
                fault = plan.action;
                return false;
            case Action::Fail:
                Store(result, Failure(plan.code, plan.message));
                return false;
            case Action::NotJson:
                Store(result, "this is not json");
                return true;
            case Action::Pump:
                PumpMessages(plan.milliseconds);
                break;
            case Action::Block:
                Sleep(plan.milliseconds);
                break;
            case Action::Normal:
                break;
        }
        const Answer answer = Respond(name, request);
        Store(result, answer.text);
        return answer.ok;
    } catch (const ClientError& e) {
        try {
            Store(result, Failure(e.code(), e.what()));
        } catch (...) {
        }
    } catch (const std::exception& e) {
        try {
            Store(result, Failure("10009998", std::string("stand-in error: ") + e.what()));
        } catch (...) {
        }
    } catch (...) {
    }
    return false;
}

ClientBool Call(const char* name, const wchar_t* request, BSTR* result) {
    Action fault = Action::Normal;
    const bool ok = Run(name, request, result, fault);
    if (fault == Action::Raise) RaiseException(kScenarioExceptionCode, 0, 0, nullptr);
    if (fault == Action::Crash) {
        // Opaque to the optimiser, so this is a real write to address 0, not a trap instruction.
        volatile int* volatile target = nullptr;
        *target = 1;
    }
    return ok ? 1 : 0;
}

}  // namespace

#define NELTO_CLIENT_EXPORT(name)                                                   \
    extern "C" ClientBool __stdcall name(const wchar_t* request, BSTR* result) {   \
        return Call(#name, request, result);                                        \
    }

NELTO_CLIENT_EXPORT(initREZARunEnvironment)
NELTO_CLIENT_EXPORT(companyLogin)
NELTO_CLIENT_EXPORT(getCompanyInfos)
NELTO_CLIENT_EXPORT(getPersonInfos)
NELTO_CLIENT_EXPORT(addPersonInfos)
NELTO_CLIENT_EXPORT(updatePersonInfos)
NELTO_CLIENT_EXPORT(verifyPersonInfos)
NELTO_CLIENT_EXPORT(addGZXJInfos)
NELTO_CLIENT_EXPORT(getSDXMInfos)
NELTO_CLIENT_EXPORT(getDeclareStateInfo)
NELTO_CLIENT_EXPORT(getKJSDSBGBInfos)
