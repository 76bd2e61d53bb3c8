// A small, slow DEFLATE (RFC 1951) decoder for the tests that keeps what a
// byte-level check cannot see: block types, the code lengths each dynamic
// block describes, and every literal and match with its symbols.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <queue>
#include <string>
#include <vector>

namespace tokens {

struct Token {
    bool match = false;
    unsigned value = 0;  // the literal byte, or the match length
    unsigned dist = 0;   // match distance
    unsigned lsym = 0;   // literal/length symbol used
    unsigned dsym = 0;   // distance symbol used
};

struct Block {
    int type = 0;  // 0 stored, 1 fixed, 2 dynamic
    bool final = false;
    unsigned hclen = 0;               // code-length code lengths sent
    std::vector<unsigned> lit_lens;   // dynamic: literal/length code lengths (HLIT of them)
    std::vector<unsigned> dist_lens;  // dynamic: distance code lengths (HDIST of them)
    std::vector<unsigned> cl_lens;    // dynamic: code-length code lengths, by symbol
    std::vector<unsigned> cl_freq;    // dynamic: how often each code-length symbol was sent
    std::vector<Token> tokens;
    std::size_t stored_len = 0;
};

struct Stream {
    bool ok = false;
    std::string error;
    std::vector<Block> blocks;
    std::string data;
    std::size_t end = 0;  // byte offset just after the stream
};

namespace detail {

struct Reader {
    const std::string& s;
    std::size_t pos;
    unsigned bitbuf = 0;
    int bitcnt = 0;
    bool overrun = false;

