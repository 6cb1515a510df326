#include "worker/invoker_rules.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace nelto {
namespace {

std::vector<std::uint64_t> VersionParts(std::string_view text) {
    if (!text.empty() && (text.front() == 'v' || text.front() == 'V')) text.remove_prefix(1);
    std::vector<std::uint64_t> parts;
    while (true) {
        const auto dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (ec != std::errc() || end != part.data() + part.size()) value = 0;
        parts.push_back(value);
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return parts;
}

}  // namespace

bool VersionAtLeast(std::string_view installed, std::string_view required) {
    if (required.empty()) return true;
    if (installed.empty()) return false;
    const auto have = VersionParts(installed);
    const auto want = VersionParts(required);
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (i >= have.size()) return false;
        if (want[i] < have[i]) return true;
        if (want[i] != have[i]) return false;
    }
    return true;
}

std::string PreviousMonthText(int year, int month) {
    if (month <= 1) {
        month = 12;
        --year;
    } else {
        --month;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d", year, month);
    return text;
}

std::string VersionTagOf(std::string_view plain) {
    constexpr std::string_view open = "<VERSION>";
    constexpr std::string_view close = "</VERSION>";
    const auto start = plain.find(open);
    if (start == std::string_view::npos) return {};
    const auto from = start + open.size();
    const auto end = plain.find(close);
    if (end == std::string_view::npos || end < from) return {};
    return std::string(plain.substr(from, end - from));
}

}  // namespace nelto
