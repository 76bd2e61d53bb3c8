// Huffman trees and block emission of the compressor: collects literal and
// match records, decides where a block ends, and emits each block as stored,
// fixed-code or dynamic-code DEFLATE (RFC 1951) through the bit writer.
//
// Every choice here, tie-breaks included, fixes the bytes of the stream: the
// heap order on equal frequencies, the length-limit repair, the run-length
// coding of the code lengths and the comparison of the three block costs.
//
// State: the records (compressor.l_buf, compressor.d_buf), the block's trees,
// flags, counters and costs are the trees' members of `compressor`
// (deflate_state.h), which ct_init and every flush_block restart. The fixed codes
// and the code tables are constexpr, built when the program is compiled.
#include <array>

#include "deflate_state.h"

namespace {

constexpr int MAX_BL_BITS = 7;  // longest code-length code
constexpr int END_BLOCK = 256;
constexpr int REP_3_6 = 16;      // repeat the previous length 3-6 times (2 extra bits)
constexpr int REPZ_3_10 = 17;    // 3-10 zero lengths (3 extra bits)
constexpr int REPZ_11_138 = 18;  // 11-138 zero lengths (7 extra bits)
static_assert(DIST_BUFSIZE >= LIT_BUFSIZE, "d_buf holds a distance for every record");
constexpr int STORED_BLOCK = 0;
constexpr int STATIC_TREES = 1;
constexpr int DYN_TREES = 2;

constexpr std::array<int, LENGTH_CODES> extra_lbits = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<int, D_CODES> extra_dbits = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                  6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<int, BL_CODES> extra_blbits = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// RFC 1951 order of the code-length code lengths: the likeliest first, so
// trailing zeros can be left out.
constexpr std::array<uch, BL_CODES> bl_order = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                11, 4,  12, 3, 13, 2, 14, 1, 15};

struct length_tables {
    std::array<uch, 256> length_code{};  // match length - 3 -> length code 0..28
    std::array<int, LENGTH_CODES> base_length{};
};

constexpr length_tables make_length_tables()
{
    length_tables t{};
    int length = 0;
    int code = 0;
    for (; code < LENGTH_CODES - 1; code++) {
        t.base_length[code] = length;
        for (int n = 0; n < (1 << extra_lbits[code]); n++) t.length_code[length++] = static_cast<uch>(code);
    }
    // Length 258 could also be code 284 with extra bits 31; RFC 1951 gives it
    // code 285 of its own, so the last entry is overwritten.
    t.length_code[length - 1] = static_cast<uch>(code);
    t.base_length[code] = length - 1;
    return t;
}

struct dist_tables {
    // Distance - 1 below 256 at its own index; above, (distance - 1) >> 7 at
    // 256 + that value (entries 256 and 257 are never used).
    std::array<uch, 512> dist_code{};
    std::array<int, D_CODES> base_dist{};
};

constexpr dist_tables make_dist_tables()
{
    dist_tables t{};
    int dist = 0;
    int code = 0;
    for (; code < 16; code++) {
        t.base_dist[code] = dist;
        for (int n = 0; n < (1 << extra_dbits[code]); n++) t.dist_code[dist++] = static_cast<uch>(code);
    }
    dist >>= 7;
    for (; code < D_CODES; code++) {
        t.base_dist[code] = dist << 7;
        for (int n = 0; n < (1 << (extra_dbits[code] - 7)); n++) {
            t.dist_code[256 + dist++] = static_cast<uch>(code);
        }
    }
    return t;
}

constexpr length_tables len_tab = make_length_tables();
constexpr dist_tables dist_tab = make_dist_tables();
constexpr const auto& length_code = len_tab.length_code;
constexpr const auto& base_length = len_tab.base_length;
constexpr const auto& dist_code = dist_tab.dist_code;
constexpr const auto& base_dist = dist_tab.base_dist;
static_assert(length_code[255] == 28 && length_code[254] == 27, "258 is symbol 285, 257 is symbol 284");
static_assert(base_length[27] == 224 && base_length[28] == 255);
static_assert(dist_code[255] == 15 && dist_code[256 + 2] == 16 && dist_code[511] == 29);
static_assert(base_dist[29] == 24576);

constexpr unsigned d_code(unsigned dist)
{
    return dist < 256 ? dist_code[dist] : dist_code[256 + (dist >> 7)];
}

