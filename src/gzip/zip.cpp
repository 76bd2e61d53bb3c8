// gzip member writer: header, DEFLATE body through the compressor, CRC-32
// and length trailer (RFC 1952).
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "gzip.h"
#include "progress.h"

namespace {

int file_read(char* buf, unsigned size);
int read_ifd(char* buf, unsigned size);

}  // namespace

int zip(int in, int out)
{
    start_input(in);
    return zip_from(read_ifd, out);
}

int zip_from(int (*source)(char* buf, unsigned size), int out)
{
    uch flags = 0;
    ush attr = 0;           // file type slot of the block emitter; unused in the member
    ush deflate_flags = 0;  // its low byte is XFL

    set_byte_counts(0, stream.bytes_out);  // bytes_in counts this member's input for ISIZE
    start_output(out);
    gzip.source = source;

    gzip.method = DEFLATED;
    out_byte(GZIP_MAGIC_0);
    out_byte(GZIP_MAGIC_1);
    out_byte(DEFLATED);
    if (save_orig_name) flags |= ORIG_NAME;
    out_byte(flags);
    out_long(static_cast<ulg>(gzip.time_stamp));

    gzip.crc = updcrc(nullptr, 0);
    bi_init(out);
    set_compressor_input(file_read);  // lm_init already reads the first window through it
    ct_init(&attr, &gzip.method);
    lm_init(level, &deflate_flags);

    out_byte(deflate_flags & 0xff);
    out_byte(OS_CODE);
    if (save_orig_name) {
        const char* p = gz_basename(stream.ifname);
        do out_byte(static_cast<uch>(*p));
        while (*p++ != '\0');
    }

    deflate();

    out_long(gzip.crc);
    out_long(static_cast<ulg>(stream.bytes_in));  // ISIZE is the length modulo 2^32
    flush_outbuf();
    return 0;
}

namespace {

// The member's CRC and length cover exactly the bytes the compressor received.
int file_read(char* buf, unsigned size)
{
    const int len = gzip.source(buf, size);
    if (len <= 0) return len;
    gzip.crc = updcrc(reinterpret_cast<uch*>(buf), static_cast<unsigned>(len));
    count_input(len);
    return len;
}

// A read error counts as the end of input: the member stays consistent with
// what was read.
int read_ifd(char* buf, unsigned size)
{
    ssize_t len;
    do len = read(stream.ifd, buf, size);
    while (len == -1 && errno == EINTR);
    if (len == -1) {
        // The compressor ends the member at the bytes read so far, so it stays
        // consistent; but the archive lacks data, so the build must not report
        // success: say why and end with status 1.
        int e = errno;
        progress_abandon();
        print_stored(stderr, "\n%s: ", stream.progname);
        errno = e;
        perror_stored(stream.ifname);
        set_exit_code(1);
        return -1;
    }
    return static_cast<int>(len);
}

}  // namespace
