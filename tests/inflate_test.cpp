// The inflater on crafted DEFLATE streams: result codes, output, window flushes
// and where the input is left, for valid edge cases and for every corruption.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "codec_memory.h"
#include "deflate_tokens.h"
#include "deflate_writer.h"
#include "deflate_state.h"
#include "gzip.h"
#include "inflate_state.h"
#include "testutil.h"

namespace {

using testutil::BitWriter;
using testutil::Code;

// Result codes of the inflater.
constexpr int OK = 0;
constexpr int BAD_DATA = 1;  // invalid code, counts, repeat, stored length, incomplete code
constexpr int BAD_TYPE = 2;  // block type 3 or an over-subscribed code

constexpr unsigned border_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Decoded {
    int result = -1;
    std::string out;
    std::vector<size_t> flushes;  // size of each write that reached the output
    unsigned inptr = 0;           // where the input was left (all input fits one refill)
    std::string err;
};

// Runs inflate() over `deflated` followed by two marker bytes, from memory
// into memory, with the fast loop built for every CPU (plain) or the fastest
// this CPU has; the sink keeps each write, so the window flushes can be seen
// one by one. `result` is the inflater's code: 0, or the bad-data code.
Decoded decode_with(const std::string& deflated, bool plain)
{
    reset_gzip_state();
    inflate_force_plain(plain);
    testutil::StringSource in(deflated + "\xA5\x5A");
    testutil::StringSink out;
    start_input(in.get());
    const codec_result r = inflate(in.get(), out.get());
    Decoded d;
    d.result = r.status == codec_status::ok ? OK : r.status == codec_status::bad_data ? r.code : -1;
    d.out = out.data;
    d.flushes = out.writes;
    d.inptr = stream.inptr;
    d.err = r.detail != nullptr ? r.detail : "";
    return d;
}

// Decodes with both fast loops, which must agree in everything: every case
// below holds for each.
Decoded decode(const std::string& deflated)
{
    Decoded plain = decode_with(deflated, true);
    Decoded d = decode_with(deflated, false);
    EXPECT_EQ(plain.result, d.result);
    EXPECT_TRUE(plain.out == d.out);
    EXPECT_EQ(plain.flushes, d.flushes);
    EXPECT_EQ(plain.inptr, d.inptr);
    EXPECT_EQ(plain.err, d.err);
    return d;
}

// Block header: BFINAL then BTYPE.
void block_header(BitWriter& bw, bool last, unsigned type)
{
    bw.bits(last ? 1 : 0, 1);
    bw.bits(type, 2);
}

void stored_block(BitWriter& bw, bool last, const std::string& data)
{
    block_header(bw, last, 0);
    bw.align();
    bw.bits(static_cast<unsigned>(data.size()), 16);            // LEN
    bw.bits(~static_cast<unsigned>(data.size()) & 0xffff, 16);  // NLEN
    for (char c : data) bw.byte(static_cast<unsigned char>(c));
}

const Code& fixed_lit()
{
    static const Code c(testutil::fixed_lit_lengths());
    return c;
}
const Code& fixed_dist()
{
    static const Code c(testutil::fixed_dist_lengths());
    return c;
}

// A complete literal/length code over 286 symbols: literals 9 bits (half the
// code space), 256 and 257 5 bits, 258..285 6 bits.
std::vector<unsigned> full_lit_lengths()
{
    std::vector<unsigned> l(286, 9);
    l[256] = l[257] = 5;
    for (unsigned s = 258; s < 286; s++) l[s] = 6;
    return l;
}

// The code-length code used to send lengths: 0..12 in 4 bits, 13..18 in 5 (complete).
std::vector<unsigned> plain_cl_lengths()
{
    std::vector<unsigned> l(19, 4);
    for (unsigned s = 13; s < 19; s++) l[s] = 5;
    return l;
}

// One code-length symbol with its extra bits.
struct ClOp {
    unsigned sym;
    unsigned extra = 0;
};

// Dynamic block header with nl/nd as given, the code-length code `cl` sent in
// full (HCLEN 15), then `ops`.
void dynamic_header(BitWriter& bw, bool last, unsigned nl, unsigned nd, const std::vector<unsigned>& cl,
                    const std::vector<ClOp>& ops)
{
    block_header(bw, last, 2);
    bw.bits(nl - 257, 5);  // HLIT
    bw.bits(nd - 1, 5);    // HDIST
    bw.bits(19 - 4, 4);    // HCLEN: all 19 code-length code lengths follow
    for (unsigned j = 0; j < 19; j++) bw.bits(cl[border_order[j]], 3);
    Code clc(cl);
    for (const ClOp& op : ops) {
        clc.put(bw, op.sym);
        if (op.sym == 16) bw.bits(op.extra, 2);
        if (op.sym == 17) bw.bits(op.extra, 3);
        if (op.sym == 18) bw.bits(op.extra, 7);
    }
}

// Each length sent as its own symbol.
std::vector<ClOp> plain_ops(const std::vector<unsigned>& lit, const std::vector<unsigned>& dist)
{
    std::vector<ClOp> ops;
    for (unsigned l : lit) ops.push_back({l});
    for (unsigned l : dist) ops.push_back({l});
    return ops;
}

void dynamic_block_header(BitWriter& bw, bool last, const std::vector<unsigned>& lit,
                          const std::vector<unsigned>& dist)
{
    dynamic_header(bw, last, static_cast<unsigned>(lit.size()), static_cast<unsigned>(dist.size()),
                   plain_cl_lengths(), plain_ops(lit, dist));
}

// ---- stored blocks ----

TEST(InflateStored, EmptyFinalBlockGivesNothingAndStopsAfterTheComplement)
{
    BitWriter bw;
    stored_block(bw, true, "");
    Decoded d = decode(bw.finish());
    EXPECT_EQ(d.result, OK);
    EXPECT_EQ(d.out, "");
    EXPECT_TRUE(d.flushes.empty());
    EXPECT_EQ(d.inptr, 5u);  // header byte, LEN, NLEN
}

TEST(InflateStored, WrongComplementIsBadData)
{
    BitWriter bw;
    block_header(bw, true, 0);
    bw.align();
    bw.bits(3, 16);       // LEN 3
    bw.bits(0xfffd, 16);  // NLEN should be 0xfffc
    bw.byte('a');
    bw.byte('b');
    bw.byte('c');
    EXPECT_EQ(decode(bw.finish()).result, BAD_DATA);
}

TEST(InflateBlock, BlockType3IsResult2)
{
    BitWriter bw;
    block_header(bw, true, 3);
    EXPECT_EQ(decode(bw.finish()).result, BAD_TYPE);
}

// ---- fixed blocks ----

TEST(InflateFixed, LengthSymbols286And287AreInvalid)
{
    for (unsigned sym : {286u, 287u}) {
        BitWriter bw;
        block_header(bw, true, 1);
        fixed_lit().put(bw, 'a');
        fixed_lit().put(bw, sym);  // a pattern the fixed code has, but no length
        fixed_dist().put(bw, 0);
        fixed_lit().put(bw, 256);
        EXPECT_EQ(decode(bw.finish()).result, BAD_DATA) << sym;
    }
}

TEST(InflateFixed, DistanceCodes30And31AreInvalid)
{
    for (unsigned dist : {30u, 31u}) {
        BitWriter bw;
        block_header(bw, true, 1);
        fixed_lit().put(bw, 'a');
        fixed_lit().put(bw, 257);  // length 3
        fixed_dist().put(bw, dist);
        fixed_lit().put(bw, 256);
        EXPECT_EQ(decode(bw.finish()).result, BAD_DATA) << dist;
    }
}

TEST(InflateFixed, Distance1Length258RepeatsThePreviousByte)
{
    BitWriter bw;
    block_header(bw, true, 1);
    fixed_lit().put(bw, 'x');
    fixed_lit().put(bw, 285);  // length 258, no extra bits
    fixed_dist().put(bw, 0);   // distance 1
    fixed_lit().put(bw, 256);
    Decoded d = decode(bw.finish());
    EXPECT_EQ(d.result, OK);
    EXPECT_EQ(d.out, std::string(259, 'x'));
}

// A distance may reach back to the first byte of the data and no further
// (zlib: "invalid distance too far back"), whatever the window held before:
// in the fast loop (literals follow), in the slow loop (the match is the
// last code), in the window's last stretch, and from the start of a window.
TEST(InflateFixed, ADistanceBeforeTheStartOfTheDataIsBadData)
{
    struct Case {
        unsigned before;    // bytes stored ahead of the fixed block
        unsigned distance;  // of one 3-byte match
        unsigned after;     // literals after it: with 40 the fast loop decodes it
        int result;
    };
    for (const Case& c :
         {Case{0, 1, 40, BAD_DATA}, Case{0, 1, 0, BAD_DATA}, Case{10, 10, 40, OK}, Case{10, 11, 40, BAD_DATA},
          Case{10, 10, 0, OK}, Case{10, 11, 0, BAD_DATA}, Case{32600, 32600, 40, OK},
          Case{32600, 32601, 40, BAD_DATA}, Case{32768, 32768, 40, OK}, Case{40000, 32768, 0, OK}}) {
        SCOPED_TRACE(testing::Message() << c.before << " " << c.distance << " " << c.after);
        std::string head = testutil::random_bytes(c.before, 3);
        BitWriter bw;
        if (c.before != 0) stored_block(bw, false, head);
        block_header(bw, true, 1);
        fixed_lit().put(bw, 257);  // length 3
        unsigned dsym = 29;
        while (tokens::detail::DBASE[dsym] > c.distance) dsym--;
        fixed_dist().put(bw, dsym);
        bw.bits(c.distance - tokens::detail::DBASE[dsym], static_cast<unsigned>(tokens::detail::DEXT[dsym]));
        for (unsigned i = 0; i < c.after; i++) fixed_lit().put(bw, 'z');
        fixed_lit().put(bw, 256);
        Decoded d = decode(bw.finish());
        EXPECT_EQ(d.result, c.result);
        if (c.result != OK) {
            EXPECT_EQ(d.out, head.substr(0, head.size() / 32768 * 32768));
            continue;
        }
        std::string expect = head;
        for (int i = 0; i < 3; i++) expect += expect[expect.size() - c.distance];
        EXPECT_TRUE(d.out == expect + std::string(c.after, 'z'));
    }
}

TEST(InflateFixed, InputIsLeftOnTheTrailerWhetherOrNotTheLastCodeEndsOnAByte)
{
    // 3 header bits + 8-bit literal + 7-bit end of block = 18 bits: 3 bytes.
    BitWriter a;
    block_header(a, true, 1);
    fixed_lit().put(a, 'a');
    fixed_lit().put(a, 256);
    std::string sa = a.finish();
    Decoded da = decode(sa);
    EXPECT_EQ(da.result, OK);
    EXPECT_EQ(da.inptr, sa.size());

    // 3 + six 9-bit literals + 7 = 64 bits: exactly 8 bytes.
    BitWriter b;
    block_header(b, true, 1);
    for (int i = 0; i < 6; i++) fixed_lit().put(b, 200);
    fixed_lit().put(b, 256);
    ASSERT_EQ(b.bit_count(), 64u);
    std::string sb = b.finish();
    Decoded db = decode(sb);
    EXPECT_EQ(db.result, OK);
    EXPECT_EQ(db.out, std::string(6, '\xC8'));
    EXPECT_EQ(db.inptr, 8u);
}

// ---- window flushes ----

TEST(InflateWindow, ExactlyKWindowsAreKFullFlushesAndNoEmptyOne)
{
    std::string data = testutil::random_bytes(65536, 5);
    BitWriter bw;
    stored_block(bw, false, data.substr(0, 65535));
    stored_block(bw, true, data.substr(65535));
    Decoded d = decode(bw.finish());
    EXPECT_EQ(d.result, OK);
    EXPECT_EQ(d.flushes, (std::vector<size_t>{32768, 32768}));
    EXPECT_EQ(d.out, data);
}

TEST(InflateWindow, AfterAFormatErrorOnlyTheWholeWindowsDecodedSoFarAreOut)
{
    std::string data = testutil::random_bytes(65536 + 100, 6);
    BitWriter bw;
    stored_block(bw, false, data.substr(0, 40000));
    stored_block(bw, false, data.substr(40000));
    block_header(bw, true, 3);
    Decoded d = decode(bw.finish());
    EXPECT_EQ(d.result, BAD_TYPE);
    EXPECT_EQ(d.flushes, (std::vector<size_t>{32768, 32768}));
    EXPECT_EQ(d.out, data.substr(0, 65536));
}

// One fixed-code match: its length and distance symbols with their extra bits.
struct Match {
    unsigned lsym, lextra, lextra_bits, length;
    unsigned dsym, dextra, dextra_bits, distance;
};

// Decodes `head` as a stored block and then `m`; the output must equal a
// forward byte copy and leave in the given flushes.
void check_match_after(const std::string& head, const Match& m, const std::vector<size_t>& flushes)
{
    BitWriter bw;
    for (size_t at = 0; at < head.size(); at += 65535) stored_block(bw, false, head.substr(at, 65535));
    block_header(bw, true, 1);
    fixed_lit().put(bw, m.lsym);
    bw.bits(m.lextra, m.lextra_bits);
    fixed_dist().put(bw, m.dsym);
    bw.bits(m.dextra, m.dextra_bits);
    fixed_lit().put(bw, 256);
    Decoded d = decode(bw.finish());
    ASSERT_EQ(d.result, OK);
    std::string expect = head;
    for (unsigned i = 0; i < m.length; i++) expect += expect[expect.size() - m.distance];
    EXPECT_TRUE(d.out == expect) << "sizes " << d.out.size() << " " << expect.size() << " first diff "
                                 << std::mismatch(d.out.begin(), d.out.end(), expect.begin()).first -
                                        d.out.begin();
    EXPECT_EQ(d.flushes, flushes);
}

// Matches at a window's end and from the previous window, after the first
// window, after the third (whose successor starts over at the front of the
// window array, behind a copy of it) and after the fourth.
TEST(InflateWindow, MatchesAcrossWindowEndsEqualAForwardByteCopy)
{
    struct Case {
        const char* what;
        int before_end;  // the match starts this far from the window's end (negative: after it)
        Match m;
        size_t tail;  // bytes out after the last whole window
    };
    const Case cases[] = {
        // 14 bytes at distance 10 from 8 before the end: split there.
        {"split at the end", 8, {266, 1, 1, 14, 6, 1, 2, 10}, 6},
        // 5 bytes at distance 8, 5 into a window: the source starts 3 before
        // the previous window's end and runs on into this one.
        {"source wraps", -5, {259, 0, 0, 5, 5, 1, 1, 8}, 10},
        // 258 bytes at distance 32768, 100 into a window: all from the last.
        {"farthest source", -100, {285, 0, 0, 258, 29, 8191, 13, 32768}, 358},
    };
    for (size_t windows : {1, 3, 4}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << " after " << windows << " windows");
            std::vector<size_t> flushes(windows, 32768);
            flushes.push_back(c.tail);
            check_match_after(testutil::random_bytes(32768 * windows - static_cast<size_t>(c.before_end),
                                                     static_cast<unsigned>(windows)),
                              c.m, flushes);
        }
    }
}