// Canonical codes of RFC 1951 from the code lengths of symbols 0..max_code:
// consecutive values within a length, in symbol order, shorter lengths first.
template <std::size_t N>
constexpr void assign_codes(ct_data* tree, int max_code, const std::array<ush, N>& bl_count)
{
    std::array<ush, MAX_BITS + 1> next_code{};
    unsigned code = 0;
    for (int bits = 1; bits <= MAX_BITS; bits++) {
        code = (code + bl_count[bits - 1]) << 1;
        next_code[bits] = static_cast<ush>(code);
    }
    for (int n = 0; n <= max_code; n++) {
        int len = tree[n].len;
        if (len == 0) continue;
        tree[n].code = static_cast<ush>(bi_reverse(next_code[len]++, len));
    }
}

constexpr std::array<ct_data, L_CODES + 2> make_static_ltree()
{
    std::array<ct_data, L_CODES + 2> t{};
    std::array<ush, MAX_BITS + 1> count{};
    for (int n = 0; n < L_CODES + 2; n++) {
        int len = n <= 143 ? 8 : n <= 255 ? 9 : n <= 279 ? 7 : 8;
        t[n].len = static_cast<ush>(len);
        count[len]++;
    }
    // Codes over all 288 symbols: 286 and 287 take part in the fixed code
    // although they never occur in a stream.
    assign_codes(t.data(), L_CODES + 1, count);
    return t;
}

constexpr std::array<ct_data, D_CODES> make_static_dtree()
{
    std::array<ct_data, D_CODES> t{};
    for (int n = 0; n < D_CODES; n++) {
        t[n].len = 5;
        t[n].code = static_cast<ush>(bi_reverse(static_cast<unsigned>(n), 5));
    }
    return t;
}

constexpr std::array<ct_data, L_CODES + 2> static_ltree = make_static_ltree();
constexpr std::array<ct_data, D_CODES> static_dtree = make_static_dtree();
// RFC 1951 3.2.6: literal 0 is 00110000, 144 is 110010000, 256 is 0000000.
static_assert(static_ltree[0].code == bi_reverse(0x30, 8) && static_ltree[0].len == 8);
static_assert(static_ltree[144].code == bi_reverse(0x190, 9) && static_ltree[144].len == 9);
static_assert(static_ltree[256].code == 0 && static_ltree[256].len == 7);
static_assert(static_ltree[280].code == bi_reverse(0xc0, 8));

// What one tree is built from. Constant: build_tree returns the tree's
// max_code, its largest symbol with a code, instead of keeping it here.
struct tree_desc {
    ct_data* dyn_tree;
    const ct_data* static_tree;  // fixed code used to cost the block, or null
    const int* extra_bits;       // extra bits of symbols from extra_base on
    int extra_base;
    int elems;
    int max_length;
};

constexpr tree_desc l_desc = {
    compressor.dyn_ltree, static_ltree.data(), extra_lbits.data(), LITERALS + 1, L_CODES, MAX_BITS};
constexpr tree_desc d_desc = {
    compressor.dyn_dtree, static_dtree.data(), extra_dbits.data(), 0, D_CODES, MAX_BITS};
constexpr tree_desc bl_desc = {compressor.bl_tree, nullptr, extra_blbits.data(), 0, BL_CODES, MAX_BL_BITS};

inline void send_code(int c, const ct_data* tree)
{
    send_bits(tree[c].code, tree[c].len);
}

void init_block()
{
    for (int n = 0; n < L_CODES; n++) compressor.dyn_ltree[n].freq = 0;
    for (int n = 0; n < D_CODES; n++) compressor.dyn_dtree[n].freq = 0;
    for (int n = 0; n < BL_CODES; n++) compressor.bl_tree[n].freq = 0;
    compressor.dyn_ltree[END_BLOCK].freq = 1;
    compressor.opt_len = compressor.static_len = 0;
    compressor.last_lit = compressor.last_dist = compressor.last_flags = 0;
    compressor.flags = 0;
    compressor.flag_bit = 1;
}

// n is smaller than m when less frequent, or equally frequent and not deeper:
// preferring the shallower subtree keeps the code lengths short.
inline bool smaller(const ct_data* tree, int n, int m)
{
    return tree[n].freq < tree[m].freq ||
           (tree[n].freq == tree[m].freq && compressor.depth[n] <= compressor.depth[m]);
}

