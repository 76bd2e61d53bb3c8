// The inflater of the DEFLATE engine: decodes one DEFLATE stream (RFC 1951)
// from the stream layer's input buffer through the window and flush_window,
// keeping its bit buffer and tables in the inflater's members of `engine`
// (engine.h).
#pragma once

#include "engine.h"
#include "stream.h"

// One decoding-table entry. e: 0..13 a length/distance base followed by e
// extra bits, 15 end of block, 16 a literal, 17..31 a link to a sub-table
// indexed by the next e - 16 bits, 99 an invalid code. b: stream bits this
// entry consumes. A table set is chained through a hidden entry before each
// table (see huft_build), so huft_free needs only the first table.
struct huft {
    uch e;
    uch b;
    union {
        ush n;    // literal, base length or base distance
        huft* t;  // sub-table
    } v;
};

int huft_build(const unsigned* b, unsigned n, unsigned s, const ush* d, const ush* e, huft** t, int* m);
int huft_free(huft* t);
// Decodes the stream at the next input byte into a clean window. Returns 0;
// 1 or 2 for a format error; 3 when a table cannot be allocated.
int inflate();
