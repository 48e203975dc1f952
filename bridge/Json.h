// JSON as the bridge reads and writes it. Every JSON text the bridge parses
// (request bodies, WebSocket messages, configuration files, the control's
// documents) goes through parseJson: strict (one value and nothing after
// it, no comments, no duplicate keys, an object or an array at the top),
// nested at most kMaxJsonDepth deep, and it never throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <json/value.h>

namespace bridge {

// Arrays and objects nested deeper than this are refused before parsing.
constexpr int kMaxJsonDepth = 64;

// The value of `text`, or nothing (with the reason in `error` when given).
std::optional<Json::Value> parseJson(std::string_view text, std::string* error = nullptr);

// One line of JSON, UTF-8 unescaped.
std::string compactJson(const Json::Value& value);

}  // namespace bridge
