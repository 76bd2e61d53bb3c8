// Block emission: records in, one DEFLATE block out, checked by decoding it.
// Covers the edge cases of the tree builder and of the block-type choice.
#include <gtest/gtest.h>

#include <functional>

#include "deflate_tokens.h"
#include "gzip.h"
#include "testutil.h"

namespace {

class TreesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_gzip_state();
        bi_init(-1);
        ct_init(&attr_, &method_);
    }

    // Ends the stream with one final block and decodes it.
    tokens::Stream finish(char* buf = nullptr, ulg stored_len = 0)
    {
        flush_block(buf, stored_len, 1);
        bytes_ = std::string(reinterpret_cast<char*>(stream.outbuf), stream.outcnt);
        tokens::Stream st = tokens::decode(bytes_, 0, false);
        EXPECT_TRUE(st.ok) << st.error;
        EXPECT_EQ(st.end, bytes_.size());
        return st;
    }

    ush attr_ = 0;
    int method_ = 0;
    std::string bytes_;
};

// Fixed code bits of a block's records, without the 3-bit header.
unsigned long fixed_bits(const tokens::Block& b)
{
    static const int lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const int dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    auto flen = [](unsigned s) { return s <= 143 ? 8 : s <= 255 ? 9 : s <= 279 ? 7 : 8; };
    unsigned long bits = 7;  // end of block
    for (const auto& t : b.tokens) {
        bits += static_cast<unsigned long>(flen(t.lsym));
        if (t.match) bits += static_cast<unsigned long>(lext[t.lsym - 257] + 5 + dext[t.dsym]);
    }
    return bits;
}

TEST_F(TreesTest, EmptyStreamIsTheTwoByteFixedBlock)
{
    finish();
    EXPECT_EQ(bytes_, std::string("\x03\x00", 2));
}

TEST_F(TreesTest, BlockWithoutMatchesDescribesDistanceCodesZeroAndOne)
{
    for (int i = 0; i < 2000; i++) ct_tally(0, "aab"[i % 3]);
    tokens::Stream st = finish();
    ASSERT_EQ(st.blocks.size(), 1u);
    ASSERT_EQ(st.blocks[0].type, 2);
    EXPECT_EQ(st.blocks[0].dist_lens, (std::vector<unsigned>{1, 1}));
}

// A lone distance code k is described with a second one: k + 1 while k is
// below 2, else code 0.
TEST_F(TreesTest, OneDistanceCodeGetsAPartner)
{
    struct Case {
        int dist;  // distance of every match
        std::vector<unsigned> lens;
    };
    for (const Case& c : {Case{1, {1, 1}}, Case{2, {0, 1, 1}}, Case{7, {1, 0, 0, 0, 0, 1}}}) {
        SetUp();
        for (int i = 0; i < 2000; i++) {
            if (i % 2 == 0)
                ct_tally(0, 'a');
            else
                ct_tally(c.dist, 4);
        }
        tokens::Stream st = finish();
        ASSERT_EQ(st.blocks.size(), 1u);
        ASSERT_EQ(st.blocks[0].type, 2);
        EXPECT_EQ(st.blocks[0].dist_lens, c.lens) << "distance " << c.dist;
    }
}

TEST_F(TreesTest, LengthsAtTheTopOfTheRange)
{
    ct_tally(1, 255);  // 258
    ct_tally(1, 254);  // 257
    ct_tally(1, 227);  // 230: symbol 284, extra bits 3
    tokens::Stream st = finish();
    ASSERT_EQ(st.blocks.size(), 1u);
    const auto& t = st.blocks[0].tokens;
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].lsym, 285u) << "258 is symbol 285, not 284 with extra bits 31";
    EXPECT_EQ(t[0].value, 258u);
    EXPECT_EQ(t[1].lsym, 284u);
    EXPECT_EQ(t[1].value, 257u);
    EXPECT_EQ(t[2].lsym, 284u);
    EXPECT_EQ(t[2].value, 230u);
}

TEST_F(TreesTest, FarthestDistancesUseTheTopCodes)
{
    ct_tally(32768, 0);
    ct_tally(24577, 0);
    ct_tally(257, 0);
    ct_tally(256, 0);
    tokens::Stream st = finish();
    const auto& t = st.blocks[0].tokens;
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].dsym, 29u);
    EXPECT_EQ(t[0].dist, 32768u);
    EXPECT_EQ(t[1].dsym, 29u);
    EXPECT_EQ(t[1].dist, 24577u);
    EXPECT_EQ(t[2].dsym, 16u);
    EXPECT_EQ(t[3].dsym, 15u);
}