void pqdownheap(const ct_data* tree, int k)
{
    int v = compressor.heap[k];
    int j = k << 1;
    while (j <= compressor.heap_len) {
        if (j < compressor.heap_len && smaller(tree, compressor.heap[j + 1], compressor.heap[j])) j++;
        if (smaller(tree, v, compressor.heap[j])) break;
        compressor.heap[k] = compressor.heap[j];
        k = j;
        j <<= 1;
    }
    compressor.heap[k] = v;
}

// Code lengths from the tree, limited to max_length. Overflowed leaves are
// fixed up by moving leaves down from shorter lengths, two at a time, then
// the lengths are handed out again to the leaves in frequency order.
// max_code is the tree's largest leaf.
void gen_bitlen(const tree_desc& desc, int max_code)
{
    ct_data* tree = desc.dyn_tree;
    const ct_data* stree = desc.static_tree;
    const int* extra = desc.extra_bits;
    const int base = desc.extra_base;
    const int max_length = desc.max_length;
    int overflow = 0;

    compressor.bl_count.fill(0);
    tree[compressor.heap[compressor.heap_max]].len = 0;  // the root
    int h = compressor.heap_max + 1;
    for (; h < HEAP_SIZE; h++) {
        int n = compressor.heap[h];
        int bits = tree[tree[n].dad].len + 1;  // the parent's dad is already its len
        if (bits > max_length) {
            bits = max_length;
            overflow++;
        }
        tree[n].len = static_cast<ush>(bits);
        if (n > max_code) continue;  // internal node
        compressor.bl_count[bits]++;
        int xbits = n >= base ? extra[n - base] : 0;
        ulg f = tree[n].freq;
        compressor.opt_len += f * static_cast<ulg>(bits + xbits);
        if (stree != nullptr) compressor.static_len += f * static_cast<ulg>(stree[n].len + xbits);
    }
    if (overflow == 0) return;

    do {
        int bits = max_length - 1;
        while (compressor.bl_count[bits] == 0) bits--;
        compressor.bl_count[bits]--;
        compressor.bl_count[bits + 1] = static_cast<ush>(compressor.bl_count[bits + 1] + 2);
        compressor.bl_count[max_length]--;
        overflow -= 2;
    } while (overflow > 0);

    // h is HEAP_SIZE: walk the sorted tail backwards, least frequent first.
    for (int bits = max_length; bits != 0; bits--) {
        int n = compressor.bl_count[bits];
        while (n != 0) {
            int m = compressor.heap[--h];
            if (m > max_code) continue;
            if (tree[m].len != bits) {
                compressor.opt_len += static_cast<ulg>((bits - tree[m].len) * tree[m].freq);
                tree[m].len = static_cast<ush>(bits);
            }
            n--;
        }
    }
}

void gen_codes(ct_data* tree, int max_code)
{
    assign_codes(tree, max_code, compressor.bl_count);
}

// Builds the tree's code lengths and codes; returns max_code, the largest
// symbol given a code (every symbol above it has length 0).
int build_tree(const tree_desc& desc)
{
    ct_data* tree = desc.dyn_tree;
    const ct_data* stree = desc.static_tree;
    const int elems = desc.elems;
    int max_code = -1;
    int node = elems;  // next internal node

    compressor.heap_len = 0;
    compressor.heap_max = HEAP_SIZE;
    for (int n = 0; n < elems; n++) {
        if (tree[n].freq != 0) {
            compressor.heap[++compressor.heap_len] = max_code = n;
            compressor.depth[n] = 0;
        } else {
            tree[n].len = 0;
        }
    }

    // A DEFLATE code needs at least two codes (RFC 1951 3.2.7): add symbols
    // of frequency 1, the next ones while max_code is below 2, else symbol 0.
    while (compressor.heap_len < 2) {
        int added = compressor.heap[++compressor.heap_len] = max_code < 2 ? ++max_code : 0;
        tree[added].freq = 1;
        compressor.depth[added] = 0;
        compressor.opt_len--;
        if (stree != nullptr) compressor.static_len -= stree[added].len;
    }

    for (int n = compressor.heap_len / 2; n >= 1; n--) pqdownheap(tree, n);

    do {
        int n = compressor.heap[1];  // least frequent
        compressor.heap[1] = compressor.heap[compressor.heap_len--];
        pqdownheap(tree, 1);
        int m = compressor.heap[1];  // next least frequent

        compressor.heap[--compressor.heap_max] = n;
        compressor.heap[--compressor.heap_max] = m;

        tree[node].freq = static_cast<ush>(tree[n].freq + tree[m].freq);
        compressor.depth[node] = static_cast<uch>(
            (compressor.depth[n] >= compressor.depth[m] ? compressor.depth[n] : compressor.depth[m]) + 1);
        tree[n].dad = tree[m].dad = static_cast<ush>(node);
        compressor.heap[1] = node++;
        pqdownheap(tree, 1);
    } while (compressor.heap_len >= 2);

    compressor.heap[--compressor.heap_max] = compressor.heap[1];

    gen_bitlen(desc, max_code);
    gen_codes(tree, max_code);
    return max_code;
}

