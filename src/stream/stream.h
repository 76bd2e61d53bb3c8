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
// Nothing here calls upwards but the fatal exit's clean-up, which the driver
// sets.
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "escape.h"

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
    int ifd;
    int ofd;
    int exit_code;  // status of the build and list roads: 0 or 1

    // ---- CRC: the running value and the implementation this CPU runs ----
    // The register complemented, which is the CRC-32 of the bytes fed since
    // the last reset: 0 after a reset, as at the start.
    ulg crc;
    // The path in use: null until the first use picks the fastest this CPU
    // has; crc32_force_portable pins the table path until the next reset.
    ulg (*crc_run)(ulg, const uch*, std::size_t);

    // ---- progress line (see progress.h) ----
    zoff_t progress_done;  // bytes of the current step done so far
    // progress_done at which the clock is next read; PROGRESS_OFF while no
    // line shows, but 0 at the start: the first count then finds no line
    // showing and switches the check off.
    zoff_t progress_next;
    const char* step_name;  // null until a step starts
    zoff_t step_total;
    zoff_t step_first;  // progress_done when the step started, for the rate
    std::int64_t started_ns;
    std::int64_t drawn_ns;
    std::size_t drawn_len;  // length of the line on screen, to blank a longer one
    // Read by progress_abandon(), which a signal handler may call: volatile
    // and one word, so the handler sees what the run stored.
    volatile std::sig_atomic_t showing;

    // ---- fatal exit ----
    void (*fatal_cleanup)();    // run by abort_gzip before the end, or null
    std::jmp_buf* fatal_catch;  // the innermost survive_fatal's way back, or null

    // ---- names used in messages ----
    char ifname[NAME_MAX_LEN];
    char ofname[NAME_MAX_LEN];
    // Prefix of messages; main sets it first thing, reset_stream_state to "vokra".
    const char* progname;
    // Whether text from outside is escaped for a UTF-8 terminal (escape.h):
    // main sets it from the locale; off, every byte from 0x80 up is escaped.
    bool text_utf8;

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
// The status the build and list roads end with: 1 once a header was refused
// or a listing failed, 0 after a raw copy.
inline void set_exit_code(int code)
{
    stream.exit_code = code;
}

// ---- where a road starts ----
// Input from descriptor fd, from where it now stands: inbuf is emptied, so the
// next in_byte refills from fd and never hands out a byte of an earlier input
// (or of this one before a seek); bytes_in counts this input from 0.
void start_input(int fd);
// The same input read on through descriptor fd: what inbuf still holds comes
// first (the reader took the header through in_byte, the body follows).
inline void resume_input(int fd)
{
    stream.ifd = fd;
}
// Output to descriptor fd with nothing waiting: outcnt is 0. Whatever outbuf
// or window held is dropped, not written.
void start_output(int fd);
// Input bytes that reached the reader outside the refills (the compressor's
// own reads), counted in bytes_in and on the progress line.
void count_input(zoff_t n);
// The two byte counts as a new pass starts them (0, 0), or as the listing
// and the space check state them from the member's trailer.
void set_byte_counts(zoff_t in, zoff_t out);
// The gzip overhead of the member read: its header's length plus the trailer.
void set_header_bytes(zoff_t n);

// ---- optional instructions (x86; false elsewhere) ----
bool cpu_has_pclmul();   // carry-less multiply, for the CRC-32
bool cpu_has_vpclmul();  // the same on 256-bit registers (with AVX2)
bool cpu_has_bmi2();     // shifts by a register without CL, for the inflater

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
int fill_inbuf(int eof_ok);
inline int in_byte()
{
    return stream.inptr < stream.insize ? stream.inbuf[stream.inptr++] : fill_inbuf(0);
}

// ---- buffered output ----
// Copies everything that remains on descriptor `in` to `out` and returns the
// byte count; read and write failures are fatal (read_error, write_error).
zoff_t copy_raw(int in, int out);
void flush_outbuf();
// Hands out the outcnt bytes of the inflater's window: CRC, then write.
void flush_window(const uch* window);
void write_buf(int fd, const void* buf, unsigned cnt);

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

// ---- fatal exits: message on stderr, status 1 ----
// The one way this layer and those it serves say "stop": error, read_error
// and write_error print their message and end in abort_gzip, the one seam of
// the fatal exit. It has two sides:
//  - set_fatal_cleanup: what the run made and must undo (the driver's
//    extract command and relocation link); abort_gzip runs it first, once;
//  - survive_fatal: runs a body and comes back, false, where abort_gzip
//    would then have called exit(1): the listing runs each archive so, and
//    the fuzz targets each input.
// Outside survive_fatal, abort_gzip ends the process with exit(1). The way
// back is a longjmp from abort_gzip to survive_fatal, which skips every frame
// in between: no frame between survive_fatal and the error may own anything
// with a destructor (RAII holders stay outside the body).
[[noreturn]] void error(const char* m);
[[noreturn]] void read_error();
[[noreturn]] void write_error();
[[noreturn]] void abort_gzip();

// The clean-up abort_gzip runs before the end; null for none. It is cleared
// before it runs, so a fatal exit inside it does not run it again.
void set_fatal_cleanup(void (*cleanup)());

// Runs body(arg); true when it returned, false when a fatal exit ended it.
// Calls nest: a fatal exit comes back to the innermost.
bool run_surviving_fatal(void (*body)(void*), void* arg);
template <class Body>
bool survive_fatal(Body body)
{
    return run_surviving_fatal([](void* b) { (*static_cast<Body*>(b))(); }, &body);
}

void display_ratio(zoff_t num, zoff_t den, FILE* file);
char* gz_basename(char* fname);
