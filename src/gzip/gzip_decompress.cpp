// The library's decompressor: the member reader from a clean state, then a
// look for anything after the trailer.
#include "gzip_decompress.h"

#include <cerrno>

#include "gzip.h"

namespace {

// The member must end the input: bytes still in inbuf, or one more the
// source hands out, are data the caller would otherwise lose unnoticed.
codec_result check_input_ends(const source& in)
{
    if (stream.inptr < stream.insize) {
        note_bad_data(TRAILING_DATA);
        return stream.failure;
    }
    uch extra;
    errno = 0;
    const long n = in.read(in, &extra, 1);
    if (n > 0) note_bad_data(TRAILING_DATA);
    if (n < 0) note_failure(codec_status::read_failed, errno != 0 ? errno : EIO);
    return stream.failure;
}

}  // namespace

codec_result gzip_decompress(const source& in, const sink& out, zoff_t& out_size)
{
    reset_gzip_state();
    set_to_stdout(1);  // the stored name is skipped, not kept
    start_input(in);
    codec_result r = get_method(in);
    if (!failed(r)) r = unzip(in, out);
    if (!failed(r)) r = check_input_ends(in);
    out_size = stream.bytes_out;
    return r;
}

codec_result gzip_decompress_buffer(std::span<const uch> member, std::span<uch> out, std::size_t& out_size)
{
    return over_buffers(gzip_decompress, member, out, out_size);
}
