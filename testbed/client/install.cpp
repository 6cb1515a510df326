// client_install.exe <scenario.json> <client folder>
//
// Lays out a complete stand-in withholding client in <client folder> from a scenario file
// (UTF-8 JSON; see README.md beside this file for its keys): the client programs and the
// interface library copied from the installer's own folder, the enciphered component list and
// database configuration, the INI files, the SQLite database seeded with the scenario's
// companies, and optionally the registry value and the maker's company file that point to it.
// Exit code 0 on success, 1 on a usage error, 2 when the installation failed.

#include <windows.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/json_util.h"
#include "common/win/fs.h"
#include "common/win/handles.h"
#include "common/win/unicode.h"
#include "testbed/client/sqlite_db.h"
#include "worker/client_contract.h"
#include "worker/framed_cipher.h"

namespace {

using nelto::Json;

constexpr char kDefaultDatabase[] = "AppModules\\RODUD\\AppComs\\DB\\RODUD.db";
constexpr char kScenarioFile[] = "AppModules\\RODUD\\REZAInterface.scenario.json";
constexpr char kDefaultRegistryKey[] = "SOFTWARE\\Tarvesk\\KvPortal3.0";

// Library builds beside the installer, by variant.
constexpr char kLibrary[] = "REZAInterface.dll";
constexpr char kLibraryNoExports[] = "REZAInterface_noexports.dll";
constexpr char kLibraryNoExportsLacks[] = "getCompanyInfos";
constexpr char kLibraryDepend[] = "REZAInterface_depend.dll";

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '/') c = '\\';
    }
    return text;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string WithoutTrailingBackslash(std::string path) {
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

std::string LocalTimeText() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(nelto::Widen(path).c_str(), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class Installer {
public:
    Installer(Json scenario, std::string client)
        : scenario_(std::move(scenario)),
          client_(std::move(client)),
          source_(nelto::ExtractFilePath(nelto::ModuleFileName(nullptr))) {
        if (const Json* omit = nelto::JsonFind(scenario_, "omit"); omit && omit->is_array()) {
            for (const Json& item : *omit) {
                if (item.is_string()) omit_.push_back(Lower(item.get<std::string>()));
            }
        }
    }

    void Run() {
        if (!nelto::ForceDirectories(client_)) throw std::runtime_error("cannot create " + client_);
        for (const char* program : {"DeZazevozor.exe", "KvEvenue_SH.exe", "Tarveskbgup.exe"}) {
            Copy(program, program);
        }
        InstallLibrary();
        WriteComponentList();
        WriteStaticConfig();
        WriteUserConfig();
        const std::string database = DatabasePath();
        WriteDatabaseConfig(database);
        if (Wanted(database)) CreateDatabase(database);
        if (nelto::JsonBool(scenario_, "registry")) WriteRegistry();
        if (nelto::JsonBool(scenario_, "commonIni")) WriteCommonIni();
    }

private:
    // A path relative to the client folder (or absolute) that the scenario does not omit.
    bool Wanted(const std::string& path) const {
        std::string relative = Lower(path);
        const std::string base = Lower(client_);
        if (relative.rfind(base, 0) == 0) relative = relative.substr(base.size());
        for (const std::string& omitted : omit_) {
            if (omitted == relative) return false;
        }
        return true;
    }

    std::string Full(const std::string& relative) const { return client_ + relative; }

    void Prepare(const std::string& full) const {
        const std::string folder = nelto::ExtractFilePath(full);
        if (!folder.empty() && !nelto::ForceDirectories(folder)) {
            throw std::runtime_error("cannot create " + folder);
        }
    }

    void Write(const std::string& relative, const std::string& bytes) const {
        if (!Wanted(relative)) return;
        const std::string full = Full(relative);
        Prepare(full);
        std::ofstream out(nelto::Widen(full).c_str(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) throw std::runtime_error("cannot write " + full);
    }

    void Copy(const std::string& sourceName, const std::string& relative) const {
        if (!Wanted(relative)) return;
        const std::string from = source_ + sourceName;
        const std::string to = Full(relative);
        Prepare(to);
        if (!CopyFileW(nelto::Widen(from).c_str(), nelto::Widen(to).c_str(), FALSE)) {
            throw std::runtime_error("cannot copy " + from + " to " + to + " (error " +
                                     std::to_string(GetLastError()) + ")");
        }
    }

    void InstallLibrary() const {
        const std::string relative = nelto::client::kInterfaceLibrary;
        std::vector<std::string> missing;
        if (const Json* list = nelto::JsonFind(scenario_, "missingExports");
            list && list->is_array()) {
            for (const Json& item : *list) {
                if (item.is_string()) missing.push_back(item.get<std::string>());
            }
        }
        const bool dependency = nelto::JsonBool(scenario_, "missingDependency");
        if (nelto::JsonBool(scenario_, "corruptLibrary")) {
            Write(relative, std::string("This is not a Windows library.\r\n") +
                                std::string(512, '\x5A'));
        } else if (!missing.empty()) {
            for (const std::string& name : missing) {
                if (name != kLibraryNoExportsLacks) {
                    throw std::runtime_error("missingExports: only \"" +
                                             std::string(kLibraryNoExportsLacks) +
                                             "\" can be left out, not \"" + name + "\"");
                }
            }
            if (dependency) {
                throw std::runtime_error("missingExports and missingDependency do not combine");
            }
            Copy(kLibraryNoExports, relative);
        } else if (dependency) {
            Copy(kLibraryDepend, relative);
        } else {
            Copy(kLibrary, relative);
        }
        const std::string scenarioPath = Full(kScenarioFile);
        if (const Json* steer = nelto::JsonFind(scenario_, "scenario"); steer && steer->is_object()) {
            Write(kScenarioFile, steer->dump(2, ' ', false, Json::error_handler_t::replace));
        } else if (nelto::FileExists(scenarioPath)) {
            (void)nelto::DeleteFileUtf8(scenarioPath);
        }
    }

    void WriteComponentList() const {
        std::string version = nelto::JsonText(scenario_, "version");
        if (!scenario_.contains("version")) version = "V3.0.027";
        const std::string xml =
            "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<APPCOMS>\r\n"
            "\t<APPNAME>自然人电子税务局（扣缴端）</APPNAME>\r\n"
            "\t<VERSION>" + XmlEscape(version) + "</VERSION>\r\n"
            "\t<MODULES>\r\n\t\t<MODULE>RODUD</MODULE>\r\n\t</MODULES>\r\n</APPCOMS>\r\n";
        Write(nelto::client::kComponentList,
              nelto::EncryptFramedText(nelto::ToAnsi(xml), nelto::kClientFileKey));
    }

    void WriteStaticConfig() const {
        std::string area = nelto::JsonText(scenario_, "areaCode");
        if (!scenario_.contains("areaCode")) area = "44";
        Write(nelto::client::kStaticConfig,
              nelto::ToAnsi("[StaticInfo]\r\nEXECDEVICETYPE=0\r\nareaCode=" + area +
                            "\r\nInnerVerType=1\r\n"));
    }

    const Json& Companies() const {
        static const Json none = Json::array();
        const Json* list = nelto::JsonFind(scenario_, "companies");
        return list && list->is_array() ? *list : none;
    }

    void WriteUserConfig() const {
        std::string ini;
        for (const Json& company : Companies()) {
            std::string model = nelto::JsonText(company, "payTaxModel");
            if (model.empty()) model = "SFXY";
            ini += "[" + nelto::JsonText(company, "nsrsbh") + "]\r\nPayTaxModel=" + model + "\r\n";
        }
        Write(nelto::client::kClientUserConfig, nelto::ToAnsi(ini));
    }

    std::string DatabasePath() const {
        const std::string given = nelto::JsonText(scenario_, "databasePath");
        if (given.empty()) return Full(kDefaultDatabase);
        if (given.size() > 1 && (given[1] == ':' || given.rfind("\\\\", 0) == 0)) return given;
        return Full(given);
    }

    void WriteDatabaseConfig(const std::string& database) const {
        const std::string path = XmlEscape(database);
        const std::string t1 = "        ", t2 = t1 + t1, t3 = t2 + t1, t4 = t3 + t1;
        const std::string xml =
            "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n"
            "<DBCONFIG>\r\n" +
            t1 + "<DATABASES>\r\n" +
            t2 + "<DATABASE>\r\n" +
            t3 + "<DISPLAY>扣缴客户端本地数据库</DISPLAY>\r\n" +
            t3 + "<NAME>RODUDMainCon</NAME>\r\n" +
            t3 + "<ENABLE>1</ENABLE>\r\n" +
            t3 + "<DBTYPE>SQLITE</DBTYPE>\r\n" +
            t3 + "<CONTYPE>0</CONTYPE>\r\n" +
            t3 + "<COMMENT/>\r\n" +
            t3 + "<LOCALDB>" + path + "</LOCALDB>\r\n" +
            t3 + "<CONSTR/>\r\n" +
            t3 + "<DETAILS>\r\n" +
            t4 + "<PROVIDER>SQLITE</PROVIDER>\r\n" +
            t4 + "<DATASOURCE>" + path + "</DATASOURCE>\r\n" +
            t4 + "<PERSIST_SECURITY_INFO>False</PERSIST_SECURITY_INFO>\r\n" +
            t4 + "<USERID/>\r\n" +
            t4 + "<JET_OLEDB_PASSWORD/>\r\n" +
            t4 + "<MODE/>\r\n" +
            t4 + "<PASSWORD/>\r\n" +
            t3 + "</DETAILS>\r\n" +
            t2 + "</DATABASE>\r\n" +
            t1 + "</DATABASES>\r\n" +
            t1 + "<DATABACKUP_PATH/>\r\n" +
            t1 + "<DATABACKUP_LOG/>\r\n"
            "</DBCONFIG>\r\n";
        Write(nelto::client::kDatabaseConfig,
              nelto::EncryptFramedText(nelto::ToAnsi(xml), nelto::kClientFileKey));
    }

    void CreateDatabase(const std::string& path) const {
        Prepare(path);
        if (nelto::FileExists(path) && !nelto::DeleteFileUtf8(path)) {
            throw std::runtime_error("cannot replace " + path);
        }
        nelto::stub::SqliteDb db(path, true);
        db.Exec(
            "CREATE TABLE KJYWRXXB (KJYWRID INTEGER PRIMARY KEY, KJYWRBM TEXT, KJYWRMC TEXT, "
            "DJXH TEXT, ZGSWJG TEXT, ZGSWJGMC TEXT, CWFZR TEXT, FRDB TEXT, DZ TEXT, YZBM TEXT, "
            "DH TEXT, DZXX TEXT, DJZCLX TEXT, JJLXMC TEXT, HY TEXT, HYMC TEXT, ZGSWSKFJ_DM TEXT, "
            "ZGSWSKFJ_MC TEXT, KZZTDJLX_DM TEXT, KZZTDJLX_MC TEXT, DJRQ TEXT, JDXZDM TEXT);"
            "CREATE TABLE KJYWRXXBMFB (KJYWRBM TEXT, KJYWRID INTEGER, YXBZ TEXT);"
            "CREATE TABLE SBZB (SBID INTEGER PRIMARY KEY, KJYWRID INTEGER, SBSJ TEXT, SDYF TEXT, "
            "NSRS INTEGER, SJYNSE REAL, SBBZ INTEGER, BBLB TEXT);"
            "CREATE TABLE ZCGZXJMXB (MXID INTEGER PRIMARY KEY, KJYWRID INTEGER, RYID INTEGER, "
            "SDYF TEXT, SDXM TEXT, SRE REAL);"
            "CREATE TABLE RYXXB (RYID INTEGER PRIMARY KEY, KJYWRID INTEGER, XM TEXT, ZZLX TEXT, "
            "ZZHM TEXT, RYZT TEXT);");
        db.Exec("BEGIN");
        // Scenario key -> column of KJYWRXXB, in column order after KJYWRID.
        static const std::pair<const char*, const char*> columns[] = {
            {"nsrsbh", "KJYWRBM"},         {"kjywrmc", "KJYWRMC"},
            {"djxh", "DJXH"},              {"zgswjg", "ZGSWJG"},
            {"zgswjgmc", "ZGSWJGMC"},      {"cwfzr", "CWFZR"},
            {"fddbr", "FRDB"},             {"address", "DZ"},
            {"yzbm", "YZBM"},              {"lxdh", "DH"},
            {"dzyx", "DZXX"},              {"jjlx", "DJZCLX"},
            {"jjlxmc", "JJLXMC"},          {"hy", "HY"},
            {"hymc", "HYMC"},              {"zgswskfj_dm", "ZGSWSKFJ_DM"},
            {"zgswskfj_mc", "ZGSWSKFJ_MC"}, {"kzztdjlx_dm", "KZZTDJLX_DM"},
            {"kzztdjlx_mc", "KZZTDJLX_MC"}, {"djrq", "DJRQ"},
            {"jdxzdm", "JDXZDM"},
        };
        std::string names = "KJYWRID", marks = "?1";
        int n = 1;
        for (const auto& [key, column] : columns) {
            names += std::string(",") + column;
            marks += ",?" + std::to_string(++n);
        }
        auto company = db.Prepare("INSERT INTO KJYWRXXB (" + names + ") VALUES (" + marks + ")");
        auto registration =
            db.Prepare("INSERT INTO KJYWRXXBMFB (KJYWRBM, KJYWRID, YXBZ) VALUES (?1, ?2, ?3)");
        auto person = db.Prepare(
            "INSERT INTO RYXXB (KJYWRID, XM, ZZLX, ZZHM, RYZT) VALUES (?1, ?2, ?3, ?4, ?5)");
        auto declaration = db.Prepare(
            "INSERT INTO SBZB (KJYWRID, SBSJ, SDYF, NSRS, SJYNSE, SBBZ, BBLB) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        auto salary =
            db.Prepare("INSERT INTO ZCGZXJMXB (KJYWRID, SDYF, SDXM) VALUES (?1, ?2, ?3)");
        std::int64_t next = 1;
        for (const Json& item : Companies()) {
            const std::int64_t id =
                item.contains("kjywrid") ? nelto::JsonInt(item, "kjywrid") : next;
            next = id + 1;
            company.Bind(1, id);
            int index = 1;
            for (const auto& [key, column] : columns) {
                ++index;
                if (item.contains(key)) company.Bind(index, nelto::JsonText(item, key));
            }
            company.Run();
            std::string valid = nelto::JsonText(item, "yxbz");
            if (!item.contains("yxbz")) valid = "1";
            registration.Bind(1, nelto::JsonText(item, "nsrsbh")).Bind(2, id).Bind(3, valid);
            registration.Run();
            for (const Json& e : List(item, "employees")) {
                std::string type = nelto::JsonText(e, "zzlx");
                std::string state = nelto::JsonText(e, "ryzt");
                person.Bind(1, id).Bind(2, nelto::JsonText(e, "xm"))
                    .Bind(3, type.empty() ? "201" : type).Bind(4, nelto::JsonText(e, "zzhm"))
                    .Bind(5, state.empty() ? "1" : state);
                person.Run();
            }
            for (const Json& d : List(item, "declarations")) {
                std::string bblb = nelto::JsonText(d, "bblb");
                declaration.Bind(1, id).Bind(2, nelto::JsonText(d, "sbsj"))
                    .Bind(3, nelto::JsonText(d, "sdyf")).Bind(4, nelto::JsonInt(d, "nsrs"))
                    .BindDouble(5, std::stod("0" + Number(nelto::JsonText(d, "sjynse"))))
                    .Bind(6, d.contains("sbbz") ? nelto::JsonInt(d, "sbbz") : std::int64_t{2})
                    .Bind(7, bblb.empty() ? "SB0603" : bblb);
                declaration.Run();
            }
            for (const Json& s : List(item, "salaries")) {
                std::string itemCode = nelto::JsonText(s, "sdxm");
                salary.Bind(1, id).Bind(2, nelto::JsonText(s, "sdyf"))
                    .Bind(3, itemCode.empty() ? "0101" : itemCode);
                salary.Run();
            }
        }
        db.Exec("COMMIT");
    }

    static const Json& List(const Json& item, const char* key) {
        static const Json none = Json::array();
        const Json* list = nelto::JsonFind(item, key);
        return list && list->is_array() ? *list : none;
    }

    // "12.5" stays, anything that is not a plain decimal becomes "" (read as 0).
    static std::string Number(const std::string& text) {
        if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return {};
        return text;
    }

    void WriteRegistry() const {
        std::string key = kDefaultRegistryKey, value = "InstalledPath";
        if (const Json* r = nelto::JsonFind(scenario_, "registry"); r && r->is_object()) {
            if (!nelto::JsonText(*r, "key").empty()) key = nelto::JsonText(*r, "key");
            if (!nelto::JsonText(*r, "value").empty()) value = nelto::JsonText(*r, "value");
        }
        nelto::UniqueKey handle;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, nelto::Widen(key).c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, handle.put(), nullptr) != ERROR_SUCCESS) {
            throw std::runtime_error("cannot create HKCU\\" + key);
        }
        const std::wstring data = nelto::Widen(WithoutTrailingBackslash(client_));
        if (RegSetValueExW(handle.get(), nelto::Widen(value).c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(data.c_str()),
                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) !=
            ERROR_SUCCESS) {
            throw std::runtime_error("cannot set HKCU\\" + key + " " + value);
        }
    }

    void WriteCommonIni() const {
        std::string section = "KvPortalPath_GS", time = LocalTimeText();
        if (const Json* c = nelto::JsonFind(scenario_, "commonIni"); c && c->is_object()) {
            if (!nelto::JsonText(*c, "section").empty()) section = nelto::JsonText(*c, "section");
            if (!nelto::JsonText(*c, "time").empty()) time = nelto::JsonText(*c, "time");
        }
        const std::string folder = nelto::SystemDriveRoot() + "Tarvesk\\Common\\";
        if (!nelto::ForceDirectories(folder)) throw std::runtime_error("cannot create " + folder);
        const std::wstring ini = nelto::Widen(folder + "RODUDCompany.ini");
        const std::wstring path = nelto::Widen(WithoutTrailingBackslash(client_));
        for (const Json& company : Companies()) {
            const std::wstring id = nelto::Widen(nelto::JsonText(company, "nsrsbh"));
            const std::wstring entry = nelto::Widen("TIME=" + time + ";");
            if (!WritePrivateProfileStringW(nelto::Widen(section).c_str(), id.c_str(),
                                            path.c_str(), ini.c_str()) ||
                !WritePrivateProfileStringW(id.c_str(), id.c_str(), entry.c_str(), ini.c_str())) {
                throw std::runtime_error("cannot write " + nelto::Narrow(ini));
            }
        }
    }

    Json scenario_;
    std::string client_;
    std::string source_;
    std::vector<std::string> omit_;
};

void Print(FILE* stream, const std::string& utf8) {
    std::fputs(nelto::ToAnsi(utf8 + "\n").c_str(), stream);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc != 3) {
            Print(stderr, "usage: client_install.exe <scenario.json> <client folder>");
            return 1;
        }
        const std::string scenarioPath = nelto::Narrow(argv[1]);
        std::string text = ReadFileBytes(scenarioPath);
        if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
        const auto scenario = nelto::ParseJsonObject(text);
        if (!scenario) throw std::runtime_error(scenarioPath + " is not a JSON object");
        // "C:\client\" on a command line arrives as C:\client" (the backslash escapes the quote).
        std::wstring folder = argv[2];
        if (!folder.empty() && folder.back() == L'"') folder.back() = L'\\';
        wchar_t full[MAX_PATH * 2] = {};
        if (!GetFullPathNameW(folder.c_str(), MAX_PATH * 2, full, nullptr)) {
            throw std::runtime_error("bad client folder " + nelto::Narrow(argv[2]));
        }
        const std::string client = nelto::IncludeTrailingBackslash(nelto::Narrow(full));
        Installer(*scenario, client).Run();
        Print(stdout, "installed " + client);
        return 0;
    } catch (const std::exception& e) {
        Print(stderr, std::string("client_install: ") + e.what());
        return 2;
    }
}
