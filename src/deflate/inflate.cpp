// The inflater: decodes one DEFLATE stream (RFC 1951) from the shared input
// buffer into the 32 KiB window, handing every full window to flush_window.
//
// Codes are decoded with multi-level lookup tables (huft_build): a first-level
// table indexed by the next `bl` stream bits, and sub-tables for longer codes.
// Every table starts out filled with invalid entries (e = 99), so a pattern
// that no code fills, or a slot the builder never reaches, is a format error
// and never a read through an uninitialised entry.
//
// Bit order: DEFLATE packs codes least significant bit first, so input bytes
// are appended above the bits already held and a code's first bit is bit 0
// of the buffer. Huffman codes are stored most significant bit first, which
// is why huft_build counts codes with a bit-reversed counter.
//
// The slow path reads input exactly as the format needs it: to "need k bits"
// takes whole bytes only while fewer than k are held (so at most 23 bits are
// ever held there). Blocks are decoded by a fast loop everywhere but in the
// last bytes of a refill; see its entry assumptions. Both produce the same
// output, flush at the same points and fail at the same points, and the slow
// path's tables are built only for a block that reaches it.
//
// State: the inflater's members of `engine` (engine.h): the bit buffer
// between blocks, the reach of distances, the fast tables of the fixed code
// (built on first use) and of the current dynamic block, and the list of
// slow-path tables. inflate restarts all but the fixed code's tables, which
// never change once built; engine itself and reset_engine_state are defined
// at the end of this file.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "inflate.h"

namespace {

using u64 = std::uint64_t;

constexpr unsigned BMAX = 16;     // longest code length huft_build accepts
constexpr unsigned N_MAX = 288;   // most symbols of any code
constexpr uch E_EOB = 15;         // huft.e: end of block
constexpr uch E_LIT = 16;         // huft.e: literal byte
constexpr uch E_BAD = 99;         // huft.e: no symbol has this pattern
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

// ---- bit input (slow path) ----
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

// ---- table allocation ----
// Each table is one allocation. Besides the chain of its set (kept in the
// hidden entry before the table), every live allocation is on one process-wide
// list, engine.live_tables, so a decode abandoned by a fatal exit that did
// not end the process (a test or fuzz harness) leaves nothing behind: inflate()
// and reset_engine_state() release it.
}  // namespace

struct table_block {
    table_block* prev;
    table_block* next;
    huft entries[1];  // hidden chain entry, then the table
};

namespace {

huft* alloc_table(unsigned entries)
{
    std::size_t size = offsetof(table_block, entries) + (entries + 1) * sizeof(huft);
    auto* blk = static_cast<table_block*>(std::malloc(size));
    if (blk == nullptr) return nullptr;
    blk->prev = nullptr;
    blk->next = engine.live_tables;
    if (engine.live_tables != nullptr) engine.live_tables->prev = blk;
    engine.live_tables = blk;
    return blk->entries;
}

void release_table(huft* base)
{
    auto* blk =
        reinterpret_cast<table_block*>(reinterpret_cast<char*>(base) - offsetof(table_block, entries));
    if (blk->prev != nullptr)
        blk->prev->next = blk->next;
    else
        engine.live_tables = blk->next;
    if (blk->next != nullptr) blk->next->prev = blk->prev;
    std::free(blk);
}

void release_all_tables()
{
    while (engine.live_tables != nullptr) release_table(engine.live_tables->entries);
}

// ---- window output ----
//
// The circular window is window[0..WSIZE); its output leaves through
// flush_window. The history a match may reach past the window's start, the
// previous window, is kept whole in `history` (the second half of the stream
// layer's window array): positions not yet rewritten in the current window
// are read from there. So the fast loop may write a few bytes past a match
// (see copy_fast) without losing history, and every read returns the byte the
// circular window held there.
uch* const history = stream.window + WSIZE;
constexpr unsigned COPY_SPILL = 37;  // most bytes copy_fast writes past a match
static_assert(WINDOW_SIZE + WINDOW_SLACK >= 2 * WSIZE + COPY_SPILL, "history and spill fit the window array");

// engine.reach_before: bytes of the stream before window position 0 that a
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
    flush_window();
    std::memcpy(history, stream.window, WSIZE);
    engine.reach_before = WSIZE;
    w = 0;
}

