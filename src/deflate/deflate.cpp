// Match finder of the compressor: hash chains, 8-byte chains and binary
// search trees over a sliding window, and lazy evaluation, turning the input
// into literal and match records for trees.cpp.
//
// The window holds two 32 KiB halves. Input is read straight into it; when
// the current string passes WSIZE + MAX_DIST the upper half is copied down
// and every stored position is rebased, so positions are plain window
// indexes everywhere else. Position 0 doubles as "no position", so the
// string at index 0 is never a candidate.
//
// What a search returns is defined by hash chains: the strings with the same
// 3-byte hash, most recent first; the result is the first longest among the
// first max_chain_length of them (a quarter as many once the previous match
// is good_match long) that lie less than MAX_DIST back (the most recent one
// may lie exactly MAX_DIST back). Walking those chains link by link is what
// made the compressor slow. Every string gets a rank, its insertion count in
// its bucket, so the link count between two strings of a bucket is known
// without walking it; the faster structures below skip links that cannot
// win and still stop exactly where the chain walk stops:
// - the key chains (longest_match) of strings sharing their first 4, 6, 8
//   or 16 bytes, once a match of 3, 5, 7 or 15 bytes is in hand;
// - per-bucket binary search trees (insert_tree), kept only while the chains
//   run long, since every string must be inserted into them.
// Measured with bench/compare.sh (2-core EPYC, medians of 5): CPU time of
// gzip -9n went from 0.84 to 0.54 on text and from 0.93 to 0.67 on binaries
// with the 8-byte chains and the trees; the other key chains took it to 0.42
// and 0.25.
//
// State: the window, hash heads and chain links (compressor.window,
// compressor.prev), the positions, search parameters, ranks, key chains and
// trees are the match finder's members of `compressor` (deflate_state.h),
// which lm_init restarts for every member; the instance and its reset are
// defined at the end of this file.
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

#include "deflate_state.h"

