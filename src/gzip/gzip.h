// The gzip layer: the member writer (zip) and reader (get_method, unzip) of
// RFC 1952, over the DEFLATE engine and the stream layer.
#pragma once

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

// Every member written carries the input's base name.
constexpr int save_orig_name = 1;

// The layer's mutable state, one static object.
struct gzip_state {
    // ---- the member written or read ----
    int method;         // CM of the member read; DEFLATED when writing
    zoff_t time_stamp;  // MTIME of the member read, when not 0
    ulg crc;            // the writer's CRC-32 of the member's input read so far
    // Where the writer takes the member's input: reads as read(2) does.
    int (*source)(char* buf, unsigned size);

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
inline void set_verbose(int on) { gzip.verbose = on; }
inline void set_list(int on) { gzip.list = on; }
inline void set_to_stdout(int on) { gzip.to_stdout = on; }
// A member with MTIME 0 keeps the time stamp read before it; a road that
// starts a new archive forgets that one first.
inline void forget_time_stamp() { gzip.time_stamp = 0; }

// One member of the input on descriptor `in` (named by ifname), to `out`.
int zip(int in, int out);
// One member of what `source` hands out until it returns 0 (or -1, counted as
// the end), to `out`; FNAME is ifname's base name.
int zip_from(int (*source)(char* buf, unsigned size), int out);
int get_method(int in);
int unzip(int in, int out);
