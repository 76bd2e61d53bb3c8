// CRC-32: the CPU-specific path (where the CPU has one) and the portable table
// path give the same, known values for every length, alignment and split.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "gzip.h"
#include "testutil.h"

namespace {

// The CRC of s[off, off + len) on the chosen path; leaves the fastest path selected.
ulg crc_of(const std::string& s, std::size_t off, std::size_t len, bool portable)
{
    crc32_force_portable(portable);
    ulg crc = crc32_update(0, reinterpret_cast<const uch*>(s.data()) + off, len);
    crc32_force_portable(false);
    return crc;
}

TEST(Crc, BothPathsGiveTheKnownCheckValues)
{
    std::string check = "123456789";
    std::string long_check;  // 64 bytes and more take the folding path
    for (int i = 0; i < 8; i++) long_check += check;
    for (bool portable : {true, false}) {
        EXPECT_EQ(crc_of(check, 0, check.size(), portable), 0xCBF43926u);
        EXPECT_EQ(crc_of("abc", 0, 3, portable), 0x352441C2u);
        EXPECT_EQ(crc_of(std::string(), 0, 0, portable), 0u);
        // zlib.crc32(b"123456789" * 8) and of 100 zero bytes
        EXPECT_EQ(crc_of(long_check, 0, long_check.size(), portable), 0x8811A440u);
        EXPECT_EQ(crc_of(std::string(100, '\0'), 0, 100, portable), 0x9988C6CAu);
    }
}

TEST(Crc, PathsAgreeOnEveryShortLengthAndAlignment)
{
    std::string data = testutil::random_bytes(300 + 16, 11);
    for (std::size_t off = 0; off < 16; off++) {
        for (std::size_t len = 0; len <= 300; len++) {
            ASSERT_EQ(crc_of(data, off, len, false), crc_of(data, off, len, true))
                << "offset " << off << " length " << len;
        }
    }
}

TEST(Crc, PathsAgreeOnALongBufferWholeAndInPieces)
{
    std::string data = testutil::random_bytes((1 << 20) + 5, 12);
    const uch* p = reinterpret_cast<const uch*>(data.data());
    ulg expect = crc_of(data, 0, data.size(), true);
    EXPECT_EQ(crc_of(data, 0, data.size(), false), expect);
    EXPECT_EQ(crc_of(data, 3, data.size() - 3, false), crc_of(data, 3, data.size() - 3, true));
    // Pieces through updcrc as the window flushes and input reads feed it:
    // uneven sizes so blocks, 16-byte steps and tail bytes all meet the seams.
    for (bool portable : {true, false}) {
        crc32_force_portable(portable);
        updcrc(nullptr, 0);
        std::size_t done = 0;
        for (std::size_t piece = 1; done < data.size(); piece = piece * 7 % 40000 + 1) {
            std::size_t len = std::min(piece, data.size() - done);
            updcrc(p + done, static_cast<unsigned>(len));
            done += len;
        }
        EXPECT_EQ(updcrc(p, 0), expect) << (portable ? "portable" : "fastest");
        crc32_force_portable(false);
    }
}

}  // namespace