namespace {

constexpr unsigned WMASK = WSIZE - 1;
constexpr unsigned HASH_MASK = HASH_SIZE - 1;
// Shift per byte so that after MIN_MATCH updates the oldest byte has left
// the HASH_BITS-bit hash: the hash depends on exactly the last three bytes.
constexpr int H_SHIFT = (HASH_BITS + MIN_MATCH - 1) / MIN_MATCH;
static_assert(H_SHIFT * MIN_MATCH >= HASH_BITS);
// A 3-byte match farther back than this costs more bits than three literals.
constexpr unsigned TOO_FAR = 4096;
constexpr unsigned NIL = 0;
static_assert(HASH_SIZE == WSIZE, "head[] is the upper half of prev[]");
ush* const head = compressor.prev + WSIZE;

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

// Key chains: for each key length, strings with the same hash of their first
// key bytes, linked like prev[] and head[]. The hashes only sort strings into
// chains; strings with equal bytes share a chain on every host. A level pays
// for itself when the searches walk many links that share the previous key
// but not its own. Measured (bench/compare.sh corpora, CPU s text / binary):
// 4 and 8 bytes 0.45 / 1.17; 4, 8, 16: 0.40 / 0.94; 4, 6, 8, 16: 0.40 / 0.76;
// a 12-, 20- or 32-byte level or a fifth level gained nothing or lost.
constexpr std::array<unsigned, KEY_LEVELS> KEY_LEN = {4, 6, 8, 16};
// A string's keys are hashed when it is inserted, MIN_LOOKAHEAD bytes before
// the end of what has been read (or after the last read), so they never change.
static_assert(KEY_LEN[0] == MIN_MATCH + 1 && KEY_LEN[KEY_LEVELS - 1] <= MIN_LOOKAHEAD);

inline std::uint16_t load16(const uch* p)
{
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t load32(const uch* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint64_t load64(const uch* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Multiplicative hashes: the top KEY_HASH_BITS of the product mix every key byte.
constexpr std::uint64_t GOLDEN64 = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t MIX64 = 0xC2B2AE3D27D4EB4Full;

template <unsigned KEY>
inline unsigned key_hash(const uch* p)
{
    // Whole loads only, never a masked wider one: the hash must depend on the
    // key bytes alone whatever the host's byte order.
    std::uint64_t h = 0;
    unsigned i = 0;
    for (; i + 8 <= KEY; i += 8) h = h * MIX64 + load64(p + i);
    if constexpr (KEY % 8 >= 4) {
        h = h * MIX64 + load32(p + i);
        i += 4;
    }
    if constexpr (KEY % 4 >= 2) {
        h = h * MIX64 + load16(p + i);
        i += 2;
    }
    if constexpr (KEY % 2 == 1) h = h * MIX64 + p[i];
    return static_cast<unsigned>((h * GOLDEN64) >> (64 - KEY_HASH_BITS));
}

// Links the string at s into its key chains of LEVEL and up.
template <unsigned LEVEL = 0>
inline void insert_keys(unsigned s)
{
    if constexpr (LEVEL < KEY_LEVELS) {
        const unsigned h = key_hash<KEY_LEN[LEVEL]>(compressor.window + s);
        compressor.key_prev[LEVEL][s & WMASK] = compressor.key_head[LEVEL][h];
        compressor.key_head[LEVEL][h] = static_cast<ush>(s);
        insert_keys<LEVEL + 1>(s);
    }
}

// Binary search trees: the strings of each hash bucket ordered by their
// next MAX_MATCH bytes, with more recent strings above older ones (a treap
// whose priority is the position). Tree links by position & WMASK: the subtree of strings that sort before
// (tree_less) and after (tree_more) the string at that position. head[] holds
// each bucket's root, its most recent string. The trees hold every string
// from compressor.tree_from on, and only strings from there on count as tree
// nodes; TREES_OFF while they are not kept.
constexpr unsigned TREES_OFF = ~0u;
// A tree path longer than this is cut, and tree_from raised past the cut, so
// no input makes a tree walk cost more than a chain walk.
constexpr unsigned MAX_TREE_PATH = 512;

// Which structure searches: the chain walk costs chain links per search,
// the trees cost nodes per inserted string. Both are counted over segments
// of SEGMENT strings; while the trees are kept, one search in SAMPLE_EVERY
// also walks the chain, only to count it. Measured (2-core EPYC, 4 MiB):
// a link costs 2 to 3 ns, a node about 10 ns; on the binary corpus the
// trees save 4% over the chains alone (1.50 against 1.57 s for 16 MiB).
constexpr unsigned SEGMENT = WSIZE;
constexpr unsigned SAMPLE_EVERY = 16;

inline unsigned hash3(const uch* p)
{
    return ((unsigned{p[0]} << (2 * H_SHIFT)) ^ (unsigned{p[1]} << H_SHIFT) ^ p[2]) & HASH_MASK;
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
// that their first off bytes are equal.
//
// Safety: words start below offset MAX_MATCH, so nothing past offset
// MAX_MATCH + 6 is read. scan is window + strstart with strstart <
// WINDOW_SIZE, so the reads stay inside the WINDOW_SLACK bytes after the
// window; match lies before scan. Bytes past the valid input may count,
// callers cut the length to lookahead.
inline unsigned compare_strings(const uch* scan, const uch* match, unsigned off)
{
    static_assert(WINDOW_SLACK >= MAX_MATCH + 7);
    for (; off < MAX_MATCH; off += 8) {
        std::uint64_t diff = load64(scan + off) ^ load64(match + off);
        if (diff != 0) {
            off += first_diff(diff, scan + off, match + off);
            return off < MAX_MATCH ? off : MAX_MATCH;
        }
    }
    return MAX_MATCH;
}

// The key level that carries a search whose best match is len bytes long:
// the one with the longest key of at most len + 1 bytes.
inline unsigned key_level(unsigned len)
{
    unsigned key = 0;
    while (key + 1 < KEY_LEVELS && len >= KEY_LEN[key + 1] - 1) key++;
    return key;
}

// The first string below `seen` on the key chain `links` of the string at
// strstart. seen itself is on that chain when it shares `seen_len` >= key
// bytes with strstart; otherwise the chain is walked down from strstart.
inline unsigned chain_below(const ush* links, unsigned key, unsigned seen, unsigned seen_len)
{
    if (seen_len >= key) return links[seen & WMASK];
    unsigned c = links[compressor.strstart & WMASK];
    while (c >= seen) c = links[c & WMASK];  // positions fall along a chain, down to NIL
    return c;
}

// Walks the hash chain from cur_match, most recent first, for the longest
// string equal to the one at strstart; the first of equally long ones wins.
// Returns at least prev_length; sets match_start when it finds longer.
//
// Once the best match is L >= MIN_MATCH bytes long, only strings sharing
// L + 1 bytes with the one at strstart can beat it: those share its first
// K bytes for the longest key length K <= L + 1, and so lie on its key chain
// of that length. The walk goes on along that chain, which skips the links
// that cannot win, and counts the hash-chain links it skipped through the
// ranks: a string sharing MIN_MATCH bytes is in the bucket of hash_head,
// rank_of[hash_head] - rank_of[string] links down. Every string that could
// become the best shares the first KEY_LEN[0] bytes, and each of those is
// checked against the link budget first, so the walk stops exactly where the
// chain walk does. Strings that only share a key chain's hash are passed
// without counting: input made to collide in one hash can lengthen a walk up
// to the window's 32 K strings, but never change its result.
// Measured on text (tar of /usr/include): 60e6 links walked in 4 MiB, of
// which 4.8e6 share 8 bytes with the string searched for; the 8-byte chains
// halve the CPU time (0.18 to 0.09 s for 4 MiB).
unsigned longest_match(unsigned cur_match)
{
    unsigned chain_length = compressor.max_chain_length;
    const uch* scan = compressor.window + compressor.strstart;
    unsigned best_len = compressor.prev_length;
    const unsigned limit = compressor.strstart > MAX_DIST ? compressor.strstart - MAX_DIST : NIL;
    if (compressor.prev_length >= compressor.good_match) chain_length >>= 2;
    const unsigned budget = chain_length;
    const unsigned hash_head = cur_match;

    // A candidate can beat best_len only if it agrees at best_len - 1 and
    // best_len; checking those first drops most candidates after one load.
    // The 16- and 32-bit loads only test equality, so byte order does not matter.
    const std::uint16_t scan_start = load16(scan);
    const std::uint32_t scan_key = load32(scan);
    std::uint16_t scan_end = load16(scan + best_len - 1);
    unsigned long links = 0;
    unsigned seen = compressor.strstart;  // the strings from here up have been looked at
    unsigned seen_len = MAX_MATCH;
    if (best_len < MIN_MATCH) {
        // Any string sharing MIN_MATCH bytes wins: walk the hash chain to the first.
        for (;;) {
            links++;
            const uch* match = compressor.window + cur_match;
            if (load16(match + best_len - 1) == scan_end && load16(match) == scan_start) {
                compressor.match_start = seen = cur_match;
                best_len = seen_len = compare_strings(scan, match, 2);
                if (best_len >= compressor.nice_match) goto done;
                scan_end = load16(scan + best_len - 1);
                break;
            }
            if ((cur_match = compressor.prev[cur_match & WMASK]) <= limit || --chain_length == 0) goto done;
        }
    }
    {
        const ush head_rank = static_cast<ush>(compressor.rank_of[compressor.strstart & WMASK] - 1);
        unsigned key = key_level(best_len);
        const ush* next = compressor.key_prev[key];
        cur_match = chain_below(next, KEY_LEN[key], seen, seen_len);
        // Only hash_head may lie exactly MAX_DIST back.
        while (cur_match > limit || (cur_match == hash_head && cur_match != NIL)) {
            links++;
            const uch* match = compressor.window + cur_match;
            if (load32(match) == scan_key) {
                if (static_cast<ush>(head_rank - compressor.rank_of[cur_match & WMASK]) >= budget) break;
                if (load16(match + best_len - 1) == scan_end) {
                    unsigned len = compare_strings(scan, match, KEY_LEN[0]);
                    if (len > best_len) {
                        compressor.match_start = cur_match;
                        best_len = len;
                        if (len >= compressor.nice_match) break;
                        scan_end = load16(scan + best_len - 1);
                        if (key_level(len) != key) {
                            key = key_level(len);
                            next = compressor.key_prev[key];
                            cur_match = chain_below(next, KEY_LEN[key], cur_match, len);
                            continue;
                        }
                    }
                }
            }
            cur_match = next[cur_match & WMASK];
        }
    }
done:
    compressor.cost.links += links;
    compressor.cost.chain_searches++;
    return best_len;
}

// Links the string at s into its hash chain; returns the previous head.
inline unsigned insert_chain(unsigned s)
{
    const unsigned h = hash3(compressor.window + s);
    unsigned match_head = head[h];
    compressor.prev[s & WMASK] = static_cast<ush>(match_head);
    head[h] = static_cast<ush>(s);
    compressor.rank_of[s & WMASK] = ++compressor.bucket_count[h];
    insert_keys(s);
    return match_head;
}

// Inserts the string at s, already in its hash chain, as the root of its
// bucket's tree. With SEARCH, also returns what longest_match would from
// the old root (the caller searches only when the old root is a position at
// most MAX_DIST back and tree_from is at or below s - MAX_DIST, so that
// every candidate is a tree node).
//
// The path from the root towards s holds, for every length L, the most
// recent node sharing L bytes with s: any node sorting between that one and
// s shares L bytes too, so it is older and lies below. The path descends in
// position order, so walking it while counting chain links through the
// ranks finds the same match as the chain walk.
//
// The new root's subtrees are built by splitting the old tree along the
// path: each node passed sorts before or after s and is hung on the open
// link of that side, then the walk continues into its child towards s. The
// nodes bounding a side share len_less / len_more bytes with s, so every
// node below shares at least the smaller of the two and its compare starts
// there. A node equal to s over MAX_MATCH bytes is replaced by s: for every
// later search it matches exactly as long and is older, so it can never be
// the first longest. Nodes MAX_DIST or more back are cut off: no later
// search may use them.
template <bool SEARCH>
[[gnu::noinline]] unsigned insert_tree(unsigned s)
{
    const uch* scan = compressor.window + s;
    unsigned cur = compressor.prev[s & WMASK];
    unsigned best_len = compressor.prev_length;
    const ush root_rank = static_cast<ush>(compressor.rank_of[s & WMASK] - 1);

    ush* less_link = &compressor.tree_less[s & WMASK];
    ush* more_link = &compressor.tree_more[s & WMASK];
    unsigned len_less = 0;
    unsigned len_more = 0;
    unsigned lowest = s > MAX_DIST ? s - MAX_DIST : 1;
    if (lowest < compressor.tree_from) lowest = compressor.tree_from;

    bool searching = SEARCH;
    const unsigned start_match = compressor.match_start;
    unsigned chain_length = compressor.max_chain_length;
    if (compressor.prev_length >= compressor.good_match) chain_length >>= 2;
    // Candidates after the first must lie above limit, as in the chain walk.
    unsigned limit = NIL;
    unsigned path = 0;

    while (cur >= lowest) {
        if (++path > MAX_TREE_PATH) {
            compressor.tree_from = cur + 1;
            if (searching) {
                compressor.match_start = start_match;
                best_len = longest_match(compressor.prev[s & WMASK]);
            }
            break;
        }
        const uch* match = compressor.window + cur;
        unsigned len = compare_strings(scan, match, len_less < len_more ? len_less : len_more);
        if (SEARCH && searching) {
            // Positions and ranks fall along the path, so the first node out
            // of reach ends the search for good.
            if (cur <= limit ||
                static_cast<ush>(root_rank - compressor.rank_of[cur & WMASK]) >= chain_length) {
                searching = false;
            } else if (len > best_len) {
                compressor.match_start = cur;
                best_len = len;
                if (len >= compressor.nice_match) searching = false;
            }
            limit = s > MAX_DIST ? s - MAX_DIST : NIL;
        }
        if (len >= MAX_MATCH) {
            *less_link = compressor.tree_less[cur & WMASK];
            *more_link = compressor.tree_more[cur & WMASK];
            compressor.cost.nodes += path;
            return best_len;
        }
        if (match[len] < scan[len]) {
            *less_link = static_cast<ush>(cur);
            less_link = &compressor.tree_more[cur & WMASK];
            len_less = len;
            cur = *less_link;
        } else {
            *more_link = static_cast<ush>(cur);
            more_link = &compressor.tree_less[cur & WMASK];
            len_more = len;
            cur = *more_link;
        }
    }
    *less_link = NIL;
    *more_link = NIL;
    compressor.cost.nodes += path;
    return best_len;
}

inline void insert_string(unsigned s)
{
    insert_chain(s);
    if (compressor.tree_from != TREES_OFF) insert_tree<false>(s);
}

// The search at strstart from hash_head, by tree when the trees hold every
// candidate, else by chain.
unsigned find_match(unsigned hash_head)
{
    compressor.cost.searches++;
    const unsigned limit = compressor.strstart > MAX_DIST ? compressor.strstart - MAX_DIST : 1;
    insert_chain(compressor.strstart);
    if (compressor.tree_from == TREES_OFF) return longest_match(hash_head);
    if (compressor.tree_from > limit) {
        unsigned len = longest_match(hash_head);
        insert_tree<false>(compressor.strstart);
        return len;
    }
    if (compressor.cost.searches % SAMPLE_EVERY == 0) {
        unsigned keep = compressor.match_start;
        longest_match(hash_head);
        compressor.match_start = keep;
    }
    return insert_tree<true>(compressor.strstart);
}

// Chooses chain or trees for the next segment by the counts of the last.
// Trees start empty, so they pay only once they hold the whole window;
// switching them on asks for a clear margin.
void choose_structure()
{
    const double strings = static_cast<double>(compressor.cost.strings);
    double links = static_cast<double>(compressor.cost.links);
    if (compressor.tree_from == TREES_OFF) {
        if (links / strings > 5 * compressor.nodes_per_string) compressor.tree_from = compressor.insert_next;
    } else {
        // Estimate the links of every search from those walked.
        if (compressor.cost.chain_searches != 0)
            links *= static_cast<double>(compressor.cost.searches) /
                     static_cast<double>(compressor.cost.chain_searches);
        compressor.nodes_per_string = static_cast<double>(compressor.cost.nodes) / strings;
        if (links / strings < 3 * compressor.nodes_per_string) compressor.tree_from = TREES_OFF;
    }
    compressor.cost = {};
}

// Slides the window when strstart has passed WSIZE + MAX_DIST, then reads as
// much input as fits. The free space is never 0 here (the caller only calls
// with lookahead < MIN_LOOKAHEAD), so a read of 0 bytes means end of input.
void fill_window()
{
    unsigned more = WINDOW_SIZE - compressor.lookahead - compressor.strstart;
    if (compressor.strstart >= WSIZE + MAX_DIST) {
        std::memcpy(compressor.window, compressor.window + WSIZE, WSIZE);
        compressor.match_start -= WSIZE;
        compressor.strstart -= WSIZE;
        compressor.insert_next -= WSIZE;
        if (compressor.tree_from != TREES_OFF)
            compressor.tree_from = compressor.tree_from > WSIZE ? compressor.tree_from - WSIZE : 1;
        compressor.block_start -= static_cast<long>(WSIZE);
        // Positions in the lower half are gone and become NIL.
        auto rebase = [](ush* links, unsigned n) {
            for (unsigned i = 0; i < n; i++)
                links[i] = static_cast<ush>(links[i] >= WSIZE ? links[i] - WSIZE : NIL);
        };
        rebase(compressor.prev, 2 * WSIZE);
        for (unsigned key = 0; key < KEY_LEVELS; key++) {
            rebase(compressor.key_head[key], 1u << KEY_HASH_BITS);
            rebase(compressor.key_prev[key], WSIZE);
        }
        // Links of strings before tree_from are never followed.
        if (compressor.tree_from != TREES_OFF) {
            rebase(compressor.tree_less, WSIZE);
            rebase(compressor.tree_more, WSIZE);
        }
        more += WSIZE;
    }
    if (!compressor.eofile) {
        long n = compressor.input->read(*compressor.input,
                                        compressor.window + compressor.strstart + compressor.lookahead, more);
        if (n <= 0) {
            compressor.eofile = 1;
        } else {
            compressor.lookahead += static_cast<unsigned>(n);
        }
    }
}

// Ends the current block. Its bytes are passed along (for a stored block)
// only while its start is still in the window.
ulg flush_current_block(int eof)
{
    char* buf = compressor.block_start >= 0
                    ? reinterpret_cast<char*>(compressor.window) + compressor.block_start
                    : nullptr;
    return flush_block(buf, static_cast<ulg>(static_cast<long>(compressor.strstart) - compressor.block_start),
                       eof);
}

}  // namespace

void lm_init(int pack_level, ush* flags)
{
    if (pack_level < 1 || pack_level > 9) pack_level = 9;
    for (unsigned n = 0; n < HASH_SIZE; n++) head[n] = NIL;
    for (auto& heads : compressor.key_head)
        for (ush& n : heads) n = NIL;
    const config& c = configuration_table[static_cast<unsigned>(pack_level)];
    compressor.max_lazy_match = c.max_lazy;
    compressor.good_match = c.good_length;
    compressor.nice_match = c.nice_length;
    compressor.max_chain_length = c.max_chain;
    if (pack_level == 1) {
        *flags |= FAST;
    } else if (pack_level == 9) {
        *flags |= SLOW;
    }
    // The match compare may run past the input into whatever the window
    // holds there, which decides between candidates that all reach the end
    // of the input. Clearing it makes a member depend on its input alone,
    // not on the members written before it in the same process.
    std::memset(compressor.window, 0, sizeof compressor.window);
    compressor.strstart = 0;
    compressor.block_start = 0;
    compressor.prev_length = MIN_MATCH - 1;
    compressor.match_start = 0;
    compressor.insert_next = 0;
    compressor.tree_from = TREES_OFF;
    compressor.cost = {};
    compressor.nodes_per_string = 10;

    long n = compressor.input->read(*compressor.input, compressor.window, WINDOW_SIZE);
    if (n <= 0) {
        compressor.eofile = 1;
        compressor.lookahead = 0;
        return;
    }
    compressor.lookahead = static_cast<unsigned>(n);
    compressor.eofile = 0;
    while (compressor.lookahead < MIN_LOOKAHEAD && !compressor.eofile) fill_window();
}

// Lazy evaluation: the match found at one position is emitted only after the
// search at the next position has found nothing longer; otherwise its first
// byte goes out as a literal and the longer match is carried forward.
ulg deflate()
{
    unsigned prev_match;
    int match_available = 0;  // a literal at strstart - 1 is pending
    unsigned match_length = MIN_MATCH - 1;

    while (compressor.lookahead != 0) {
        // The strings inside the last match go into their trees only now:
        // their MAX_MATCH bytes may reach past what the window held when the
        // match was found, and a tree must be ordered by the bytes that stay.
        // Here lookahead is MIN_LOOKAHEAD or the input has ended.
        compressor.cost.strings += compressor.strstart + 1 - compressor.insert_next;
        for (; compressor.insert_next < compressor.strstart; compressor.insert_next++)
            insert_string(compressor.insert_next);
        compressor.insert_next = compressor.strstart + 1;
        if (compressor.cost.strings >= SEGMENT) choose_structure();
        unsigned hash_head = head[hash3(compressor.window + compressor.strstart)];
        compressor.prev_length = match_length;
        prev_match = compressor.match_start;
        match_length = MIN_MATCH - 1;

        if (hash_head != NIL && compressor.prev_length < compressor.max_lazy_match &&
            compressor.strstart - hash_head <= MAX_DIST) {
            match_length = find_match(hash_head);
            if (match_length > compressor.lookahead) match_length = compressor.lookahead;
            if (match_length == MIN_MATCH && compressor.strstart - compressor.match_start > TOO_FAR)
                match_length--;
        } else {
            insert_string(compressor.strstart);
        }

        if (compressor.prev_length >= MIN_MATCH && match_length <= compressor.prev_length) {
            int flush = ct_tally(static_cast<int>(compressor.strstart - 1 - prev_match),
                                 static_cast<int>(compressor.prev_length - MIN_MATCH));
            // The match covers strstart - 1 .. strstart + prev_length - 2.
            compressor.lookahead -= compressor.prev_length - 1;
            compressor.strstart += compressor.prev_length - 1;
            match_available = 0;
            match_length = MIN_MATCH - 1;
            if (flush) {
                flush_current_block(0);
                compressor.block_start = compressor.strstart;
            }
        } else if (match_available) {
            if (ct_tally(0, compressor.window[compressor.strstart - 1])) {
                flush_current_block(0);
                compressor.block_start = compressor.strstart;
            }
            compressor.strstart++;
            compressor.lookahead--;
        } else {
            match_available = 1;
            compressor.strstart++;
            compressor.lookahead--;
        }
        while (compressor.lookahead < MIN_LOOKAHEAD && !compressor.eofile) fill_window();
    }
    if (match_available) ct_tally(0, compressor.window[compressor.strstart - 1]);
    return flush_current_block(1);
}

compressor_state compressor;

// All zero is the start of a process, so the reset is one clear.
static_assert(std::is_trivially_copyable_v<compressor_state> &&
              std::is_trivially_default_constructible_v<compressor_state>);

void reset_compressor_state()
{
    std::memset(&compressor, 0, sizeof compressor);
}

void set_compressor_input(const source& in)
{
    compressor.input = &in;
}