// The run-length walk shared by scan_tree (which counts the symbols into
// bl_tree) and send_tree (which sends them): emit(symbol, repeat_count) is
// called for every code-length symbol, with the count of a repeat symbol.
template <typename Emit>
void walk_tree(const ct_data* tree, int max_code, Emit emit)
{
    int prevlen = -1;
    int nextlen = tree[0].len;
    int count = 0;
    int max_count = 7;
    int min_count = 4;
    if (nextlen == 0) {
        max_count = 138;
        min_count = 3;
    }
    for (int n = 0; n <= max_code; n++) {
        int curlen = nextlen;
        nextlen = tree[n + 1].len;
        if (++count < max_count && curlen == nextlen) {
            continue;
        } else if (count < min_count) {
            do emit(curlen, 0);
            while (--count != 0);
        } else if (curlen != 0) {
            if (curlen != prevlen) {
                emit(curlen, 0);
                count--;
            }
            emit(REP_3_6, count);
        } else if (count <= 10) {
            emit(REPZ_3_10, count);
        } else {
            emit(REPZ_11_138, count);
        }
        count = 0;
        prevlen = curlen;
        if (nextlen == 0) {
            max_count = 138;
            min_count = 3;
        } else if (curlen == nextlen) {
            max_count = 6;
            min_count = 3;
        } else {
            max_count = 7;
            min_count = 4;
        }
    }
}

// Also places the end marker after max_code that both walks stop on; the
// literal/length and the distance lengths are two lists, no run crosses them.
void scan_tree(ct_data* tree, int max_code)
{
    tree[max_code + 1].len = 0xffff;
    walk_tree(tree, max_code, [](int sym, int) { compressor.bl_tree[sym].freq++; });
}

void send_tree(const ct_data* tree, int max_code)
{
    walk_tree(tree, max_code, [](int sym, int count) {
        send_code(sym, compressor.bl_tree);
        if (sym == REP_3_6) {
            send_bits(count - 3, 2);
        } else if (sym == REPZ_3_10) {
            send_bits(count - 3, 3);
        } else if (sym == REPZ_11_138) {
            send_bits(count - 11, 7);
        }
    });
}

// Returns the index in bl_order of the last code-length code to send; at
// least four are always sent (HCLEN counts from 4).
int build_bl_tree(int max_lcode, int max_dcode)
{
    scan_tree(compressor.dyn_ltree, max_lcode);
    scan_tree(compressor.dyn_dtree, max_dcode);
    build_tree(bl_desc);
    int max_blindex = BL_CODES - 1;
    for (; max_blindex >= 3; max_blindex--) {
        if (compressor.bl_tree[bl_order[max_blindex]].len != 0) break;
    }
    compressor.opt_len += 3 * static_cast<ulg>(max_blindex + 1) + 5 + 5 + 4;
    return max_blindex;
}

void send_all_trees(int lcodes, int dcodes, int blcodes)
{
    send_bits(lcodes - 257, 5);
    send_bits(dcodes - 1, 5);
    send_bits(blcodes - 4, 4);
    for (int rank = 0; rank < blcodes; rank++) send_bits(compressor.bl_tree[bl_order[rank]].len, 3);
    send_tree(compressor.dyn_ltree, lcodes - 1);
    send_tree(compressor.dyn_dtree, dcodes - 1);
}

void compress_block(const ct_data* ltree, const ct_data* dtree)
{
    unsigned lx = 0;  // record index in inbuf
    unsigned dx = 0;  // match index in d_buf
    unsigned fx = 0;  // byte index in flag_buf
    unsigned flag = 0;
    if (compressor.last_lit != 0) {
        do {
            if ((lx & 7) == 0) flag = compressor.flag_buf[fx++];
            unsigned lc = compressor.l_buf[lx++];
            if ((flag & 1) == 0) {
                send_code(static_cast<int>(lc), ltree);
            } else {
                unsigned code = length_code[lc];
                send_code(static_cast<int>(code) + LITERALS + 1, ltree);
                int extra = extra_lbits[code];
                if (extra != 0) send_bits(static_cast<int>(lc) - base_length[code], extra);
                unsigned dist = compressor.d_buf[dx++];
                code = d_code(dist);
                send_code(static_cast<int>(code), dtree);
                extra = extra_dbits[code];
                if (extra != 0) send_bits(static_cast<int>(dist) - base_dist[code], extra);
            }
            flag >>= 1;
        } while (lx < compressor.last_lit);
    }
    send_code(END_BLOCK, ltree);
}

}  // namespace

