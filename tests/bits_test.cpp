// The bit writer: DEFLATE bit order, the 16-bit buffer and its carry, byte
// alignment, stored-block framing and the flush of outbuf at 16384 bytes.
#include <gtest/gtest.h>

#include "codec_memory.h"
#include "deflate_state.h"
#include "gzip.h"
#include "testutil.h"

namespace {

class BitsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_stream_state();
        bi_init(-1);
    }
    static std::string written()
    {
        return std::string(reinterpret_cast<char*>(stream.outbuf), stream.outcnt);
    }
};

TEST_F(BitsTest, OneBitThenWindupIsOneByte)
{
    send_bits(1, 1);
    bi_windup();
    EXPECT_EQ(written(), "\x01");
}

TEST_F(BitsTest, FullBufferIsWrittenOnlyWhenMoreBitsArrive)
{
    for (int i = 0; i < 8; i++) send_bits(3, 2);
    EXPECT_EQ(stream.outcnt, 0u) << "16 bits held, nothing written yet";
    send_bits(3, 2);
    EXPECT_EQ(written(), "\xff\xff");
    bi_windup();
    EXPECT_EQ(written(), "\xff\xff\x03") << "the ninth pair stays in the buffer";
}

TEST_F(BitsTest, ExactFillAfterAPartialBuffer)
{
    send_bits(5, 3);
    send_bits(0x1FFF, 13);
    EXPECT_EQ(stream.outcnt, 0u);
    bi_windup();
    EXPECT_EQ(written(), "\xfd\xff");
}

TEST_F(BitsTest, WindupWritesWhatIsHeld)
{
    send_bits(0x1AB, 9);
    bi_windup();
    EXPECT_EQ(written(), "\xab\x01");
    start_output(stream.out);
    send_bits(0xC3, 8);
    bi_windup();
    EXPECT_EQ(written(), "\xc3");
    start_output(stream.out);
    bi_windup();
    EXPECT_EQ(stream.outcnt, 0u);
}

// Any sequence of codes must come out as one little-endian bit stream; a
// carry error across the 16-bit buffer shows up at some split.
TEST_F(BitsTest, CodesOfEveryLengthPackLeastSignificantBitFirst)
{
    std::string rnd = testutil::random_bytes(20000, 5);
    std::vector<int> bits;  // expected stream, one entry per bit
    for (std::size_t i = 0; i + 1 < rnd.size(); i += 2) {
        int len = static_cast<unsigned char>(rnd[i]) % 15 + 1;
        int value = (static_cast<unsigned char>(rnd[i + 1]) * 131 + static_cast<int>(i)) & ((1 << len) - 1);
        send_bits(value, len);
        for (int b = 0; b < len; b++) bits.push_back((value >> b) & 1);
    }
    bi_windup();
    while (bits.size() % 8 != 0) bits.push_back(0);
    std::string expected(bits.size() / 8, '\0');
    for (std::size_t b = 0; b < bits.size(); b++)
        expected[b / 8] = static_cast<char>(expected[b / 8] | bits[b] << (b % 8));
    ASSERT_LT(expected.size(), OUTBUFSIZ);
    EXPECT_TRUE(written() == expected);
}

TEST_F(BitsTest, ReverseOfShortCodes)
{
    EXPECT_EQ(bi_reverse(1, 3), 4u);
    EXPECT_EQ(bi_reverse(13, 4), 11u);
    EXPECT_EQ(bi_reverse(1, 1), 1u);
    EXPECT_EQ(bi_reverse(0x4001, 15), 0x4001u);
    EXPECT_EQ(bi_reverse(0x0003, 15), 0x6000u);
}

TEST_F(BitsTest, CopyBlockAlignsThenWritesLenNlenAndTheBytes)
{
    send_bits(5, 3);
    char data[] = "hello";
    copy_block(data, 5, 1);
    EXPECT_EQ(written(), std::string("\x05\x05\x00\xfa\xff", 5) + "hello");
}

TEST_F(BitsTest, EmptyCopyBlockIsOnlyTheFraming)
{
    char data[1] = {0};
    copy_block(data, 0, 1);
    EXPECT_EQ(written(), std::string("\x00\x00\xff\xff", 4));
    start_output(stream.out);
    send_bits(1, 1);
    copy_block(data, 0, 1);
    EXPECT_EQ(written(), std::string("\x01\x00\x00\xff\xff", 5));
}

class BitsFlushTest : public BitsTest {
protected:
    void SetUp() override
    {
        BitsTest::SetUp();
        start_output(out_.get());
    }
    std::string file() const { return out_.data; }
    testutil::StringSink out_;
};

TEST_F(BitsFlushTest, OverflowAt16383FlushesBetweenTheTwoBytes)
{
    for (unsigned i = 0; i < OUTBUFSIZ - 1; i++) out_byte(i & 0xff);
    for (int i = 0; i < 8; i++) send_bits(i & 1 ? 2 : 1, 2);  // 16 bits: 0x9999
    send_bits(1, 1);
    std::string f = file();
    ASSERT_EQ(f.size(), OUTBUFSIZ);
    EXPECT_EQ(static_cast<uch>(f.back()), 0x99) << "the low byte completes the buffer";
    EXPECT_EQ(stream.outcnt, 1u);
    EXPECT_EQ(stream.outbuf[0], 0x99) << "the high byte starts the next one";
    EXPECT_EQ(stream.bytes_out, static_cast<zoff_t>(OUTBUFSIZ));
}

TEST_F(BitsFlushTest, CopyBlockFlushesEachFullBuffer)
{
    for (unsigned i = 0; i < OUTBUFSIZ - 10; i++) out_byte(0);
    std::string data = testutil::random_bytes(40000, 8);
    copy_block(data.data(), static_cast<unsigned>(data.size()), 1);
    std::string f = file();
    ASSERT_EQ(f.size(), 3 * OUTBUFSIZ) << "written in whole buffers";
    EXPECT_EQ(f.substr(OUTBUFSIZ - 10, 4), std::string("\x40\x9c\xbf\x63", 4)) << "LEN 40000, NLEN";
    std::string all = f + std::string(reinterpret_cast<char*>(stream.outbuf), stream.outcnt);
    EXPECT_EQ(all.size(), OUTBUFSIZ - 10 + 4 + data.size());
    EXPECT_TRUE(all.substr(OUTBUFSIZ - 6) == data);
}

}  // namespace
