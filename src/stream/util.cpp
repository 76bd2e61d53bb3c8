// The stream state with its reset and name setters, the sources and sinks of
// descriptors and memory, buffered input and output, and the recording of
// the first failure.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "stream.h"

stream_state stream;

void reset_stream_state()
{
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

void start_input(const source& in)
{
    stream.in = in;
    stream.insize = stream.inptr = 0;
    stream.bytes_in = 0;
    stream.failure = {};
}

void start_output(const sink& out)
{
    stream.out = out;
    stream.outcnt = 0;
    stream.failure = {};
}

void count_input(zoff_t n)
{
    stream.bytes_in += n;
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

void note_failure(codec_status status, int error)
{
    if (stream_failed()) return;
    stream.failure = {status, error, 0, nullptr, nullptr};
}

void note_bad_data(const char* reason, const char* detail, int code)
{
    if (stream_failed()) return;
    stream.failure = {codec_status::bad_data, 0, code, reason, detail};
}

long read_fd(const source& self, uch* buf, unsigned size)
{
    ssize_t n;
    do n = read(self.fd, buf, size);
    while (n == -1 && errno == EINTR);
    return n;
}

namespace {

bool write_fd(const sink& self, const uch* buf, unsigned size)
{
    while (size != 0) {
        ssize_t n = write(self.fd, buf, size);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // a descriptor that takes nothing never will
            return false;
        }
        buf += n;
        size -= static_cast<unsigned>(n);
    }
    return true;
}

bool write_nothing(const sink&, const uch*, unsigned)
{
    return true;
}

long read_memory(const source& self, uch* buf, unsigned size)
{
    auto& in = *static_cast<memory_input*>(self.ctx);
    const std::size_t n = in.left < size ? in.left : size;
    if (n != 0) std::memcpy(buf, in.next, n);
    in.next += n;
    in.left -= n;
    return static_cast<long>(n);
}

bool write_memory(const sink& self, const uch* buf, unsigned size)
{
    auto& out = *static_cast<memory_output*>(self.ctx);
    if (size > out.size - out.used) {
        errno = ENOSPC;
        return false;
    }
    if (size != 0) std::memcpy(out.data + out.used, buf, size);
    out.used += size;
    return true;
}

}  // namespace

source fd_source(int fd)
{
    return {read_fd, fd, nullptr};
}

sink fd_sink(int fd)
{
    return {write_fd, fd, nullptr};
}

sink counting_sink()
{
    return {write_nothing, -1, nullptr};
}

source memory_source(memory_input& in)
{
    return {read_memory, -1, &in};
}

sink memory_sink(memory_output& out)
{
    return {write_memory, -1, &out};
}

// Gathers short reads (pipes, terminals) into one refill of up to INBUFSIZ
// bytes. Once a failure holds, every refill is one zero byte: the codec's
// loops check for the failure often enough that the zeros never reach the
// output (which is dropped anyway) nor keep a loop going.
int fill_inbuf()
{
    stream.insize = 0;
    stream.inptr = 0;
    if (stream_failed()) return 0;
    errno = 0;
    long len = 0;
    do {
        len = stream.in.read(stream.in, stream.inbuf + stream.insize, INBUFSIZ - stream.insize);
        if (len <= 0) break;
        stream.insize += static_cast<unsigned>(len);
    } while (stream.insize < INBUFSIZ);

    if (stream.insize == 0) {
        const int e = len == 0 ? 0 : errno;
        note_failure(e == 0 ? codec_status::truncated : codec_status::read_failed, e);
        return 0;
    }
    count_input(stream.insize);
    stream.inptr = 1;
    return stream.inbuf[0];
}

void write_buf(const void* buf, unsigned cnt)
{
    if (stream_failed() || cnt == 0) return;
    if (!stream.out.write(stream.out, static_cast<const uch*>(buf), cnt))
        note_failure(codec_status::write_failed, errno);
}

void flush_outbuf()
{
    if (stream.outcnt == 0) return;
    write_buf(stream.outbuf, stream.outcnt);
    stream.bytes_out += stream.outcnt;
    stream.outcnt = 0;
}

// The CRC is taken before the write, so every byte that leaves is covered.
void flush_window(const uch* window)
{
    if (stream.outcnt == 0) return;
    updcrc(window, stream.outcnt);
    write_buf(window, stream.outcnt);
    stream.bytes_out += stream.outcnt;
    stream.outcnt = 0;
}

// Raw payloads bypass the codec. The copy goes through the idle input buffer
// in refills' worth, not in small pieces: one call pair per 32 KiB.
codec_result copy_raw(const source& in, const sink& out, zoff_t& total)
{
    start_output(out);
    total = 0;
    for (;;) {
        long n = in.read(in, stream.inbuf, INBUFSIZ);
        if (n < 0) note_failure(codec_status::read_failed, errno);
        if (n <= 0) break;
        write_buf(stream.inbuf, static_cast<unsigned>(n));
        if (stream_failed()) break;
        total += n;
    }
    return stream.failure;
}

char* gz_basename(char* fname)
{
    char* p = std::strrchr(fname, '/');
    return p != nullptr ? p + 1 : fname;
}
