// Compiled with the GBK execution character set: the names are spelled in
// UTF-8 here and stored as GBK bytes.
#include "carddata/NationNames.h"

#include <algorithm>
#include <iterator>

namespace carddata {
namespace {

struct NationEntry {
    std::int32_t code;
    const char* name;
};

// Sorted by code.
constexpr NationEntry kNations[] = {
    {1, "汉"},        {2, "蒙古"},     {3, "回"},        {4, "藏"},       {5, "维吾尔"},   {6, "苗"},
    {7, "彝"},        {8, "壮"},       {9, "布依"},      {10, "朝鲜"},    {11, "满"},      {12, "侗"},
    {13, "瑶"},       {14, "白"},      {15, "土家"},     {16, "哈尼"},    {17, "哈萨克"},  {18, "傣"},
    {19, "黎"},       {20, "傈僳"},    {21, "佤"},       {22, "畲"},      {23, "高山"},    {24, "拉祜"},
    {25, "水"},       {26, "东乡"},    {27, "纳西"},     {28, "景颇"},    {29, "柯尔克孜"}, {30, "土"},
    {31, "达斡尔"},   {32, "仫佬"},    {33, "羌"},       {34, "布朗"},    {35, "撒拉"},    {36, "毛南"},
    {37, "仡佬"},     {38, "锡伯"},    {39, "阿昌"},     {40, "普米"},    {41, "塔吉克"},  {42, "怒"},
    {43, "乌孜别克"}, {44, "俄罗斯"},  {45, "鄂温克"},   {46, "德昂"},    {47, "保安"},    {48, "裕固"},
    {49, "京"},       {50, "塔塔尔"},  {51, "独龙"},     {52, "鄂伦春"},  {53, "赫哲"},    {54, "门巴"},
    {55, "珞巴"},     {56, "基诺"},    {57, "穿青人"},   {97, "其他"},    {98, "外国血统中国籍人士"},
};

constexpr bool sortedByCode() {
    for (std::size_t i = 1; i < std::size(kNations); ++i) {
        if (kNations[i - 1].code >= kNations[i].code) return false;
    }
    return true;
}
static_assert(sortedByCode());

}  // namespace

std::string nationName(std::int32_t code) {
    const auto* found = std::lower_bound(std::begin(kNations), std::end(kNations), code,
                                         [](const NationEntry& entry, std::int32_t c) { return entry.code < c; });
    if (found == std::end(kNations) || found->code != code) return {};
    return found->name;
}

}  // namespace carddata
