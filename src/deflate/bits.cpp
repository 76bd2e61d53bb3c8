// Bit writer of the compressor: packs DEFLATE codes least significant bit
// first into the output buffer and writes stored blocks.
//
// The buffer (compressor.bi_buf, with compressor.bi_valid bits in it) holds
// at most 16 bits and is written out, as two bytes through out_short(), only
// when it is full and more bits arrive. Bits beyond the 16-bit buffer are
// carried over into the next one, so send_bits() never writes more than one
// 16-bit word. Both are members of the static `compressor`, so each access is
// one absolute address, as cheap as a file-local variable.
#include <algorithm>
#include <cstring>

#include "deflate_state.h"

void bi_init(file_t zipfile)
{
    compressor.zfile = zipfile;
    compressor.bi_buf = 0;
    compressor.bi_valid = 0;
}

// value must be below 2^length: higher bits are not masked and would land in
// the bits of the next code.
void send_bits(int value, int length)
{
    constexpr int BUF_SIZE = 16;
    const unsigned v = static_cast<unsigned>(value);
    if (compressor.bi_valid > BUF_SIZE - length) {
        // Fill the buffer with the low bits of value, write it, and keep the
        // rest. A full buffer (bi_valid 16) shifts value by 16, so the write
        // carries only the old bits and value moves whole into the new buffer.
        compressor.bi_buf = static_cast<ush>(compressor.bi_buf | (v << compressor.bi_valid));
        out_short(compressor.bi_buf);
        compressor.bi_buf = static_cast<ush>((v & 0xffff) >> (BUF_SIZE - compressor.bi_valid));
        compressor.bi_valid += length - BUF_SIZE;
    } else {
        compressor.bi_buf = static_cast<ush>(compressor.bi_buf | (v << compressor.bi_valid));
        compressor.bi_valid += length;
    }
}

// Pads with zero bits: bi_buf is only ever filled from the bottom.
void bi_windup()
{
    if (compressor.bi_valid > 8) {
        out_short(compressor.bi_buf);
    } else if (compressor.bi_valid > 0) {
        out_byte(compressor.bi_buf & 0xff);
    }
    compressor.bi_buf = 0;
    compressor.bi_valid = 0;
}

// The stored-block header bits were sent by the caller; the windup supplies
// the padding to a byte boundary that RFC 1951 puts before LEN.
void copy_block(char* buf, unsigned len, int header)
{
    bi_windup();
    if (header) {
        out_short(len & 0xffff);
        out_short(~len & 0xffff);
    }
    // Bulk copy with the same flush points as out_byte: outbuf is written
    // each time it reaches OUTBUFSIZ bytes, never earlier.
    while (len != 0) {
        unsigned n = std::min(len, OUTBUFSIZ - stream.outcnt);
        std::memcpy(stream.outbuf + stream.outcnt, buf, n);
        stream.outcnt += n;
        buf += n;
        len -= n;
        if (stream.outcnt == OUTBUFSIZ) flush_outbuf();
    }
}
