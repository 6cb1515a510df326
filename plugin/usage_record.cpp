#include "plugin/usage_record.h"

namespace nelto {
namespace {

constexpr const char* kSuccessCode = "00000000";
// What the record says when the action did not even get its parameters.
constexpr const char* kNoParamsCode = "X99999999";
constexpr const char* kNoParamsReason = "调用组件功能点异常,请稍后重试";

// The flags of the result's data object that are passed on as "1".
void AddDataFlags(const Json& data, Json& other) {
    for (const char* flag : {"CheckUpdateEnvironment", "REZAVerLower", "UpdateReza"}) {
        if (JsonBool(data, flag)) other[flag] = "1";
    }
    const std::string version = JsonText(data, "REZAVersion");
    if (!version.empty()) other["UpdateReza"] = version;
}

}  // namespace

Json BuildUsageRecord(const Json* params, const Json* result, const std::string& mark, std::uint32_t cost,
                      const std::string& mac) {
    Json other = Json::object();
    std::string status = "fail";
    std::string reason;
    if (params) {
        if (!JsonText(*params, "code").empty()) other["code"] = std::to_string(JsonInt(*params, "code"));
        // No result (the action failed before one was parsed): the message code is empty, so the
        // record says "fail" with an empty reason; there is no data to report.
        const std::string messageCode = result ? JsonText(*result, "messageCode") : std::string();
        other["messageCode"] = messageCode;
        other["companyName"] = JsonText(*params, "companyName");
        if (result) {
            const Json* data = JsonFind(*result, "data");
            if (data && data->is_object()) AddDataFlags(*data, other);
            if (messageCode == kSuccessCode) {
                status = "succeed";
            } else {
                // The data object as compact JSON text; a text is taken as it is, a missing or
                // null data gives "".
                reason = JsonText(*result, "data");
            }
        }
    } else {
        other["messageCode"] = kNoParamsCode;
        reason = kNoParamsReason;
    }

    Json record = Json::object();
    record["cjlx"] = "pqweb";
    record["rjdm"] = "httpd_service_nelto";
    record["mark"] = mark;
    record["entrance"] = "";
    record["otherParameters"] = std::move(other);
    record["nsrsbh"] = params ? JsonText(*params, "nsrsbh") : std::string();
    record["accountName"] = params ? JsonText(*params, "mobile") : std::string();
    record["locationCode"] = params ? JsonText(*params, "locationCode") : std::string();
    record["status"] = status;
    record["reason"] = reason;
    record["djxh"] = "";
    record["source"] = "";
    record["mac"] = mac;
    record["requestUrl"] = "";
    record["cost"] = std::to_string(cost);
    return record;
}

std::string FormatMac(std::string_view hex) {
    if (hex.empty() || hex.size() % 2 != 0) return {};
    std::string out;
    out.reserve(hex.size() + hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i > 0) out += '-';
        out.append(hex.substr(i, 2));
    }
    return out;
}

std::uint32_t HttpWaitSeconds(std::uint32_t timeoutMs) {
    if (timeoutMs == 0) return 0;
    std::uint32_t seconds = timeoutMs / 1000;
    const std::uint32_t rest = timeoutMs % 1000;
    if (rest > 500 || (rest == 500 && seconds % 2 != 0)) ++seconds;
    return seconds == 0 ? 1 : seconds;
}

}  // namespace nelto
