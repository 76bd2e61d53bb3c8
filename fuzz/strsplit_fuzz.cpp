// libFuzzer target: ap_strsplit on arbitrary text and separator sets.
//
// Input: byte 0 modulo 4 is the number of separator characters, taken from
// the bytes after it; the rest, up to a NUL, is the text. Every result must be
// a well-formed list whose items hold no more characters than the text; for a
// text without quotes or backslashes it must be the plain split (a trailing
// empty field dropped).
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "strsplit.h"

namespace {

std::vector<std::string> plain_split(const std::string& text, const std::string& seps)
{
    std::vector<std::string> fields;
    if (text.empty()) return fields;
    std::string cur;
    for (char c : text) {
        if (seps.find(c) != std::string::npos) {
            fields.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) fields.push_back(cur);
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    std::size_t nsep = data[0] % 4u;
    if (size < 1 + nsep) return 0;
    std::string seps(reinterpret_cast<const char*>(data) + 1, nsep);
    seps = seps.c_str();  // a NUL ends the set early
    std::string text(reinterpret_cast<const char*>(data) + 1 + nsep, size - 1 - nsep);
    text = text.c_str();

    APLIST list = ap_strsplit(text.c_str(), seps.c_str());
    FUZZ_CHECK(list != nullptr);
    std::vector<std::string> items;
    std::size_t chars = 0;
    for (void** p = list; *p != nullptr; p++) {
        items.emplace_back(static_cast<const char*>(*p));
        chars += items.back().size();
    }
    FUZZ_CHECK(ap_len(list) == static_cast<int>(items.size()));
    FUZZ_CHECK(ap_valid(list) == 0);
    FUZZ_CHECK(chars <= text.size());
    if (text.find_first_of("\"\\") == std::string::npos) FUZZ_CHECK(items == plain_split(text, seps));
    ap_destroy(list);
    return 0;
}