// Whether a match at window position w may copy from distance dist.
inline bool reaches_data(unsigned w, unsigned dist)
{
    return dist <= w + engine.reach_before;
}

inline void put_byte(unsigned& w, uch c)
{
    stream.window[w++] = c;
    if (w == WSIZE) window_full(w);
}

// Copies a match of n bytes from distance d (as "w - d" in the circular
// window) in pieces that stop at the window's end for both source and
// destination, flushing whenever the window fills. The result always equals
// a forward byte-by-byte copy, so a distance shorter than the length repeats
// the bytes just produced.
inline void copy_match(unsigned& w, unsigned src, unsigned n)
{
    do {
        src &= WSIZE - 1;
        unsigned piece = WSIZE - (src > w ? src : w);
        if (piece > n) piece = n;
        n -= piece;
        if (src >= w) {
            // The source lies in the previous window, at or ahead of the
            // destination (at it for distance 32768).
            std::memcpy(stream.window + w, history + src, piece);
            w += piece;
            src += piece;
        } else if (w - src >= piece) {
            std::memcpy(stream.window + w, stream.window + src, piece);  // no overlap
            w += piece;
            src += piece;
        } else {
            do stream.window[w++] = stream.window[src++];
            while (--piece);
        }
        if (w == WSIZE) window_full(w);
    } while (n != 0);
}

// Decodes one code with table set t whose first level indexes `bits` bits,
// taking input bytes only as each level needs them; consumes the code's
// bits. Returns null for an invalid code.
inline const huft* slow_decode(const huft* t, unsigned bits, u64& b, unsigned& k)
{
    need_bits(b, k, bits);
    t += low_bits(b, bits);
    unsigned e = t->e;
    while (e > 16) {
        if (e == E_BAD) return nullptr;
        drop_bits(b, k, t->b);
        e -= 16;
        need_bits(b, k, e);
        t = t->v.t + low_bits(b, e);
        e = t->e;
    }
    drop_bits(b, k, t->b);
    return t;
}

// ---- fast loop ----
//
// The fast loop decodes with its own tables: one 32-bit entry per pattern,
// a first level of FAST_LBITS (literal/length) or FAST_DBITS (distance) bits,
// and sub-tables for longer codes, all in one array. They are built from the
// same code lengths as the huft sets, after huft_build has accepted them, so
// both decode every pattern alike; a pattern no code fills is invalid in both.
// Measured (CPU seconds, min of 9, gzip -6 tar of /usr/include, 117 MiB out,
// AMD EPYC): 0.240 with the huft fast loop and libc copies, 0.208 with these
// tables and copy_fast; igzip -dc 0.116. The tables and literal runs alone
// gained nothing measurable; the copies without libc calls and with few
// branches did (callgrind branch model, 8 MB out: 665K -> 549K mispredicts).
//
// Entry layout:
//   bits 0..4   stream bits this step consumes: the code's bits at this level,
//               plus the extra bits for a length or distance base
//   bits 8..11  a length or distance entry: the code's bits at this level,
//               so the extra bits lie above them; a link: sub-table bits
//   bit 13      F_EOB end of block        } both with F_EXC set; F_EXC alone
//   bit 12      F_SUB link to a sub-table } is an invalid code
//   bit 14      F_EXC not a literal, length or distance
//   bit 15      F_LIT a literal
//   bits 16..31 literal byte, length or distance base, or the sub-table's index
using u32 = std::uint32_t;
constexpr u32 F_SUB = 1u << 12;
constexpr u32 F_EOB = 1u << 13;
constexpr u32 F_EXC = 1u << 14;
constexpr u32 F_LIT = 1u << 15;
constexpr u32 FAST_BAD = F_EXC;
constexpr unsigned FAST_LBITS = 11;
constexpr unsigned FAST_DBITS = 8;
// A block's tables are one fast_set (engine.h): FAST_LSIZE literal/length
// entries, then FAST_DSIZE distance entries.

