// Charset names, as MIME headers and configuration files give them, to code
// page numbers.
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "replay/unicode/ascii.hpp"
#include "replay/unicode/unicode.hpp"

namespace replay::unicode {

namespace {

struct alias {
    std::string_view name;  // normalised: lower case, no "-" or "_"
    int code_page;
};

// In filling order. A name that occurs again later keeps its first code page.
constexpr alias aliases[] = {
    {"ascii", latin1}, {"usascii", latin1},
    {"isoir6", 1252}, {"isoir100", 1252}, {"iso646us", 1252},
    {"utf8", 65001}, {"unicode11utf8", 65001}, {"unicode20utf8", 65001},
    {"utf7", 65000}, {"unicode11utf7", 65000}, {"unicode20utf7", 65000},
    {"asmo780", 780},
    {"arabic", 28596}, {"csisolatinarabic", 28596}, {"ecma114", 28596}, {"isoir127", 28596},
    {"isoir110", 28594},
    {"gb18030", 54936},
    {"csgb2312", 936}, {"csgb231280", 936}, {"csiso58gb231280", 936}, {"cngb", 936},
    {"gbk", 936}, {"gb2312", 936}, {"gb231280", 936}, {"isoir58", 936},
    {"hzgb2312", 52936}, {"xmacchinesesimp", 52936},
    {"big5", 950}, {"cnbig5", 950}, {"csbig5", 950}, {"xxbig5", 950},
    {"xchinesecns", 20000},
    {"xchineseeten", 20002},
    {"euccn", 51936}, {"cseuccn", 51936}, {"xeuccn", 51936},
    {"csisolatincyrillic", 28595}, {"cyrillic", 28595}, {"isoir144", 28595},
    {"koi", 20866}, {"koi8", 20866}, {"koi8r", 20866},
    {"koi8u", 21866}, {"koi8ru", 21866},
    {"isoir101", 28592},
    {"xeuropa", 29001},
    {"xia5german", 20106},
    {"xia5swedish", 20107},
    {"xia5norwegian", 20108},
    {"csisolatingreek", 28597}, {"ecma118", 28597}, {"elot928", 28597}, {"greek", 28597},
    {"greek8", 28597}, {"isoir126", 28597},
    {"xmacgreek", 10006},
    {"csisolatinhebrew", 28598}, {"hebrew", 28598}, {"isoir138", 28598}, {"visual", 28598},
    {"iso88598i", 38598}, {"logical", 38598},
    {"xisciias", 10079}, {"xmacicelandic", 10079},
    {"xisciibe", 57006},
    {"xisciide", 57003},
    {"xisciigu", 57010},
    {"xisciika", 57008},
    {"xisciima", 57009},
    {"xisciior", 57007},
    {"xisciipa", 57011},
    {"xisciita", 57004},
    {"xisciite", 57005},
    {"csiso2022jp", 50221}, {"iso2022jp", 50221},
    {"csshiftjis", 932}, {"cswindows31j", 932}, {"mskanji", 932}, {"shiftjis", 932},
    {"xsjis", 932},
    {"eucjp", 51932}, {"cseucjp", 51932}, {"xeucjp", 51932},
    {"ksc5601", 949}, {"ksc56011987", 949}, {"csksc5601", 949}, {"csksc56011987", 949},
    {"isoir149", 949}, {"korean", 949},
    {"johab", 1361},
    {"euckr", 51949}, {"cseuckr", 51949}, {"xcseuckr", 51949},
    {"tis620", 874},
    {"isoir148", 1254},
    {"macintosh", 10000},
    {"xmacarabic", 10004},
    {"xmacce", 10029},
    {"xmacchinesetrad", 10002},
    {"xmaccyrillic", 10007},
    {"xmachebrew", 10005},
    {"xmacjapanese", 10001},
    {"xmackorean", 10003},
    // Latin-1 again; the entry above stays, so iso-ir-100 names code page 1252.
    {"isoir100", 28591},
};

constexpr std::size_t distinct_names() {
    std::size_t count = 0;
    for (std::size_t i = 0; i < std::size(aliases); ++i) {
        bool seen = false;
        for (std::size_t j = 0; j < i && !seen; ++j) seen = aliases[j].name == aliases[i].name;
        if (!seen) ++count;
    }
    return count;
}
static_assert(distinct_names() == 104, "the alias table names 104 charsets");

const std::map<std::string, int>& alias_table() {
    static const std::map<std::string, int> table = [] {
        std::map<std::string, int> filled;
        // emplace keeps the first code page of a repeated name.
        for (const alias& entry : aliases) filled.emplace(entry.name, entry.code_page);
        return filled;
    }();
    return table;
}

// Filled before main runs, so lookups never race on the first fill; callers
// from other static initialisers still get a complete table.
[[maybe_unused]] const std::map<std::string, int>& filled_at_start = alias_table();

// Names not in the table: the number after the prefix, with an offset for the
// ISO 8859 family.
struct prefix_rule {
    std::string_view prefix;
    int offset;
};
constexpr int iso8859_base = 28590;
constexpr prefix_rule prefix_rules[] = {
    {"iso8859", iso8859_base}, {"latin", iso8859_base}, {"csisolatin", iso8859_base},
    {"windows", 0}, {"dos", 0}, {"ibm", 0}, {"cp", 0},
};

std::string normalise(const std::string& name) {
    const std::string lowered = ascii_lower(name);
    std::string without_dashes;
    for (char c : lowered) {
        if (c != '-') without_dashes += c;
    }
    std::string result;
    for (char c : without_dashes) {
        if (c != '_') result += c;
    }
    return result;
}

}  // namespace

int codepage_from_name(const std::string& name) {
    const std::string key = normalise(name);
    const auto& table = alias_table();
    if (const auto found = table.find(key); found != table.end()) return found->second;
    for (const prefix_rule& rule : prefix_rules) {
        if (key.compare(0, rule.prefix.size(), rule.prefix) != 0) continue;
        const long number = std::strtol(key.c_str() + rule.prefix.size(), nullptr, 10);
        // Unsigned arithmetic: a number near the top of the range wraps
        // instead of overflowing.
        return static_cast<int>(static_cast<std::uint32_t>(number) +
                                static_cast<std::uint32_t>(rule.offset));
    }
    // Unknown: the conversions treat -1 as the direct Latin-1 mapping.
    return -1;
}

}  // namespace replay::unicode
