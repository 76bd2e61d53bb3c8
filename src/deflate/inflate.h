// The inflater of the DEFLATE engine: decodes one DEFLATE stream (RFC 1951)
// from the stream layer's input buffer through its own window and
// flush_window. Its state is its own (inflate_state.h); this header exports
// only the entry points.
#pragma once

#include "stream.h"

// What a stream that breaks the format is reported as.
inline constexpr char FORMAT_VIOLATED[] = "invalid compressed data--format violated";

// Decodes the stream at the next byte of `in` (what inbuf still holds comes
// first) into a clean window, handing every full window, and the last, to
// `out`. Returns ok; bad_data (code 1 for a broken code, 2 for block type 3
// or an over-subscribed code, with a detail line for an incomplete literal
// or distance code); or the first failure of the input or output. After a
// failure only the whole windows decoded before it have been written.
codec_result inflate(const source& in, const sink& out);

// Returns the inflater's state to its start-of-process value.
void reset_inflater_state();

// For tests: true pins the fast loop built for every CPU until the next
// reset, false returns to the fastest this CPU has. Returns whether a
// CPU-specific copy is now in use.
bool inflate_force_plain(bool plain);