TEST(InflateWindow, BytesWrittenPastAMatchDoNotReplaceTheHistoryAFarMatchReads)
{
    // At position 100 of the second window a 3-byte match at distance 10 may
    // be written as whole words, past its end; the 10-byte match at distance
    // 32768 right after it must still read the first window's bytes there.
    std::string expect = testutil::random_bytes(32868, 11);
    BitWriter bw;
    stored_block(bw, false, expect);
    block_header(bw, true, 1);
    fixed_lit().put(bw, 257);  // length 3
    fixed_dist().put(bw, 6);   // distance 9 + 1
    bw.bits(1, 2);
    fixed_lit().put(bw, 264);  // length 10
    fixed_dist().put(bw, 29);  // distance 24577 + 8191
    bw.bits(8191, 13);
    for (int i = 0; i < 3; i++) expect += expect[expect.size() - 10];
    for (int i = 0; i < 10; i++) expect += expect[expect.size() - 32768];
    for (char c : std::string("trailing")) {  // input enough for the fast loop
        fixed_lit().put(bw, static_cast<unsigned char>(c));
        expect += c;
    }
    fixed_lit().put(bw, 256);
    Decoded d = decode(bw.finish());
    ASSERT_EQ(d.result, OK);
    EXPECT_TRUE(d.out == expect);
    EXPECT_EQ(d.flushes, (std::vector<size_t>{32768, expect.size() - 32768}));
}