// Fills table (first level tb bits) for code lengths len[0..n), symbols as in
// huft_build. Returns false if the set does not fit in cap entries.
bool fast_build(const unsigned* len, unsigned n, unsigned s, const ush* d, const ush* e, unsigned tb,
                u32* table, unsigned cap)
{
    unsigned count[BMAX + 1] = {};
    for (unsigned i = 0; i < n; i++) count[len[i]]++;
    unsigned offs[BMAX + 2];
    offs[1] = 0;
    for (unsigned l = 1; l <= BMAX; l++) offs[l + 1] = offs[l] + count[l];
    unsigned sorted[N_MAX];
    for (unsigned i = 0; i < n; i++)
        if (len[i] != 0) sorted[offs[len[i]]++] = i;
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
    std::uint64_t kraft = 0;
    for (unsigned l = 1; l <= BMAX; l++) kraft += std::uint64_t{count[l]} << (BMAX - l);
    const bool complete = kraft == std::uint64_t{1} << BMAX;
    table[0] = FAST_BAD;
    unsigned filled = 0;
    auto fill_to = [&](unsigned bits) {
        for (; filled < bits; filled++) std::memcpy(table + (1u << filled), table, sizeof *table << filled);
    };
    unsigned next_free = 1u << tb;
    unsigned rev = 0;  // the canonical code, bit-reversed: its first bit is bit 0
    unsigned prefix = ~0u;
    u32* sub = nullptr;
    unsigned sub_bits = 0;
    for (unsigned i = 0; i < nsym; i++) {
        unsigned sym = sorted[i];
        const unsigned l = len[sym];

        unsigned level_bits = l <= tb ? l : l - tb;
        u32 entry;
        if (sym < s) {
            entry = sym < 256 ? F_LIT | sym << 16 | level_bits : F_EXC | F_EOB | level_bits;
        } else if (e[sym - s] > 13) {
            entry = FAST_BAD | level_bits;
        } else {
            entry = u32{d[sym - s]} << 16 | level_bits << 8 | (level_bits + e[sym - s]);
        }

        if (l <= tb) {
            fill_to(l);
            table[rev] = entry;
        } else {
            fill_to(tb);
            if ((rev & ((1u << tb) - 1)) != prefix) {
                // A new sub-table: wide enough for every code left with this
                // prefix, counted as in a complete code.
                prefix = rev & ((1u << tb) - 1);
                sub_bits = l - tb;
                int left = 1 << sub_bits;
                while (sub_bits + tb < BMAX) {
                    left -= static_cast<int>(count[sub_bits + tb]);
                    if (left <= 0) break;
                    sub_bits++;
                    left <<= 1;
                }
                if (next_free + (1u << sub_bits) > cap) return false;
                sub = table + next_free;
                if (!complete)
                    for (unsigned j = 0; j < (1u << sub_bits); j++) sub[j] = FAST_BAD;
                table[prefix] = F_EXC | F_SUB | next_free << 16 | sub_bits << 8 | tb;
                next_free += 1u << sub_bits;
            }
            for (unsigned j = rev >> tb; j < (1u << sub_bits); j += 1u << (l - tb)) sub[j] = entry;
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
    fill_to(tb);
    return true;
}

// Builds both fast tables for a block; false leaves the block to the slow path.
bool fast_build_set(fast_set& f, const unsigned* ll, unsigned nl, const unsigned* dl, unsigned nd)
{
    return fast_build(ll, nl, 257, cplens, cplext, FAST_LBITS, f.lit(), FAST_LSIZE) &&
           fast_build(dl, nd, 0, cpdist, cpdext, FAST_DBITS, f.dist(), FAST_DSIZE);
}

// Entry assumptions, checked before every iteration:
//  - at least FAST_IN unread bytes lie in inbuf at inptr, so the 64-bit
//    refill reads only bytes that exist. A refill leaves at least 56 bits in
//    the buffer, and one iteration uses at most 48: a 15-bit length code and
//    5 extra bits, a 15-bit distance code and 13 extra bits; or up to four
//    literals, the first of up to 15 bits and the others of at most
//    FAST_LBITS, each looked up while at least FAST_LBITS bits are held;
//  - below FAST_OUT_END in the window, four literals or a whole match end
//    before the window fills (see the near_end step for the rest);
//  - a distance can reach before the start of the data only while no window
//    has been handed out (reach_before is 0), and then only when it exceeds
//    w: so the test sits in the branch for sources in the previous window,
//    which valid data takes only after the first window, and the loop's
//    common path carries no extra compare.
// Since every byte it decodes from lies in inbuf, the slow reader would have
// found the same bytes there: it would neither have refilled nor hit the end
// of input at any point the fast loop covers. On leaving, the whole bytes the
// loop took but did not use are given back to inbuf (only bytes it took
// itself, so inptr never steps back past a refill), and the slow path goes
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

// Copies a match of n (3..258) bytes from dist back (dist <= w), writing
// whole words and so up to COPY_SPILL bytes past the match: those lie ahead
// of the window position, where the history is read from `history`, or in
// the slack after the window.
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
int inflate_fast(const fast_set& f, u64& bits, unsigned& held, unsigned& wpos)
{
    // Everything in locals: window stores are byte stores, which the compiler
    // must assume may change any global or anything reached by reference.
    constexpr u32 lmask = (1u << FAST_LBITS) - 1;
    constexpr u32 dmask = (1u << FAST_DBITS) - 1;
    const u32* const lt = f.entries;
    const u32* const dt = lt + FAST_LSIZE;
    uch* const win = stream.window;
    u64 b = bits;
    unsigned k = held;
    unsigned w = wpos;
    const unsigned in_start = stream.inptr;
    const unsigned in_last = stream.insize - FAST_IN;  // insize >= FAST_IN on entry
    unsigned in = stream.inptr;

    // Branch-free refill: the bits above k already hold the low bits of the
    // next byte from the previous load, so OR-ing them again is harmless.
    auto refill = [&] {
        b |= load_le64(stream.inbuf + in) << k;
        in += (63 - k) >> 3;
        k |= 56;
    };
    // Consumes the stream bits of entry t (bits 5..7 of an entry are 0, so
    // the shift count needs no mask on targets whose shifts take it mod 64).
    auto consume = [&](u32 t) {
        b >>= t & 63;
        k -= t & 31;
    };
    // Length or distance: the base plus the extra bits above the code's bits.
    auto value = [&](u32 t) -> unsigned {
        u32 used = t & 31;
        unsigned v = (t >> 16) + ((static_cast<u32>(b) & ((1u << used) - 1)) >> ((t >> 8) & 15));
        consume(t);
        return v;
    };

    // One step for the last stretch of the window, where it may fill: one
    // literal at a time, matches through copy_match, which hand the window
    // out exactly when it fills, as the slow path would. (Leaving the loop
    // there instead cost a slow-path stretch per window, and with it a
    // slow-path table build per block.) The same codes and checks as below.
    auto near_end_step = [&]() -> int {
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
            stream.window[w++] = static_cast<uch>(t >> 16);
            consume(t);
            if (w == WSIZE) window_full(w);
            return 0;
        }
        unsigned n = value(t);
        t = dt[b & dmask];
        if (t & F_SUB) {
            b >>= FAST_DBITS;
            k -= FAST_DBITS;
            t = dt[(t >> 16) + (static_cast<u32>(b) & ((1u << ((t >> 8) & 15)) - 1))];
        }
        if (t & F_EXC) return 1;
        unsigned dist = value(t);
        if (!reaches_data(w, dist)) return 1;
        copy_match(w, w - dist, n);
        return 0;
    };

    int r = 0;
    for (;;) {
        while (in <= in_last && w >= FAST_OUT_END) {
            r = near_end_step();
            if (r != 0) break;
        }
        if (r != 0 || in > in_last) break;

        refill();
        u32 t = lt[b & lmask];
        // Stores the literal of t and looks up the next code.
        auto literal = [&] {
            win[w++] = static_cast<uch>(t >> 16);
            consume(t);
            t = lt[b & lmask];
        };
        while (w < FAST_OUT_END) {
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
                            win[w++] = static_cast<uch>(t >> 16);
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
                goto out;
            }
        length:
            unsigned n = value(t);
            t = dt[b & dmask];
            if (t & F_EXC) {
                r = 1;
                if ((t & F_SUB) == 0) goto out;
                b >>= FAST_DBITS;
                k -= FAST_DBITS;
                t = dt[(t >> 16) + (static_cast<u32>(b) & ((1u << ((t >> 8) & 15)) - 1))];
                if (t & F_EXC) goto out;
                r = 0;
            }
            unsigned dist = value(t);
            if (dist > w) {
                if (engine.reach_before == 0) {
                    r = 1;  // before the start of the data
                    goto out;
                }
                // The source starts in the previous window. A match that
                // stays there is copied from `history` in words, reading at
                // most COPY_SPILL bytes past its end, inside the window array;
                // one that runs on into this window goes through copy_match.
                // (A third of the matches of binary data start before the
                // window: 0.0514 -> 0.0493 s, min of 36, 24 MiB of binary data.)
                const unsigned src = w + WSIZE - dist;
                if (src + n <= WSIZE) {
                    copy_words(win + w, history + src, n);
                    w += n;
                } else {
                    copy_match(w, w - dist, n);
                }
            } else {
                copy_fast(win + w, n, dist);
                w += n;
            }
            if (in > in_last) break;
            refill();
            t = lt[b & lmask];
        }
    }
out:
    unsigned spare = k >> 3;
    if (spare > in - in_start) spare = in - in_start;
    stream.inptr = in - spare;
    k -= 8 * spare;
    bits = b & ((u64{1} << k) - 1);
    held = k;
    wpos = w;
    return r;
}

