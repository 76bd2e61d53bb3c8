// The inflater of the DEFLATE engine: decodes one DEFLATE stream (RFC 1951)
// from the stream layer's input buffer through its own window and
// flush_window. Its state is its own (inflate_state.h); this header exports
// only the entry points.
#pragma once

#include "stream.h"

// Decodes the stream at the next input byte into a clean window. Returns 0;
// 1 or 2 for a format error.
int inflate();

// Returns the inflater's state to its start-of-process value.
void reset_inflater_state();

// For tests: true pins the fast loop built for every CPU until the next
// reset, false returns to the fastest this CPU has. Returns whether a
// CPU-specific copy is now in use.
bool inflate_force_plain(bool plain);
