// Differential libFuzzer target: our inflater and zlib decode the same input;
// wherever zlib succeeds, ours must succeed with the same output and stop at
// the same input byte; where zlib finds a distance that reaches before the
// start of the data, ours must fail too, before writing anything.
//
// Input: bit 0 of byte 0 picks the form of the rest: 0 a raw DEFLATE stream
// (inflate() alone, zlib with windowBits -15), 1 a gzip member (get_method and
// unzip, zlib with windowBits 31, first member only). zlib is linked into this
// target only, as the independent decoder; the tool never uses it.
//
// Intended differences (where zlib fails otherwise, nothing is compared):
// - FLG bit 1: RFC 1952 makes it a header CRC after the name and comment; our
//   reader takes it as the old part number, two bytes right after OS. Members
//   with the bit set are skipped here (zlib may succeed where we misparse).
// - FLG bits 5 to 7 (reserved, and "encrypted" in old gzip): zlib refuses
//   them; our reader ignores them.
// - The old gzip magic 1f 9e: zlib refuses it; our reader accepts it.
// - Our inflater looks a whole first-level table index ahead (9 bits for a
//   literal/length code), so the last code of a stream that ends exactly at
//   the end of the input asks for a byte that is not there. In a gzip member
//   the trailer always follows; a raw stream gets 8 zero bytes in its place
//   (ours only: zlib decodes the input as given).
// - The trailer's CRC-32 and ISIZE are checked by both (ISIZE modulo 2^32).
// Set VOKRA_DIFF_REPORT=1 to print each input where zlib fails and we succeed.
#include <cstdlib>
#include <cstring>
#include <string>
#include <zlib.h>

#include "fuzz_util.h"
#include "gzip.h"

namespace {

constexpr std::size_t OUTPUT_CAP = 1 << 24;  // bigger zlib output is not compared

struct Decoded {
    bool ok = false;
    std::string out;
    std::size_t consumed = 0;
    const char* msg = nullptr;
};

Decoded zlib_decode(const std::uint8_t* in, std::size_t n, bool is_member)
{
    Decoded d;
    z_stream s{};
    if (inflateInit2(&s, is_member ? 31 : -15) != Z_OK) std::abort();
    s.next_in = const_cast<Bytef*>(in);
    s.avail_in = static_cast<uInt>(n);
    unsigned char buf[65536];
    int rc;
    do {
        s.next_out = buf;
        s.avail_out = sizeof buf;
        rc = inflate(&s, Z_NO_FLUSH);
        d.out.append(reinterpret_cast<char*>(buf), sizeof buf - s.avail_out);
    } while (rc == Z_OK && d.out.size() <= OUTPUT_CAP);
    d.ok = rc == Z_STREAM_END;
    d.consumed = s.total_in;
    d.msg = s.msg != nullptr ? s.msg : "incomplete";
    inflateEnd(&s);
    return d;
}

Decoded our_decode(const std::uint8_t* in, std::size_t n, bool is_member)
{
    std::string padded(reinterpret_cast<const char*>(in), n);
    if (!is_member) padded.append(8, '\0');
    memory_input bytes{reinterpret_cast<const uch*>(padded.data()), padded.size()};
    const source src = memory_source(bytes);
    fuzz::StringSink out;
    reset_gzip_state();
    start_input(src);
    set_to_stdout(1);  // the stored name is skipped, so its length never matters

    Decoded d;
    if (is_member) {
        d.ok = !failed(get_method(src)) && !failed(unzip(src, out.get()));
    } else {
        d.ok = !failed(inflate(src, out.get()));
    }
    d.out = out.data;
    d.consumed = static_cast<std::size_t>(stream.bytes_in - stream.insize + stream.inptr);
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const bool is_member = data[0] & 1;
    const std::uint8_t* body = data + 1;
    const std::size_t n = size - 1;
    if (is_member && n >= 4 && (body[3] & 0x02) != 0) return 0;  // part number vs header CRC

    Decoded z = zlib_decode(body, n, is_member);
    if (z.ok && z.out.size() > OUTPUT_CAP) return 0;
    Decoded ours = our_decode(body, n, is_member);
    if (!z.ok && std::strcmp(z.msg, "invalid distance too far back") == 0) {
        // Such a distance can only occur within the first 32 KiB, before any
        // window is written out.
        FUZZ_CHECK(!ours.ok);
        FUZZ_CHECK(ours.out.empty());
        return 0;
    }
    if (!z.ok) {
        static const bool report = std::getenv("VOKRA_DIFF_REPORT") != nullptr;
        if (report && ours.ok) std::fprintf(stderr, "zlib refuses, we accept: %s\n", z.msg);
        return 0;
    }
    FUZZ_CHECK(ours.ok);
    FUZZ_CHECK(ours.out.size() == z.out.size());
    FUZZ_CHECK(ours.out == z.out);
    FUZZ_CHECK(ours.consumed == z.consumed);
    return 0;
}
