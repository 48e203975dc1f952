#include "tools/ivelcard/CardSummary.h"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <optional>

#include "cardface/Base64Decoder.h"

namespace host {
namespace {

struct GenderName {
    int code;
    const char* name;
};
constexpr GenderName kGenders[] = {{1, "男"}, {0, "女"}};

// The rows of the summary: label, then how the value is made. Rows of
// members only some card types have are left out when the member is absent.
enum class Shape { Text, Gender, Date, Validity, CardType };
struct Row {
    const char* label;
    const char* key;
    Shape shape;
    bool whenPresent = false;
};
constexpr Row kRows[] = {
    {"type", "cardType", Shape::CardType, true},
    {"name", "partyName", Shape::Text},
    {"english", "englishName", Shape::Text, true},
    {"gender", "gender", Shape::Gender},
    {"nation", "nation", Shape::Text},
    {"country", "nationality", Shape::Text, true},
    {"born", "bornDay", Shape::Date},
    {"address", "certAddress", Shape::Text},
    {"number", "certNumber", Shape::Text},
    {"permit", "passNumber", Shape::Text, true},
    {"issues", "issueCount", Shape::Text, true},
    {"authority", "certOrg", Shape::Text},
    {"valid", "effDate", Shape::Validity},
};

struct CardTypeName {
    const char* mark;
    const char* name;
};
constexpr CardTypeName kCardTypes[] = {
    {"I", "I, foreign permanent resident card"},
    {"J", "J, residence permit for Hong Kong, Macao and Taiwan residents"},
};

struct Picture {
    const char* label;
    const char* key;
};
constexpr Picture kPictures[] = {
    {"portrait", "identityPic"}, {"front", "base64ID_PicFront"}, {"back", "base64ID_PicBack"}};

constexpr int kLabelWidth = 10;

// "YYYYMMDD" as "YYYY-MM-DD"; any other text as it is.
std::string date(const std::string& text) {
    if (text.size() != 8 || text.find_first_not_of("0123456789") != std::string::npos) return text;
    return text.substr(0, 4) + "-" + text.substr(4, 2) + "-" + text.substr(6, 2);
}

std::string value(const Json::Value& content, const Row& row) {
    const Json::Value& field = content[row.key];
    switch (row.shape) {
    case Shape::Gender:
        for (const GenderName& gender : kGenders) {
            if (field.isInt() && field.asInt() == gender.code) return gender.name;
        }
        return field.isInt() ? "unknown (" + std::to_string(field.asInt()) + ")" : "unknown";
    case Shape::Date: return date(field.asString());
    case Shape::Validity: {
        // The end of a long-term card's validity is a text ("长期"), not a date.
        return date(field.asString()) + " to " + date(content["expDate"].asString());
    }
    case Shape::CardType:
        for (const CardTypeName& type : kCardTypes) {
            if (field.asString() == type.mark) return type.name;
        }
        return field.asString() + ", a card whose layout is not known";
    case Shape::Text: break;
    }
    return field.asString();
}

std::string withThousands(std::size_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf escape;
};

struct Size {
    unsigned width;
    unsigned height;
};

// The picture's size from its JPEG header, or nothing when it is no JPEG.
std::optional<Size> jpegSize(const std::string& bytes) {
    jpeg_decompress_struct info{};
    JpegErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<JpegErrors*>(common->err)->escape, 1);
    };
    errors.manager.output_message = [](j_common_ptr) {};
    jpeg_create_decompress(&info);
    std::optional<Size> size;
    if (setjmp(errors.escape) == 0) {
        jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) size = Size{info.image_width, info.image_height};
    }
    jpeg_destroy_decompress(&info);
    return size;
}

std::string line(const char* label, const std::string& text) {
    std::string out = label;
    out.resize(std::max<std::size_t>(out.size() + 1, kLabelWidth), ' ');
    return out + text + "\n";
}

}  // namespace

std::string describePicture(const std::string& base64) {
    if (base64.empty()) return "none";
    const std::string bytes = cardface::base64Decode(base64);
    const std::optional<Size> size = jpegSize(bytes);
    const std::string length = withThousands(bytes.size()) + " bytes";
    if (!size) return "not a JPEG, " + length;
    return std::to_string(size->width) + "×" + std::to_string(size->height) + " JPEG, " + length;
}

std::string summariseReadCert(const Json::Value& document, bool virtualReader) {
    const std::string note = virtualReader ? "virtual reader: reads a sample card, not a real reader\n" : "";
    if (document["resultFlag"].asInt() != 0) {
        return "the card was not read: " + document["errorMsg"].asString() + " (resultFlag " +
               std::to_string(document["resultFlag"].asInt()) + ")\n" + note;
    }
    static const Json::Value kNothing{Json::objectValue};
    const Json::Value& content = document["resultContent"].isObject() ? document["resultContent"] : kNothing;
    std::string out;
    for (const Row& row : kRows) {
        if (!row.whenPresent || content.isMember(row.key)) out += line(row.label, value(content, row));
    }
    for (const Picture& picture : kPictures) out += line(picture.label, describePicture(content[picture.key].asString()));
    return out + note;
}

}  // namespace host
