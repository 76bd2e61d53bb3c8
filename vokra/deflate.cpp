// Match finder of the compressor: hash chains over a sliding window and lazy
// evaluation, turning the input into literal and match records for trees.cpp.
//
// The window holds two 32 KiB halves. Input is read straight into it; when
// the current string passes WSIZE + MAX_DIST the upper half is copied down
// and every stored position is rebased, so positions are plain window
// indexes everywhere else. prev[] links each position to the previous one
// with the same 3-byte hash; head[] holds the most recent position per hash.
// Position 0 doubles as "no position", so the string at index 0 is never a
// candidate.
#include <array>
#include <bit>
#include <cstring>

#include "gzip.h"

namespace {

constexpr unsigned WMASK = WSIZE - 1;
constexpr int HASH_BITS = 15;
constexpr unsigned HASH_SIZE = 1u << HASH_BITS;
constexpr unsigned HASH_MASK = HASH_SIZE - 1;
// Shift per byte so that after MIN_MATCH updates the oldest byte has left
// the HASH_BITS-bit hash: the hash depends on exactly the last three bytes.
constexpr int H_SHIFT = (HASH_BITS + MIN_MATCH - 1) / MIN_MATCH;
static_assert(H_SHIFT * MIN_MATCH >= HASH_BITS);
// A 3-byte match farther back than this costs more bits than three literals.
constexpr unsigned TOO_FAR = 4096;
constexpr unsigned NIL = 0;
static_assert(HASH_SIZE == WSIZE, "head[] is the upper half of prev[]");

// Search parameters per compression level. Only the lazy pass exists; the
// system runs at level 9.
struct config {
    ush good_length;  // a previous match this long quarters the chain budget
    ush max_lazy;     // no search when the previous match is this long
    ush nice_length;  // a match this long ends the search
    ush max_chain;    // chain links followed per search
};

constexpr std::array<config, 10> configuration_table = {{
    {0, 0, 0, 0},  // 0: store only
    {4, 4, 8, 4},  // 1: maximum speed
    {4, 5, 16, 8},
    {4, 6, 32, 32},
    {4, 4, 16, 16},  // 4: lazy matches from here on
    {8, 16, 32, 32},
    {8, 16, 128, 128},
    {8, 32, 128, 256},
    {32, 128, 258, 1024},
    {32, 258, 258, 4096},  // 9: maximum compression
}};

constexpr ush FAST = 4;  // extra flags of level 1
constexpr ush SLOW = 2;  // extra flags of level 9

unsigned lookahead;    // valid bytes from strstart on
unsigned match_start;  // start of the best match longest_match found
unsigned prev_length;  // best length at the previous position; the length to beat
unsigned ins_h;        // hash of the 3 bytes at the string being inserted
int eofile;            // read_buf has reported the end of input
unsigned max_chain_length;
unsigned max_lazy_match;
unsigned good_match;
unsigned nice_match;

inline void update_hash(unsigned c)
{
    ins_h = ((ins_h << H_SHIFT) ^ c) & HASH_MASK;
}

// Links the string at s into its hash chain; returns the previous head.
inline unsigned insert_string(unsigned s)
{
    update_hash(window[s + MIN_MATCH - 1]);
    unsigned match_head = head[ins_h];
    prev[s & WMASK] = static_cast<ush>(match_head);
    head[ins_h] = static_cast<ush>(s);
    return match_head;
}

inline std::uint16_t load16(const uch* p)
{
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint64_t load64(const uch* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Index of the first differing byte of two 8-byte words loaded from memory
// (diff = a ^ b, nonzero). The loads are host order, so the first byte in
// memory is the low byte on little-endian hosts and the high byte on big-endian ones.
inline unsigned first_diff(std::uint64_t diff, const uch* a, const uch* b)
{
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<unsigned>(std::countr_zero(diff)) / 8;
    } else if constexpr (std::endian::native == std::endian::big) {
        return static_cast<unsigned>(std::countl_zero(diff)) / 8;
    } else {
        unsigned i = 0;
        while (a[i] == b[i]) i++;
        return i;
    }
}

// Length of the common prefix of scan and match, at most MAX_MATCH, given
// that their first two bytes are equal.
//
// Safety: offsets 2..257 are compared as 32 whole words and nothing past
// offset 257 is read. scan is window + strstart with strstart < WINDOW_SIZE,
// so the reads end below WINDOW_SIZE + 257, inside the WINDOW_SLACK bytes
// after the window; match lies before scan. Bytes past the valid input may
// count, callers cut the length to lookahead.
inline unsigned compare_strings(const uch* scan, const uch* match)
{
    static_assert((MAX_MATCH - 2) % 8 == 0 && WINDOW_SLACK >= MAX_MATCH);
    for (unsigned off = 2; off < MAX_MATCH; off += 8) {
        std::uint64_t diff = load64(scan + off) ^ load64(match + off);
        if (diff != 0) return off + first_diff(diff, scan + off, match + off);
    }
    return MAX_MATCH;
}

// Walks the hash chain from cur_match, most recent first, for the longest
// string equal to the one at strstart; the first of equally long ones wins.
// Returns at least prev_length; sets match_start when it finds longer.
//
// Measured (16 MiB tar of /usr/lib shared libraries, 2-core EPYC): 1.25e9
// candidates in 3.4e6 calls, 95% of them sharing the first three bytes, so
// the time goes to the dependent prev[] loads of the chain walk, not to the
// compare: the 8-byte compare gave no measurable gain over a byte loop here.
unsigned longest_match(unsigned cur_match)
{
    unsigned chain_length = max_chain_length;
    const uch* scan = window + strstart;
    unsigned best_len = prev_length;
    const unsigned limit = strstart > MAX_DIST ? strstart - MAX_DIST : NIL;
    if (prev_length >= good_match) chain_length >>= 2;

    // A candidate can beat best_len only if it agrees at best_len - 1 and
    // best_len; checking those first drops most candidates after one load.
    // The 16-bit loads only test equality, so byte order does not matter.
    const std::uint16_t scan_start = load16(scan);
    std::uint16_t scan_end = load16(scan + best_len - 1);
    do {
        const uch* match = window + cur_match;
        if (load16(match + best_len - 1) != scan_end || load16(match) != scan_start) continue;
        unsigned len = compare_strings(scan, match);
        if (len > best_len) {
            match_start = cur_match;
            best_len = len;
            if (len >= nice_match) break;
            scan_end = load16(scan + best_len - 1);
        }
    } while ((cur_match = prev[cur_match & WMASK]) > limit && --chain_length != 0);
    return best_len;
}

// Slides the window when strstart has passed WSIZE + MAX_DIST, then reads as
// much input as fits. The free space is never 0 here (the caller only calls
// with lookahead < MIN_LOOKAHEAD), so a read of 0 bytes means end of input.
void fill_window()
{
    unsigned more = WINDOW_SIZE - lookahead - strstart;
    if (strstart >= WSIZE + MAX_DIST) {
        std::memcpy(window, window + WSIZE, WSIZE);
        match_start -= WSIZE;
        strstart -= WSIZE;
        block_start -= static_cast<long>(WSIZE);
        // Heads and links both live in prev[]; positions in the lower half
        // are gone and become NIL.
        for (unsigned n = 0; n < 2 * WSIZE; n++) {
            unsigned m = prev[n];
            prev[n] = static_cast<ush>(m >= WSIZE ? m - WSIZE : NIL);
        }
        more += WSIZE;
    }
    if (!eofile) {
        int n = read_buf(reinterpret_cast<char*>(window) + strstart + lookahead, more);
        if (n == 0 || n == -1) {
            eofile = 1;
        } else {
            lookahead += static_cast<unsigned>(n);
        }
    }
}

// Ends the current block. Its bytes are passed along (for a stored block)
// only while its start is still in the window.
ulg flush_current_block(int eof)
{
    char* buf = block_start >= 0 ? reinterpret_cast<char*>(window) + block_start : nullptr;
    return flush_block(buf, static_cast<ulg>(static_cast<long>(strstart) - block_start), eof);
}

}  // namespace

unsigned strstart;
long block_start;

void lm_init(int pack_level, ush* flags)
{
    if (pack_level < 1 || pack_level > 9) pack_level = 9;
    for (unsigned n = 0; n < HASH_SIZE; n++) head[n] = NIL;
    const config& c = configuration_table[static_cast<unsigned>(pack_level)];
    max_lazy_match = c.max_lazy;
    good_match = c.good_length;
    nice_match = c.nice_length;
    max_chain_length = c.max_chain;
    if (pack_level == 1) {
        *flags |= FAST;
    } else if (pack_level == 9) {
        *flags |= SLOW;
    }
    // The match compare may run past the input into whatever the window
    // holds there, which decides between candidates that all reach the end
    // of the input. Clearing it makes a member depend on its input alone,
    // not on the members written before it in the same process.
    std::memset(window, 0, sizeof window);
    strstart = 0;
    block_start = 0;
    prev_length = MIN_MATCH - 1;
    match_start = 0;

    int n = read_buf(reinterpret_cast<char*>(window), WINDOW_SIZE);
    if (n == 0 || n == -1) {
        eofile = 1;
        lookahead = 0;
        return;
    }
    lookahead = static_cast<unsigned>(n);
    eofile = 0;
    while (lookahead < MIN_LOOKAHEAD && !eofile) fill_window();

    ins_h = 0;
    for (int j = 0; j < MIN_MATCH - 1; j++) update_hash(window[j]);
}

// Lazy evaluation: the match found at one position is emitted only after the
// search at the next position has found nothing longer; otherwise its first
// byte goes out as a literal and the longer match is carried forward.
ulg deflate()
{
    unsigned prev_match;
    int match_available = 0;  // a literal at strstart - 1 is pending
    unsigned match_length = MIN_MATCH - 1;

    while (lookahead != 0) {
        unsigned hash_head = insert_string(strstart);
        prev_length = match_length;
        prev_match = match_start;
        match_length = MIN_MATCH - 1;

        if (hash_head != NIL && prev_length < max_lazy_match && strstart - hash_head <= MAX_DIST) {
            match_length = longest_match(hash_head);
            if (match_length > lookahead) match_length = lookahead;
            if (match_length == MIN_MATCH && strstart - match_start > TOO_FAR) match_length--;
        }

        if (prev_length >= MIN_MATCH && match_length <= prev_length) {
            int flush = ct_tally(static_cast<int>(strstart - 1 - prev_match),
                                 static_cast<int>(prev_length - MIN_MATCH));
            // The match covers strstart - 1 .. strstart + prev_length - 2;
            // insert every string in it but the first, already inserted.
            lookahead -= prev_length - 1;
            prev_length -= 2;
            do {
                strstart++;
                insert_string(strstart);
            } while (--prev_length != 0);
            match_available = 0;
            match_length = MIN_MATCH - 1;
            strstart++;
            if (flush) {
                flush_current_block(0);
                block_start = strstart;
            }
        } else if (match_available) {
            if (ct_tally(0, window[strstart - 1])) {
                flush_current_block(0);
                block_start = strstart;
            }
            strstart++;
            lookahead--;
        } else {
            match_available = 1;
            strstart++;
            lookahead--;
        }
        while (lookahead < MIN_LOOKAHEAD && !eofile) fill_window();
    }
    if (match_available) ct_tally(0, window[strstart - 1]);
    return flush_current_block(1);
}
