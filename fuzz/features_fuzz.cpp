// libFuzzer target: add_feature and get_feature (and strtrim through it) on
// arbitrary items and keys.
//
// Input: a list of words separated by NUL bytes; a word whose first byte is
// odd is an item to add, an even one a key to look up (both without that
// first byte). Checked against plain string operations: the feature string
// never passes 1023 characters and grows exactly by ",item" when it has room;
// a lookup finds the first occurrence, cut at 255 characters, and when a comma
// closed it, ends at that comma without trailing white space.
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "vokra.h"

namespace {

std::string expected_lookup(const std::string& hay, std::size_t at)
{
    std::string r = hay.substr(at, FEATURE_ITEM_MAX - 1);
    std::size_t comma = r.find(',');
    if (comma == std::string::npos) return r;
    r.resize(comma);
    while (!r.empty() && std::strchr(" \n\t\r", r.back()) != nullptr) r.pop_back();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    set_preamble("", "", "", "");
    set_progname("fuzz");
    std::string model;
    const char* p = reinterpret_cast<const char*>(data);
    const char* end = p + size;
    while (p < end) {
        const char* nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(end - p)));
        std::string word(p, nul != nullptr ? nul : end);
        p = nul != nullptr ? nul + 1 : end;
        if (word.empty()) continue;
        std::string arg = word.substr(1);
        if (word[0] & 1) {
            std::string grown = model.empty() ? arg : model + "," + arg;
            int saved = fuzz::silence_stderr();
            int rc = add_feature(arg.c_str());
            fuzz::restore_stderr(saved);
            FUZZ_CHECK((rc == 0) == (grown.size() < PREAMBLE_BUFSIZ));
            if (rc == 0) model = grown;
            FUZZ_CHECK(model == driver.features);
        } else {
            const char* got = get_feature(arg.c_str());
            std::size_t at = model.find(arg);
            FUZZ_CHECK((got == nullptr) == (at == std::string::npos));
            if (got != nullptr) FUZZ_CHECK(expected_lookup(model, at) == got);
        }
    }
    return 0;
}
