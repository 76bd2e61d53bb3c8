// The compressor of the DEFLATE engine: the match finder (deflate.cpp) and
// the Huffman trees and block emission (trees.cpp), over the stream layer's
// window, hash chains and record buffers and the match finder's and trees'
// members of `engine` (engine.h).
#pragma once

#include "engine.h"
#include "stream.h"

// The compressor keeps this much input ahead of strstart so the hash (3 bytes)
// and the match compare (up to 258 bytes) never need a bounds check.
constexpr unsigned MIN_LOOKAHEAD = MAX_MATCH + MIN_MATCH + 1;  // 262
// Farthest distance the compressor offers, so a match never needs bytes that
// the next window slide could move out from under it.
constexpr unsigned MAX_DIST = WSIZE - MIN_LOOKAHEAD;  // 32506

// The compression level of every member: the best the format allows.
constexpr int level = 9;

// The compressor's input, the one call upwards: the member writer sets its
// reader here first, as lm_init already reads the first window through it.
inline void set_compressor_input(int (*read)(char* buf, unsigned size)) { engine.read_buf = read; }
void lm_init(int pack_level, ush* flags);
ulg deflate();
void ct_init(ush* attr, int* methodp);
int ct_tally(int dist, int lc);
ulg flush_block(char* buf, ulg stored_len, int eof);
