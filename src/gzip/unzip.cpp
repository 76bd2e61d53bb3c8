// The gzip member reader (RFC 1952): get_method checks the header and takes
// the stored name; unzip inflates the body and checks the trailer.
//
// Both read through in_byte, so an input that ends anywhere in the header,
// body or trailer is a truncated member: the refills after the end hand out
// zeros, which end every loop here, and the result says what happened first.
#include "gzip.h"

namespace {

constexpr gzip_state GZIP_START = {DEFLATED, 0, 0, {}, 0, 1, -1, -1, 0, 0, 0};

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

codec_result get_method(const source& in)
{
    resume_input(in);
    int magic0 = in_byte();
    int magic1 = in_byte();
    gzip.method = -1;
    gzip.part = -1;
    gzip.extra_length = -1;
    set_header_bytes(0);
    if (stream_failed()) return stream.failure;

    if (magic0 != GZIP_MAGIC_0 || (magic1 != GZIP_MAGIC_1 && magic1 != OLD_GZIP_MAGIC_1)) {
        note_bad_data(NOT_GZIP);
        return stream.failure;
    }
    gzip.method = in_byte();
    if (stream_failed()) return stream.failure;
    if (gzip.method != DEFLATED) {
        note_bad_data(UNKNOWN_METHOD);
        return stream.failure;
    }
    unsigned flags = static_cast<unsigned>(in_byte());

    // MTIME is unsigned in the format; kept whole so dates past 2038 list right.
    ulg stamp = in_long();
    if (stamp != 0 && !stream_failed()) gzip.time_stamp = stamp;
    in_byte();  // XFL
    in_byte();  // OS

    // What is noted here is what was read whole: the caller reports it
    // before a failure that comes later in the header.
    if (flags & CONTINUATION) {
        unsigned part = in_short();
        if (!stream_failed()) gzip.part = static_cast<int>(part);
    }
    if (flags & EXTRA_FIELD) {
        unsigned len = in_short();
        if (!stream_failed()) gzip.extra_length = static_cast<int>(len);
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
                    note_bad_data(NAME_TOO_LARGE);
                    return stream.failure;
                }
            }
            if (!stream_failed()) set_ofname(name);
        }
    }
    if (flags & COMMENT) skip_string();
    if (stream_failed()) return stream.failure;

    // inptr counts from the start of the last refill: the header length
    // whenever the header lies within the first refill, as ours always do.
    set_header_bytes(static_cast<zoff_t>(stream.inptr) + 8);
    return stream.failure;
}

codec_result unzip(const source& in, const sink& out)
{
    updcrc(nullptr, 0);
    // inbuf still holds what follows the header
    codec_result r = inflate(in, out);
    if (failed(r)) return r;

    ulg orig_crc = in_long();
    ulg orig_len = in_long();
    if (stream_failed()) return stream.failure;
    // The trailer's length is the size modulo 2^32.
    // updcrc with a count of 0 reads the CRC without changing it.
    if (orig_crc != updcrc(stream.inbuf, 0)) {
        note_bad_data(CRC_ERROR);
    } else if (orig_len != static_cast<ulg>(stream.bytes_out)) {
        note_bad_data(LENGTH_ERROR);
    }
    return stream.failure;
}