// The fast tables of the fixed code, built on first use and kept.
const fast_set* fixed_fast()
{
    if (!engine.fixed_fast_built) {
        unsigned lit[288];
        unsigned dist[30];
        for (unsigned i = 0; i < 288; i++) lit[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        for (unsigned& len : dist) len = 5;
        engine.fixed_fast_built = fast_build_set(engine.fixed_fast, lit, 288, dist, 30);
        if (!engine.fixed_fast_built) return nullptr;
    }
    return &engine.fixed_fast;
}

}  // namespace

// Builds the decoding table set for code lengths b[0..n). Symbols below s are
// literals (e = 16) or end of block (256, e = 15); from s on, the entry takes
// its extra-bit count from e[] and base value from d[]. *m is the wanted
// first-level width in, the actual one out. Returns 0 complete (or empty, with
// *t null), 1 incomplete, 2 over-subscribed, 3 out of memory; a set is built
// for 0 and 1 and the caller frees it.
int huft_build(const unsigned* b, unsigned n, unsigned s, const ush* d, const ush* e, huft** t, int* m)
{
    unsigned c[BMAX + 1] = {};  // codes of each length
    for (unsigned i = 0; i < n; i++) {
        if (b[i] > BMAX) return 2;
        c[b[i]]++;
    }
    *t = nullptr;
    if (c[0] == n) {
        *m = 0;
        return 0;
    }

    unsigned j = 1;  // shortest nonzero length
    while (c[j] == 0) j++;
    unsigned g = BMAX;  // longest length
    while (c[g] == 0) g--;
    int l = *m;
    if (l < static_cast<int>(j)) l = static_cast<int>(j);
    if (l > static_cast<int>(g)) l = static_cast<int>(g);
    *m = l;

    // Kraft check: y counts the patterns still free at the current length.
    int y = 1 << j;
    for (unsigned len = j; len < g; len++, y <<= 1) {
        if ((y -= static_cast<int>(c[len])) < 0) return 2;
    }
    if ((y -= static_cast<int>(c[g])) < 0) return 2;
    // Symbols sorted by length, then by value: the canonical code order.
    unsigned x[BMAX + 1];
    x[1] = 0;
    for (unsigned len = 1; len < BMAX; len++) x[len + 1] = x[len] + c[len];
    unsigned v[N_MAX];
    unsigned nreal = 0;
    for (unsigned i = 0; i < n; i++) {
        if (b[i] != 0) {
            v[x[b[i]]++] = i;
            nreal++;
        }
    }
    const unsigned* p = v;
    const unsigned* const p_end = v + nreal;

    // The free patterns become filler codes of the longest length, so every
    // table is filled out to completeness; their entries say "invalid".
    c[g] += static_cast<unsigned>(y);

    huft* u[BMAX + 1];          // open table of each level
    unsigned opened[BMAX + 1];  // value of i when each level was opened
    opened[0] = 0;
    huft** tail = t;  // where the next table of the set is chained in
    int h = -1;       // current level
    int w = -l;       // code bits decoded before the current level's table
    unsigned i = 0;   // bit-reversed code counter; bit 0 is the code's first bit
    huft* q = nullptr;
    unsigned z = 0;  // entries in q

    for (unsigned k = j; k <= g; k++) {
        unsigned a = c[k];  // codes of length k still to place
        while (a-- != 0) {
            while (static_cast<int>(k) > w + l) {
                h++;
                w += l;
                const int room = static_cast<int>(g) - w;
                const unsigned limit = static_cast<unsigned>(room < l ? room : l);
                unsigned width = k - static_cast<unsigned>(w);
                unsigned f = 1u << width;
                if (f > a + 1 && width < limit) {
                    // Too few codes of length k to fill a table this wide:
                    // widen while the longer codes would fill the free slots.
                    f -= a + 1;
                    const unsigned* xp = c + k;
                    while (++width < limit) {
                        f <<= 1;
                        if (f <= *++xp) break;
                        f -= *xp;
                    }
                }
                z = 1u << width;
                huft* base = alloc_table(z);
                if (base == nullptr) {
                    huft_free(*t);
                    *t = nullptr;
                    return 3;
                }
                q = base + 1;
                for (unsigned r = 0; r < z; r++) q[r] = huft{E_BAD, 0, {0}};
                base->v.t = nullptr;
                *tail = q;
                tail = &base->v.t;
                u[h] = q;
                if (h > 0) {
                    opened[h] = i;
                    huft link{static_cast<uch>(16 + width), static_cast<uch>(l), {0}};
                    link.v.t = q;
                    u[h - 1][i >> (w - l)] = link;
                }
            }

            huft r{E_BAD, static_cast<uch>(k - static_cast<unsigned>(w)), {0}};
            if (p < p_end) {
                if (*p < s) {
                    r.e = *p < 256 ? E_LIT : E_EOB;
                    r.v.n = static_cast<ush>(*p);
                } else {
                    r.e = static_cast<uch>(e[*p - s]);
                    r.v.n = d[*p - s];
                }
                p++;
            }
            unsigned step = 1u << (k - static_cast<unsigned>(w));
            for (unsigned jj = i >> w; jj < z; jj += step) q[jj] = r;

            // Next code in bit-reversed order: add 1 at bit k-1, carrying down.
            unsigned bit = 1u << (k - 1);
            while (i & bit) {
                i ^= bit;
                bit >>= 1;
            }
            i ^= bit;

            // Close the levels whose prefix is used up. Codes only get longer,
            // so the next one never lands in a closed table: q and z stay.
            while ((i & ((1u << w) - 1)) != opened[h]) {
                h--;
                w -= l;
            }
        }
    }
    return y != 0 && g != 1 ? 1 : 0;
}

