// The compressor's state: every chain, tree, record and buffer that the match
// finder (deflate.cpp), the trees (trees.cpp) and the bit writer (bits.cpp)
// change after start-up, members of one static instance, `compressor`. Only
// the compressor's sources include this header.
//
// The program is one thread running one road per process, so the state is
// one zero-initialised object: no heap, and an access is one absolute address
// as for a plain global. Tables that never change after start-up are not
// state and stay `constexpr` in their files: the level table, the fixed
// codes, the extra-bit and code tables. lm_init and ct_init start the
// compression of a member; reset_compressor_state() returns all of it to the
// state a new process starts in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "deflate.h"
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
constexpr unsigned LIT_BUFSIZE = 0x8000;    // records per block, one byte each in l_buf
// The window: two halves of WSIZE; near the end of the input the match
// compare reads up to MAX_MATCH bytes past strstart, which can lie just below
// WINDOW_SIZE, so a zero-filled slack follows, rounded up so word-at-a-time
// compares stay inside the array too.
constexpr unsigned WINDOW_SIZE = 2 * WSIZE;  // window_size
constexpr unsigned WINDOW_SLACK = 512;
constexpr unsigned DIST_BUFSIZE = 0x8000;
// The compressor keeps this much input ahead of strstart so the hash (3 bytes)
// and the match compare (up to 258 bytes) never need a bounds check.
constexpr unsigned MIN_LOOKAHEAD = MAX_MATCH + MIN_MATCH + 1;  // 262
// Farthest distance the compressor offers, so a match never needs bytes that
// the next window slide could move out from under it.
constexpr unsigned MAX_DIST = WSIZE - MIN_LOOKAHEAD;  // 32506

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

// The scalars come first, a cache line per section, so that what one loop
// touches shares lines; the tables and buffers follow, the window last, so
// that a sanitizer sees running off its end.
struct compressor_state {
    // ---- match finder (deflate.cpp): positions and search parameters ----
    // The compressor's input: the member writer points it at its source
    // before lm_init. A read of 0 (the end) or -1 (a failed read) ends the
    // stream either way; the source keeps the failure.
    const source* input;
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
    int eofile;  // the input has reported its end
    // What the chain walk and the trees cost over the current segment of
    // strings (from the second line on), and the trees' cost when last kept:
    // they choose the structure.
    struct cost_counts {
        unsigned long strings, searches, chain_searches, links, nodes;
    } cost;
    double nodes_per_string;

    // ---- trees (trees.cpp): the current block's records and costs ----
    alignas(64) unsigned last_lit;  // records in the block (bytes used in l_buf)
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

    // ---- bit writer (bits.cpp): codes waiting for a whole 16-bit word ----
    ush bi_buf;    // bits waiting to be written; the oldest is bit 0
    int bi_valid;  // number of valid bits in bi_buf, 0 to 16
    file_t zfile;  // output descriptor of the member, recorded only

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

    // ---- buffers: records, hash chains and the window ----
    alignas(64) uch l_buf[LIT_BUFSIZE];   // a literal or match length per record
    alignas(64) ush d_buf[DIST_BUFSIZE];  // a distance per match
    // prev[0..WSIZE) are the hash-chain links, prev[WSIZE..2*WSIZE) the hash heads.
    alignas(64) ush prev[2 * WSIZE];
    alignas(64) uch window[WINDOW_SIZE + WINDOW_SLACK];
};
// The positions and parameters that the lazy pass and every search read fill
// the first cache line.
static_assert(offsetof(compressor_state, cost) == 64);
// Zero-initialised, so the tables take no room in the executable.
extern compressor_state compressor;

// ---- bit writer (RFC 1951 bit order: least significant bit first) ----
void send_bits(int value, int length);
// The low len bits of code in reverse order: Huffman codes are sent first
// bit first, and send_bits() sends the least significant bit first. A len of
// 0 or less behaves as 1.
constexpr unsigned bi_reverse(unsigned code, int len)
{
    unsigned res = 0;
    do {
        res |= code & 1;
        code >>= 1;
        res <<= 1;
    } while (--len > 0);
    return res >> 1;
}
void bi_windup();
void copy_block(char* buf, unsigned len, int header);
