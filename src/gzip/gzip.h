// The gzip layer: the member writer (zip) and reader (get_method, unzip) of
// RFC 1952, over the DEFLATE engine and the stream layer.
#pragma once

#include <span>

#include "deflate.h"
#include "inflate.h"
#include "stream.h"

// ---- gzip member format (RFC 1952) ----
constexpr uch GZIP_MAGIC_0 = 0x1F;
constexpr uch GZIP_MAGIC_1 = 0x8B;
constexpr uch OLD_GZIP_MAGIC_1 = 0x9E;  // accepted on input, never written
constexpr int DEFLATED = 8;             // CM of a DEFLATE member
constexpr uch OS_CODE = 3;              // Unix
// FLG bits, as the member reader interprets them.
constexpr uch CONTINUATION = 0x02;  // a 16-bit part number follows OS
constexpr uch EXTRA_FIELD = 0x04;   // XLEN and XLEN bytes
constexpr uch ORIG_NAME = 0x08;     // NUL-terminated file name
constexpr uch COMMENT = 0x10;       // NUL-terminated comment

// The layer's mutable state, one static object.
struct gzip_state {
    // ---- the member written or read ----
    int method;         // CM of the member read; DEFLATED when writing
    zoff_t time_stamp;  // MTIME of the member read, when not 0
    ulg crc;            // the writer's CRC-32 of the member's input read so far
    source input;       // where the writer takes the member's input
    int read_errno;     // the writer's failed read, which ended its input; 0 for none
    // Whether the writer stores ifname's base name (FNAME): 1, as every member
    // the tool writes; the library's members store none, as `gzip -n` does.
    int save_orig_name;

    // ---- what the reader found in the header beyond the name ----
    int part;          // the part number of a continued member, or -1
    int extra_length;  // the length of an extra field skipped, or -1

    // ---- option flags the member reader honours; the driver sets them from -v, -l, -c ----
    int verbose;
    int list;
    int to_stdout;
};
extern gzip_state gzip;

// Returns `gzip`, and the states of the compressor, the inflater and the
// stream layer, to their start-of-process values.
void reset_gzip_state();

// The reader's option flags, as the driver's -v, -l and -c set them.
inline void set_verbose(int on)
{
    gzip.verbose = on;
}
inline void set_list(int on)
{
    gzip.list = on;
}
inline void set_to_stdout(int on)
{
    gzip.to_stdout = on;
}
// Whether the members written from now on store the name (1, the start value).
inline void set_save_orig_name(int on)
{
    gzip.save_orig_name = on;
}
// A member with MTIME 0 keeps the time stamp read before it; a road that
// starts a new archive forgets that one first.
inline void forget_time_stamp()
{
    gzip.time_stamp = 0;
}

// One member of what `in` hands out until its end, to `out`; FNAME is
// ifname's base name unless save_orig_name is 0, MTIME is time_stamp. A
// failed read ends the input there: the member stays whole and consistent,
// and the result is read_failed. Otherwise the result is ok or the sink's
// failure.
codec_result zip(const source& in, const sink& out);

// The member reader. get_method reads and checks the header from `in`, which
// the caller started at the header's first byte (start_input), and takes the stored name into ofname.
// It returns ok, a failure of the input (truncated, read_failed), or bad_data
// whose reason is the message: NOT_GZIP, UNKNOWN_METHOD (method holds it) or
// NAME_TOO_LARGE. Callers tell the reasons apart by address, so each is one
// inline array: a string literal may have another address in each file.
inline constexpr char NOT_GZIP[] = "can only handle GZIP compression method";
inline constexpr char UNKNOWN_METHOD[] = "unknown method";
inline constexpr char NAME_TOO_LARGE[] = "corrupted input -- file name too large";
codec_result get_method(const source& in);
// Inflates the body that follows the header and checks the trailer: ok,
// bad_data (the inflater's, or CRC_ERROR, LENGTH_ERROR), or the first
// failure of `in` or `out`.
inline constexpr char CRC_ERROR[] = "invalid compressed data--crc error";
inline constexpr char LENGTH_ERROR[] = "invalid compressed data--length error";
codec_result unzip(const source& in, const sink& out);

// A library call from source to sink (gzip_compress, gzip_decompress) run
// over the caller's buffers; out_size is the bytes of `out` used.
inline codec_result over_buffers(codec_result (*call)(const source&, const sink&, zoff_t&),
                                 std::span<const uch> in, std::span<uch> out, std::size_t& out_size)
{
    memory_input from{in.data(), in.size()};
    memory_output to{out.data(), out.size(), 0};
    zoff_t written = 0;
    const codec_result r = call(memory_source(from), memory_sink(to), written);
    out_size = to.used;
    return r;
}
