// Decompression as a library call: one gzip member in, its bytes out, with
// every check the tool makes (header, DEFLATE format, CRC-32, length).
//
// Contract: one call at a time in a process, as the codec's state is
// process-wide (not thread-safe); each call starts from a clean state.
// Nothing is allocated, printed or ended. The input is exactly one member;
// a stored name or comment is skipped. The result is:
//   ok            the member was whole and every check passed;
//   bad_data      the input is not such a member; reason is a message fit
//                 to print after the input's name, and detail, when not
//                 null, a line to print before it;
//   truncated     the input ended inside the member;
//   read_failed   the source failed (error holds errno);
//   write_failed  the sink failed (error holds errno; ENOSPC when the
//                 buffer's output does not fit).
// After any failure the output holds at most a prefix of the data and must
// not be used.
#pragma once

#include <cstddef>
#include <span>

#include "stream.h"

// The reason of bad_data when bytes follow the member's trailer.
inline constexpr char TRAILING_DATA[] = "trailing data after the gzip member";

// The member `in` hands out, decompressed to `out`; out_size is the
// decompressed size in bytes when the result is ok.
codec_result gzip_decompress(const source& in, const sink& out, zoff_t& out_size);

// The member in `member`, decompressed into `out`; out_size is the bytes of
// `out` used.
codec_result gzip_decompress_buffer(std::span<const uch> member, std::span<uch> out, std::size_t& out_size);