TEST(InflateWindow, LongRunsOfMatchesFlushWholeWindowsUntilAnInvalidCode)
{
    // 'a' then 300 matches of 258 at distance 1 (77401 bytes: two whole
    // windows and a part), then length symbol 286. Long enough that the bulk
    // is decoded in the middle of the input buffer, away from its end.
    BitWriter bw;
    block_header(bw, true, 1);
    fixed_lit().put(bw, 'a');
    for (int i = 0; i < 300; i++) {
        fixed_lit().put(bw, 285);
        fixed_dist().put(bw, 0);
    }
    fixed_lit().put(bw, 286);
    bw.bits(0, 64);
    Decoded d = decode(bw.finish());
    EXPECT_EQ(d.result, BAD_DATA);
    EXPECT_EQ(d.flushes, (std::vector<size_t>{32768, 32768}));
    EXPECT_TRUE(d.out == std::string(65536, 'a'));
}

TEST(InflateWindow, AllMatchKindsAcrossManyWindowsEqualAForwardByteCopy)
{
    // Literals, then matches of every distance class and lengths 3..258
    // (overlapping and not), checked against a plain forward copy.
    BitWriter bw;
    block_header(bw, true, 1);
    std::string expect;
    for (int i = 0; i < 40; i++) {
        unsigned char c = static_cast<unsigned char>('A' + i % 26);
        fixed_lit().put(bw, c);
        expect += static_cast<char>(c);
    }
    unsigned seed = 1;
    while (expect.size() < 200000) {
        seed = seed * 1103515245 + 12345;
        unsigned lsym = 257 + (seed >> 8) % 29;  // length codes 257..285
        unsigned dsym = (seed >> 16) % 30;
        const unsigned base_len[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        const unsigned len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        const unsigned base_dist[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        const unsigned dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
        unsigned lx = (seed >> 3) & ((1u << len_extra[lsym - 257]) - 1);
        unsigned dx = (seed >> 5) & ((1u << dist_extra[dsym]) - 1);
        unsigned len = base_len[lsym - 257] + lx, dist = base_dist[dsym] + dx;
        if (dist > expect.size()) continue;
        fixed_lit().put(bw, lsym);
        bw.bits(lx, len_extra[lsym - 257]);
        fixed_dist().put(bw, dsym);
        bw.bits(dx, dist_extra[dsym]);
        for (unsigned i = 0; i < len; i++) expect += expect[expect.size() - dist];
        unsigned char c = static_cast<unsigned char>(seed >> 24);
        fixed_lit().put(bw, c);
        expect += static_cast<char>(c);
    }
    fixed_lit().put(bw, 256);
    Decoded d = decode(bw.finish());
    ASSERT_EQ(d.result, OK);
    EXPECT_TRUE(d.out == expect);
    for (size_t i = 0; i + 1 < d.flushes.size(); i++) EXPECT_EQ(d.flushes[i], 32768u) << i;
}

TEST(InflateFastLoop, TheBmi2CopyRunsWhereTheCpuHasBmi2)
{
    reset_gzip_state();
    EXPECT_EQ(inflate_force_plain(false), cpu_has_bmi2());
    EXPECT_FALSE(inflate_force_plain(true));
    reset_gzip_state();
}

// ---- dynamic blocks: counts, code lengths and code construction ----

// Complete codes throughout, so the count alone can be what is refused:
// literals in 9 bits (half the code space) and the rest in 6, but for 287
// codes end of block in 5; a single distance code in 1 bit.
std::string lit_count_block(unsigned nl)
{
    std::vector<unsigned> lit(nl, 6);
    std::fill_n(lit.begin(), 256, 9);
    if (nl == 287) lit[256] = 5;
    BitWriter bw;
    dynamic_block_header(bw, true, lit, {1});
    Code(lit).put(bw, 256);
    return bw.finish();
}

// Likewise: literals in 9 bits and end of block in 1; 31 distance codes as
// one of 4 bits and thirty of 5, 32 as all of 5.
std::string dist_count_block(unsigned nd)
{
    std::vector<unsigned> lit(257, 9);
    lit[256] = 1;
    std::vector<unsigned> dist(nd, 5);
    if (nd == 31) dist[0] = 4;
    BitWriter bw;
    dynamic_block_header(bw, true, lit, dist);
    Code(lit).put(bw, 256);
    return bw.finish();
}

// nd = 4 distance codes of 2 bits (complete), sent as `dist` and then `op`, a
// repeat that ends at or past the declared count. A valid 'q' and end of
// block follow, so a header taken with its overrun would decode, not fail on
// what lies after it.
std::string repeat_to_the_end(const std::vector<unsigned>& dist, ClOp op)
{
    std::vector<ClOp> ops = plain_ops(full_lit_lengths(), dist);
    ops.push_back(op);
    BitWriter bw;
    dynamic_header(bw, true, 286, 4, plain_cl_lengths(), ops);
    Code lc(full_lit_lengths());
    lc.put(bw, 'q');
    lc.put(bw, 256);
    return bw.finish();
}

// nl = 258: 'a' in 1 bit, 256 and 257 in 2; nd = 4 codes of 2 bits. One
// repeat of the length 2 covers symbol 257 and all four distance codes.
std::string repeat_across_the_two_codes()
{
    std::vector<ClOp> ops = {
        {18, 86},   // 97 zeros: symbols 0..96
        {1},        // 'a'
        {18, 127},  // 138 zeros: 98..235
        {18, 9},    // 20 zeros: 236..255
        {2},        // 256
        {16, 2},    // five more 2s: 257 and distance codes 0..3
    };
    BitWriter bw;
    dynamic_header(bw, true, 258, 4, plain_cl_lengths(), ops);
    std::vector<unsigned> lit(258, 0);
    lit['a'] = 1;
    lit[256] = lit[257] = 2;
    Code lc(lit);
    lc.put(bw, 'a');
    lc.put(bw, 257);                               // length 3
    Code(std::vector<unsigned>(4, 2)).put(bw, 0);  // distance 1
    lc.put(bw, 256);
    return bw.finish();
}

// The lengths `lit` and `dist` sent plainly, then 32 zero bits.
std::string header_only(const std::vector<unsigned>& lit, const std::vector<unsigned>& dist)
{
    BitWriter bw;
    dynamic_block_header(bw, true, lit, dist);
    bw.bits(0, 32);
    return bw.finish();
}

// Only the code-length code `cl` (padded with zero lengths), then `bits`.
std::string cl_code_only(std::vector<unsigned> cl, const std::vector<unsigned>& bits = {})
{
    cl.resize(19, 0);
    BitWriter bw;
    dynamic_header(bw, true, 257, 1, cl, {});
    for (unsigned bit : bits) bw.bits(bit, 1);
    bw.bits(0, 32);
    return bw.finish();
}

// `text` in the code of full_lit_lengths() and an end of block, with one
// distance code of `dist_len` bits (0: none). A length symbol (above 256) is
// followed by distance code 0 (distance 1), or with no distance code by 16
// zero bits for the decoder to refuse.
std::string lit_block(unsigned dist_len, const std::vector<unsigned>& text)
{
    std::vector<unsigned> lit = full_lit_lengths();
    BitWriter bw;
    dynamic_block_header(bw, true, lit, {dist_len});
    Code lc(lit);
    for (unsigned s : text) {
        lc.put(bw, s);
        if (s > 256) bw.bits(0, dist_len == 0 ? 16 : dist_len);
    }
    lc.put(bw, 256);
    return bw.finish();
}

// Only end of block, in 1 bit: accepted as complete (a single 1-bit code),
// but its other pattern decodes as invalid.
std::string eob_only_block(unsigned pattern)
{
    std::vector<unsigned> lit(257, 0);
    lit[256] = 1;
    BitWriter bw;
    dynamic_block_header(bw, true, lit, {0});
    bw.bits(pattern, 1);
    bw.bits(0, 16);
    return bw.finish();
}

struct DynamicRow {
    const char* name;
    std::string deflated;
    int result;
    std::string out = "";
    std::string err = "";  // the inflater's own message, if any
};

TEST(InflateDynamic, CraftedHeadersAndCodesGiveTheirResultOutputAndMessage)
{
    std::vector<unsigned> incomplete_lit(257, 9);  // 256 literals fill half the space
    incomplete_lit[256] = 2;                       // a quarter more: a quarter unused
    const std::string text = "literal only";
    const std::vector<unsigned> literal_only(text.begin(), text.end());
    const DynamicRow rows[] = {
        {"287 literal/length codes", lit_count_block(287), BAD_DATA},
        {"288 literal/length codes", lit_count_block(288), BAD_DATA},
        {"31 distance codes", dist_count_block(31), BAD_DATA},
        {"32 distance codes", dist_count_block(32), BAD_DATA},
        {"a repeat ending exactly at the declared count", repeat_to_the_end({2}, {16, 0}), OK, "q"},  // 1 + 3
        {"a repeat running one past the declared count", repeat_to_the_end({2}, {16, 1}), BAD_DATA},  // 1 + 4
        {"3 zeros where 2 are left", repeat_to_the_end({2, 2}, {17, 0}), BAD_DATA},
        {"11 zeros where 2 are left", repeat_to_the_end({2, 2}, {18, 0}), BAD_DATA},
        {"a repeat crossing from the literal lengths into the distance lengths",
         repeat_across_the_two_codes(), OK, "aaaa"},

        {"an incomplete literal code says so", header_only(incomplete_lit, {1}), BAD_DATA, "",
         " incomplete literal tree\n"},
        {"an incomplete distance code says so", header_only(full_lit_lengths(), {2, 2, 2}), BAD_DATA, "",
         " incomplete distance tree\n"},
        {"257 literal/length codes of 8 bits are over-subscribed",
         header_only(std::vector<unsigned>(257, 8), {1}), BAD_TYPE},
        {"three 1-bit distance codes are over-subscribed", header_only(full_lit_lengths(), {1, 1, 1}),
         BAD_TYPE},
        {"three 1-bit code-length codes are over-subscribed", cl_code_only({1, 1, 1}), BAD_TYPE},
        {"an incomplete code-length code, without a message", cl_code_only({2}), BAD_DATA},  // 3/4 unused
        {"an empty code-length code", cl_code_only({}), BAD_DATA},
        // Symbol 8 alone in 1 bit is pattern 0 (sent once, a length 8); pattern 1
        // belongs to no symbol.
        {"the unused pattern of a single 1-bit code-length code",
         cl_code_only({0, 0, 0, 0, 0, 0, 0, 0, 1}, {0, 1}), BAD_DATA},
        {"a single distance code of length 1", lit_block(1, {'a', 258}), OK, "aaaaa"},  // 258: length 4
        {"no distance codes and only literals", lit_block(0, literal_only), OK, "literal only"},
        {"a length code without distance codes", lit_block(0, {'a', 257}), BAD_DATA},
        {"no literal/length codes at all", header_only(std::vector<unsigned>(257, 0), {1}), BAD_DATA},
        {"the pattern no literal fills", eob_only_block(1), BAD_DATA},
        {"the end of block of a single 1-bit code", eob_only_block(0), OK},
    };
    for (const DynamicRow& row : rows) {
        SCOPED_TRACE(row.name);
        Decoded d = decode(row.deflated);
        EXPECT_EQ(d.result, row.result);
        EXPECT_EQ(d.out, row.out);
        EXPECT_EQ(d.err, row.err);
    }
}

// Codes of 14 and 15 bits lie in sub-tables. The last bytes of the input are
// decoded one code at a time by the slow loop, the rest by the fast one: a
// message ending in the longest codes reaches the sub-tables in both loops.
TEST(InflateDynamic, CodesOfUpTo15BitsDecodeInBothLoops)
{
    // 'A' to 'M' get 1 to 13 bits; 'N', 'O', 'P' and end of block the four
    // 15-bit codes left: a complete code.
    std::vector<unsigned> lit(257, 0);
    for (unsigned i = 0; i < 13; i++) lit['A' + i] = i + 1;
    lit['N'] = lit['O'] = lit['P'] = lit[256] = 15;
    const std::string once = "ABCDEFGHIJKLMNOP";
    for (unsigned times : {1u, 2u, 40u}) {
        std::string msg;
        for (unsigned i = 0; i < times; i++) msg += once;
        BitWriter bw;
        dynamic_block_header(bw, true, lit, {0});
        Code lc(lit);
        for (char c : msg) lc.put(bw, static_cast<unsigned char>(c));
        lc.put(bw, 256);
        Decoded d = decode(bw.finish());
        EXPECT_EQ(d.result, OK) << times;
        EXPECT_EQ(d.out, msg) << times;
    }
}

// ---- state ----

template <class T>
bool all_zero(const T& state)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&state);
    return std::all_of(bytes, bytes + sizeof state, [](unsigned char b) { return b == 0; });
}

