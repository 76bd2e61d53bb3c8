// The gzip member reader: header acceptance and refusal with exact messages,
// the stored name, and the trailer checks of unzip.
#include <gtest/gtest.h>

#include <memory>

#include "codec_memory.h"
#include "deflate_writer.h"
#include "gzip.h"
#include "member_util.h"
#include "testutil.h"
#include "vokra.h"

namespace {

using testutil::BitWriter;

std::string le16(unsigned v)
{
    return {static_cast<char>(v & 0xff), static_cast<char>((v >> 8) & 0xff)};
}
std::string le32(ulg v)
{
    return le16(v & 0xffff) + le16(v >> 16);
}

// A member header: magic, CM, FLG, MTIME, XFL, OS, then `rest` (the optional fields).
std::string header(unsigned flags, ulg mtime = 0, const std::string& rest = "", unsigned cm = 8,
                   unsigned char magic1 = 0x8b)
{
    std::string h = {'\x1f', static_cast<char>(magic1), static_cast<char>(cm), static_cast<char>(flags)};
    return h + le32(mtime) + std::string("\0\3", 2) + rest;
}

// Body (stored blocks of at most 65535 bytes) and trailer for `data`.
std::string stored_body(const std::string& data)
{
    BitWriter bw;
    std::size_t off = 0;
    do {
        std::size_t n = std::min<std::size_t>(65535, data.size() - off);
        bool last = off + n == data.size();
        bw.bits(last ? 1 : 0, 1);
        bw.bits(0, 2);
        bw.align();
        bw.bits(static_cast<unsigned>(n), 16);
        bw.bits(~static_cast<unsigned>(n) & 0xffff, 16);
        for (std::size_t i = 0; i < n; i++) bw.byte(static_cast<unsigned char>(data[off + i]));
        off += n;
    } while (off < data.size());
    return bw.finish();
}

std::string trailer(const std::string& data, long len_delta = 0, ulg crc_xor = 0)
{
    ulg crc = crc32_update(0, reinterpret_cast<const uch*>(data.data()), data.size());
    return le32(crc ^ crc_xor) + le32(static_cast<ulg>(static_cast<long>(data.size()) + len_delta));
}

class UnzipTest : public ::testing::Test {
protected:
    void SetUp() override { reset_gzip_state(); }

    // Makes `payload` the reader's input, as the extraction run does.
    void input(const std::string& payload)
    {
        in_ = std::make_unique<testutil::StringSource>(payload);
        reset_gzip_state();
        set_ifname("arch");
        set_ofname("stdout");
        start_input(in_->get());
    }

    // get_method, with the messages the run prints for its result captured;
    // the method, or -1 when the header was not read.
    int method_of(std::string* err)
    {
        const codec_result r = get_method(in_->get());
        testing::internal::CaptureStderr();
        const bool read = header_read(r);
        *err = testing::internal::GetCapturedStderr();
        return read ? gzip.method : -1;
    }

