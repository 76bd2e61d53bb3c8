// The inflater: decodes one DEFLATE stream (RFC 1951) from the shared input
// buffer into the 32 KiB window, handing every full window to flush_window.
//
// Codes are decoded with lookup tables of one format (huft_build): a first
// level indexed by the next 11 (literal/length) or 8 (distance) stream bits,
// and sub-tables for longer codes. Every pattern that no code fills holds an
// invalid entry, so such a pattern is a format error and never a read through
// an uninitialised entry.
//
// Bit order: DEFLATE packs codes least significant bit first, so input bytes
// are appended above the bits already held and a code's first bit is bit 0
// of the buffer. Huffman codes are stored most significant bit first, which
// is why huft_build counts codes with a bit-reversed counter.
//
// Two loops decode a block's codes with the same tables: a fast loop
// everywhere but in the last bytes of a refill (see its entry assumptions),
// and a slow one there, which reads input exactly as the format needs it: to
// "need k bits" takes whole bytes only while fewer than k are held. Both
// produce the same output, flush at the same points and fail at the same
// points. Nothing is allocated: the tables are fixed arrays of `inflater`.
//
// State: `inflater` (inflate_state.h): the bit buffer
// between blocks, the reach of distances, the tables of the fixed code (built
// on first use) and of the current dynamic block. inflate restarts all but
// the fixed code's tables, which never change once built; the instance and
// reset_inflater_state are defined at the end of this file.
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "inflate_state.h"

