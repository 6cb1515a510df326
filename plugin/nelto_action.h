#pragma once
// The twelve web actions under "nelto/rezaManager/". Each hands the request parameters to one
// worker service and writes the worker's result envelope back through the host's response.
//
// Threading: the host may run actions on several threads at once; they share the service lock,
// the log lock and nothing else.

#include <cstdint>
#include <string>

#include "plugin/framework.h"

namespace nelto {

class TQvNeltoAction : public TQvActionHandler {
public:
    std::wstring ClassName() const override { return L"TQvNeltoAction"; }

    bool loginREZA(IQvActionContext* Context);
    bool getDeclareStateInfo(IQvActionContext* Context);
    bool getPersonInfos(IQvActionContext* Context);
    bool checkPersonInfos(IQvActionContext* Context);
    bool savePersonInfos(IQvActionContext* Context);
    bool syncSalaryData(IQvActionContext* Context);
    bool startRezaSoft(IQvActionContext* Context);
    bool getKJSDSBGBInfos(IQvActionContext* Context);
    bool callREZAFunc(IQvActionContext* Context);
    bool existCompany(IQvActionContext* Context);
    bool getCompanyInfos(IQvActionContext* Context);
    bool updatePersonInfos(IQvActionContext* Context);

private:
    // Service number of the action; kFromFuncId: the parameters' "funcId".
    static constexpr std::int64_t kFromFuncId = -1;
    bool RunAction(IQvActionContext* Context, const char* name, std::int64_t serviceNumber, bool logParams = true);
};

// The controller description the host routes by (QvGetActionControllers).
const QvControllerInfo* NeltoControllers(std::uint32_t* count);

}  // namespace nelto
