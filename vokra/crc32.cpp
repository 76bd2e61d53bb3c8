// CRC-32 of the gzip format (RFC 1952): reflected polynomial 0xEDB88320.
//
// Slicing-by-8: eight tables let one step fold eight input bytes into the
// register with eight independent lookups instead of a chain of eight
// dependent ones. Table 0 is the classic byte-at-a-time table; table k gives
// the effect of a byte followed by k zero bytes. Bytes are assembled with
// shifts, so the result does not depend on the host's byte order.
#include <array>

#include "gzip.h"

namespace {

constexpr ulg CRC_POLY = 0xEDB88320;  // x^32+x^26+...+1, bit-reversed

using crc_tables = std::array<std::array<ulg, 256>, 8>;

constexpr crc_tables make_crc_tables()
{
    crc_tables t{};
    for (ulg n = 0; n < 256; n++) {
        ulg c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? CRC_POLY ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (ulg n = 0; n < 256; n++) {
        for (int k = 1; k < 8; k++) t[k][n] = t[0][t[k - 1][n] & 0xff] ^ (t[k - 1][n] >> 8);
    }
    return t;
}

constexpr crc_tables crc_tab = make_crc_tables();
static_assert(crc_tab[0][1] == 0x77073096, "standard CRC-32 table entry 1");
static_assert(crc_tab[0][255] == 0x2D02EF8D, "standard CRC-32 table entry 255");

inline ulg load_le32(const uch* p)
{
    return ulg{p[0]} | ulg{p[1]} << 8 | ulg{p[2]} << 16 | ulg{p[3]} << 24;
}

// The register, not complemented; 0xFFFFFFFF after a reset.
ulg crc_register = 0xffffffff;

// Runs the uncomplemented register over n bytes.
ulg crc_run(ulg c, const uch* s, std::size_t n)
{
    while (n >= 8) {
        c ^= load_le32(s);
        ulg hi = load_le32(s + 4);
        c = crc_tab[7][c & 0xff] ^ crc_tab[6][(c >> 8) & 0xff] ^ crc_tab[5][(c >> 16) & 0xff] ^
            crc_tab[4][c >> 24] ^ crc_tab[3][hi & 0xff] ^ crc_tab[2][(hi >> 8) & 0xff] ^
            crc_tab[1][(hi >> 16) & 0xff] ^ crc_tab[0][hi >> 24];
        s += 8;
        n -= 8;
    }
    while (n-- != 0) c = crc_tab[0][(c ^ *s++) & 0xff] ^ (c >> 8);
    return c;
}

}  // namespace

ulg updcrc(const uch* s, unsigned n)
{
    if (s == nullptr) {
        crc_register = 0xffffffff;
    } else {
        crc_register = crc_run(crc_register, s, n);
    }
    return crc_register ^ 0xffffffff;
}

ulg crc32_update(ulg crc, const uch* s, std::size_t n)
{
    return crc_run(crc ^ 0xffffffff, s, n) ^ 0xffffffff;
}