// The compressor and the inflater keep separate states; reset_gzip_state
// returns both to the zero a process starts with, after a decode (tables,
// window, bit buffer) and a compression (records, trees, bit writer) alike.
TEST(EngineState, ResetGzipStateClearsTheInflaterAndTheCompressor)
{
    BitWriter bw;
    dynamic_block_header(bw, true, full_lit_lengths(), {0});
    Code lc(full_lit_lengths());
    for (char c : std::string("state")) lc.put(bw, static_cast<unsigned char>(c));
    lc.put(bw, 256);
    ASSERT_EQ(decode(bw.finish()).out, "state");
    EXPECT_FALSE(all_zero(inflater));
    EXPECT_TRUE(all_zero(compressor));  // a decode leaves the compressor alone

    bi_init(-1);
    send_bits(5, 3);
    ct_tally(0, 'a');
    EXPECT_FALSE(all_zero(compressor));
    reset_gzip_state();
    EXPECT_TRUE(all_zero(inflater));
    EXPECT_TRUE(all_zero(compressor));
}

// ---- end of input ----

// The input's end or a failed read inside the stream, and a sink that
// fails: the first failure is the result, and nothing decoded after it
// (from the zeros the refills then hand out) is written.
TEST(InflateInput, AFailureOfTheInputOrOutputIsTheResultAndStopsTheOutput)
{
    BitWriter two;  // two whole windows of 'a' and a part, then the end of input
    block_header(two, false, 1);
    fixed_lit().put(two, 'a');
    for (int i = 0; i < 300; i++) {
        fixed_lit().put(two, 285);  // length 258
        fixed_dist().put(two, 0);   // distance 1
    }
    const std::string cut = two.finish();
    BitWriter one;
    block_header(one, true, 1);
    fixed_lit().put(one, 'a');
    const std::string short_stream = one.finish();

    struct Row {
        const char* name;
        const std::string& stream;
        bool read_fails;
        int writes_before_failure;
        codec_status status;
        std::size_t out;
    };
    const Row rows[] = {
        {"end inside a literal block", short_stream, false, -1, codec_status::truncated, 0},
        {"failed read", short_stream, true, -1, codec_status::read_failed, 0},
        {"end after two windows", cut, false, -1, codec_status::truncated, 2 * 32768},
        {"sink fails at the second window", cut, false, 1, codec_status::write_failed, 32768},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        reset_gzip_state();
        testutil::StringSource in(row.stream);
        in.fail = row.read_fails;
        testutil::StringSink out;
        out.fail_after = row.writes_before_failure;
        start_input(in.get());
        const codec_result r = inflate(in.get(), out.get());
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.error, row.read_fails || row.writes_before_failure >= 0 ? EIO : 0);
        EXPECT_EQ(out.data.size(), row.out);
        EXPECT_EQ(out.data.find_first_not_of('a'), std::string::npos);
    }
}