namespace {

using u64 = std::uint64_t;

constexpr unsigned BMAX = 16;     // longest code length huft_build accepts
constexpr unsigned N_MAX = 288;   // most symbols of any code
constexpr unsigned MAX_NL = 286;  // literal/length codes a dynamic block may declare
constexpr unsigned MAX_ND = 30;   // distance codes a dynamic block may declare

constexpr ush mask_bits[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000f, 0x001f, 0x003f, 0x007f, 0x00ff,
                               0x01ff, 0x03ff, 0x07ff, 0x0fff, 0x1fff, 0x3fff, 0x7fff, 0xffff};

// Order in which a dynamic block sends the code-length code lengths.
constexpr unsigned border[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length codes 257..287: base lengths and extra bits. Code 285 is 258 with no
// extra bits; 286 and 287 cannot occur in a valid stream, so their extra-bit
// count is the invalid marker 99 and decoding them is a format error.
constexpr ush cplens[31] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23, 27, 31,
                            35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
constexpr ush cplext[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,  2, 2,
                            3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
// Distance codes 0..29.
constexpr ush cpdist[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                            33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                            1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr ush cpdext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

static_assert(cplens[28] == 258 && cplext[28] == 0, "code 285 is length 258 without extra bits");
static_assert(cpdist[29] + (1u << cpdext[29]) - 1 == 32768, "the farthest distance is 32768");

constexpr int lbits = 9;  // first-level bits of a dynamic literal/length table
constexpr int dbits = 6;  // first-level bits of a dynamic distance table

// ---- bit input (slow loop) ----
inline void need_bits(u64& b, unsigned& k, unsigned n)
{
    while (k < n) {
        b |= static_cast<u64>(in_byte()) << k;
        k += 8;
    }
}

inline void drop_bits(u64& b, unsigned& k, unsigned n)
{
    b >>= n;
    k -= n;
}

inline unsigned low_bits(u64 b, unsigned n)
{
    return static_cast<unsigned>(b) & mask_bits[n];
}
// ---- window output ----
//
// The circular window is one slot of the inflater's window array,
// inflater.wcur[0..WSIZE); its output leaves through flush_window. The
// history a match may reach past the window's start, the previous window,
// lies whole right before it: a full window moves wcur on to the next slot,
// and only the last slot is copied, into the first, before wcur goes back to
// the second. So a match's source is always at "position - distance" in one
// array, whichever window it starts in, and the fast loop may write a few
// bytes past a match (see copy_fast) into bytes no read needs: the rest of
// the current slot, the start of the next (never the history), or the slack
// after the last. Before, the window and the history were two halves swapped
// by pointers, and a match reaching into the history took a branch of its
// own, mispredicted for nearly every one of the one match in seven of binary
// data that does. One 32 KiB copy per three windows costs far less: vokra -x
// -u of the binary corpus went from 0.0577 to 0.0512 s CPU (with the bzhi
// below; medians of 21 alternating rounds, AMD EPYC), 2.77 M to 2.44 M
// mispredicted branches in callgrind's model.
constexpr unsigned COPY_SPILL = 37;  // most bytes copy_fast writes past a match
static_assert(INFLATE_SPILL >= COPY_SPILL, "spill fits the window array's slack");
static_assert(WINDOW_SLOTS >= 3, "the last slot's copy does not overlap the first");

// inflater.reach_before: bytes of the stream before window position 0 that a
// distance may reach, 0 until the first window is handed out, then WSIZE,
// every distance the format has. A distance d at window position w is valid
// when d <= w + reach_before; a longer one reaches before the start of the
// data and is a format error, as in zlib ("invalid distance too far back").
// Otherwise the bytes copied would be whatever the window held, which a
// second decode of the same member (the verify pass) need not see alike.

// The window is full: hand it out, and keep it as the history of the next.
inline void window_full(unsigned& w)
{
    stream.outcnt = w;
    flush_window(inflater.wcur);
    if (inflater.wcur == inflater.window + (WINDOW_SLOTS - 1) * WSIZE) {
        std::memcpy(inflater.window, inflater.wcur, WSIZE);
        inflater.wcur = inflater.window + WSIZE;
    } else {
        inflater.wcur += WSIZE;
    }
    inflater.reach_before = WSIZE;
    w = 0;
}

// Whether a match at window position w may copy from distance dist.
inline bool reaches_data(unsigned w, unsigned dist)
{
    return dist <= w + inflater.reach_before;
}

inline void put_byte(unsigned& w, uch c)
{
    inflater.wcur[w++] = c;
    if (w == WSIZE) window_full(w);
}

// Copies a match of n bytes from distance dist (reaches_data holds) in pieces
// that stop at the window's end, flushing whenever the window fills; the
// source stays at the same distance, since the window just filled lies right
// before the next. The result always equals a forward byte-by-byte copy, so
// a distance shorter than the length repeats the bytes just produced.
inline void copy_match(unsigned& w, unsigned dist, unsigned n)
{
    do {
        unsigned piece = WSIZE - w;
        if (piece > n) piece = n;
        n -= piece;
        uch* dst = inflater.wcur + w;
        const uch* src = dst - dist;
        if (dist >= piece) {
            std::memcpy(dst, src, piece);  // no overlap
        } else {
            for (unsigned i = 0; i < piece; i++) dst[i] = src[i];
        }
        w += piece;
        if (w == WSIZE) window_full(w);
    } while (n != 0);
}

// ---- decoding tables ----
//
// One 32-bit entry per pattern: a first level of `root` bits (FAST_LBITS for
// literal/length codes, FAST_DBITS for distances) and sub-tables for longer
// codes, all in one array of a huft_set (inflater.h).
// Measured (CPU seconds, min of 9, gzip -6 tar of /usr/include, 117 MiB out,
// AMD EPYC): 0.240 with the former two-level struct tables and libc copies,
// 0.208 with these tables and copy_fast; igzip -dc 0.116. The tables and
// literal runs alone gained nothing measurable; the copies without libc calls
// and with few branches did (callgrind branch model, 8 MB out: 665K -> 549K
// mispredicts).
// The entry layout is that of huft (inflater.h).
using u32 = std::uint32_t;
constexpr u32 FAST_BAD = F_EXC;
constexpr unsigned FAST_LBITS = 11;
constexpr unsigned FAST_DBITS = 8;
constexpr unsigned CL_BITS = 7;  // the code-length code's longest code, and its table's first level

inline bool invalid(u32 t)
{
    return (t & (F_EXC | F_EOB | F_SUB)) == F_EXC;
}

inline unsigned code_bits(u32 t)
{
    return (t >> 8) & 15;
}

}  // namespace

// Builds the decoding table for code lengths b[0..n) into t, whose first level
// indexes `root` bits and which holds cap entries. Symbols below s are
// literals (256: end of block); from s on, an entry takes its extra-bit count
// from e[] (above 13: an invalid code) and its base from d[]. *m is the wanted
// first-level width of the byte-at-a-time reader in, and out the bits it reads
// before its first lookup: the wanted width raised to the shortest length and
// lowered to the longest, 0 when no symbol has a code. Returns 0 complete (or
// no code at all: then every entry is invalid), 1 incomplete (the free
// patterns are invalid), 2 over-subscribed (t untouched). Every complete code
// of up to 15 bits fits the caps of huft_set; an incomplete one that does
// not stops early with result 1, which only the fixed distance code, with no
// sub-tables, survives.
int huft_build(const unsigned* b, unsigned n, unsigned s, const ush* d, const ush* e, huft* t, unsigned root,
               unsigned cap, int* m)
{
    unsigned count[BMAX + 1] = {};  // codes of each length
    for (unsigned i = 0; i < n; i++) {
        if (b[i] > BMAX) return 2;
        count[b[i]]++;
    }
    unsigned j = 1;  // shortest nonzero length
    while (j <= BMAX && count[j] == 0) j++;
    unsigned g = BMAX;  // longest length
    while (g > 0 && count[g] == 0) g--;
    int y = 0;  // patterns left free at the longest length
    if (g == 0) {
        *m = 0;
    } else {
        int l = *m;
        if (l < static_cast<int>(j)) l = static_cast<int>(j);
        if (l > static_cast<int>(g)) l = static_cast<int>(g);
        *m = l;
        // Kraft check: y counts the patterns still free at the current length.
        y = 1 << j;
        for (unsigned len = j; len < g; len++, y <<= 1) {
            if ((y -= static_cast<int>(count[len])) < 0) return 2;
        }
        if ((y -= static_cast<int>(count[g])) < 0) return 2;
    }
    // An incomplete code, except one whose only length is 1 (a block that
    // uses a single distance code).
    const int result = y != 0 && g != 1 ? 1 : 0;

    // Symbols sorted by length, then by value: the canonical code order.
    unsigned offs[BMAX + 2];
    offs[1] = 0;
    for (unsigned l = 1; l <= BMAX; l++) offs[l + 1] = offs[l] + count[l];
    unsigned sorted[N_MAX];
    for (unsigned i = 0; i < n; i++)
        if (b[i] != 0) sorted[offs[b[i]]++] = i;
    const unsigned nsym = offs[BMAX + 1];

    // The first level grows by doubling: its first 2^filled entries decode
    // every code of up to `filled` bits (the rest of those patterns are
    // invalid), and a copy of them is the same for one bit more, to which the
    // codes of that length are added, one entry each. A complete code fills
    // every slot of each sub-table (one is exactly as wide as the longest
    // code under its prefix), so only an incomplete one needs the invalid
    // filler there. Doubling, the bit-reversed counter instead of reversing
    // each code, and no filler for complete codes took the builds of 668
    // dynamic blocks of gzip -9 output from 35.6M to 13.6M instructions.
    t[0] = FAST_BAD;
    unsigned filled = 0;
    auto fill_to = [&](unsigned bits) {
        for (; filled < bits; filled++) std::memcpy(t + (1u << filled), t, sizeof *t << filled);
    };
    unsigned next_free = 1u << root;
    unsigned rev = 0;  // the canonical code, bit-reversed: its first bit is bit 0
    unsigned prefix = ~0u;
    huft* sub = nullptr;
    unsigned sub_bits = 0;
    for (unsigned i = 0; i < nsym; i++) {
        unsigned sym = sorted[i];
        const unsigned l = b[sym];

        const u32 level_bits = l <= root ? l : l - root;
        u32 entry;
        if (sym < s) {
            entry = (sym < 256 ? F_LIT | sym << 16 : F_EXC | F_EOB) | level_bits << 8 | level_bits;
        } else if (e[sym - s] > 13) {
            entry = FAST_BAD | level_bits << 8 | level_bits;
        } else {
            entry = u32{d[sym - s]} << 16 | level_bits << 8 | (level_bits + e[sym - s]);
        }

        if (l <= root) {
            fill_to(l);
            t[rev] = entry;
        } else {
            fill_to(root);
            if ((rev & ((1u << root) - 1)) != prefix) {
                // A new sub-table: wide enough for every code left with this
                // prefix, counted as in a complete code.
                prefix = rev & ((1u << root) - 1);
                sub_bits = l - root;
                int left = 1 << sub_bits;
                while (sub_bits + root < BMAX) {
                    left -= static_cast<int>(count[sub_bits + root]);
                    if (left <= 0) break;
                    sub_bits++;
                    left <<= 1;
                }
                if (next_free + (1u << sub_bits) > cap) return result;
                sub = t + next_free;
                if (result != 0)
                    for (unsigned k = 0; k < (1u << sub_bits); k++) sub[k] = FAST_BAD;
                t[prefix] = F_EXC | F_SUB | next_free << 16 | sub_bits << 8 | root;
                next_free += 1u << sub_bits;
            }
            for (unsigned k = rev >> root; k < (1u << sub_bits); k += 1u << (l - root)) sub[k] = entry;
        }
        count[l]--;
        // The next code: add 1 at the code's last bit (bit l-1 here), carrying
        // towards bit 0. A longer next code appends zeros at its end, above
        // bit l-1, which leaves the value as it is.
        unsigned bit = 1u << (l - 1);
        while (rev & bit) {
            rev ^= bit;
            bit >>= 1;
        }
        rev ^= bit;
    }
    fill_to(root);
    return result;
}

namespace {

// Whether every pattern of table level `level` (width bits) that begins with
// the `held` low bits of v is an invalid code: then those bits already prove
// the code invalid, whatever follows them.
bool invalid_whatever_follows(const huft* level, unsigned width, u64 v, unsigned held)
{
    if (held >= width) return invalid(level[v & mask_bits[width]]);
    const unsigned base = static_cast<unsigned>(v) & mask_bits[held];
    for (unsigned x = 0; x < (1u << (width - held)); x++)
        if (!invalid(level[base | x << held])) return false;
    return true;
}

// The slow loop's decoder: decodes one code with table t (first level `root`
// bits), taking whole input bytes only while the bits held leave the code
// undecided, and never fewer than `first`: the byte-at-a-time reader always
// took whole first-level indexes of that width (the m of huft_build), so its
// reads at the end of the input are kept. Consumes the code's bits (not a
// length's or distance's extra bits) and returns its entry, one for which
// invalid() holds for an invalid code.
u32 slow_decode(const huft* t, unsigned root, unsigned first, u64& b, unsigned& k)
{
    need_bits(b, k, first);
    for (;;) {
        const huft* level = t;
        unsigned width = root;
        unsigned before = 0;  // code bits decoded by the levels above
        u32 e = t[b & mask_bits[root]];
        if ((e & F_SUB) && k >= root) {
            before = root;
            level = t + (e >> 16);
            width = code_bits(e);
            e = level[(b >> root) & mask_bits[width]];
        }
        if (invalid(e)) {
            if (invalid_whatever_follows(level, width, b >> before, k - before)) return e;
        } else if ((e & F_SUB) == 0 && before + code_bits(e) <= k) {
            drop_bits(b, k, before + code_bits(e));
            return e;
        }
        b |= static_cast<u64>(in_byte()) << k;
        k += 8;
    }
}

// A length's or distance's value: the base of entry t plus its extra bits.
inline unsigned slow_value(u32 t, u64& b, unsigned& k)
{
    const unsigned extra = (t & 31) - code_bits(t);
    need_bits(b, k, extra);
    unsigned v = (t >> 16) + low_bits(b, extra);
    drop_bits(b, k, extra);
    return v;
}

// ---- fast loop ----
//
// Entry assumptions, checked before every iteration:
//  - at least FAST_IN unread bytes lie in inbuf at inptr, so the 64-bit
//    refill reads only bytes that exist. A refill leaves at least 56 bits in
//    the buffer, and one iteration uses at most 48: a 15-bit length code and
//    5 extra bits, a 15-bit distance code and 13 extra bits; or up to four
//    literals, the first of up to 15 bits and the others of at most
//    FAST_LBITS, each looked up while at least FAST_LBITS bits are held;
//  - below FAST_OUT_END in the window, four literals or a whole match end
//    before the window fills (see the near_end step for the rest);
//  - the window is never the array's first slot, so a match's source, at
//    most 32768 bytes back, lies inside the array; it lies before the start
//    of the data when below the window's start minus reach_before, a compare
//    valid data never takes.
// Since every byte it decodes from lies in inbuf, the slow reader would have
// found the same bytes there: it would neither have refilled nor hit the end
// of input at any point the fast loop covers. On leaving, the whole bytes the
// loop took but did not use are given back to inbuf (only bytes it took
// itself, so inptr never steps back past a refill), and the slow loop goes
// on exactly where the byte-at-a-time reader would be.
constexpr unsigned FAST_IN = 8;
constexpr unsigned FAST_OUT_END = WSIZE - MAX_MATCH;
constexpr int FAST_EOB = -1;

inline u64 load_le64(const uch* p)
{
    if constexpr (std::endian::native == std::endian::little) {
        u64 v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        u64 v = 0;
        for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
        return v;
    }
}

// A whole word, so the compiler emits plain moves.
inline void copy8(uch* dst, const uch* src)
{
    std::memcpy(dst, src, 8);
}

// Copies n (3..258) bytes in whole words from src, which lies at least 8
// bytes before dst or in another array, so each word read precedes the bytes
// still to be written. Writes up to COPY_SPILL bytes past the n. Five words
// before the loop cover most matches without a loop-exit misprediction
// (0.213 -> 0.208 s in the measurement above, against three words).
inline void copy_words(uch* dst, const uch* src, unsigned n)
{
    copy8(dst, src);
    copy8(dst + 8, src + 8);
    copy8(dst + 16, src + 16);
    copy8(dst + 24, src + 24);
    copy8(dst + 32, src + 32);
    for (unsigned i = 40; i < n; i += 8) copy8(dst + i, src + i);
}

// Copies a match of n (3..258) bytes from dist back (reaches_data holds),
// writing whole words and so up to COPY_SPILL bytes past the match, where no
// read needs them (see the window's layout).
inline void copy_fast(uch* dst, unsigned n, unsigned dist)
{
    const uch* src = dst - dist;
    if (dist >= 8) {
        copy_words(dst, src, n);
    } else if (dist == 1) {
        u64 v = *src * 0x0101010101010101ull;
        for (unsigned i = 0; i < n; i += 8) std::memcpy(dst + i, &v, 8);
    } else {
        do *dst++ = *src++;
        while (--n != 0);
    }
}

// Returns 0 when an entry assumption no longer holds, FAST_EOB at end of
// block, 1 for an invalid code; bits, held and wpos are the caller's bit
// buffer and window position.
//
// The main loop keeps the entry of the next code in t from one symbol to the
// next: a literal run that ends at a length code has already looked it up,
// and the lookup after a match is issued while the copy is in flight.
// Every refill loads at an `in` no greater than in_last, so the 56 or more
// bits it leaves held all come from bytes below insize; t is always looked up
// while at least FAST_LBITS of them are held, and a refill, which only ORs
// the same bytes above the held bits, leaves t valid.
//
// The input and window positions are pointers, and the loop is a function of
// its own: with indexes, and inlined into the slow loop, it kept its input
// position, input end and table base on the stack (vokra -x -u of the bench
// corpora, CPU seconds, medians of 7: binary 0.0620 -> 0.0566, text 0.0380
// -> 0.0333; igzip -dc 0.054 and 0.033).
// The body is compiled twice (see fast_loop below), so it is inlined into
// both copies.
[[gnu::always_inline]] inline int inflate_fast(const huft_set& f, u64& bits, unsigned& held, unsigned& wpos)
{
    // Everything in locals: window stores are byte stores, which the compiler
    // must assume may change any global or anything reached by reference.
    constexpr u32 lmask = (1u << FAST_LBITS) - 1;
    constexpr u32 dmask = (1u << FAST_DBITS) - 1;
    // Distance entries are read as lt[FAST_LSIZE + i], not through a second
    // pointer, which the compiler kept on the stack (1.5% of the fast loop's
    // instructions on binary data).
    const u32* const lt = f.entries;
    // The window moves when near_end_step fills it. A match whose source
    // lies below `lowest` reaches before the start of the data; valid data
    // never takes that branch.
    uch* win;
    const uch* lowest;
    uch* out_end;
    auto window_moved = [&] {
        win = inflater.wcur;
        lowest = win - inflater.reach_before;
        out_end = win + FAST_OUT_END;
    };
    window_moved();
    u64 b = bits;
    // Only the low byte of k is the bit count (0..63): consume subtracts the
    // whole entry, whose bits 5..7 are 0, so the low byte stays exact (the
    // count never goes below 0) while borrows leave garbage above it, which
    // every use masks off. That saves a mask and a move per code (3% of the
    // fast loop's instructions on binary data).
    unsigned k = held;
    uch* out = win + wpos;  // the window position, as a pointer
    const uch* const in_start = stream.inbuf + stream.inptr;
    const uch* const in_last = stream.inbuf + stream.insize - FAST_IN;  // insize >= FAST_IN on entry
    const uch* in = in_start;

    // Branch-free refill: the bits above k already hold the low bits of the
    // next byte from the previous load, so OR-ing them again is harmless.
    auto refill = [&] {
        b |= load_le64(in) << (k & 63);
        in += ((k & 63) ^ 63) >> 3;  // 63 - count, the count being at most 63
        k |= 56;
    };
    // Consumes the stream bits of entry t (bits 5..7 of an entry are 0, so
    // the shift count needs no mask on targets whose shifts take it mod 64).
    auto consume = [&](u32 t) {
        b >>= t & 63;
        k -= t;
    };
    // Length or distance: the base plus the extra bits above the code's bits.
    // The masks take whole bytes of the entry: its low byte is the bits
    // used (bits 5..7 are 0), and the byte above is the code's bits, since a
    // length's or distance's entry has no flag set. In that form the mask is
    // one bzhi with BMI2; masked to 5 and 4 bits it became four instructions.
    auto value = [&](u32 t) -> unsigned {
        const u64 bits_used = b & ((u64{1} << static_cast<uch>(t)) - 1);
        unsigned v = (t >> 16) + static_cast<unsigned>(bits_used >> static_cast<uch>(t >> 8));
        consume(t);
        return v;
    };

    // One step for the last stretch of the window, where it may fill: one
    // literal at a time, matches through copy_match, which hand the window
    // out exactly when it fills, as the slow loop would. (Leaving the loop
    // there instead cost a slow-loop stretch per window.) The same codes and
    // checks as below.
    auto near_end_code = [&](unsigned& w) -> int {
        refill();
        u32 t = lt[b & lmask];
        if (t & F_SUB) {
            b >>= FAST_LBITS;
            k -= FAST_LBITS;
            t = lt[(t >> 16) + (static_cast<u32>(b) & ((1u << ((t >> 8) & 15)) - 1))];
        }
        if (t & F_EXC) {
            if ((t & F_EOB) == 0) return 1;
            consume(t);
            return FAST_EOB;
        }
        if (t & F_LIT) {
            inflater.wcur[w++] = static_cast<uch>(t >> 16);
            consume(t);
            if (w == WSIZE) window_full(w);
            return 0;
        }
        unsigned n = value(t);
        t = lt[FAST_LSIZE + (b & dmask)];
        if (t & F_SUB) {
            b >>= FAST_DBITS;
            k -= FAST_DBITS;
            t = lt[FAST_LSIZE + (t >> 16) + (static_cast<u32>(b) & ((1u << ((t >> 8) & 15)) - 1))];
        }
        if (t & F_EXC) return 1;
        unsigned dist = value(t);
        if (!reaches_data(w, dist)) return 1;
        copy_match(w, dist, n);
        return 0;
    };
    auto near_end_step = [&]() -> int {
        unsigned w = static_cast<unsigned>(out - win);
        int r = near_end_code(w);
        window_moved();
        out = win + w;
        return r;
    };

    int r = 0;
    for (;;) {
        while (in <= in_last && out >= out_end) {
            r = near_end_step();
            if (r != 0) break;
        }
        if (r != 0 || in > in_last) break;

        refill();
        u32 t = lt[b & lmask];
        // Stores the literal of t and looks up the next code.
        auto literal = [&] {
            *out++ = static_cast<uch>(t >> 16);
            consume(t);
            t = lt[b & lmask];
        };
        while (out < out_end) {
            if (t & F_LIT) {
                // This literal and up to three more: each takes at most
                // FAST_LBITS, so after four at least 12 bits are held.
                literal();
                if (t & F_LIT) {
                    literal();
                    if (t & F_LIT) {
                        literal();
                        if (t & F_LIT) literal();
                    }
                }
                if (in > in_last) break;
                refill();
                continue;
            }
            // At least 56 bits are held here: every way to the loop's top
            // refills, and a match takes at most 48.
            if (t & F_EXC) {
                if (t & F_SUB) {
                    b >>= FAST_LBITS;
                    k -= FAST_LBITS;
                    t = lt[(t >> 16) + (static_cast<u32>(b) & ((1u << ((t >> 8) & 15)) - 1))];
                    if ((t & F_EXC) == 0) {
                        if (t & F_LIT) {
                            *out++ = static_cast<uch>(t >> 16);
                            consume(t);
                            if (in > in_last) break;
                            refill();
                            t = lt[b & lmask];
                            continue;
                        }
                        goto length;
                    }
                }
                r = 1;
                if (t & F_EOB) {
                    consume(t);
                    r = FAST_EOB;
                }
                goto done;
            }
        length:
            unsigned n = value(t);
            t = lt[FAST_LSIZE + (b & dmask)];
            if (t & F_EXC) {
                r = 1;
                if ((t & F_SUB) == 0) goto done;
                b >>= FAST_DBITS;
                k -= FAST_DBITS;
                t = lt[FAST_LSIZE + (t >> 16) + (static_cast<u32>(b) & ((1u << ((t >> 8) & 15)) - 1))];
                if (t & F_EXC) goto done;
                r = 0;
            }
            unsigned dist = value(t);
            if (out - dist < lowest) {
                r = 1;
                goto done;
            }
            copy_fast(out, n, dist);
            out += n;
            if (in > in_last) break;
            refill();
            t = lt[b & lmask];
        }
    }
done:
    k &= 63;
    unsigned spare = k >> 3;
    const auto taken = static_cast<unsigned>(in - in_start);
    if (spare > taken) spare = taken;
    stream.inptr = static_cast<unsigned>(in - stream.inbuf) - spare;
    k -= 8 * spare;
    bits = b & ((u64{1} << k) - 1);
    held = k;
    wpos = static_cast<unsigned>(out - win);
    return r;
}

// The fast loop for every x86-64 and other CPU, and one for x86 CPUs with
// BMI2, chosen at run time. Nearly every step shifts by a count taken from
// an entry or the bit count; without BMI2 such a shift takes its count in CL
// only, and a move to CL comes with each. With shrx and friends: 8% fewer
// instructions and 3-4% less CPU time for vokra -x -u of the binary corpus
// (medians of 11 rounds, AMD EPYC).
[[gnu::noinline]] int inflate_fast_plain(const huft_set& f, u64& bits, unsigned& held, unsigned& wpos)
{
    return inflate_fast(f, bits, held, wpos);
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
[[gnu::noinline, gnu::target("bmi2")]] int inflate_fast_bmi2(const huft_set& f, u64& bits, unsigned& held,
                                                             unsigned& wpos)
{
    return inflate_fast(f, bits, held, wpos);
}

fast_loop_fn fast_loop_best()
{
    return cpu_has_bmi2() ? inflate_fast_bmi2 : inflate_fast_plain;
}
#else
fast_loop_fn fast_loop_best()
{
    return inflate_fast_plain;
}
#endif

// The copy in use, chosen on the first call after the start or a reset and
// kept in the inflater's state, where inflate_force_plain can pin the other.
fast_loop_fn fast_loop()
{
    if (inflater.fast_loop == nullptr) [[unlikely]]
        inflater.fast_loop = fast_loop_best();
    return inflater.fast_loop;
}

// The tables of the fixed code, built on first use and kept.
const huft_set& fixed_tables()
{
    if (!inflater.fixed_built) {
        unsigned lit[288];
        unsigned dist[30];
        for (unsigned i = 0; i < 288; i++) lit[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        for (unsigned& len : dist) len = 5;
        // A complete literal/length code; 30 five-bit distance codes leave
        // patterns 30 and 31 unused: incomplete is fine here, and those
        // patterns decode as invalid codes.
        huft_set& f = inflater.fixed_tables;
        f.bl = 7;
        f.bd = 5;
        huft_build(lit, 288, 257, cplens, cplext, f.lit(), FAST_LBITS, FAST_LSIZE, &f.bl);
        huft_build(dist, 30, 0, cpdist, cpdext, f.dist(), FAST_DBITS, FAST_DSIZE, &f.bd);
        inflater.fixed_built = true;
    }
    return inflater.fixed_tables;
}

// Decodes literal/length and distance codes with the tables t until end of
// block: the fast loop while its entry assumptions hold, the slow loop for
// one code at a time where they do not. Returns 0, or 1 for a format error.
int inflate_codes(const huft_set& t)
{
    u64 b = inflater.bb;
    unsigned k = inflater.bk;
    unsigned w = stream.outcnt;
    const unsigned bl = static_cast<unsigned>(t.bl);
    const unsigned bd = static_cast<unsigned>(t.bd);

    for (;;) {
        if (stream.insize - stream.inptr >= FAST_IN) {
            int r = fast_loop()(t, b, k, w);
            if (r == FAST_EOB) break;
            if (r != 0) return r;
        }
        // Once the input has ended or a read or write failed, the refills
        // hand out zeros, which would decode without end where the all-zero
        // pattern is a literal. The fast loop never runs on them.
        if (stream_failed()) return 1;
        u32 e = slow_decode(t.lit(), FAST_LBITS, bl, b, k);
        if (invalid(e)) return 1;
        if (e & F_LIT) {
            put_byte(w, static_cast<uch>(e >> 16));
            continue;
        }
        if (e & F_EOB) break;
        unsigned n = slow_value(e, b, k);
        // A block without distance codes has bd 0 and only invalid entries,
        // so a length code there fails before any distance bit is read.
        e = slow_decode(t.dist(), FAST_DBITS, bd, b, k);
        if (invalid(e)) return 1;
        unsigned dist = slow_value(e, b, k);
        if (!reaches_data(w, dist)) return 1;
        copy_match(w, dist, n);
    }

    stream.outcnt = w;
    inflater.bb = b;
    inflater.bk = k;
    return 0;
}

int inflate_stored()
{
    u64 b = inflater.bb;
    unsigned k = inflater.bk;
    unsigned w = stream.outcnt;

    drop_bits(b, k, k & 7);  // to the next byte boundary
    need_bits(b, k, 16);
    unsigned n = low_bits(b, 16);
    drop_bits(b, k, 16);
    need_bits(b, k, 16);
    if (n != (~static_cast<unsigned>(b) & 0xffff)) return 1;
    drop_bits(b, k, 16);

    // Bytes still held in the bit buffer come first; the rest is copied
    // straight from inbuf in pieces that end at the end of inbuf or of the
    // window. That refills and flushes at the same bytes as copying one byte
    // at a time through the bit buffer would.
    for (; n != 0 && k >= 8; n--) {
        put_byte(w, static_cast<uch>(b));
        drop_bits(b, k, 8);
    }
    while (n != 0) {
        if (stream.inptr == stream.insize) {
            fill_inbuf();
            if (stream_failed()) return 1;
            stream.inptr = 0;  // fill_inbuf hands out the first byte; take it with the rest
        }
        unsigned piece = stream.insize - stream.inptr;
        if (piece > n) piece = n;
        if (piece > WSIZE - w) piece = WSIZE - w;
        std::memcpy(inflater.wcur + w, stream.inbuf + stream.inptr, piece);
        stream.inptr += piece;
        w += piece;
        n -= piece;
        if (w == WSIZE) window_full(w);
    }

    stream.outcnt = w;
    inflater.bb = b;
    inflater.bk = k;
    return 0;
}

int inflate_fixed()
{
    return inflate_codes(fixed_tables());
}

int inflate_dynamic()
{
    u64 b = inflater.bb;
    unsigned k = inflater.bk;

    need_bits(b, k, 5);
    unsigned nl = 257 + low_bits(b, 5);
    drop_bits(b, k, 5);
    need_bits(b, k, 5);
    unsigned nd = 1 + low_bits(b, 5);
    drop_bits(b, k, 5);
    need_bits(b, k, 4);
    unsigned nb = 4 + low_bits(b, 4);
    drop_bits(b, k, 4);
    if (nl > MAX_NL || nd > MAX_ND) return 1;

    unsigned ll[MAX_NL + MAX_ND] = {};
    for (unsigned j = 0; j < nb; j++) {
        need_bits(b, k, 3);
        ll[border[j]] = low_bits(b, 3);
        drop_bits(b, k, 3);
    }
    for (unsigned j = nb; j < 19; j++) ll[border[j]] = 0;

    // The code-length code: at most 7 bits, so one level decodes it. An
    // incomplete one is an error without a message; so is none at all.
    huft clt[1u << CL_BITS];
    int bc = CL_BITS;
    int i = huft_build(ll, 19, 19, nullptr, nullptr, clt, CL_BITS, 1u << CL_BITS, &bc);
    if (i != 0) return i;
    if (bc == 0) return 1;

    const unsigned n = nl + nd;
    unsigned last = 0;
    for (unsigned j = 0; j < n;) {
        // One level, filled out from the longest code (bc bits), so bc bits
        // decide every pattern, as slow_decode would find. A single 1-bit
        // code leaves the other pattern invalid.
        need_bits(b, k, static_cast<unsigned>(bc));
        const u32 t = clt[b & mask_bits[CL_BITS]];
        if (invalid(t)) return 1;
        drop_bits(b, k, code_bits(t));
        unsigned sym = t >> 16;
        unsigned rep;
        unsigned val;
        if (sym < 16) {
            ll[j++] = last = sym;
            continue;
        }
        if (sym == 16) {
            need_bits(b, k, 2);
            rep = 3 + low_bits(b, 2);
            drop_bits(b, k, 2);
            val = last;
        } else if (sym == 17) {
            need_bits(b, k, 3);
            rep = 3 + low_bits(b, 3);
            drop_bits(b, k, 3);
            val = last = 0;
        } else {
            need_bits(b, k, 7);
            rep = 11 + low_bits(b, 7);
            drop_bits(b, k, 7);
            val = last = 0;
        }
        if (j + rep > n) return 1;
        while (rep-- != 0) ll[j++] = val;
    }
    inflater.bb = b;
    inflater.bk = k;

    huft_set& t = inflater.dynamic_tables;
    t.bl = lbits;
    i = huft_build(ll, nl, 257, cplens, cplext, t.lit(), FAST_LBITS, FAST_LSIZE, &t.bl);
    if (i != 0) {
        if (i == 1) note_bad_data(FORMAT_VIOLATED, " incomplete literal tree\n", 1);
        return i;
    }
    t.bd = dbits;
    i = huft_build(ll + nl, nd, 0, cpdist, cpdext, t.dist(), FAST_DBITS, FAST_DSIZE, &t.bd);
    if (i != 0) {
        if (i == 1) note_bad_data(FORMAT_VIOLATED, " incomplete distance tree\n", 1);
        return i;
    }
    return inflate_codes(t);
}

int inflate_block(int* e)
{
    u64 b = inflater.bb;
    unsigned k = inflater.bk;
    need_bits(b, k, 1);
    *e = static_cast<int>(b & 1);
    drop_bits(b, k, 1);
    need_bits(b, k, 2);
    unsigned type = low_bits(b, 2);
    drop_bits(b, k, 2);
    inflater.bb = b;
    inflater.bk = k;

    switch (type) {
        case 2:
            return inflate_dynamic();
        case 0:
            return inflate_stored();
        case 1:
            return inflate_fixed();
        default:
            return 2;
    }
}

}  // namespace

codec_result inflate(const source& in, const sink& out)
{
    resume_input(in);
    start_output(out);
    inflater.bk = 0;
    inflater.bb = 0;
    // Every stream starts from a clean window, so nothing of an earlier
    // decode (the verify pass of the same member) can reach this one.
    std::memset(inflater.window, 0, sizeof inflater.window);
    inflater.wcur = inflater.window + WSIZE;
    inflater.reach_before = 0;

    int last;
    do {
        // A failure of the input or output comes first: whatever the
        // decoder made of the zeros after it is no finding about the data.
        int r = inflate_block(&last);
        if (stream_failed()) return stream.failure;
        if (r != 0) {
            note_bad_data(FORMAT_VIOLATED, nullptr, r);
            return stream.failure;
        }
    } while (!last);

    // Give back whole unused bytes so inptr lands on the trailer. The slow
    // reader holds at most 23 bits and the end-of-block code leaves at most 15
    // of them, so this is at most one byte, the one taken last from inbuf.
    // The fast loop keeps this bound: it gives back what it read ahead, so
    // this reader never holds more bytes than the byte-at-a-time one would.
    // The inptr test only guards the buffer should that ever fail.
    while (inflater.bk >= 8 && stream.inptr > 0) {
        inflater.bk -= 8;
        stream.inptr--;
    }
    inflater.bb &= (u64{1} << inflater.bk) - 1;

    flush_window(inflater.wcur);
    return stream.failure;
}

inflater_state inflater;

// All zero is the start of a process, so the reset is one clear.
static_assert(std::is_trivially_copyable_v<inflater_state> &&
              std::is_trivially_default_constructible_v<inflater_state>);

void reset_inflater_state()
{
    std::memset(&inflater, 0, sizeof inflater);
}

bool inflate_force_plain(bool plain)
{
    inflater.fast_loop = plain ? inflate_fast_plain : fast_loop_best();
    return inflater.fast_loop != inflate_fast_plain;
}