    std::unique_ptr<testutil::StringSource> in_;
};

// ---- refusals: message, -1 ----

TEST_F(UnzipTest, AZipArchiveIsRefused)
{
    input(std::string("PK\3\4\24\0\0\0\10\0", 10) + std::string(30, '\0'));
    std::string err;
    EXPECT_EQ(method_of(&err), -1);
    EXPECT_EQ(err, "vokra: can only handle GZIP compression method\n");
}

TEST_F(UnzipTest, AMethodOtherThan8IsRefusedWithItsNumber)
{
    input(header(0, 0, "", 7) + std::string(20, '\0'));
    std::string err;
    EXPECT_EQ(method_of(&err), -1);
    EXPECT_EQ(err, "vokra: arch: unknown method 7 -- get newer version of gzip\n");
    EXPECT_EQ(gzip.method, 7);
}

TEST_F(UnzipTest, TheOldMagic1F9EIsReadLike1F8B)
{
    std::string data = "old magic";
    input(header(0x08, 0, std::string("n\0", 2), 8, 0x9e) + stored_body(data) + trailer(data));
    std::string err;
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(err, "");
    EXPECT_STREQ(stream.ofname, "n");
}

// ---- end of input in the header ----

TEST_F(UnzipTest, EndOfInputAnywhereInTheHeaderIsTruncated)
{
    std::string full = header(0x1e, 0, le16(2) + "xy" + std::string("name\0comment\0", 13));
    for (std::size_t cut : {std::size_t{1}, std::size_t{3}, std::size_t{9}, std::size_t{11}, std::size_t{14},
                            std::size_t{17}, full.size() - 1}) {
        SCOPED_TRACE(cut);
        input(full.substr(0, cut));
        std::string err;
        EXPECT_EQ(method_of(&err), -1);
        EXPECT_EQ(err, "\nvokra: arch: unexpected end of file\n");
        EXPECT_STREQ(stream.ofname, "stdout") << "a name cut short is not taken";
    }
}

// ---- the stored name ----

TEST_F(UnzipTest, TheStoredNameIsTakenAndCountedInTheHeaderBytes)
{
    input(header(0x08, 0, std::string("data.tar\0", 9)) + "BODY");
    std::string err;
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_STREQ(stream.ofname, "data.tar");
    EXPECT_EQ(stream.header_bytes, 10 + 9 + 8);
    EXPECT_EQ(in_byte(), 'B');  // the body follows
}

TEST_F(UnzipTest, WithDashCTheNameIsSkippedUnlessListing)
{
    input(header(0x08, 0, std::string("data.tar\0", 9)) + "BODY");
    set_to_stdout(1);
    std::string err;
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_STREQ(stream.ofname, "stdout");
    EXPECT_EQ(stream.header_bytes, 27);
    EXPECT_EQ(in_byte(), 'B');

    input(header(0x08, 0, std::string("data.tar\0", 9)) + "BODY");
    set_to_stdout(1);
    set_list(1);
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_STREQ(stream.ofname, "data.tar");
}

TEST_F(UnzipTest, ANameWithSlashesIsTakenWhole)
{
    input(header(0x08, 0, std::string("../etc/x/y\0", 11)));
    std::string err;
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_STREQ(stream.ofname, "../etc/x/y");
}

TEST_F(UnzipTest, ANameOf1023CharactersIsAcceptedAnd1024IsBadData)
{
    std::string n1023(1023, 'n');
    input(header(0x08, 0, n1023 + std::string("\0", 1)) + "B");
    std::string err;
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(std::string(stream.ofname), n1023);
    EXPECT_EQ(in_byte(), 'B');

    input(header(0x08, 0, std::string(1024, 'n') + std::string("\0", 1)));
    EXPECT_EQ(method_of(&err), -1);
    EXPECT_EQ(err, "\nvokra: arch: corrupted input -- file name too large\n");
}

// ---- the other flags ----

TEST_F(UnzipTest, ExtraFieldAndCommentAreSkippedAndVerboseReportsTheExtraField)
{
    // The name right after the extra field shows that exactly its length was skipped.
    std::string h = header(0x1c, 0, le16(3) + "xyz" + std::string("n\0a comment\0", 12));
    input(h + "B");
    std::string err;
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(err, "");
    EXPECT_STREQ(stream.ofname, "n");
    EXPECT_EQ(stream.header_bytes, static_cast<zoff_t>(h.size() + 8));
    EXPECT_EQ(in_byte(), 'B');

    input(h + "B");
    set_verbose(1);
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(err, "vokra: arch: extra field of 3 bytes ignored\n");
    EXPECT_EQ(in_byte(), 'B');
}

TEST_F(UnzipTest, APartNumberFollowsTheOsByteAndVerboseReportsIt)
{
    std::string h = header(0x02 | 0x08, 0, le16(258) + std::string("p\0", 2));
    input(h + "B");
    std::string err;
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(err, "");
    EXPECT_STREQ(stream.ofname, "p");
    EXPECT_EQ(stream.header_bytes, 10 + 2 + 2 + 8);

    input(h + "B");
    set_verbose(1);
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(err, "vokra: arch: part number 258\n");
    EXPECT_EQ(in_byte(), 'B');
}

TEST_F(UnzipTest, Flags0x20To0x80ChangeNothing)
{
    for (unsigned flag : {0x01u, 0x20u, 0x40u, 0x80u}) {
        SCOPED_TRACE(flag);
        input(header(flag) + "B");
        set_verbose(1);
        std::string err;
        EXPECT_EQ(method_of(&err), 8);
        EXPECT_EQ(err, "");
        EXPECT_STREQ(stream.ofname, "stdout");
        EXPECT_EQ(stream.header_bytes, 18);
        EXPECT_EQ(in_byte(), 'B');
    }
}

TEST_F(UnzipTest, MtimeZeroLeavesTheTimeStampAndOtherValuesSetIt)
{
    // Two headers back to back: the second, MTIME 0, is read right after the first.
    input(header(0, 777) + header(0, 0) + "B");
    std::string err;
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(gzip.time_stamp, 777);

    input(header(0, 0x12345678) + "B");
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(gzip.time_stamp, 0x12345678);

    input(header(0, 0xF0000000) + "B");  // past 2038: kept unsigned
    EXPECT_EQ(method_of(&err), 8);
    EXPECT_EQ(gzip.time_stamp, zoff_t{0xF0000000});
}

// ---- body and trailer ----

class UnzipBodyTest : public UnzipTest {
protected:
    // Reads the member in `payload` in memory; expects the run's status for
    // its result (0 or 1) and exactly the message it prints, and returns what
    // reached the output.
    std::string extract(const std::string& payload, int status, const std::string& err)
    {
        testutil::Decoded d = testutil::decode_member(payload);
        EXPECT_FALSE(failed(d.header));
        testing::internal::CaptureStderr();
        set_ifname("arch");
        report_codec_failure(d.body);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
        EXPECT_EQ(failed(d.body) ? 1 : 0, status);
        return d.out;
    }
};

TEST_F(UnzipBodyTest, AGoodMemberExtractsExactly)
{
    std::string data = testutil::mixed_data(100000, 3);
    EXPECT_TRUE(extract(header(0) + stored_body(data) + trailer(data), 0, "") == data);
}

TEST_F(UnzipBodyTest, ACrcErrorIsReportedBeforeALengthError)
{
    std::string data = testutil::mixed_data(5000, 4);
    std::string out = extract(header(0) + stored_body(data) + trailer(data, 1, 0x10), 1,
                              "\nvokra: arch: invalid compressed data--crc error\n");
    EXPECT_TRUE(out == data) << "all of the member's data reaches the output";
}

TEST_F(UnzipBodyTest, ALengthOffByOneIsALengthError)
{
    std::string data = testutil::mixed_data(5000, 5);
    for (long delta : {-1L, 1L}) {
        std::string out = extract(header(0) + stored_body(data) + trailer(data, delta), 1,
                                  "\nvokra: arch: invalid compressed data--length error\n");
        EXPECT_TRUE(out == data);
    }
}

TEST_F(UnzipBodyTest, EndOfInputInTheBodyOrTheTrailerIsTruncated)
{
    std::string data = testutil::mixed_data(5000, 6);
    std::string member = header(0) + stored_body(data) + trailer(data);
    for (std::size_t cut : {std::size_t{12}, std::size_t{2000}, member.size() - 8, member.size() - 1}) {
        SCOPED_TRACE(cut);
        extract(member.substr(0, cut), 1, "\nvokra: arch: unexpected end of file\n");
    }
}

TEST_F(UnzipBodyTest, OnlyTheFirstOfTwoMembersIsExtracted)
{
    std::string a = "first member", b = "second member";
    std::string payload = header(0) + stored_body(a) + trailer(a) + header(0) + stored_body(b) + trailer(b);
    EXPECT_EQ(extract(payload, 0, ""), a);
}

TEST_F(UnzipBodyTest, ATrailerInTheNextRefillIsRead)
{
    // 10 header bytes + 5 stored-block bytes + 32753 data bytes = one full refill.
    std::string data = testutil::random_bytes(32753, 7);
    std::string payload = header(0) + stored_body(data) + trailer(data);
    ASSERT_EQ(payload.size(), INBUFSIZ + 8);
    EXPECT_TRUE(extract(payload, 0, "") == data);
}

TEST_F(UnzipBodyTest, AfterAFormatErrorExactlyTheWholeWindowsDecodedReachTheOutput)
{
    std::string data = testutil::random_bytes(65535 + 1000, 8);
    // Two stored blocks (each begins on a byte, so clearing bit 0 of its
    // first byte makes it not the last), then a block of type 3.
    std::string first = stored_body(data.substr(0, 65535));
    std::string second = stored_body(data.substr(65535));
    first[0] = static_cast<char>(first[0] & ~1);
    second[0] = static_cast<char>(second[0] & ~1);
    BitWriter bad;
    bad.bits(1, 1);  // final
    bad.bits(3, 2);  // block type 3
    std::string out = extract(header(0) + first + second + bad.finish(), 1,
                              "\nvokra: arch: invalid compressed data--format violated\n");
    EXPECT_EQ(out.size(), 65536u) << "66535 bytes decoded: two whole windows";
    EXPECT_TRUE(out == data.substr(0, 65536));
}

TEST_F(UnzipBodyTest, AnIncompleteLiteralTreeSaysSoBeforeTheFormatError)
{
    BitWriter bw;
    bw.bits(1, 1);       // final
    bw.bits(2, 2);       // dynamic
    bw.bits(0, 5);       // 257 literal/length codes
    bw.bits(0, 5);       // 1 distance code
    bw.bits(19 - 4, 4);  // 19 code-length code lengths
    // Code-length code: lengths 0..12 in 4 bits, 13..18 in 5 (sent in border order).
    const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<unsigned> cl(19, 4);
    for (unsigned s = 13; s < 19; s++) cl[s] = 5;
    for (unsigned s : order) bw.bits(cl[s], 3);
    testutil::Code clc(cl);
    for (int i = 0; i < 256; i++) clc.put(bw, 9);  // literals: half the code space
    clc.put(bw, 2);                                // end of block: a quarter
    clc.put(bw, 1);                                // one distance code
    extract(header(0) + bw.finish() + std::string(16, '\0'), 1,
            " incomplete literal tree\n\nvokra: arch: invalid compressed data--format violated\n");
}

TEST_F(UnzipBodyTest, TheCountersRunFromTheStartOfTheMember)
{
    std::string data = "abc";
    testutil::Decoded d = testutil::decode_member(header(0) + stored_body(data) + trailer(data));
    EXPECT_FALSE(failed(d.body));
    EXPECT_EQ(stream.bytes_out, 3);
    EXPECT_EQ(updcrc(stream.inbuf, 0), 0x352441C2u);
}

}  // namespace