// Adding occurrences of one literal raises the fixed cost by a byte per step
// and the dynamic cost by less, so the byte costs meet on the way from a
// fixed to a dynamic block. A dynamic block must be strictly smaller; on a
// tie the block is fixed, even where its code takes a few more bits.
TEST_F(TreesTest, FixedCodeWinsATieWithTheDynamicCode)
{
    // Several starting points, so the bit costs meet at different offsets
    // within a byte; one more separate literal makes some byte ties fall
    // where the fixed code has more bits than the dynamic one.
    for (int extra = 0; extra < 2; extra++)
        for (int start = 0; start < 16; start++) {
            bool seen_fixed = false, seen_dynamic = false;
            for (int k = 0; k < 400 && !seen_dynamic; k++) {
                SetUp();
                for (int s = 0; s < 256; s += 2)
                    ct_tally(0, s);  // many separate lengths: a costly tree description
                for (int i = 0; i < start; i++) ct_tally(0, 'z');
                for (int i = 0; i < extra; i++) ct_tally(0, 'b');
                for (int i = 0; i < 20 + k; i++) ct_tally(0, 'a');
                tokens::Stream st = finish();
                ASSERT_EQ(st.blocks.size(), 1u);
                const unsigned long fixed_bytes = (fixed_bits(st.blocks[0]) + 3 + 7) / 8;
                if (st.blocks[0].type == 1) {
                    seen_fixed = true;
                    EXPECT_EQ(bytes_.size(), fixed_bytes);
                } else {
                    ASSERT_EQ(st.blocks[0].type, 2);
                    seen_dynamic = true;
                    EXPECT_LT(bytes_.size(), fixed_bytes) << "dynamic only when strictly smaller, k " << k;
                }
            }
            EXPECT_TRUE(seen_fixed);
            EXPECT_TRUE(seen_dynamic);
        }
}

TEST_F(TreesTest, IncompressibleBlockIsStoredOnlyWhileItsBytesAreAvailable)
{
    std::string rnd = testutil::random_bytes(600, 4);
    char* data = rnd.data();
    for (int i = 0; i < 600; i++) ct_tally(0, static_cast<uch>(data[i]));
    tokens::Stream st = finish(data, 600);
    ASSERT_EQ(st.blocks.size(), 1u);
    EXPECT_EQ(st.blocks[0].type, 0);
    EXPECT_EQ(st.data, std::string(data, 600));

    SetUp();
    for (int i = 0; i < 600; i++) ct_tally(0, static_cast<uch>(data[i]));
    st = finish(nullptr, 600);
    ASSERT_EQ(st.blocks.size(), 1u);
    EXPECT_NE(st.blocks[0].type, 0) << "a block whose bytes slid out is coded whatever the cost";
    EXPECT_EQ(st.data, std::string(data, 600));

    // 30 different bytes, half of them with 9-bit fixed codes: with the 7-bit
    // end of block and the 3-bit header, (15*8 + 15*9 + 7 + 3 + 7) / 8 = 34
    // bytes, as many as the stored block with LEN and NLEN. Stored wins, as in gzip.
    SetUp();
    std::string tie;
    for (int i = 0; i < 15; i++) tie += {static_cast<char>(i * 9), static_cast<char>(144 + i * 7)};
    for (char c : tie) ct_tally(0, static_cast<uch>(c));
    st = finish(tie.data(), 30);
    ASSERT_EQ(st.blocks.size(), 1u);
    EXPECT_EQ(st.blocks[0].type, 0) << "a tie between stored and fixed";
}

TEST_F(TreesTest, CodeLengthHeaderListsAtLeastFourLengths)
{
    for (int i = 0; i < 3000; i++) ct_tally(0, "abcd"[i % 4 == 0 ? 0 : i % 4]);
    tokens::Stream st = finish();
    ASSERT_EQ(st.blocks[0].type, 2);
    EXPECT_GE(st.blocks[0].hclen, 4u);
}

TEST_F(TreesTest, BlockEndsEarlyOnlyWhenMostlyLiteralsCompressWell)
{
    // 4096 literals that stand for 20000 input bytes: estimate 4096 < 10000.
    // The match finder's position is the block's end (it starts at 0).
    engine.strstart = 20000;
    for (int i = 1; i < 4096; i++) ASSERT_EQ(ct_tally(0, 'a'), 0) << i;
    EXPECT_EQ(ct_tally(0, 'a'), 1);

    // The same records for 8000 input bytes: 4096 is not below 4000.
    SetUp();
    engine.strstart = 8000;
    for (int i = 1; i <= 4096; i++) ASSERT_EQ(ct_tally(0, 'a'), 0) << i;

    // Mostly matches: never early, whatever the input covered.
    SetUp();
    engine.strstart = 1000000;
    for (int i = 1; i <= 4096; i++) ASSERT_EQ(ct_tally(i % 3 == 0 ? 0 : 1, 'a'), 0) << i;
}

TEST_F(TreesTest, BlockEndsAt32767Records)
{
    for (unsigned i = 1; i < 32767; i++) ASSERT_EQ(ct_tally(1, 0), 0) << i;
    EXPECT_EQ(ct_tally(1, 0), 1);
    tokens::Stream st = finish();
    ASSERT_EQ(st.blocks.size(), 1u);
    EXPECT_EQ(st.blocks[0].tokens.size(), 32767u);
}

}  // namespace
