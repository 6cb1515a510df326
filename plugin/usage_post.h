#pragma once
// Posting the usage record: built on the action's thread, sent by a short-lived thread that
// nobody waits for. Failures are dropped silently.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/json_util.h"

namespace nelto {

// Builds the record and starts a TRDCJThread to post it; returns at once. Does nothing when no
// endpoint is configured. Never throws; true when a post thread was started.
bool PostUsageRecord(const Json* params, const Json* result, const std::string& address,
                     std::uint32_t cost) noexcept;

// "usageUrl" of [system] in KvConfigFileName(): where the records go; "" when not configured.
std::string UsageUrl();

// One HTTP request through WinHTTP. extraHeaders: "name=value" entries sent after the standard
// headers in list order. timeoutMs: 0 waits without limit, otherwise HttpWaitSeconds(timeoutMs)
// for each of resolve, connect, send and receive. The response body is decoded as UTF-8 when
// decodeUtf8 is set, else from the ANSI code page. Throws std::runtime_error "连接超时!" when the
// wait ends without a response and "连接服务器失败!" when the status is not 200 (also when the
// server cannot be reached at all).
std::string HttpRequestText(const std::string& url, const std::string& method, const std::string& body,
                            bool decodeUtf8, const std::vector<std::string>& extraHeaders, std::uint32_t timeoutMs);

// Where GetMacList looks for network adapters; the defaults are the real registry key and device
// query, tests inject their own.
struct MacSource {
    HKEY root = HKEY_LOCAL_MACHINE;
    std::string subKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
    // Hexadecimal permanent address of the adapter driven by a service; "" when unknown.
    std::function<std::string(const std::string& service)> query;  // empty: ReadAdapterMac
};

// The formatted addresses of the adapters, last registered first, joined by "|"; "" when none.
std::string GetMacList(const MacSource& source = {});

// Permanent address of the adapter of a network service as upper-case hexadecimal (two digits a
// byte, as many bytes as the driver returns); "" when the driver cannot be asked.
std::string ReadAdapterMac(const std::string& service);

}  // namespace nelto
