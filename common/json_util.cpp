#include "common/json_util.h"

#include <charconv>
#include <cmath>

namespace nelto {

std::string ToCompactJson(const Json& value) {
    return value.dump(-1, ' ', true, Json::error_handler_t::replace);
}

std::optional<Json> ParseJsonObject(std::string_view text) {
    Json parsed = Json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

const Json* JsonFind(const Json& root, std::string_view path) {
    const Json* node = &root;
    while (true) {
        if (!node->is_object()) return nullptr;
        const auto dot = path.find('.');
        const std::string key(path.substr(0, dot));
        const auto it = node->find(key);
        if (it == node->end()) return nullptr;
        node = &*it;
        if (dot == std::string_view::npos) return node;
        path.remove_prefix(dot + 1);
    }
}

std::string JsonText(const Json& root, std::string_view path) {
    const Json* v = JsonFind(root, path);
    if (!v || v->is_null()) return {};
    if (v->is_string()) return v->get<std::string>();
    if (v->is_boolean()) return v->get<bool>() ? "true" : "false";
    return ToCompactJson(*v);
}

std::int64_t JsonInt(const Json& root, std::string_view path, std::int64_t def) {
    const Json* v = JsonFind(root, path);
    if (!v) return def;
    if (v->is_number_integer()) return v->get<std::int64_t>();
    if (v->is_number_unsigned()) return static_cast<std::int64_t>(v->get<std::uint64_t>());
    if (v->is_number_float()) {
        const double d = v->get<double>();
        return std::isfinite(d) && std::fabs(d) < 9.2e18 ? static_cast<std::int64_t>(d) : def;
    }
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    if (v->is_string()) {
        const std::string& s = v->get_ref<const std::string&>();
        std::string_view text(s);
        while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
        while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
        if (!text.empty() && text.front() == '+') text.remove_prefix(1);
        std::int64_t n = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) return n;
    }
    return def;
}

bool JsonBool(const Json& root, std::string_view path) {
    const Json* v = JsonFind(root, path);
    if (!v || v->is_null()) return false;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number_float()) return v->get<double>() != 0.0;
    if (v->is_number()) return v->get<std::int64_t>() != 0;
    if (v->is_string()) return !v->get_ref<const std::string&>().empty();
    return true;
}

}  // namespace nelto
