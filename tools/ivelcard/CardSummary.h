// What a person reads of a readCert document: the holder's fields one per
// line (name, gender as 男/女, nation, birth date, address, number, issuing
// authority, validity) and the size of each picture, instead of the
// document's text with its Base64 images. A document that reports a failure
// is summarised as its message and flag. A build that carries the virtual
// reader ends the summary with a line saying so.
#pragma once

#include <string>

#include <json/json.h>

namespace host {

// The summary as UTF-8 lines, each ending in a line feed.
std::string summariseReadCert(const Json::Value& document, bool virtualReader);

// "102×126 JPEG, 1,018 bytes" for the Base64 text of a JPEG image; "none"
// for an empty one.
std::string describePicture(const std::string& base64);

}  // namespace host
