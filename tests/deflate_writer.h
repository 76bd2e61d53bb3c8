// A small DEFLATE bit writer for crafting streams, valid and corrupt, bit by bit.
#pragma once

#include <string>
#include <vector>

namespace testutil {

// Packs values least significant bit first, as DEFLATE lays out its fields.
class BitWriter {
public:
    void bits(unsigned value, unsigned n)
    {
        // Fields wider than the value (a run of zero lengths) pad with zero bits.
        for (unsigned i = 0; i < n; i++) put(i < 32 ? (value >> i) & 1 : 0);
    }
    // Huffman codes go most significant bit first.
    void code(unsigned code, unsigned len)
    {
        for (unsigned i = len; i-- > 0;) put((code >> i) & 1);
    }
    // Pads to a byte boundary with zero bits.
    void align()
    {
        while (nbits_ != 0) put(0);
    }
    void byte(unsigned char c)
    {
        align();
        out_ += static_cast<char>(c);
    }
    unsigned bit_count() const { return static_cast<unsigned>(out_.size() * 8 + nbits_); }
    std::string finish()
    {
        align();
        return out_;
    }

private:
    void put(unsigned bit)
    {
        cur_ |= bit << nbits_;
        if (++nbits_ == 8) {
            out_ += static_cast<char>(cur_);
            cur_ = 0;
            nbits_ = 0;
        }
    }
    std::string out_;
    unsigned cur_ = 0;
    unsigned nbits_ = 0;
};

// A canonical Huffman code (RFC 1951 3.2.2) from its code lengths.
struct Code {
    std::vector<unsigned> len;
    std::vector<unsigned> code;

    explicit Code(std::vector<unsigned> lengths) : len(std::move(lengths)), code(len.size())
    {
        unsigned count[17] = {};
        for (unsigned l : len) count[l]++;
        count[0] = 0;
        unsigned next[17] = {};
        unsigned c = 0;
        for (unsigned bits = 1; bits <= 16; bits++) {
            c = (c + count[bits - 1]) << 1;
            next[bits] = c;
        }
        for (size_t s = 0; s < len.size(); s++) {
            if (len[s] != 0) code[s] = next[len[s]]++;
        }
    }
    void put(BitWriter& bw, unsigned sym) const { bw.code(code[sym], len[sym]); }
};

// Lengths of the fixed literal/length code (288 symbols) and distance code.
inline std::vector<unsigned> fixed_lit_lengths()
{
    std::vector<unsigned> l(288);
    for (unsigned i = 0; i < 288; i++) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    return l;
}
inline std::vector<unsigned> fixed_dist_lengths()
{
    return std::vector<unsigned>(32, 5);
}

}  // namespace testutil
