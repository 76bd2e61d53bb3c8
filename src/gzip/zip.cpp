// gzip member writer: header, DEFLATE body through the compressor, CRC-32
// and length trailer (RFC 1952).
#include <cerrno>

#include "gzip.h"

namespace {

long counted_read(const source& self, uch* buf, unsigned size);

// What the compressor reads: the member's source, through counted_read.
constexpr source COUNTED_INPUT = {counted_read, -1, nullptr};

}  // namespace

codec_result zip(const source& in, const sink& out)
{
    uch flags = 0;
    ush attr = 0;           // file type slot of the block emitter; unused in the member
    ush deflate_flags = 0;  // its low byte is XFL

    set_byte_counts(0, stream.bytes_out);  // bytes_in counts this member's input for ISIZE
    start_output(out);
    gzip.input = in;
    gzip.read_errno = 0;

    gzip.method = DEFLATED;
    out_byte(GZIP_MAGIC_0);
    out_byte(GZIP_MAGIC_1);
    out_byte(DEFLATED);
    if (gzip.save_orig_name) flags |= ORIG_NAME;
    out_byte(flags);
    out_long(static_cast<ulg>(gzip.time_stamp));

    gzip.crc = updcrc(nullptr, 0);
    bi_init(out.fd);
    set_compressor_input(COUNTED_INPUT);  // lm_init already reads the first window through it
    ct_init(&attr, &gzip.method);
    lm_init(level, &deflate_flags);

    out_byte(deflate_flags & 0xff);
    out_byte(OS_CODE);
    if (gzip.save_orig_name) {
        const char* p = gz_basename(stream.ifname);
        do out_byte(static_cast<uch>(*p));
        while (*p++ != '\0');
    }

    deflate();

    out_long(gzip.crc);
    out_long(static_cast<ulg>(stream.bytes_in));  // ISIZE is the length modulo 2^32
    flush_outbuf();
    // A failed read ended the member at the bytes read before it, so the
    // member is whole and consistent; but it lacks data, which the result says.
    if (!stream_failed() && gzip.read_errno != 0)
        return {codec_status::read_failed, gzip.read_errno, 0, nullptr, nullptr};
    return stream.failure;
}

namespace {

// The member's CRC and length cover exactly the bytes the compressor
// received. Once the output has failed nothing more is read: the rest of
// the member could not be written anyway.
long counted_read(const source&, uch* buf, unsigned size)
{
    if (stream_failed() || gzip.read_errno != 0) return 0;
    const long len = gzip.input.read(gzip.input, buf, size);
    if (len < 0) {
        gzip.read_errno = errno != 0 ? errno : EIO;
        return -1;
    }
    if (len == 0) return 0;
    gzip.crc = updcrc(buf, static_cast<unsigned>(len));
    count_input(len);
    return len;
}

}  // namespace
