#pragma once
// The usage record posted after every action. Portable: no windows.h.

#include <cstdint>
#include <string>
#include <string_view>

#include "common/json_util.h"

namespace nelto {

// params: the request parameters (nullptr: none); result: the parsed result envelope (nullptr:
// none); mark: the action's address; cost: milliseconds; mac: GetMacList().
Json BuildUsageRecord(const Json* params, const Json* result, const std::string& mark, std::uint32_t cost,
                      const std::string& mac);

// "001122AABBCC" -> "00-11-22-AA-BB-CC"; empty unless the length is even and not zero.
std::string FormatMac(std::string_view hex);

// Whole seconds an HTTP request may wait for timeoutMs: timeoutMs / 1000 rounded to the nearest
// second, ties to even, at least 1; 0 stays 0 (no limit).
std::uint32_t HttpWaitSeconds(std::uint32_t timeoutMs);

}  // namespace nelto
