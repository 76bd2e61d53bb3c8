// The stream layer: the process-wide input and output buffers and counters
// that the member writer and reader and the DEFLATE engine's compressor and
// inflater share, buffered input and output, the CRC-32, the progress line
// and the fatal exits.
//
// The program is one thread running one road per process, so all of the
// layer's mutable state lives in one static instance, `stream`: no heap, and
// an access is one absolute address as for a plain global. Every buffer has a
// fixed size, and every member starts at zero, which is also the state
// reset_stream_state() returns it to (the program name aside).
// The counters move in the byte paths (here, and in the inflater, which
// consumes its input itself) and, where a road starts a new input, output or
// count, through the few starting functions below; no road assigns them.
//
// Input comes from a source and output goes to a sink, each a function and
// what it works on (a descriptor, memory, nothing). A failure never leaves
// from the middle of a byte path: the first one is recorded in `failure`,
// every later read hands out zeros and every later write is dropped, so the
// codec runs to a point where it checks, with nothing of what follows the
// failure written, and returns the failure as its result.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

using uch = std::uint8_t;
using ush = std::uint16_t;
using ulg = std::uint32_t;
// Byte counts: 64-bit so payloads beyond 4 GiB never overflow a counter. The
// gzip trailer stores sizes modulo 2^32; comparisons with it truncate explicitly.
using zoff_t = std::int64_t;
using file_t = int;

// ---- DEFLATE format constants (RFC 1951) that size the shared buffers ----
constexpr int MIN_MATCH = 3;        // shortest match the format can express
constexpr int MAX_MATCH = 258;      // longest match the format can express
constexpr unsigned WSIZE = 0x8000;  // 32 KiB: the format's maximum distance

// Every multi-byte integer of a gzip member is stored least significant byte first.
constexpr ulg get_le32(const uch* p)
{
    return ulg{p[0]} | ulg{p[1]} << 8 | ulg{p[2]} << 16 | ulg{p[3]} << 24;
}

// ---- buffer sizes ----
constexpr unsigned INBUFSIZ = 0x8000;  // one refill
constexpr unsigned INBUF_EXTRA = 64;
constexpr unsigned OUTBUFSIZ = 16384;  // compressed output leaves in these
constexpr unsigned OUTBUF_EXTRA = 2048;
constexpr unsigned NAME_MAX_LEN = 1024;  // ifname, ofname and preamble buffers

// ---- results ----
enum class codec_status : std::uint8_t {
    ok,
    bad_data,      // the input breaks the format: see reason and detail
    truncated,     // the input ended inside a member
    read_failed,   // the source failed: see error
    write_failed,  // the sink failed: see error
};

// What a codec call ends with: the first failure, or ok.
struct codec_result {
    codec_status status;
    int error;           // errno of a failed read or write
    int code;            // bad_data from the inflater: 1 (a broken code) or 2 (block type 3, over-subscribed)
    const char* reason;  // bad_data: what the message says
    const char* detail;  // bad_data: a line that comes before the message, or null
};

inline bool failed(const codec_result& r)
{
    return r.status != codec_status::ok;
}

// ---- sources and sinks ----
// A source hands out input: read fills buf with up to size bytes and returns
// their count, 0 at the end, or -1 with errno set.
struct source {
    long (*read)(const source& self, uch* buf, unsigned size);
    int fd;     // a descriptor source's descriptor
    void* ctx;  // any other source's state
};
// A sink takes output: write takes all size bytes and returns true, or false
// with errno set.
struct sink {
    bool (*write)(const sink& self, const uch* buf, unsigned size);
    int fd;
    void* ctx;
};

// Reads and writes of a descriptor, retried on EINTR and short writes.
source fd_source(int fd);
long read_fd(const source& self, uch* buf, unsigned size);  // a descriptor source's read
sink fd_sink(int fd);
// Takes everything and keeps nothing: a decode that only counts and checks.
sink counting_sink();

// Memory: a source over bytes the caller keeps; a sink into a buffer of the
// caller's, failing with ENOSPC once a write would not fit.
struct memory_input {
    const uch* next;
    std::size_t left;
};
struct memory_output {
    uch* data;
    std::size_t size;
    std::size_t used;
};
source memory_source(memory_input& in);
sink memory_sink(memory_output& out);

// Zero is every member's start value, so the object takes no room in the
// executable: a non-zero one would put all of it in the initialised data.
struct stream_state {
    // ---- counters and descriptors ----
    unsigned insize;      // valid bytes in inbuf
    unsigned inptr;       // next byte of inbuf to take
    unsigned outcnt;      // bytes in outbuf (writing) or the inflater's window
    zoff_t bytes_in;      // input bytes consumed
    zoff_t bytes_out;     // output bytes written
    zoff_t header_bytes;  // gzip header length + 8 (trailer)
    source in;
    sink out;
    // The first failure of a read or write since the input or output started:
    // while it holds, refills hand out zeros and writes are dropped.
    codec_result failure;

