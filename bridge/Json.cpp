#include "bridge/Json.h"

#include <exception>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

namespace bridge {

namespace {

// How deep arrays and objects nest, counted without parsing; strings (and
// the brackets inside them) are skipped. Stops counting past `limit`.
int nestingDepth(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return depth;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return depth;
}

}  // namespace

std::optional<Json::Value> parseJson(std::string_view text, std::string* error) {
    if (nestingDepth(text, kMaxJsonDepth) > kMaxJsonDepth) {
        if (error) *error = "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        return std::nullopt;
    }
    try {
        Json::CharReaderBuilder builder;
        Json::CharReaderBuilder::strictMode(&builder.settings_);
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value value;
        std::string errors;
        if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
            if (error) *error = errors;
            return std::nullopt;
        }
        return value;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
}

std::string compactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

}  // namespace bridge
