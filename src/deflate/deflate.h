// The compressor of the DEFLATE engine: the match finder (deflate.cpp) and
// the Huffman trees and block emission (trees.cpp), over the stream layer's
// window, hash chains and record buffers.
#pragma once

#include "stream.h"

// The compressor keeps this much input ahead of strstart so the hash (3 bytes)
// and the match compare (up to 258 bytes) never need a bounds check.
constexpr unsigned MIN_LOOKAHEAD = MAX_MATCH + MIN_MATCH + 1;  // 262
// Farthest distance the compressor offers, so a match never needs bytes that
// the next window slide could move out from under it.
constexpr unsigned MAX_DIST = WSIZE - MIN_LOOKAHEAD;  // 32506

// The compression level of every member: the best the format allows.
constexpr int level = 9;

// The compressor's input: the one call from the engine to the layer above.
// The member writer points it at its reader before lm_init; it fills buf
// with up to size bytes and returns their count, 0 at the end of the input
// or -1 on a failed read (the compressor ends the stream either way).
extern int (*read_buf)(char* buf, unsigned size);

// Window index of the current string and of the current block's first byte
// (negative once that byte has slid out); the early end of a block reads both.
extern unsigned strstart;
extern long block_start;

void lm_init(int pack_level, ush* flags);
ulg deflate();
void ct_init(ush* attr, int* methodp);
int ct_tally(int dist, int lc);
ulg flush_block(char* buf, ulg stored_len, int eof);
