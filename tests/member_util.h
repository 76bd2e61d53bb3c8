// Test helpers for the member reader: sample data, peer tools, and reading a
// member in-process the way the extraction run does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "codec_memory.h"
#include "gzip.h"
#include "testutil.h"

namespace testutil {

inline bool have_tool(const std::string& name)
{
    return sh("command -v " + name + " >/dev/null 2>&1").status == 0;
}

// Text-like words, runs, and stretches of random bytes mixed, so a writer
// produces literals, short and long matches, and (for some writers) stored blocks.
inline std::string mixed_data(std::size_t n, unsigned seed)
{
    static const char* const words[] = {"the ",    "inflate ", "window ",  "block ",  "code ",  "length ",
                                        "dist ",   "huffman ", "tree ",    "\n",      "0123 ",  "vokra ",
                                        "stored ", "fixed ",   "dynamic ", "symbol ", "extra ", "bits "};
    std::string noise = random_bytes(n, seed);
    std::string s;
    s.reserve(n + 64);
    std::size_t i = 0;
    while (s.size() < n) {
        unsigned r = static_cast<unsigned char>(noise[i++ % n]);
        if (r < 200) {
            s += words[r % (sizeof words / sizeof *words)];
        } else if (r < 230) {
            s.append(1 + r % 40, static_cast<char>(r));
        } else {
            s.append(noise, (i * 7) % (n > 300 ? n - 300 : 1), std::min<std::size_t>(n, 1 + r));
        }
    }
    s.resize(n);
    return s;
}

// Reads the member in file `member` with get_method and unzip, in memory,
// into file `out`; expects both to succeed. The caller then compares `out`.
#define EXPECT_MEMBER_DECODES(member, out)                                                 \
    do {                                                                                   \
        const testutil::Decoded d_ = testutil::decode_member(testutil::read_file(member)); \
        EXPECT_EQ(d_.header.status, codec_status::ok);                                     \
        EXPECT_EQ(d_.body.status, codec_status::ok);                                       \
        testutil::write_file((out), d_.out);                                               \
    } while (0)

}  // namespace testutil