// ---- huft_build directly ----

// The entry a table holds for the pattern `bits` (first level `root` bits),
// following a link to a sub-table; `used` gets the code bits of the levels.
huft lookup(const huft* t, unsigned root, unsigned bits, unsigned& used)
{
    huft e = t[bits & ((1u << root) - 1)];
    used = 0;
    if (e & F_SUB) {
        used = root;
        e = t[(e >> 16) + ((bits >> root) & ((1u << ((e >> 8) & 15)) - 1))];
    }
    used += (e >> 8) & 15;
    return e;
}

bool is_invalid(huft e)
{
    return (e & (F_EXC | F_EOB | F_SUB)) == F_EXC;
}

TEST(HuftBuild, AllLengthsZeroGivesOnlyInvalidEntriesAndZeroBits)
{
    unsigned lens[5] = {0, 0, 0, 0, 0};
    huft t[1u << 4];
    int m = 7;
    EXPECT_EQ(huft_build(lens, 5, 5, nullptr, nullptr, t, 4, 1u << 4, &m), 0);
    EXPECT_EQ(m, 0);
    for (huft e : t) EXPECT_TRUE(is_invalid(e));
}

TEST(HuftBuild, FirstReadBitsAreClampedToTheShortestAndLongestLength)
{
    unsigned lens[4] = {2, 2, 2, 2};
    huft t[1u << 9];
    int m = 9;
    EXPECT_EQ(huft_build(lens, 4, 4, nullptr, nullptr, t, 9, 1u << 9, &m), 0);
    EXPECT_EQ(m, 2);  // lowered to the longest length

    std::vector<unsigned> l12(288, 12);
    std::vector<huft> big(4096);
    m = 9;
    EXPECT_EQ(huft_build(l12.data(), 288, 288, nullptr, nullptr, big.data(), 12, 4096, &m),
              1);      // 288 of 4096: incomplete
    EXPECT_EQ(m, 12);  // raised to the shortest length
}

