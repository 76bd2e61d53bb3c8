// The compressor of the DEFLATE engine: the match finder (deflate.cpp), the
// Huffman trees and block emission (trees.cpp) and the bit writer (bits.cpp),
// writing through the stream layer's output buffer. Its state is its own
// (deflate_state.h); this header exports only the entry points.
#pragma once

#include "stream.h"

// The compression level of every member: the best the format allows.
constexpr int level = 9;

// The compressor's input: the member writer points it at its source first,
// as lm_init already reads the first window through it; `in` must outlive
// the member. A read of 0 or -1 ends the stream (a failed read's errno is
// the source's to keep). The output goes to the stream layer's sink.
void set_compressor_input(const source& in);
// The bit writer starts each member empty; zipfile is recorded only.
void bi_init(file_t zipfile);
void lm_init(int pack_level, ush* flags);
ulg deflate();
void ct_init(ush* attr, int* methodp);
int ct_tally(int dist, int lc);
ulg flush_block(char* buf, ulg stored_len, int eof);

// Returns the compressor's state to its start-of-process value.
void reset_compressor_state();