// The static tables are constants, so every call only records the pointers
// and starts a fresh block (which the last flush_block has normally done).
void ct_init(ush* attr, int* methodp)
{
    compressor.file_type = attr;
    compressor.file_method = methodp;
    compressor.compressed_len = 0;
    init_block();
}

int ct_tally(int dist, int lc)
{
    compressor.l_buf[compressor.last_lit++] = static_cast<uch>(lc);
    if (dist == 0) {
        compressor.dyn_ltree[lc].freq++;
    } else {
        unsigned d = static_cast<unsigned>(dist) - 1;
        compressor.dyn_ltree[length_code[lc] + LITERALS + 1].freq++;
        compressor.dyn_dtree[d_code(d)].freq++;
        compressor.d_buf[compressor.last_dist++] = static_cast<ush>(d);
        compressor.flags |= compressor.flag_bit;
    }
    compressor.flag_bit = static_cast<uch>(compressor.flag_bit << 1);

    if ((compressor.last_lit & 7) == 0) {
        compressor.flag_buf[compressor.last_flags++] = compressor.flags;
        compressor.flags = 0;
        compressor.flag_bit = 1;
    }
    // Every 4096 records, end the block early when it is made mostly of
    // literals and already compresses to under half: a new block can adapt
    // its codes to what follows.
    if (level > 2 && (compressor.last_lit & 0xfff) == 0) {
        ulg out_length = static_cast<ulg>(compressor.last_lit) * 8;
        for (int dcode = 0; dcode < D_CODES; dcode++) {
            out_length += compressor.dyn_dtree[dcode].freq * static_cast<ulg>(5 + extra_dbits[dcode]);
        }
        out_length >>= 3;
        std::int64_t in_length = static_cast<std::int64_t>(compressor.strstart) - compressor.block_start;
        if (compressor.last_dist < compressor.last_lit / 2 &&
            static_cast<std::int64_t>(out_length) < in_length / 2)
            return 1;
    }
    // One record fewer than inbuf holds, so the flags of a full block fit flag_buf.
    return compressor.last_lit == LIT_BUFSIZE - 1 || compressor.last_dist == DIST_BUFSIZE;
}

ulg flush_block(char* buf, ulg stored_len, int eof)
{
    compressor.flag_buf[compressor.last_flags] = compressor.flags;  // the partial last byte

    const int max_lcode = build_tree(l_desc);
    const int max_dcode = build_tree(d_desc);
    int max_blindex = build_bl_tree(max_lcode, max_dcode);

    // Whole bytes, with the 3-bit block header, of the two coded forms.
    ulg opt_lenb = (compressor.opt_len + 3 + 7) >> 3;
    ulg static_lenb = (compressor.static_len + 3 + 7) >> 3;
    if (static_lenb <= opt_lenb) opt_lenb = static_lenb;

    if (stored_len + 4 <= opt_lenb && buf != nullptr) {
        // 4 = LEN and NLEN; the header bits and padding share the estimate's slack.
        send_bits((STORED_BLOCK << 1) + eof, 3);
        compressor.compressed_len = (compressor.compressed_len + 3 + 7) & ~ulg{7};
        compressor.compressed_len += (stored_len + 4) << 3;
        copy_block(buf, static_cast<unsigned>(stored_len), 1);
    } else if (static_lenb == opt_lenb) {
        send_bits((STATIC_TREES << 1) + eof, 3);
        compress_block(static_ltree.data(), static_dtree.data());
        compressor.compressed_len += 3 + compressor.static_len;
    } else {
        send_bits((DYN_TREES << 1) + eof, 3);
        send_all_trees(max_lcode + 1, max_dcode + 1, max_blindex + 1);
        compress_block(compressor.dyn_ltree, compressor.dyn_dtree);
        compressor.compressed_len += 3 + compressor.opt_len;
    }
    init_block();
    if (eof) {
        bi_windup();
        compressor.compressed_len += 7;
    }
    return compressor.compressed_len >> 3;
}