TEST(HuftBuild, OverSubscribedIsResult2AndASingleOneBitCodeIsComplete)
{
    unsigned three_ones[3] = {1, 1, 1};
    huft t[1u << 4];
    int m = 4;
    EXPECT_EQ(huft_build(three_ones, 3, 3, nullptr, nullptr, t, 4, 1u << 4, &m), 2);

    unsigned one[3] = {0, 1, 0};
    m = 4;
    ASSERT_EQ(huft_build(one, 3, 3, nullptr, nullptr, t, 4, 1u << 4, &m), 0);
    EXPECT_EQ(m, 1);
    unsigned used;
    EXPECT_EQ(lookup(t, 4, 0b0, used), F_LIT | 1u << 16 | 1u << 8 | 1u);  // symbol 1, one bit
    EXPECT_TRUE(is_invalid(lookup(t, 4, 0b1, used)));                     // the unused pattern
}

TEST(HuftBuild, EntriesDecodeTheCanonicalCodeThroughSubTables)
{
    // Lengths 3,3,3,3,3,2,4,4 (RFC 1951 3.2.2 example): codes 010..110, 00,
    // 1110, 1111. A first level of 3 bits puts the two 4-bit codes in a
    // sub-table.
    unsigned lens[8] = {3, 3, 3, 3, 3, 2, 4, 4};
    huft t[1u << 4];
    int m = 3;
    ASSERT_EQ(huft_build(lens, 8, 8, nullptr, nullptr, t, 3, 1u << 4, &m), 0);
    ASSERT_EQ(m, 3);
    Code c(std::vector<unsigned>(lens, lens + 8));
    for (unsigned sym = 0; sym < 8; sym++) {
        // The stream sends the code's most significant bit first: reverse it.
        unsigned rev = 0;
        for (unsigned i = 0; i < c.len[sym]; i++) rev |= ((c.code[sym] >> (c.len[sym] - 1 - i)) & 1) << i;
        for (unsigned after = 0; after < (1u << (4 - c.len[sym])); after++) {
            unsigned used;
            huft e = lookup(t, 3, rev | after << c.len[sym], used);
            EXPECT_EQ(e & ~0u << 16, sym << 16) << sym;
            EXPECT_TRUE(e & F_LIT) << sym;
            EXPECT_EQ(used, c.len[sym]) << sym;
        }
    }
}

TEST(HuftBuild, LengthAndDistanceEntriesCarryTheirBaseAndExtraBits)
{
    // Two symbols from s on: base 10 with 2 extra bits, and an extra-bit count
    // above 13, which marks an invalid code.
    unsigned lens[3] = {1, 2, 2};
    const ush base[2] = {10, 0};
    const ush extra[2] = {2, 99};
    huft t[1u << 2];
    int m = 2;
    ASSERT_EQ(huft_build(lens, 3, 1, base, extra, t, 2, 1u << 2, &m), 0);
    unsigned used;
    EXPECT_EQ(lookup(t, 2, 0b01, used), 10u << 16 | 2u << 8 | 4u);  // code 10: 2 code bits + 2 extra
    EXPECT_TRUE(is_invalid(lookup(t, 2, 0b11, used)));              // code 11: the invalid symbol
}

}  // namespace
