// Compression as a library call: bytes in, one gzip member out, the member
// `gzip -9n` writes for the same bytes (no name, MTIME 0, XFL 2, OS 3).
//
// Contract: one call at a time in a process, as the codec's state is
// process-wide (not thread-safe); each call starts from a clean state.
// Nothing is allocated, printed or ended. The result is:
//   ok            the whole input went into the member;
//   read_failed   the source failed (error holds errno): the member written
//                 is whole but holds only the bytes read before the failure;
//   write_failed  the sink failed (error holds errno; ENOSPC when the
//                 buffer's output does not fit): the output is unusable.
#pragma once

#include <cstddef>
#include <span>

#include "stream.h"

// Everything `in` hands out until its end, as one member to `out`;
// out_size is the member's size in bytes when the result is ok.
codec_result gzip_compress(const source& in, const sink& out, zoff_t& out_size);

// `data` as one member into `out`; out_size is the bytes of `out` used.
codec_result gzip_compress_buffer(std::span<const uch> data, std::span<uch> out, std::size_t& out_size);
