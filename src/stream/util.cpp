// The stream state with its reset and name setters, buffered input and
// output, and the fatal exits shared by the member writer and reader and the
// engine.
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "progress.h"
#include "stream.h"

stream_state stream;

void reset_stream_state()
{
    progress_abandon();
    std::memset(&stream, 0, sizeof stream);
    stream.progname = "vokra";
}

namespace {

// memmove, not strcpy: the name may lie inside the buffer it replaces.
void set_name(char (&buf)[NAME_MAX_LEN], const char* name)
{
    std::size_t n = strnlen(name, NAME_MAX_LEN - 1);
    std::memmove(buf, name, n);
    buf[n] = '\0';
}

}  // namespace

void set_ifname(const char* name)
{
    set_name(stream.ifname, name);
}

void set_ofname(const char* name)
{
    set_name(stream.ofname, name);
}

void start_input(int fd)
{
    stream.ifd = fd;
    stream.insize = stream.inptr = 0;
    stream.bytes_in = 0;
}

void start_output(int fd)
{
    stream.ofd = fd;
    stream.outcnt = 0;
}

void count_input(zoff_t n)
{
    stream.bytes_in += n;
    progress_count(n);
}

void set_byte_counts(zoff_t in, zoff_t out)
{
    stream.bytes_in = in;
    stream.bytes_out = out;
}

void set_header_bytes(zoff_t n)
{
    stream.header_bytes = n;
}

// Gathers short reads (pipes, terminals) into one refill of up to INBUFSIZ
// bytes; end of input is fatal for every caller, so eof_ok is never honoured.
int fill_inbuf(int eof_ok)
{
    (void)eof_ok;
    stream.insize = 0;
    errno = 0;
    do {
        ssize_t len = read(stream.ifd, stream.inbuf + stream.insize, INBUFSIZ - stream.insize);
        if (len == 0 || len == -1) break;
        stream.insize += static_cast<unsigned>(len);
    } while (stream.insize < INBUFSIZ);

    if (stream.insize == 0) read_error();
    count_input(stream.insize);
    stream.inptr = 1;
    return stream.inbuf[0];
}

void flush_outbuf()
{
    if (stream.outcnt == 0) return;
    write_buf(stream.ofd, stream.outbuf, stream.outcnt);
    stream.bytes_out += stream.outcnt;
    stream.outcnt = 0;
}

// The CRC is taken before the write, so every byte that leaves is covered.
void flush_window(const uch* window)
{
    if (stream.outcnt == 0) return;
    updcrc(window, stream.outcnt);
    write_buf(stream.ofd, window, stream.outcnt);
    stream.bytes_out += stream.outcnt;
    stream.outcnt = 0;
}

void write_buf(int fd, const void* buf, unsigned cnt)
{
    const char* p = static_cast<const char*>(buf);
    for (;;) {
        ssize_t n = write(fd, p, cnt);
        if (n == static_cast<ssize_t>(cnt)) return;
        if (n == -1) {
            if (errno == EINTR) continue;
            write_error();
        }
        p += n;
        cnt -= static_cast<unsigned>(n);
    }
}

// Raw payloads bypass the codec. The copy goes through the idle input buffer
// in refills' worth, not in small pieces: one system call pair per 32 KiB.
zoff_t copy_raw(int in, int out)
{
    zoff_t total = 0;
    for (;;) {
        ssize_t n = read(in, stream.inbuf, INBUFSIZ);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) read_error();
        if (n == 0) return total;
        write_buf(out, stream.inbuf, static_cast<unsigned>(n));
        total += n;
        progress_count(n);
    }
}

void error(const char* m)
{
    progress_abandon();
    print_stored(stderr, "\n%s: %s: %s\n", stream.progname, stream.ifname, m);
    abort_gzip();
}

void read_error()
{
    int e = errno;
    progress_abandon();
    print_stored(stderr, "\n%s: ", stream.progname);
    if (e != 0) {
        errno = e;
        perror_stored(stream.ifname);
    } else {
        print_stored(stderr, "%s: unexpected end of file\n", stream.ifname);
    }
    abort_gzip();
}

void write_error()
{
    int e = errno;
    progress_abandon();
    print_stored(stderr, "\n%s: ", stream.progname);
    errno = e;
    perror_stored(stream.ofname);
    abort_gzip();
}

void abort_gzip()
{
    if (stream.fatal_cleanup != nullptr) {
        void (*cleanup)() = stream.fatal_cleanup;
        stream.fatal_cleanup = nullptr;  // a failure inside the clean-up must not recurse
        cleanup();
    }
    if (stream.fatal_catch != nullptr) {
        std::jmp_buf* back = stream.fatal_catch;
        stream.fatal_catch = nullptr;  // survive_fatal puts back the one around it
        std::longjmp(*back, 1);
    }
    std::exit(1);
}

void set_fatal_cleanup(void (*cleanup)())
{
    stream.fatal_cleanup = cleanup;
}

// `outer` is not changed between setjmp and longjmp, so it keeps its value
// across the jump without being volatile.
bool run_surviving_fatal(void (*body)(void*), void* arg)
{
    std::jmp_buf back;
    std::jmp_buf* const outer = stream.fatal_catch;
    if (setjmp(back) != 0) {
        stream.fatal_catch = outer;
        return false;
    }
    stream.fatal_catch = &back;
    body(arg);
    stream.fatal_catch = outer;
    return true;
}

// Prints the ratio in tenths of a percent. Above 2147482 the numerator is
// divided first: that was the bound at which num * 1000 still fitted 31 bits,
// and the cut-over is kept so the printed figures stay the same.
void display_ratio(zoff_t num, zoff_t den, FILE* file)
{
    zoff_t ratio;
    if (den == 0) {
        ratio = 0;
    } else if (den > 2147482) {
        ratio = num / (den / 1000);
    } else {
        ratio = (num * 1000) / den;
    }
    if (ratio < 0) {
        std::putc('-', file);
        ratio = -ratio;
    } else {
        std::putc(' ', file);
    }
    std::fprintf(file, "%2ld.%1ld%%", static_cast<long>(ratio / 10), static_cast<long>(ratio % 10));
}

char* gz_basename(char* fname)
{
    char* p = std::strrchr(fname, '/');
    return p != nullptr ? p + 1 : fname;
}
