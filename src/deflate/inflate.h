// The inflater of the DEFLATE engine: decodes one DEFLATE stream (RFC 1951)
// from the stream layer's input buffer through the window and flush_window,
// keeping its bit buffer and tables in the inflater's members of `engine`
// (engine.h).
#pragma once

#include "engine.h"
#include "stream.h"

// Builds one decoding table (see inflate.cpp); 0 complete, 1 incomplete, 2
// over-subscribed.
int huft_build(const unsigned* b, unsigned n, unsigned s, const ush* d, const ush* e, huft* t, unsigned root,
               unsigned cap, int* m);
// Decodes the stream at the next input byte into a clean window. Returns 0;
// 1 or 2 for a format error.
int inflate();
