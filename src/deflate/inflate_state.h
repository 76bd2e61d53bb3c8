// The inflater's state: its bit buffer between blocks, the reach of
// distances, its decoding tables and its window, members of one static
// instance, `inflater`. Only the inflater's source and the tests of its
// tables include this header.
//
// One zero-initialised object, as the compressor's: no heap, an access is
// one absolute address, and it takes no room in the executable. inflate
// restarts it for each stream but for the fixed code's tables, which never
// change once built; reset_inflater_state() returns all of it to the state a
// new process starts in.
#pragma once

#include <cstdint>

#include "inflate.h"
#include "stream.h"

// Inflater: room for the first level and every sub-table of a complete code
// of up to 15 bits (288 or 30 symbols) in a block's decoding tables.
constexpr unsigned FAST_LSIZE = 2342;
constexpr unsigned FAST_DSIZE = 402;
// Most bytes the fast loop writes past a match, into the window's slack.
constexpr unsigned INFLATE_SPILL = 64;
// The window array's WSIZE slots: the one before the current window always
// holds the previous window, the history a match may reach.
constexpr unsigned WINDOW_SLOTS = 4;

// One entry of the inflater's decoding tables, one per bit pattern:
//   bits 0..4   stream bits this step consumes: the code's bits at this level,
//               plus the extra bits for a length or distance base
//   bits 8..11  the code's bits at this level, so a length's or distance's
//               extra bits lie above them; a link: sub-table bits
//   bit 13      F_EOB end of block        } both with F_EXC set; F_EXC alone
//   bit 12      F_SUB link to a sub-table } is an invalid code
//   bit 14      F_EXC not a literal, length or distance
//   bit 15      F_LIT a literal
//   bits 16..31 literal byte, length or distance base, or the sub-table's index
using huft = std::uint32_t;
constexpr huft F_SUB = 1u << 12;
constexpr huft F_EOB = 1u << 13;
constexpr huft F_EXC = 1u << 14;
constexpr huft F_LIT = 1u << 15;

// The decoding tables of one block. The distance table follows the
// literal/length table in one array, so the fast loop keeps one base register
// for both (a second one was spilled: 5% of the decode time of binary data).
// bl and bd: the bits the byte-at-a-time reader takes before its first lookup
// in each (see huft_build).
struct huft_set {
    huft entries[FAST_LSIZE + FAST_DSIZE];
    int bl;
    int bd;
    huft* lit() { return entries; }
    huft* dist() { return entries + FAST_LSIZE; }
    const huft* lit() const { return entries; }
    const huft* dist() const { return entries + FAST_LSIZE; }
};

// The fast loop: one copy per instruction set (inflate.cpp).
using fast_loop_fn = int (*)(const huft_set& f, std::uint64_t& bits, unsigned& held, unsigned& wpos);

// The tables first, the window last, so that running off its end (the
// window is written at distances read from hostile input) still meets the
// object's own.
struct inflater_state {
    // ---- inflater (inflate.cpp): bit buffer between blocks ----
    // bk bits not yet used, the next stream bit in bit 0 of bb.
    alignas(64) std::uint64_t bb;
    unsigned bk;
    // Bytes of the stream before window position 0 that a distance may
    // reach: 0 until the first window is handed out, then WSIZE.
    unsigned reach_before;
    bool fixed_built;  // fixed_tables holds the fixed code's tables
    // The fast loop this CPU runs: null until the first block picks the
    // fastest; inflate_force_plain pins the plain one until the next reset.
    fast_loop_fn fast_loop;

    // ---- the decoding tables ----
    // Those of the fixed code, built on first use and kept; those of the
    // current dynamic block.
    alignas(64) huft_set fixed_tables;
    huft_set dynamic_tables;

    // ---- the window ----
    // The current window, wcur, is one of the slots after the first of
    // `window`, so the previous window lies right before it; a full window
    // moves wcur on by a slot, and from the last slot back to the second,
    // after copying itself into the first. inflate points wcur at the second
    // slot before the first byte. The fast loop writes up to INFLATE_SPILL
    // bytes past a match.
    uch* wcur;
    alignas(64) uch window[WINDOW_SLOTS * WSIZE + INFLATE_SPILL];
};
extern inflater_state inflater;

// Builds one decoding table (see inflate.cpp); 0 complete, 1 incomplete, 2
// over-subscribed.
int huft_build(const unsigned* b, unsigned n, unsigned s, const ush* d, const ush* e, huft* t, unsigned root,
               unsigned cap, int* m);
