// The library's compressor: the member writer from a clean state, told to
// store no name, so the member is the one `gzip -9n` writes.
#include "gzip_compress.h"

#include "gzip.h"

codec_result gzip_compress(const source& in, const sink& out, zoff_t& out_size)
{
    // The reset also clears a time stamp an earlier read left: MTIME is 0.
    reset_gzip_state();
    set_save_orig_name(0);
    const codec_result r = zip(in, out);
    set_save_orig_name(1);  // what the tool's members store is left as it was
    out_size = stream.bytes_out;
    return r;
}

codec_result gzip_compress_buffer(std::span<const uch> data, std::span<uch> out, std::size_t& out_size)
{
    return over_buffers(gzip_compress, data, out, out_size);
}
