#pragma once
// JSON conventions of the system, on nlohmann's ordered_json. Portable: no windows.h.
//  - Exchange text: compact, every non-ASCII character written as a \u escape, so that the text
//    survives files kept in the ANSI code page.
//  - Reads with coercion by dotted path ("rezaPath.path"): a missing key reads as empty text, 0
//    or false; an integer may come as a numeric text; a Boolean is true for true, a non-zero
//    number and any non-empty text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nelto {

using Json = nlohmann::ordered_json;

// Compact text with \u escapes; invalid UTF-8 in strings is replaced, never thrown on.
std::string ToCompactJson(const Json& value);

// The parsed object, or nothing when the text is not a JSON object.
std::optional<Json> ParseJsonObject(std::string_view text);

// The value under a dotted path, or nullptr when some part is missing or not an object.
const Json* JsonFind(const Json& root, std::string_view path);

// Text of the value: strings as they are, numbers in decimal, Booleans "true"/"false",
// objects and arrays as compact JSON, missing and null as "".
std::string JsonText(const Json& root, std::string_view path);
// Integer of the value: numbers (fractions cut), numeric texts, true as 1; otherwise def.
std::int64_t JsonInt(const Json& root, std::string_view path, std::int64_t def = 0);
bool JsonBool(const Json& root, std::string_view path);

}  // namespace nelto
