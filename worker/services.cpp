#include "worker/services.h"

#include <shellapi.h>

#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>

#include "common/daemon_log.h"
#include "common/exchange.h"
#include "common/win/fs.h"
#include "common/win/unicode.h"
#include "worker/invoker.h"

namespace nelto {
namespace {

using Operation = bool (*)(Json&, Json&);

template <const char* Name, Operation Op>
class TNeltoService final : public TNeltoFuncBase {
public:
    const char* ClassName() const override { return Name; }

protected:
    bool Invoke(Json& request, Json& result) override { return Op(request, result); }
};

// Class names as the log shows them.
constexpr char kLogin[] = "TNeltoLogin";
constexpr char kGetDeclareStateInfo[] = "TNeltoGetDeclareStateInfo";
constexpr char kGetPersonInfos[] = "TNeltoGetPersonInfos";
constexpr char kCheckPersonInfos[] = "TNeltoCheckPersonInfos";
constexpr char kSavePersonInfos[] = "TNeltoSavePersonInfos";
constexpr char kSyncSalaryData[] = "TNeltoSyncSalaryData";
constexpr char kStartSoft[] = "TNeltoStartSoft";
constexpr char kGetKJSDSBGBInfos[] = "TNeltoGetKJSDSBGBInfos";
constexpr char kExistCompany[] = "TNeltoExistCompany";
constexpr char kGetCompanyInfos[] = "TNeltoGetCompanyInfos";
constexpr char kGetAreaCode[] = "TNeltoGetAreaCode";
constexpr char kUpdatePersonInfos[] = "TNeltoUpdatePersonInfos";
constexpr char kGetREZAPath[] = "TNeltoGetREZAPath";
constexpr char kGetAllCompanyInfos[] = "TNeltoGetAllCompanyInfos";
constexpr char kGetLastMonthByFilledInSalary[] = "TNeltoGetLastMonthByFilledInSalary";
constexpr char kGetREZAVer[] = "TNeltoGetREZAVer";
constexpr char kGetSDXMInfos[] = "TNeltoGetSDXMInfos";
constexpr char kAddGZXJInfos[] = "TNeltoAddGZXJInfos";

template <const char* Name, Operation Op>
std::unique_ptr<TNeltoFuncBase> Make() {
    return std::make_unique<TNeltoService<Name, Op>>();
}

struct ServiceEntry {
    int number;
    std::unique_ptr<TNeltoFuncBase> (*create)();
};

const ServiceEntry ServiceTable[] = {
    {0, &Make<kLogin, &TDKDJInvoker::loginREZA>},
    {1, &Make<kGetDeclareStateInfo, &TDKDJInvoker::getDeclareStateInfo>},
    {2, &Make<kGetPersonInfos, &TDKDJInvoker::getPersonInfos>},
    {3, &Make<kCheckPersonInfos, &TDKDJInvoker::checkPersonInfos>},
    {4, &Make<kSavePersonInfos, &TDKDJInvoker::savePersonInfos>},
    {5, &Make<kSyncSalaryData, &TDKDJInvoker::syncSalaryData>},
    {6, &Make<kStartSoft, &TDKDJInvoker::startRezaSoft>},
    {7, &Make<kGetKJSDSBGBInfos, &TDKDJInvoker::getKJSDSBGBInfos>},
    {8, &Make<kExistCompany, &TDKDJInvoker::existCompany>},
    {9, &Make<kGetCompanyInfos, &TDKDJInvoker::getCompanyInfos>},
    {10, &Make<kGetAreaCode, &TDKDJInvoker::getAreaCode>},
    {11, &Make<kUpdatePersonInfos, &TDKDJInvoker::updatePersonInfos>},
    {12, &Make<kGetREZAPath, &TDKDJInvoker::getREZAPath>},
    {13, &Make<kGetAllCompanyInfos, &TDKDJInvoker::getAllCompanyInfos>},
    {14, &Make<kGetLastMonthByFilledInSalary, &TDKDJInvoker::getLastMonthByFilledInSalary>},
    {15, &Make<kGetREZAVer, &TDKDJInvoker::getREZAVer>},
    {16, &Make<kGetSDXMInfos, &TDKDJInvoker::getSDXMInfos>},
    {17, &Make<kAddGZXJInfos, &TDKDJInvoker::addGZXJInfos>},
};

void Log(const std::string& line) { DaemonLog().writeDebugLog(line); }

// The request file as ANSI text lines; raises when it cannot be read.
std::vector<std::string> LoadLines(const std::string& path) {
    std::ifstream in(Widen(path).c_str(), std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    std::vector<std::string> lines;
    std::istringstream text(FromAnsi(content.str()));
    std::string line;
    while (std::getline(text, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

const std::string& ServiceSection() {
    static const std::string section = [] {
        int count = 0;
        LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
        std::string first = args && count > 1 ? Narrow(args[1]) : std::string();
        if (args) LocalFree(args);
        return first;
    }();
    return section;
}

std::string WorkerServicePath() { return ExtractFilePath(ModuleFileName(nullptr)); }

DWORD WatchdogInterval() {
    if (const char* text = std::getenv("NELTO_TEST_WATCHDOG_MS")) {
        const long value = std::atol(text);
        if (value > 0) return static_cast<DWORD>(value);
    }
    return 300000;
}

void TerminateSelf() {
    HANDLE self = OpenProcess(PROCESS_TERMINATE, FALSE, GetCurrentProcessId());
    TerminateProcess(self ? self : GetCurrentProcess(), static_cast<UINT>(-1));
    ExitProcess(static_cast<UINT>(-1));
}

TNeltoFuncBase::TNeltoFuncBase() = default;

TNeltoFuncBase::~TNeltoFuncBase() {
    if (WatchdogTimer) KillTimer(nullptr, WatchdogTimer);
}

void TNeltoFuncBase::EnableWatchdog() {
    if (!WatchdogTimer) WatchdogTimer = SetTimer(nullptr, 0, WatchdogInterval(), &OnWatchdogTimer);
}

void CALLBACK TNeltoFuncBase::OnWatchdogTimer(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    TerminateSelf();
}

void TNeltoFuncBase::WriteResponse(const Json& result) {
    nelto::WriteResponse(WorkerServicePath(), ServiceSection(), RequestFile, result);
}

int TNeltoFuncBase::DoREZAEvent() {
    int result = -1;
    const std::string name = ClassName();
    Log("LogEnter[" + name + ".DoREZAEvent]");
    struct Leave {
        std::string name;
        ~Leave() { Log("LogLeave[" + name + ".DoREZAEvent]"); }
    } leave{name};
    const std::vector<std::string> lines = LoadLines(RequestFile);
    try {
        std::string text;
        for (const std::string& line : lines) text += line;
        std::optional<Json> request = ParseJsonObject(text);
        if (!request) throw std::runtime_error("request is not a JSON object");
        Json answer;
        if (Invoke(*request, answer)) result = 0;
        if (!answer.is_object()) throw std::runtime_error("no result object");
        WriteResponse(answer);
    } catch (const std::exception& e) {
        Log("[" + name + ".DoREZAEvent]:运行过程出现异常");
        Log(std::string("  ") + e.what());
    }
    return result;
}

void RunService(TNeltoFuncBase& service) {
    service.RequestFile = ReadInParam(WorkerServicePath(), ServiceSection());
    if (service.RequestFile.empty() || !FileExists(service.RequestFile)) return;
    service.EnableWatchdog();
    service.DoREZAEvent();
}

void DispatchService(int number) {
    bool found = false;
    for (const ServiceEntry& entry : ServiceTable) {
        if (entry.number != number) continue;
        found = true;
        DaemonLog().writeLogFmt("执行相关的代扣代缴服务:[sid:%d]", number);
        std::unique_ptr<TNeltoFuncBase> service = entry.create();
        try {
            RunService(*service);
        } catch (const std::exception& e) {
            DaemonLog().writeLogFmt("执行相关的代扣代缴服务[sid:%d] className:%s,出现异常err:%s,请检查", number,
                                    service->ClassName(), e.what());
            return;
        }
    }
    if (!found) DaemonLog().writeLogFmt("未找到代扣代缴服务[sid:%d],请检查", number);
}

}  // namespace nelto
