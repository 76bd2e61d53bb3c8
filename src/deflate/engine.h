// The DEFLATE engine's state: every chain, tree, record and table that the
// compressor (deflate.cpp, trees.cpp) and the inflater (inflate.cpp) change
// after start-up, members of one static instance, `engine`.
//
// As with the stream layer's state, the program is one thread running one road
// per process, so the state is one zero-initialised object: no heap, and an
// access is one absolute address as for a plain global. Tables that never change after start-up are not state
// and stay `constexpr` in their files: the level table, the fixed codes, the extra-bit, base and code tables.
// lm_init and ct_init start the compression of a member and inflate its decoding; reset_engine_state()
// returns all of it to the state a new process starts in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "stream.h"

// ---- sizes of the state's tables ----
// Match finder: the hash of a string's first MIN_MATCH bytes picks its hash
// chain; key chains link strings sharing their first 4, 6, 8 or 16 bytes.
constexpr int HASH_BITS = 15;
constexpr unsigned HASH_SIZE = 1u << HASH_BITS;
constexpr unsigned KEY_LEVELS = 4;
constexpr int KEY_HASH_BITS = 15;
// Trees (RFC 1951 3.2.5 to 3.2.7).
constexpr int MAX_BITS = 15;      // longest literal/length or distance code
constexpr int LENGTH_CODES = 29;  // length symbols 257..285
constexpr int LITERALS = 256;
constexpr int L_CODES = LITERALS + 1 + LENGTH_CODES;  // 286
constexpr int D_CODES = 30;
constexpr int BL_CODES = 19;
constexpr int HEAP_SIZE = 2 * L_CODES + 1;  // leaves and internal nodes of the largest tree
constexpr unsigned LIT_BUFSIZE = 0x8000;    // records per block, one byte each in inbuf
// Inflater: room for the first level and every sub-table of a complete code
// of up to 15 bits (288 or 30 symbols) in a block's decoding tables.
constexpr unsigned FAST_LSIZE = 2342;
constexpr unsigned FAST_DSIZE = 402;

// A tree element of the compressor. freq and code share a field, as do dad
// and len: a block first counts frequencies and links parents, then turns
// them into lengths and codes.
struct ct_data {
    union {
        ush freq;
        ush code;  // bit-reversed, ready for send_bits
    };
    union {
        ush dad;
        ush len;
    };
};

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

// The scalars come first, a cache line per section, so that what one loop
// touches shares lines; the tables follow. The members are one object, so a
// sanitizer sees no border between them; the inflater's dynamic tables, whose
// entries follow code lengths read from hostile input, come last, so running
// off their end still meets the object's own.
struct engine_state {
    // ---- match finder (deflate.cpp): positions and search parameters ----
    // The compressor's input, the one call upwards: the member writer points
    // it at its reader before lm_init. It fills buf with up to size bytes and
    // returns their count, 0 at the end of the input or -1 on a failed read
    // (the compressor ends the stream either way).
    int (*read_buf)(char* buf, unsigned size);
    unsigned strstart;     // window index of the current string
    unsigned lookahead;    // valid bytes from strstart on
    unsigned match_start;  // start of the best match longest_match found
    unsigned prev_length;  // best length at the previous position; the length to beat
    unsigned insert_next;  // first position not yet in its chain and tree
    // The binary trees hold every string from this position on; ~0u while
    // they are not kept.
    unsigned tree_from;
    // The level's search parameters, from lm_init.
    unsigned max_chain_length;  // chain links followed per search
    unsigned max_lazy_match;    // no search when the previous match is this long
    unsigned good_match;        // a previous match this long quarters the chain budget
    unsigned nice_match;        // a match this long ends the search
    // Window index of the current block's first byte, negative once that
    // byte has slid out; trees.cpp reads it with strstart to end a block early.
    long block_start;
    int eofile;  // read_buf has reported the end of input
    // What the chain walk and the trees cost over the current segment of
    // strings (from the second line on), and the trees' cost when last kept:
    // they choose the structure.
    struct cost_counts {
        unsigned long strings, searches, chain_searches, links, nodes;
    } cost;
    double nodes_per_string;

    // ---- trees (trees.cpp): the current block's records and costs ----
    alignas(64) unsigned last_lit;  // records in the block (bytes used in inbuf)
    unsigned last_dist;             // matches in the block (entries used in d_buf)
    unsigned last_flags;            // complete bytes in flag_buf
    uch flags;                      // flag bits of the records not yet in flag_buf
    uch flag_bit;                   // bit of flags for the next record
    ulg opt_len;                    // block cost in bits with dynamic codes, trees included
    ulg static_len;                 // block cost in bits with the fixed codes
    ulg compressed_len;             // bits emitted for the stream so far
    int heap_len;                   // entries of heap[1..]
    int heap_max;                   // first slot of heap's sorted tail
    ush* file_type;                 // the caller's slots, recorded by ct_init, never written
    int* file_method;

    // ---- inflater (inflate.cpp): bit buffer and window between blocks ----
    // bk bits not yet used, the next stream bit in bit 0 of bb.
    alignas(64) std::uint64_t bb;
    unsigned bk;
    // Bytes of the stream before window position 0 that a distance may
    // reach: 0 until the first window is handed out, then WSIZE.
    unsigned reach_before;
    bool fixed_built;  // fixed_tables holds the fixed code's tables

    // ---- trees: the block's Huffman trees and records ----
    alignas(64) ct_data dyn_ltree[HEAP_SIZE];
    ct_data dyn_dtree[2 * D_CODES + 1];
    ct_data bl_tree[2 * BL_CODES + 1];
    std::array<ush, MAX_BITS + 1> bl_count;  // codes of each length
    // heap[1..heap_len] is the heap (heap[0] unused); heap[heap_max..HEAP_SIZE-1]
    // collects the nodes in the order they leave it, so the root ends up first
    // and every parent comes before its children.
    int heap[HEAP_SIZE];
    uch depth[HEAP_SIZE];           // subtree height, breaks frequency ties
    uch flag_buf[LIT_BUFSIZE / 8];  // one bit per record, 1 = match, first record in bit 0

    // ---- match finder: chains, ranks and trees by window position ----
    // Strings inserted into each bucket so far, and each position's count at
    // its insertion: two strings of one bucket are rank_of difference chain
    // links apart. Counts wrap at 2^16, which is exact for differences below WSIZE.
    alignas(64) ush bucket_count[HASH_SIZE];
    ush rank_of[WSIZE];
    // Binary search tree links by position & (WSIZE - 1): the subtree of
    // strings that sort before (tree_less) and after (tree_more) the string there.
    ush tree_less[WSIZE];
    ush tree_more[WSIZE];
    // Key chains, linked like the hash chains: heads by key hash, links by position.
    ush key_head[KEY_LEVELS][1u << KEY_HASH_BITS];
    ush key_prev[KEY_LEVELS][WSIZE];

    // ---- inflater: the decoding tables ----
    // Those of the fixed code, built on first use and kept; those of the
    // current dynamic block.
    alignas(64) huft_set fixed_tables;
    huft_set dynamic_tables;
};
// The positions and parameters that the lazy pass and every search read fill
// the first cache line.
static_assert(offsetof(engine_state, cost) == 64);
// Zero-initialised, so the tables take no room in the executable.
extern engine_state engine;

// Returns every member of `engine` to its start-of-process value.
void reset_engine_state();