int huft_free(huft* t)
{
    while (t != nullptr) {
        huft* base = t - 1;
        huft* next = base->v.t;
        release_table(base);
        t = next;
    }
    return 0;
}

namespace {

// A block's codes for the slow path: the table sets, or the code lengths to
// build them from when the slow path is first needed. Only a block that
// meets the end of a refill (or has no fast tables) takes that path, so most
// blocks never build them: the builds and their allocations were a fifth of
// the instructions of a gzip -9 member of binary data (callgrind, 668 dynamic
// blocks: 29M in huft_build, 9M in malloc and free, of 424M).
struct slow_codes {
    const unsigned* ll;  // literal/length code lengths, nl of them
    unsigned nl;
    const unsigned* dl;  // distance code lengths, nd of them
    unsigned nd;
    int bl;  // first-level bits, wanted until built, then actual
    int bd;
    bool built;
    bool no_literals;  // every literal/length length is 0
    huft* tl;
    huft* td;  // null when every distance length is 0
};

// Builds the sets, whose lengths code_status has already accepted: so the
// builds return 0 or 1 as it did, or 3 when memory runs out.
int build_slow(slow_codes& c)
{
    int i = huft_build(c.ll, c.nl, 257, cplens, cplext, &c.tl, &c.bl);
    if (i > 1) return i;
    i = huft_build(c.dl, c.nd, 0, cpdist, cpdext, &c.td, &c.bd);
    if (i > 1) {
        huft_free(c.tl);
        c.tl = nullptr;
        return i;
    }
    c.built = true;
    return 0;
}

// Decodes literal/length and distance codes until end of block; any length
// code is a format error when the block has no distance codes. fast, when
// given, holds the same codes as c in the fast loop's form. Returns 0, 1 for
// a format error, or 3 when the slow path's tables do not fit in memory.
int decode_codes(slow_codes& c, const fast_set* fast)
{
    if (c.no_literals) return 1;
    u64 b = engine.bb;
    unsigned k = engine.bk;
    unsigned w = stream.outcnt;

    for (;;) {
        if (fast != nullptr && stream.insize - stream.inptr >= FAST_IN) {
            int r = inflate_fast(*fast, b, k, w);
            if (r == FAST_EOB) break;
            if (r != 0) return r;
        }
        if (!c.built) {
            int r = build_slow(c);
            if (r != 0) return r;
        }
        const huft* t = slow_decode(c.tl, static_cast<unsigned>(c.bl), b, k);
        if (t == nullptr) return 1;
        unsigned e = t->e;
        if (e == E_LIT) {
            put_byte(w, static_cast<uch>(t->v.n));
            continue;
        }
        if (e == E_EOB) break;

        need_bits(b, k, e);
        unsigned n = t->v.n + low_bits(b, e);
        drop_bits(b, k, e);

        if (c.td == nullptr) return 1;  // a length code, but no distance codes
        t = slow_decode(c.td, static_cast<unsigned>(c.bd), b, k);
        if (t == nullptr) return 1;
        e = t->e;
        need_bits(b, k, e);
        unsigned dist = t->v.n + low_bits(b, e);
        drop_bits(b, k, e);
        if (!reaches_data(w, dist)) return 1;
        copy_match(w, w - dist, n);
    }

    stream.outcnt = w;
    engine.bb = b;
    engine.bk = k;
    return 0;
}

// Decodes the block's codes, then releases the slow path's sets if built.
int codes_then_free(slow_codes& c, const fast_set* fast)
{
    int r = decode_codes(c, fast);
    if (c.built) {
        huft_free(c.tl);
        huft_free(c.td);
    }
    return r == 3 ? 3 : r != 0 ? 1 : 0;
}

// What huft_build returns for the code lengths b[0..n), short of running out
// of memory: 0 complete or no code at all, 1 incomplete, 2 over-subscribed.
int code_status(const unsigned* b, unsigned n)
{
    unsigned c[BMAX + 1] = {};
    for (unsigned i = 0; i < n; i++) {
        if (b[i] > BMAX) return 2;
        c[b[i]]++;
    }
    if (c[0] == n) return 0;
    unsigned j = 1;
    while (c[j] == 0) j++;
    unsigned g = BMAX;
    while (c[g] == 0) g--;
    int y = 1 << j;
    for (unsigned len = j; len < g; len++, y <<= 1) {
        if ((y -= static_cast<int>(c[len])) < 0) return 2;
    }
    if ((y -= static_cast<int>(c[g])) < 0) return 2;
    return y != 0 && g != 1 ? 1 : 0;
}

// The longest of the code lengths b[0..n); 0 when no symbol has a code.
unsigned max_length(const unsigned* b, unsigned n)
{
    unsigned m = 0;
    for (unsigned i = 0; i < n; i++)
        if (b[i] > m) m = b[i];
    return m;
}

int inflate_stored()
{
    u64 b = engine.bb;
    unsigned k = engine.bk;
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
            fill_inbuf(0);
            stream.inptr = 0;  // fill_inbuf hands out the first byte; take it with the rest
        }
        unsigned piece = stream.insize - stream.inptr;
        if (piece > n) piece = n;
        if (piece > WSIZE - w) piece = WSIZE - w;
        std::memcpy(stream.window + w, stream.inbuf + stream.inptr, piece);
        stream.inptr += piece;
        w += piece;
        n -= piece;
        if (w == WSIZE) window_full(w);
    }

    stream.outcnt = w;
    engine.bb = b;
    engine.bk = k;
    return 0;
}