    // ---- CRC: the running value and the implementation this CPU runs ----
    // The register complemented, which is the CRC-32 of the bytes fed since
    // the last reset: 0 after a reset, as at the start.
    ulg crc;
    // The path in use: null until the first use picks the fastest this CPU
    // has; crc32_force_portable pins the table path until the next reset.
    ulg (*crc_run)(ulg, const uch*, std::size_t);

    // ---- names used in messages ----
    char ifname[NAME_MAX_LEN];
    char ofname[NAME_MAX_LEN];
    // Prefix of messages; main sets it first thing, reset_stream_state to "vokra".
    const char* progname;

    // ---- shared buffers (fixed arrays, never resized) ----
    alignas(64) uch inbuf[INBUFSIZ + INBUF_EXTRA];
    alignas(64) uch outbuf[OUTBUFSIZ + OUTBUF_EXTRA];
};
extern stream_state stream;

// Ends a progress line that shows, then returns every member of `stream` to
// its start value: zero, and "vokra" as the program name.
void reset_stream_state();

// ---- names and status for messages ----
// Each name is copied, cut at NAME_MAX_LEN - 1 characters; name may point
// into the buffer it replaces (the stored name reduced to its base name).
void set_ifname(const char* name);  // the input, named in read and data errors
void set_ofname(const char* name);  // the output: the stored name, or "stdout"
// The one-word setters are inline, so they add nothing to the image that
// every archive carries (out of line, each would add an unwind entry).
// The program name every message starts with; the pointer is kept, not copied.
inline void set_progname(const char* name)
{
    stream.progname = name;
}

// ---- where a road starts ----
// Input from `in`, from where it now stands: inbuf is emptied, so the next
// in_byte refills from it and never hands out a byte of an earlier input (or
// of this one before a seek); bytes_in counts this input from 0, and no
// failure holds.
void start_input(const source& in);
// The same input read on through `in`: what inbuf still holds comes first
// (the reader took the header through in_byte, the body follows).
inline void resume_input(const source& in)
{
    stream.in = in;
}
// Output to `out` with nothing waiting: outcnt is 0, and no failure holds.
// Whatever outbuf or window held is dropped, not written.
void start_output(const sink& out);
// Input bytes that reached the reader outside the refills (the compressor's
// own reads), counted in bytes_in.
void count_input(zoff_t n);
// The two byte counts as a new pass starts them (0, 0), or as the listing
// and the space check state them from the member's trailer.
void set_byte_counts(zoff_t in, zoff_t out);
// The gzip overhead of the member read: its header's length plus the trailer.
void set_header_bytes(zoff_t n);

// ---- failures ----
// Records the first failure; a later one, which follows from it, is dropped.
void note_failure(codec_status status, int error);
void note_bad_data(const char* reason, const char* detail = nullptr, int code = 0);
inline bool stream_failed()
{
    return stream.failure.status != codec_status::ok;
}

// ---- optional instructions (x86; false elsewhere) ----
bool cpu_has_pclmul();  // carry-less multiply, for the CRC-32
bool cpu_has_bmi2();    // shifts by a register without CL, for the inflater

// ---- CRC-32 (RFC 1952) ----
// updcrc(nullptr, 0) resets and returns 0; updcrc(p, 0) reads the current value.
ulg updcrc(const uch* s, unsigned n);
// The same CRC as a pure function of a running value (0 to start); the
// register of updcrc is left alone.
ulg crc32_update(ulg crc, const uch* s, std::size_t n);
// For tests: true pins the portable table path until the next reset, false
// returns to the fastest path this CPU has. Returns whether a CPU-specific path is now in use.
bool crc32_force_portable(bool portable);

// ---- buffered input ----
// Refills inbuf from the source and returns its first byte. At the end of
// the input or on a failed read it records the failure (truncated or
// read_failed) and returns 0, as every refill after it does.
int fill_inbuf();
inline int in_byte()
{
    return stream.inptr < stream.insize ? stream.inbuf[stream.inptr++] : fill_inbuf();
}

// ---- buffered output ----
// Copies everything that remains in `in` to `out`, counting the bytes in
// `total`; ends at the end of the input or at the first failure.
codec_result copy_raw(const source& in, const sink& out, zoff_t& total);
void flush_outbuf();
// Hands out the outcnt bytes of the inflater's window: CRC, then write.
void flush_window(const uch* window);
// Writes cnt bytes to the sink unless a failure holds; a failed write is
// recorded as write_failed.
void write_buf(const void* buf, unsigned cnt);

inline void out_byte(unsigned c)
{
    stream.outbuf[stream.outcnt++] = static_cast<uch>(c);
    if (stream.outcnt == OUTBUFSIZ) flush_outbuf();
}

inline void out_short(unsigned w)
{
    if (stream.outcnt < OUTBUFSIZ - 2) {
        stream.outbuf[stream.outcnt++] = static_cast<uch>(w & 0xff);
        stream.outbuf[stream.outcnt++] = static_cast<uch>((w >> 8) & 0xff);
    } else {
        out_byte(w & 0xff);
        out_byte((w >> 8) & 0xff);
    }
}

inline void out_long(ulg n)
{
    out_short(n & 0xffff);
    out_short(n >> 16);
}

char* gz_basename(char* fname);
