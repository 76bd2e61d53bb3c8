// The compressor of the DEFLATE engine: the match finder (deflate.cpp), the
// Huffman trees and block emission (trees.cpp) and the bit writer (bits.cpp),
// writing through the stream layer's output buffer. Its state is its own
// (deflate_state.h); this header exports only the entry points.
#pragma once

#include "stream.h"

// The compression level of every member: the best the format allows.
constexpr int level = 9;

// The compressor's input, the one call upwards: the member writer sets its
// reader here first, as lm_init already reads the first window through it.
// read fills buf with up to size bytes and returns their count, 0 at the end
// of the input or -1 on a failed read (the compressor ends the stream either
// way).
void set_compressor_input(int (*read)(char* buf, unsigned size));
// The bit writer starts each member empty; zipfile is recorded only.
void bi_init(file_t zipfile);
void lm_init(int pack_level, ush* flags);
ulg deflate();
void ct_init(ush* attr, int* methodp);
int ct_tally(int dist, int lc);
ulg flush_block(char* buf, ulg stored_len, int eof);

// Returns the compressor's state to its start-of-process value.
void reset_compressor_state();