    unsigned bit()
    {
        if (bitcnt == 0) {
            if (pos >= s.size()) {
                overrun = true;
                return 0;
            }
            bitbuf = static_cast<unsigned char>(s[pos++]);
            bitcnt = 8;
        }
        unsigned b = bitbuf & 1;
        bitbuf >>= 1;
        bitcnt--;
        return b;
    }
    unsigned bits(int n)
    {
        unsigned v = 0;
        for (int i = 0; i < n; i++) v |= bit() << i;
        return v;
    }
};

// Canonical Huffman decoding table: counts per length and symbols by code.
struct Huffman {
    std::vector<unsigned> count = std::vector<unsigned>(16, 0);
    std::vector<unsigned> symbol;
    bool build(const std::vector<unsigned>& lens)
    {
        for (unsigned l : lens) {
            if (l > 15) return false;
            count[l]++;
        }
        count[0] = 0;
        int left = 1;
        for (int len = 1; len <= 15; len++) {
            left <<= 1;
            left -= static_cast<int>(count[len]);
            if (left < 0) return false;  // over-subscribed
        }
        std::vector<unsigned> offs(16, 0);
        for (int len = 1; len < 15; len++) offs[len + 1] = offs[len] + count[len];
        symbol.assign(lens.size(), 0);
        for (unsigned sym = 0; sym < lens.size(); sym++) {
            if (lens[sym] != 0) symbol[offs[lens[sym]]++] = sym;
        }
        return true;
    }
    int decode(Reader& r) const
    {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= 15; len++) {
            code |= static_cast<int>(r.bit());
            int n = static_cast<int>(count[len]);
            if (code - n < first) return static_cast<int>(symbol[index + (code - first)]);
            index += n;
            first += n;
            first <<= 1;
            code <<= 1;
        }
        return -1;
    }
};

constexpr unsigned LBASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr int LEXT[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr unsigned DBASE[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr int DEXT[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                          6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr unsigned CL_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

inline bool codes(Reader& r, Stream& st, Block& b, const Huffman& lc, const Huffman& dc, bool history)
{
    for (;;) {
        int sym = lc.decode(r);
        if (sym < 0 || r.overrun) return st.error = "bad literal/length code", false;
        if (sym < 256) {
            st.data.push_back(static_cast<char>(sym));
            b.tokens.push_back({false, static_cast<unsigned>(sym), 0, static_cast<unsigned>(sym), 0});
            continue;
        }
        if (sym == 256) return true;
        unsigned li = static_cast<unsigned>(sym) - 257;
        if (li >= 29) return st.error = "bad length symbol", false;
        unsigned len = LBASE[li] + r.bits(LEXT[li]);
        int ds = dc.decode(r);
        if (ds < 0 || ds >= 30) return st.error = "bad distance code", false;
        unsigned dist = DBASE[ds] + r.bits(DEXT[ds]);
        if (dist > st.data.size()) {
            if (history) return st.error = "distance too far back", false;
            st.data.insert(0, dist - st.data.size(), '\0');  // records made up without input
        }
        for (unsigned i = 0; i < len; i++) st.data.push_back(st.data[st.data.size() - dist]);
        b.tokens.push_back({true, len, dist, static_cast<unsigned>(sym), static_cast<unsigned>(ds)});
    }
}

}  // namespace detail

// Decodes the DEFLATE stream that starts at byte `offset` of s. Without
// `history`, a distance beyond the data decoded so far is taken to reach
// into zero bytes before it (for streams of made-up records).
inline Stream decode(const std::string& s, std::size_t offset, bool history = true)
{
    using namespace detail;
    Stream st;
    Reader r{s, offset};
    for (;;) {
        Block b;
        b.final = r.bit() != 0;
        b.type = static_cast<int>(r.bits(2));
        if (b.type == 0) {
            r.bitcnt = 0;
            if (r.pos + 4 > s.size()) return st.error = "stored header cut", st;
            unsigned len = static_cast<unsigned char>(s[r.pos]) | static_cast<unsigned char>(s[r.pos + 1])
                                                                      << 8;
            unsigned nlen =
                static_cast<unsigned char>(s[r.pos + 2]) | static_cast<unsigned char>(s[r.pos + 3]) << 8;
            if (len != (~nlen & 0xffff)) return st.error = "stored LEN/NLEN mismatch", st;
            r.pos += 4;
            if (r.pos + len > s.size()) return st.error = "stored data cut", st;
            st.data.append(s, r.pos, len);
            r.pos += len;
            b.stored_len = len;
        } else if (b.type == 1) {
            std::vector<unsigned> l(288), d(30, 5);
            for (int i = 0; i < 288; i++) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
            Huffman lc, dc;
            lc.build(l);
            dc.build(d);
            if (!codes(r, st, b, lc, dc, history)) return st;
        } else if (b.type == 2) {
            unsigned nlen = r.bits(5) + 257, ndist = r.bits(5) + 1, ncode = r.bits(4) + 4;
            b.hclen = ncode;
            b.cl_lens.assign(19, 0);
            for (unsigned i = 0; i < ncode; i++) b.cl_lens[CL_ORDER[i]] = r.bits(3);
            Huffman cl;
            if (!cl.build(b.cl_lens)) return st.error = "bad code-length code", st;
            b.cl_freq.assign(19, 0);
            std::vector<unsigned> lens;
            while (lens.size() < nlen + ndist) {
                int sym = cl.decode(r);
                if (sym < 0 || r.overrun) return st.error = "bad code-length symbol", st;
                b.cl_freq[static_cast<unsigned>(sym)]++;
                if (sym < 16) {
                    lens.push_back(static_cast<unsigned>(sym));
                    continue;
                }
                unsigned rep, val = 0;
                if (sym == 16) {
                    if (lens.empty()) return st.error = "repeat with no previous length", st;
                    val = lens.back();
                    rep = 3 + r.bits(2);
                } else if (sym == 17) {
                    rep = 3 + r.bits(3);
                } else {
                    rep = 11 + r.bits(7);
                }
                if (lens.size() + rep > nlen + ndist) return st.error = "lengths overrun", st;
                lens.insert(lens.end(), rep, val);
            }
            b.lit_lens.assign(lens.begin(), lens.begin() + nlen);
            b.dist_lens.assign(lens.begin() + nlen, lens.end());
            Huffman lc, dc;
            if (!lc.build(b.lit_lens) || !dc.build(b.dist_lens)) return st.error = "over-subscribed code", st;
            if (!codes(r, st, b, lc, dc, history)) return st;
        } else {
            return st.error = "block type 3", st;
        }
        if (r.overrun) return st.error = "stream cut", st;
        st.blocks.push_back(std::move(b));
        if (st.blocks.back().final) break;
    }
    st.end = r.pos;
    st.ok = true;
    return st;
}

// Depth of the shallowest Huffman tree for these frequencies (ties merged
// shallowest first, which keeps the tree as flat as possible). Symbols of
// frequency 0 take no part. A result above a code's length limit proves that
// the encoder had to repair its lengths.
inline int min_huffman_depth(const std::vector<unsigned>& freq)
{
    using Node = std::pair<std::uint64_t, int>;  // frequency, depth
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> q;
    for (unsigned f : freq) {
        if (f != 0) q.push({f, 0});
    }
    if (q.size() < 2) return static_cast<int>(q.size());
    while (q.size() > 1) {
        Node a = q.top();
        q.pop();
        Node b = q.top();
        q.pop();
        q.push({a.first + b.first, std::max(a.second, b.second) + 1});
    }
    return q.top().second;
}

// Symbol frequencies of a block as the encoder counted them: literal/length
// symbols with the end-of-block symbol, and distance symbols.
inline std::vector<unsigned> lit_freq(const Block& b)
{
    std::vector<unsigned> f(286, 0);
    for (const Token& t : b.tokens) f[t.lsym]++;
    f[256]++;
    return f;
}

inline std::vector<unsigned> dist_freq(const Block& b)
{
    std::vector<unsigned> f(30, 0);
    for (const Token& t : b.tokens) {
        if (t.match) f[t.dsym]++;
    }
    return f;
}

}  // namespace tokens