int inflate_fixed()
{
    static constexpr auto fixed_lengths = [] {
        struct {
            unsigned lit[288];
            unsigned dist[30];
        } f{};
        for (unsigned i = 0; i < 288; i++) f.lit[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        for (unsigned& len : f.dist) len = 5;
        return f;
    }();

    // A complete literal/length code; 30 five-bit distance codes leave
    // patterns 30 and 31 unused: incomplete is fine here, and those patterns
    // decode as invalid codes.
    slow_codes c{fixed_lengths.lit, 288, fixed_lengths.dist, 30, 7, 5, false, false, nullptr, nullptr};
    return codes_then_free(c, fixed_fast());
}

int inflate_dynamic()
{
    u64 b = engine.bb;
    unsigned k = engine.bk;

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

    // The code-length code: at most 7 bits, so one table as wide as its
    // longest code decodes it, reading what a huft set with that first-level
    // width reads (huft_build narrows the wanted 7 bits to the longest
    // length). The huft set and its allocation cost more than the decode.
    int i = code_status(ll, 19);
    if (i != 0) return i;
    // No code-length code at all: nothing can be decoded.
    const unsigned bl = max_length(ll, 19);
    if (bl == 0) return 1;
    u32 clt[1u << 7];
    fast_build(ll, 19, 19, nullptr, nullptr, bl, clt, 1u << bl);

    const unsigned n = nl + nd;
    const unsigned m = mask_bits[bl];
    unsigned last = 0;
    for (unsigned j = 0; j < n;) {
        need_bits(b, k, bl);
        const u32 t = clt[static_cast<unsigned>(b) & m];
        // A single 1-bit code leaves the other pattern invalid.
        if (t & F_EXC) return 1;
        drop_bits(b, k, t & 31);
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
    engine.bb = b;
    engine.bk = k;

    i = code_status(ll, nl);
    if (i != 0) {
        if (i == 1) std::fputs(" incomplete literal tree\n", stderr);
        return i;
    }
    i = code_status(ll + nl, nd);
    if (i != 0) {
        if (i == 1) std::fputs(" incomplete distance tree\n", stderr);
        return i;
    }

    // Both codes are accepted, so the fast tables fit; should they ever not,
    // the block is decoded by the slow path alone.
    const fast_set* fast =
        fast_build_set(engine.dynamic_fast, ll, nl, ll + nl, nd) ? &engine.dynamic_fast : nullptr;
    slow_codes c{ll, nl, ll + nl, nd, lbits, dbits, false, max_length(ll, nl) == 0, nullptr, nullptr};
    return codes_then_free(c, fast);
}

int inflate_block(int* e)
{
    u64 b = engine.bb;
    unsigned k = engine.bk;
    need_bits(b, k, 1);
    *e = static_cast<int>(b & 1);
    drop_bits(b, k, 1);
    need_bits(b, k, 2);
    unsigned type = low_bits(b, 2);
    drop_bits(b, k, 2);
    engine.bb = b;
    engine.bk = k;

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

int inflate()
{
    release_all_tables();  // left behind only by a decode that never returned
    stream.outcnt = 0;
    engine.bk = 0;
    engine.bb = 0;
    // Every stream starts from a clean window, so nothing of an earlier
    // decode (the verify pass of the same member) can reach this one.
    std::memset(stream.window, 0, sizeof stream.window);
    engine.reach_before = 0;

    int last;
    do {
        int r = inflate_block(&last);
        if (r != 0) return r;
    } while (!last);

    // Give back whole unused bytes so inptr lands on the trailer. The slow
    // reader holds at most 23 bits and the end-of-block code leaves at most 15
    // of them, so this is at most one byte, the one taken last from inbuf.
    // The fast loop keeps this bound: it gives back what it read ahead, so
    // this reader never holds more bytes than the byte-at-a-time one would.
    // The inptr test only guards the buffer should that ever fail.
    while (engine.bk >= 8 && stream.inptr > 0) {
        engine.bk -= 8;
        stream.inptr--;
    }
    engine.bb &= (u64{1} << engine.bk) - 1;

    flush_window();
    return 0;
}

// Defined beside the inflater's table list, the one part of the state that
// owns heap blocks, so that the reset can give them back first.
engine_state engine;

// All zero is the start of a process, so the reset is one clear.
static_assert(std::is_trivially_copyable_v<engine_state> &&
              std::is_trivially_default_constructible_v<engine_state>);

void reset_engine_state()
{
    release_all_tables();
    std::memset(&engine, 0, sizeof engine);
}
