// The text form of a result document.
//
// Objects are written with one member per line, three spaces of indentation
// per level, `"key" : value`, members in ascending byte order of their keys,
// "{}" for an empty object, and a final line feed. Strings are escaped by
// character of the ANSI code page: a multi-byte character is copied whole
// (also when a trail byte equals the backslash); the quotation mark,
// backslash and control characters U+0000 to U+001F are escaped; everything
// else, every multi-byte character included, passes unchanged. A byte from
// 0x80 up that starts no complete character becomes '?'.
#pragma once

#include <json/value.h>
#include <json/writer.h>

#include <string>

#include "platform/Com.h"

namespace control {

std::string writeDocument(const Json::Value& document);

// The document written and converted from the ANSI code page to a new BSTR.
// The text and its UTF-16 copy are made in buffers kept for the next
// document, so that a read does not release and claim them again each time.
platform::BSTR documentToBstr(const Json::Value& document);

}  // namespace control
