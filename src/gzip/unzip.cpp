// The gzip member reader (RFC 1952): get_method checks the header and takes
// the stored name; unzip inflates the body and checks the trailer.
//
// Both read through in_byte from ifd, so an input that ends anywhere in the
// header, body or trailer ends the run through read_error.
#include <cstdio>

#include "gzip.h"

namespace {

constexpr gzip_state GZIP_START = {DEFLATED, 0, 0, nullptr, 0, 0, 0};

}  // namespace

gzip_state gzip = GZIP_START;

void reset_gzip_state()
{
    reset_stream_state();
    reset_compressor_state();
    reset_inflater_state();
    gzip = GZIP_START;
}

namespace {

inline unsigned in_short()
{
    unsigned lo = static_cast<unsigned>(in_byte());
    return lo | static_cast<unsigned>(in_byte()) << 8;
}

inline ulg in_long()
{
    ulg lo = in_short();
    return lo | static_cast<ulg>(in_short()) << 16;
}

inline void skip_string()
{
    while (in_byte() != 0) {
    }
}

}  // namespace

int get_method(int in)
{
    (void)in;  // the header is read from ifd, which callers point at the same input
    int magic0 = in_byte();
    int magic1 = in_byte();
    gzip.method = -1;
    set_header_bytes(0);

    if (magic0 != GZIP_MAGIC_0 || (magic1 != GZIP_MAGIC_1 && magic1 != OLD_GZIP_MAGIC_1)) {
        print_stored(stderr, "%s: can only handle GZIP compression method\n", stream.progname);
        set_exit_code(1);
        return -1;
    }
    gzip.method = in_byte();
    if (gzip.method != DEFLATED) {
        print_stored(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n", stream.progname,
                     stream.ifname, gzip.method);
        set_exit_code(1);
        return -1;
    }
    unsigned flags = static_cast<unsigned>(in_byte());

    // MTIME is unsigned in the format; kept whole so dates past 2038 list right.
    ulg stamp = in_long();
    if (stamp != 0) gzip.time_stamp = stamp;
    in_byte();  // XFL
    in_byte();  // OS

    if (flags & CONTINUATION) {
        unsigned part = in_short();
        if (gzip.verbose)
            print_stored(stderr, "%s: %s: part number %u\n", stream.progname, stream.ifname, part);
    }
    if (flags & EXTRA_FIELD) {
        unsigned len = in_short();
        if (gzip.verbose)
            print_stored(stderr, "%s: %s: extra field of %u bytes ignored\n", stream.progname, stream.ifname,
                         len);
        while (len-- != 0) in_byte();
    }
    if (flags & ORIG_NAME) {
        if (gzip.to_stdout && !gzip.list) {
            skip_string();
        } else {
            // The name is taken exactly as stored; at most NAME_MAX_LEN - 1
            // characters fit before the terminating NUL.
            char name[NAME_MAX_LEN];
            char* p = name;
            for (;;) {
                *p = static_cast<char>(in_byte());
                if (*p++ == '\0') break;
                if (p >= name + NAME_MAX_LEN) {
                    name[NAME_MAX_LEN - 1] = '\0';
                    set_ofname(name);
                    error("corrupted input -- file name too large");
                }
            }
            set_ofname(name);
        }
    }
    if (flags & COMMENT) skip_string();

    // inptr counts from the start of the last refill: the header length
    // whenever the header lies within the first refill, as ours always do.
    set_header_bytes(static_cast<zoff_t>(stream.inptr) + 8);
    return gzip.method;
}

int unzip(int in, int out)
{
    resume_input(in);  // inbuf still holds what follows the header
    start_output(out);
    updcrc(nullptr, 0);

    int res = inflate();
    if (res != 0) error("invalid compressed data--format violated");

    ulg orig_crc = in_long();
    ulg orig_len = in_long();
    // The trailer's length is the size modulo 2^32.
    // updcrc with a count of 0 reads the CRC without changing it.
    if (orig_crc != updcrc(stream.inbuf, 0)) error("invalid compressed data--crc error");
    if (orig_len != static_cast<ulg>(stream.bytes_out)) error("invalid compressed data--length error");
    return 0;
}
