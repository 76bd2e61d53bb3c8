// The compressor against the system gzip: our member, after the stored name,
// is byte for byte what `gzip -9 -n` writes after its 10-byte header. Inputs
// are chosen so that the two end-of-input differences of today's gzip cannot
// touch them (at most 65274 bytes, or a tail that repeats nothing before it);
// those two corners are tested against our own rule at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <unordered_set>

#include "codec_memory.h"
#include "deflate_tokens.h"
#include "deflate_state.h"
#include "gzip.h"
#include "testutil.h"

namespace {

using testutil::TempDir;

// xorshift, so the generated inputs are the same on every machine.
struct Rng {
    std::uint64_t x;
    explicit Rng(unsigned seed) : x(0x9E3779B97F4A7C15ull ^ seed) {}
    std::uint32_t next()
    {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return static_cast<std::uint32_t>(x >> 16);
    }
    std::uint32_t below(std::size_t n) { return static_cast<std::uint32_t>(next() % n); }
    // Below n, i about as likely as 1 / (i + 1), as words and opcodes are: a
    // power-of-two band, then a value in it (integers only, so that every
    // machine draws the same).
    std::size_t zipf(std::size_t n)
    {
        const std::size_t lo = (std::size_t{1} << below(std::bit_width(n))) - 1;
        return lo + below(std::min(lo + 1, n - lo));
    }
    const std::string& pick(const std::vector<std::string>& words) { return words[zipf(words.size())]; }
};

// The words of a list separated by commas, the likeliest first.
std::vector<std::string> words_of(std::string_view list)
{
    std::vector<std::string> words;
    for (std::size_t a = 0, b = 0; b != list.npos; a = b + 1)
        words.emplace_back(list.substr(a, (b = list.find(',', a)) - a));
    return words;
}

// Identifiers made of common parts: most share a prefix or a suffix with
// many others, so a match often grows by starting a byte later (lazy
// matching), and numbered variants differ only at the end.
std::vector<std::string> identifiers(Rng& rng)
{
    const auto parts = words_of(
        "get,set,buf,len,str,ctx,init,read,flags,node,next,size,mem,lock,hash,key,err,dev,addr,"
        "time,file,pos,max,id,attr,sig,mode,cpu,wait,open,sched,tv,ent,grp,ops,q,x,fd,uid,cb,rt,vec");
    std::vector<std::string> names(8000);
    for (auto& s : names) {
        s = rng.below(3) == 0 ? "__" : "";
        for (unsigned k = 1 + rng.below(3); k > 0; k--) s += rng.pick(parts) + (k > 1 ? "_" : "");
        if (rng.below(4) == 0) s += std::to_string(rng.zipf(100));
    }
    return names;
}

// C-like header text. Indentation, keywords and common words make 3-byte
// chains longer than the 4096-link budget; declarations of one shape with
// other names give many equally long candidates at different distances, so
// tie-breaks decide; numbers and rare names give 3-byte matches far back;
// earlier lines repeated with one word changed give matches that stop short
// and resume after the edit; the licence at each file start gives 258-byte
// matches. Files come in stretches that indent with tabs or with spaces: a
// block without tabs leaves bytes 0 to 9 unused, a run of exactly ten zero
// code lengths.
std::string c_text(std::size_t n)
{
    const auto types = words_of(
        "int,char *,const char *,void,unsigned int,size_t,long int,struct stat *,double,"
        "__off_t,uint32_t");
    const auto prose = words_of(
        "the,of,is,to,a,in,be,if,this,function,returns,and,not,for,value,are,with,that,or,"
        "which,by,on,file,must,when,buffer,error,only,may,each,number,so,than,bytes,(see,"
        "after,used,e.g.,don't,`errno',<sys/types.h>,%s,->,!=,[0],&&,~0,-1:,+,=,\"\",@,?,$,^,|");
    Rng rng(1);
    const std::vector<std::string> names = identifiers(rng);
    std::size_t file_names = 0;  // each file uses mostly its own names
    auto name = [&] { return names[(file_names + rng.zipf(1000)) % names.size()]; };
    auto words = [&](unsigned m) {
        std::string s;
        while (m-- > 0) s += ' ' + (rng.below(4) ? rng.pick(prose) : name());
        return s;
    };
    std::string licence = "/* Copyright (C) 1991-2023" + words(6) + ".\n";
    for (int i = 0; i < 20; i++) licence += "  " + words(4 + rng.below(8)) + "\n";
    licence += " */\n\n";
    std::vector<std::string> lines;
    std::string out;
    unsigned number = 0, depth = 0;
    bool tabs = false;
    while (out.size() < n) {
        const char indent = tabs ? '\t' : ' ';
        std::string line(tabs ? depth : 2 * depth, indent);
        // A new file now and then; repeats once there are lines to repeat.
        switch (rng.below(300) == 0 ? 0 : 1 + rng.below(lines.size() < 100 ? 5 : 7)) {
            case 0:
                file_names = rng.below(names.size());
                tabs ^= rng.below(8) == 0;
                out += licence;
                line = "#ifndef _" + name() + "_H";
                break;
            case 1:
                line += "extern " + rng.pick(types) + " " + name() + " (";
                for (unsigned k = rng.below(4); k > 0; k--)
                    line += rng.pick(types) + " __" + name() + (k > 1 ? ", " : "");
                line += rng.below(2) ? ") __THROW __nonnull ((1));" : ") __THROW;";
                break;
            case 2: {
                char hex[8];
                line = name();
                for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                line = "#define " + line + indent;
                line +=
                    rng.below(2)
                        ? std::to_string(number++)
                        : "0x" + std::string(
                                     hex, std::to_chars(hex, hex + 8, rng.next() >> rng.below(32), 16).ptr);
                break;
            }
            case 3:
                line += rng.pick(types) + " " + name() + ";" + std::string(1 + rng.below(20), indent) + "/*" +
                        words(1 + rng.below(6)) + " */";
                break;
            case 4:
                line = " *" + words(3 + rng.below(10));
                break;
            case 5:
                if (depth < 3 && rng.below(2)) {
                    line += "struct " + name() + " {";
                    depth++;
                } else if (depth > 0) {
                    line.resize(--depth * (tabs ? 1 : 2));
                    line += "};";
                }
                break;
            default: {  // an earlier line, mostly a recent one, with one word replaced
                line = lines[lines.size() - 1 - rng.zipf(std::min<std::size_t>(lines.size(), 4000))];
                std::size_t a = line.find(' ', rng.below(line.size() + 1));
                if (a != line.npos) line.replace(a + 1, line.find_first_of(" (;,", a + 1) - a - 1, name());
                if (!tabs) std::replace(line.begin(), line.end(), '\t', ' ');
            }
        }
        lines.push_back(line);
        out += line + "\n";
    }
    return out;
}

void put(std::string& s, std::uint64_t v, int bytes)
{
    for (int k = 0; k < bytes; k++) s += static_cast<char>(v >> (8 * k));
}

// Binary like shared libraries, one after another. In symbol and relocation
// tables (records whose fields count up) every record is an equally long
// candidate for the next, so tie-breaks and the chain budget decide; a long
// import table (zeros, symbol numbers now and then out of order) makes the
// searches cost enough that the trees take over. Code comes from a few
// hundred instruction patterns with varying operands and calls whose offsets
// shift with the caller; functions recur with a few bits changed. Stretches
// copied with small edits from about TOO_FAR or a window back drift across
// those limits a byte at a time, so some matches lie exactly at each. Packed
// data matches nothing (stored blocks); zeros up to page boundaries give
// 258-byte matches.
std::string elf_like(std::size_t n)
{
    Rng rng(2);
    const std::vector<std::string> names = identifiers(rng);
    std::vector<std::string> ops(300), funcs;  // opcode bytes, the common ones likelier
    for (auto& op : ops)
        for (std::size_t k = 1 + rng.zipf(4); k > 0; k--) op += static_cast<char>(rng.zipf(256));
    std::string out;
    while (out.size() < n) {
        const std::uint64_t base = 0x1000u * (1 + rng.below(0x400));
        const std::size_t nsym = 20 + rng.zipf(2500);
        out += "\177ELF\2\1\1" + std::string(57, '\0');
        std::vector<std::uint64_t> addrs;  // of the functions
        std::string strtab(1, '\0');
        std::uint64_t addr = base + 0x1000;
        while (addrs.size() < nsym) {  // symbols: name, type, section, address, size
            const std::string& name = names[rng.zipf(names.size())];
            put(out, strtab.size(), 4);
            strtab += "_ZN" + std::to_string(name.size()) + name + (rng.below(2) ? "Ev" : "EPKcm") + '\0';
            put(out, rng.below(8) ? 0xe0012 : 0x11, 4);
            put(out, addr, 8);
            const std::uint64_t size = 8 + rng.zipf(400);
            put(out, size, 8);
            addrs.push_back(addr);
            addr += (size + 15) & ~std::uint64_t{15};
        }
        out += strtab + std::string((8 - strtab.size() % 8) % 8, '\0');
        std::uint64_t got = addr + 0x2000;
        for (std::size_t i = rng.zipf(12000); i > 0; i--) {  // relative relocations
            put(out, got += rng.below(8) ? 8 : 16, 8);
            put(out, 8, 8);
            put(out, addrs[rng.zipf(nsym)], 8);
        }
        for (std::size_t i = 0, m = rng.zipf(16000), sym = 0; i < m; i++) {  // imports
            sym = rng.below(8) ? sym + 1 : rng.below(m);
            put(out, got += 8, 8);
            put(out, sym << 32 | (rng.below(16) ? 7 : 6), 8);
            put(out, 0, 8);
        }
        out.append(rng.below(0x1000), '\0');
        for (std::size_t f = 0; f < nsym; f++) {  // code
            std::string fn = rng.below(2) ? "\x55\x48\x89\xe5" : "\x41\x57\x41\x56\x53";
            if (!funcs.empty() && rng.below(3) == 0) {
                fn = funcs[funcs.size() - 1 - rng.zipf(funcs.size())];
                for (unsigned k = rng.below(4); k > 0; k--)
                    fn[rng.below(fn.size())] ^= static_cast<char>(1 << rng.below(8));
            } else {
                for (std::size_t k = 2 + rng.zipf(80); k > 0; k--) {
                    const std::string& op = ops[rng.zipf(ops.size())];
                    fn += op;
                    const unsigned operand = static_cast<uch>(op.back()) % 4;  // the same for every use of op
                    if (operand == 0) put(fn, addrs[rng.zipf(nsym)] - out.size() - fn.size() - 4, 4);
                    if (operand == 1) fn += static_cast<char>(0xf8 - 8 * rng.zipf(16));  // a stack slot
                    if (operand == 2) put(fn, rng.zipf(1 << 16), rng.below(2) ? 1 : 4);
                }
                funcs.push_back(fn += rng.below(2) ? "\xc9\xc3" : "\x5b\x41\x5e\x41\x5f\xc3");
            }
            out += fn + std::string((16 - (out.size() + fn.size()) % 16) % 16, '\xcc');
        }
        for (std::size_t c = rng.below(8); c > 0 && out.size() > 2 * WSIZE; c--) {  // edited copies
            const std::size_t limit = rng.below(2) ? MAX_DIST : 4096;
            std::size_t from = out.size() - (limit + 8 - rng.zipf(limit / 2));
            for (std::size_t i = 64 + rng.below(512); i > 0; i--) {
                const std::uint32_t r = rng.next();
                from += r % 12 == 0;                                // a dropped byte
                if (r % 12 == 1) out += static_cast<char>(r >> 8);  // an inserted byte
                out += static_cast<char>(out[from++] ^ (r % 12 == 2 ? r >> 8 : 0));
            }
        }
        for (std::size_t i = rng.below(6) == 0 ? rng.zipf(32768) : 0; i > 0; i--)
            put(out, rng.next(), 4);  // packed
        out.append(0x1000 - out.size() % 0x1000, '\0');
    }
    return out;
}

// The first n bytes of the text or the binary corpus, each made once.
std::string corpus(bool text, std::size_t n)
{
    static const std::string text_src = c_text(5 << 20), bin_src = elf_like(5 << 20);
    return (text ? text_src : bin_src).substr(0, n);
}

// A tail of random bytes: nothing before it repeats it, so no match reaches
// the end of the input.
std::string with_tail(std::string data, std::size_t total)
{
    constexpr std::size_t TAIL = 300;
    data.resize(total - TAIL);
    return data + testutil::random_bytes(TAIL, 77);
}

// Start of the DEFLATE body in a member written from the input file "in".
constexpr std::size_t BODY = 10 + 3;
constexpr std::size_t GZIP_BODY = 10;  // gzip -n stores no name

class CompressOracleTest : public ::testing::Test {
protected:
    void SetUp() override { reset_gzip_state(); }

    // Compresses data in process; checks that gzip -t accepts the member.
    std::string compress(const std::string& data)
    {
        std::string ours = testutil::zip_string(data, "in");
        testutil::write_file(dir_.file("ours.gz"), ours);
        auto t = testutil::sh("gzip -t < '" + dir_.file("ours.gz") + "'");
        EXPECT_EQ(t.status, 0) << t.err;
        return ours;
    }

    std::string gzip9(const std::string& data)
    {
        testutil::write_file(dir_.file("ref"), data);
        auto ref = testutil::sh("gzip -9 -n -c < '" + dir_.file("ref") + "'");
        EXPECT_EQ(ref.status, 0);
        return ref.out;
    }

    // Our body equals gzip's; returns our member. Members of up to 1 MiB are
    // also decoded here, as a round trip independent of gzip.
    std::string expect_identical(const std::string& data, const std::string& what)
    {
        std::string ours = compress(data);
        std::string ref = gzip9(data);
        if (ours.size() <= BODY || ref.size() <= GZIP_BODY) {
            ADD_FAILURE() << what << ": member too short";
            return ours;
        }
        EXPECT_TRUE(ours.compare(BODY, std::string::npos, ref, GZIP_BODY) == 0)
            << what << " (" << data.size() << " bytes): ours " << ours.size() - BODY << " body bytes, gzip "
            << ref.size() - GZIP_BODY;
        if (data.size() <= (1u << 20)) {
            tokens::Stream st = tokens::decode(ours, BODY);
            EXPECT_TRUE(st.ok) << what << ": " << st.error;
            EXPECT_TRUE(st.data == data) << what << ": round trip";
        }
        return ours;
    }

    // Compresses data, expecting gzip's bytes, and returns the record that
    // starts at input position `at` (a literal of value 256 if none does).
    tokens::Token record_at(const std::string& data, std::size_t at, const std::string& what);

    TempDir dir_;
};

TEST_F(CompressOracleTest, TextAndBinaryOfBoundarySizesAreIdentical)
{
    for (bool text : {true, false}) {
        for (std::size_t n : {0, 1, 2, 3, 258, 4096, 32767, 32768, 32769, 65273, 65274}) {
            expect_identical(corpus(text, n), (text ? "text " : "binary ") + std::to_string(n));
        }
    }
}

TEST_F(CompressOracleTest, InputsBeyondOneWindowAreIdentical)
{
    for (std::size_t n : {65536, 65537, 1 << 20}) {
        expect_identical(with_tail(corpus(true, n), n), "text " + std::to_string(n));
    }
    expect_identical(with_tail(corpus(false, 1 << 20), 1 << 20), "binary 1 MiB");
}

TEST_F(CompressOracleTest, SeveralMegabytesAreIdentical)
{
    constexpr std::size_t n = 5 << 20;
    expect_identical(with_tail(corpus(true, n), n), "text 5 MiB");
    expect_identical(with_tail(corpus(false, n), n), "binary 5 MiB");
}

TEST_F(CompressOracleTest, RandomBytesAreIdenticalAndStored)
{
    for (std::size_t n : {1000, 65274, 200000}) {
        std::string data = testutil::random_bytes(n, static_cast<unsigned>(n));
        std::string ours = expect_identical(data, "random " + std::to_string(n));
        tokens::Stream st = tokens::decode(ours, BODY);
        ASSERT_TRUE(st.ok);
        std::size_t stored = 0;
        for (const auto& b : st.blocks) stored += b.stored_len;
        EXPECT_EQ(stored, n) << "random input goes out in stored blocks";
    }
}

TEST_F(CompressOracleTest, RunsOfOneByteAreIdentical)
{
    // The string at window index 0 is never a candidate: a run starts with two
    // literals, then a match at distance 1.
    std::string ours = expect_identical("aaaaa", "run of 5");
    tokens::Stream st = tokens::decode(ours, BODY);
    ASSERT_TRUE(st.ok);
    ASSERT_EQ(st.blocks[0].tokens.size(), 3u);
    EXPECT_FALSE(st.blocks[0].tokens[0].match);
    EXPECT_FALSE(st.blocks[0].tokens[1].match);
    EXPECT_TRUE(st.blocks[0].tokens[2].match);
    EXPECT_EQ(st.blocks[0].tokens[2].dist, 1u);
    EXPECT_EQ(st.blocks[0].tokens[2].value, 3u);

    expect_identical(std::string(1000, 'x'), "run of 1000");
    expect_identical(std::string(65274, 'a'), "run of 65274");
    expect_identical(with_tail(std::string(300000, '\0'), 300000), "zeros with a tail");
}

// Positions in the input where each token starts.
std::vector<std::size_t> token_positions(const tokens::Stream& st, std::vector<tokens::Token>& all)
{
    std::vector<std::size_t> pos;
    std::size_t p = 0;
    for (const auto& b : st.blocks) {
        for (const auto& t : b.tokens) {
            pos.push_back(p);
            all.push_back(t);
            p += t.match ? t.value : 1;
        }
        p += b.stored_len;
    }
    return pos;
}

tokens::Token CompressOracleTest::record_at(const std::string& data, std::size_t at, const std::string& what)
{
    tokens::Stream st = tokens::decode(expect_identical(data, what), BODY);
    EXPECT_TRUE(st.ok) << what;
    std::vector<tokens::Token> all;
    auto pos = token_positions(st, all);
    auto it = std::find(pos.begin(), pos.end(), at);
    if (it == pos.end()) return {false, 256};
    return all[static_cast<std::size_t>(it - pos.begin())];
}

// Decodes our member, checks that it restores data, and returns the last
// token with the input position where it starts.
std::pair<std::size_t, tokens::Token> last_token(const std::string& ours, const std::string& data)
{
    tokens::Stream st = tokens::decode(ours, BODY);
    EXPECT_TRUE(st.ok) << st.error;
    EXPECT_TRUE(st.data == data);
    std::vector<tokens::Token> all;
    auto pos = token_positions(st, all);
    if (all.empty()) {
        ADD_FAILURE() << "no tokens";
        return {};
    }
    return {pos.back(), all.back()};
}

TEST_F(CompressOracleTest, RepeatsAtTheFarthestDistance)
{
    for (std::size_t dist : {MAX_DIST, MAX_DIST + 1}) {
        std::string lead = testutil::random_bytes(100, 1);
        std::string r = testutil::random_bytes(dist, 2);
        std::string data = lead + r + r.substr(0, 400) + testutil::random_bytes(50, 3);
        std::string ours = expect_identical(data, "repeat " + std::to_string(dist) + " back");
        tokens::Stream st = tokens::decode(ours, BODY);
        ASSERT_TRUE(st.ok);
        std::vector<tokens::Token> all;
        auto pos = token_positions(st, all);
        std::size_t covered = 0;  // repeated bytes covered by a match at that distance
        for (std::size_t i = 0; i < all.size(); i++) {
            EXPECT_LE(all[i].dist, MAX_DIST);
            if (all[i].match && all[i].dist == dist && pos[i] >= 100 + dist) covered += all[i].value;
        }
        if (dist == MAX_DIST) {
            // Beyond the chain head only candidates less than 32506 back are
            // followed, so the first byte or two may go out as literals when
            // another string with the same hash came later.
            EXPECT_GE(covered, 390u) << "a repeat 32506 back is used";
        } else {
            EXPECT_EQ(covered, 0u) << "nothing 32507 back is used";
        }
    }
}

TEST_F(CompressOracleTest, ThreeByteRepeatsAroundTheTooFarLimit)
{
    // Seven-bit background, so the block is coded rather than stored, and the
    // planted strings (eight-bit bytes) occur nowhere else.
    std::string data = testutil::random_bytes(12000, 9);
    for (char& c : data) c = static_cast<char>(c & 0x7f);
    auto plant = [&](std::size_t at, std::size_t dist, const char* s) {
        for (std::size_t k = 0; k < 3; k++) data[at + k] = data[at + dist + k] = s[k];
        // The neighbours differ, so the repeat is exactly 3 bytes long.
        data[at + dist - 1] = static_cast<char>(data[at - 1] ^ 0x55);
        data[at + dist + 3] = static_cast<char>(data[at + 3] ^ 0x55);
    };
    plant(1000, 4096, "\x80\x81\x82");
    plant(6000, 4097, "\x90\x91\x92");
    std::string ours = expect_identical(data, "three-byte repeats");
    tokens::Stream st = tokens::decode(ours, BODY);
    ASSERT_TRUE(st.ok);
    std::vector<tokens::Token> all;
    auto pos = token_positions(st, all);
    bool used_4096 = false;
    for (std::size_t i = 0; i < all.size(); i++) {
        if (!all[i].match) continue;
        if (pos[i] == 1000 + 4096) used_4096 = all[i].value == 3 && all[i].dist == 4096;
        EXPECT_NE(pos[i], 6000u + 4097) << "a 3-byte match 4097 back is not used";
    }
    EXPECT_TRUE(used_4096) << "a 3-byte match 4096 back is used";
}

// Literals only: 128 common bytes of equal count and a chain of rare bytes
// with Fibonacci counts (with the end-of-block symbol the chain starts 1, 1, 2),
// ordered so that no 3-byte string occurs twice. The unlimited Huffman code
// is 17 deep.
std::string skewed_literals()
{
    std::vector<uch> pool;
    const unsigned chain[] = {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144};
    for (unsigned i = 0; i < std::size(chain); i++) pool.insert(pool.end(), chain[i], static_cast<uch>(i));
    for (unsigned b = 128; b < 256; b++) pool.insert(pool.end(), 231, static_cast<uch>(b));
    Rng rng(1);
    std::string out;
    std::unordered_set<std::uint32_t> seen;
    while (!pool.empty()) {
        for (int tries = 0;; tries++) {
            std::size_t i = rng.next() % pool.size();
            uch c = pool[i];
            if (out.size() >= 2) {
                std::uint32_t tri =
                    static_cast<uch>(out[out.size() - 2]) << 16 | static_cast<uch>(out.back()) << 8 | c;
                if (seen.count(tri) != 0 && tries < 1000) continue;
                seen.insert(tri);
            }
            out.push_back(static_cast<char>(c));
            pool[i] = pool.back();
            pool.pop_back();
            break;
        }
    }
    return out;
}

// Little-endian 32-bit integers, each the scaled product of two uniform
// values (small ones likelier), like the tables of a binary. Their code-length
// codes come out more than 7 deep before the limit.
std::string integer_table(unsigned seed)
{
    Rng rng(seed);
    std::string out;
    while (out.size() < 60000) {
        std::uint32_t v = (rng.next() % 3000) * (rng.next() % 3000) / 3000;
        for (int k = 0; k < 4; k++) out.push_back(static_cast<char>(v >> (8 * k)));
    }
    return out;
}

TEST_F(CompressOracleTest, SkewedFrequenciesForceTheLengthLimits)
{
    int lit_repairs = 0, bl_repairs = 0;
    for (const std::string& data : {skewed_literals(), integer_table(1), integer_table(2)}) {
        std::string ours = expect_identical(data, "skewed frequencies");
        tokens::Stream st = tokens::decode(ours, BODY);
        ASSERT_TRUE(st.ok);
        for (const auto& b : st.blocks) {
            if (b.type != 2) continue;
            for (unsigned l : b.lit_lens) EXPECT_LE(l, 15u);
            for (unsigned l : b.cl_lens) EXPECT_LE(l, 7u);
            if (tokens::min_huffman_depth(tokens::lit_freq(b)) > 15) lit_repairs++;
            if (tokens::min_huffman_depth(b.cl_freq) > 7) bl_repairs++;
        }
    }
    EXPECT_GT(lit_repairs, 0) << "a literal/length code had to be limited to 15 bits";
    EXPECT_GT(bl_repairs, 0) << "a code-length code had to be limited to 7 bits";
}

// Bucket of the 3 bytes at p in the match finder's 15-bit hash.
unsigned bucket_of(const std::string& d, std::size_t p)
{
    auto b = [&](std::size_t i) { return static_cast<unsigned>(static_cast<uch>(d[i])); };
    return ((b(p) << 10) ^ (b(p + 1) << 5) ^ b(p + 2)) & 0x7fff;
}

// Records "ABCx" and "aBCx" (the same bucket: the hash keeps 5 bits of the
// first byte), x a random lowercase letter: long chains, which the key
// chains walk quickly enough that the trees stay off. Other pairs of
// prefixes give records of another bucket.
std::string abc_records(std::size_t n, Rng& rng, const char* upper = "ABC", const char* lower = "aBC")
{
    std::string out;
    while (out.size() < n) {
        out += (rng.next() & 1) ? upper : lower;
        out += static_cast<char>('a' + rng.next() % 26);
    }
    return out;
}

// Four-byte records whose first three bytes fall in bucket h, drawn from
// the 512 different strings that bucket holds (none of them "ABC", "aBC",
// "!BC" or with a marker byte "#%*"): a search at a record walks hundreds of
// links for a first three-byte match, so the match finder keeps its trees.
std::string bucket_records(std::size_t n, Rng& rng, unsigned h)
{
    std::vector<std::string> strings;
    for (unsigned b0 = 0; b0 < 256; b0++)
        for (unsigned b1 = 0; b1 < 256; b1++) {
            const unsigned b2 = (h ^ (b0 << 10) ^ (b1 << 5)) & 0x7fff;
            std::string s3 = {static_cast<char>(b0), static_cast<char>(b1), static_cast<char>(b2)};
            if (b2 < 256 && s3 != "ABC" && s3 != "aBC" && s3 != "!BC" && s3.find_first_of("#%*") == s3.npos)
                strings.push_back(s3);
        }
    std::string out;
    while (out.size() < n) out += strings[rng.below(strings.size())] + static_cast<char>(rng.next());
    return out.substr(0, n);
}

// The records between the strings a test plants: after a short lead "ABC"
// and "aBC" records, and the chain walk answers; after a long one records of
// bucket h, and the trees answer.
std::string records(bool trees, std::size_t n, Rng& rng, unsigned h)
{
    return trees ? bucket_records(n, rng, h) : abc_records(n, rng);
}

// A 100-byte string T is repeated at Q after exactly `links` other strings
// of its bucket: the search at Q reaches the copy at P only when links is
// below the chain budget, 4096, or 1024 once the previous match is 32 bytes
// long.
TEST_F(CompressOracleTest, ChainBudgetIsCountedExactly)
{
    struct Row {
        const char* what;
        const char* start;     // T's first three bytes
        std::size_t partial;   // bytes of T copied between P and Q, found before P
        std::size_t previous;  // length of the match at the byte before Q, 0 for none
    };
    const Row rows[] = {
        // "!BC" shares the bucket of the records ("ABC", "aBC": the hash keeps
        // 5 bits of the first byte) but none of their bytes: the walk for a
        // first three-byte match meets P.
        {"walk for a first match", "!BC", 0, 0},
        // The partial copy is found first, so the walk has gone on to the 4-,
        // 8- or 16-byte chains when it meets P.
        {"4-byte chains", "ABC", 5, 0},
        {"8-byte chains", "ABC", 10, 0},
        {"16-byte chains", "ABC", 20, 0},
        // The string before Q starts a match with "#" and T's first bytes.
        {"previous match exactly good_match long", "ABC", 0, 32},
        {"previous match past good_match", "ABC", 0, 33},
    };
    for (bool trees : {false, true})
        for (const Row& row : rows) {
            const bool quartered = row.previous >= 32;
            const std::size_t budget = quartered ? 1024 : 4096;
            for (std::size_t links : {budget - 1, budget}) {
                Rng rng(5);
                std::string t = row.start + testutil::random_bytes(97, 6);
                const unsigned h = bucket_of(t, 0);
                std::string data = records(trees, trees ? 100000 : 1000, rng, h);
                const std::size_t p = data.size();
                data += t;
                std::string between = records(trees, 4 * links - 4 * 30, rng, h);
                if (row.previous != 0)
                    between.insert(between.size() / 2, "#" + t.substr(0, row.previous - 1) + "%");
                else if (row.partial != 0)
                    between.insert(between.size() / 2, t.substr(0, row.partial) + "%");
                // Adjust the records after P until exactly `links` strings of T's bucket lie between.
                std::string trial;
                for (;;) {
                    trial = data + between + (row.previous != 0 ? "#" : "*") + t;
                    std::size_t q = trial.size() - t.size();
                    std::size_t count = 0;
                    for (std::size_t i = p + 1; i < q; i++) count += bucket_of(trial, i) == h;
                    if (count == links) break;
                    ASSERT_LT(count, links);
                    between += records(trees, 4, rng, h);
                }
                const std::size_t q = trial.size() - t.size();
                trial += records(trees, 2000, rng, h);
                std::string input = with_tail(trial, trial.size() + 300);
                std::string what = std::string(trees ? "trees, " : "chains, ") + row.what + ", " +
                                   std::to_string(links) + " links";
                const tokens::Token r = record_at(input, q, what);
                EXPECT_EQ(r.match && r.dist == q - p, links < budget) << what;
            }
        }
}

// A 100-byte string T at P repeats at Q, exactly MAX_DIST later. Only the
// head of a chain may lie that far back: the search at Q uses P when P heads
// its chain, but not when it meets P after a more recent string of its
// bucket ("aBCq", which shares no bytes with T) or after a partial copy of T.
// The records around lie in another bucket.
TEST_F(CompressOracleTest, OnlyTheChainsHeadMayLieExactlyMaxDistBack)
{
    enum Kind { AFTER_ANOTHER, AFTER_A_PARTIAL_COPY, HEAD_WITH_A_MATCH_IN_HAND };
    struct Row {
        const char* what;
        Kind kind;
    };
    const Row rows[] = {
        {"met after another string of its bucket", AFTER_ANOTHER},
        {"met on the key chains after a partial copy", AFTER_A_PARTIAL_COPY},
        // The byte before Q starts a 3-byte match, so the search at Q
        // starts on the key chains, and P is where they start.
        {"the head, when a match is already in hand", HEAD_WITH_A_MATCH_IN_HAND},
    };
    for (bool trees : {false, true})
        for (const Row& row : rows) {
            Rng rng(21);
            const std::string t = "ABC" + testutil::random_bytes(97, 22);
            const unsigned other = bucket_of("XYZ", 0);
            auto fill = [&](std::size_t n) {
                return trees ? bucket_records(n, rng, other) : abc_records(n, rng, "XYZ", "xYZ").substr(0, n);
            };
            std::string data = fill(trees ? 100000 : 1000);
            const std::size_t p = data.size();
            data += t;
            std::string before_q;
            if (row.kind == AFTER_ANOTHER) before_q = "aBCq*";
            if (row.kind == AFTER_A_PARTIAL_COPY) before_q = "%" + t.substr(0, 5) + "%" + fill(100) + "*";
            if (row.kind == HEAD_WITH_A_MATCH_IN_HAND) {
                const char z = static_cast<char>(t[2] ^ 1);  // another bucket than T's
                before_q = std::string("%#") + t[0] + t[1] + z + fill(100) + "#";
            }
            data += fill(p + MAX_DIST - data.size() - before_q.size()) + before_q;
            const std::size_t q = data.size();
            data += t + fill(2000);
            if (row.kind == HEAD_WITH_A_MATCH_IN_HAND) {
                std::size_t others = 0;
                for (std::size_t i = p + 1; i < q; i++) others += bucket_of(data, i) == bucket_of(t, 0);
                ASSERT_EQ(others, 0u) << "P heads its chain";
            }
            std::string what = std::string(trees ? "trees, " : "chains, ") + row.what;
            const tokens::Token r = record_at(with_tail(data, data.size() + 300), q, what);
            EXPECT_EQ(r.match && r.dist == q - p, row.kind == HEAD_WITH_A_MATCH_IN_HAND) << what;
        }
}

// Two earlier strings share their first 24 bytes with the one at Q and differ
// at the next, one sorting below it and one above: in a search tree both lie
// on Q's path, and the more recent one must win, as it does on the chain.
TEST_F(CompressOracleTest, OfEquallyLongMatchesTheMostRecentWins)
{
    for (bool trees : {false, true})
        for (bool recent_above : {true, false}) {
            Rng rng(11);
            const std::string key = "ABC" + testutil::random_bytes(21, 12);
            const std::string below = key + "a", above = key + "z";
            const unsigned h = bucket_of(key, 0);
            std::string data = records(trees, trees ? 100000 : 1000, rng, h);
            data += (recent_above ? below : above) + testutil::random_bytes(40, 13);
            data += records(trees, 2000, rng, h);
            const std::size_t recent = data.size();
            data += (recent_above ? above : below) + testutil::random_bytes(40, 14);
            data += records(trees, 2000, rng, h) + "*";
            const std::size_t q = data.size();
            data += key + "m" + testutil::random_bytes(40, 15) + records(trees, 2000, rng, h);
            std::string what = std::string(trees ? "trees" : "chains") + ", the more recent " +
                               (recent_above ? "above" : "below");
            const tokens::Token t = record_at(with_tail(data, data.size() + 300), q, what);
            EXPECT_TRUE(t.match && t.value == key.size()) << what;
            EXPECT_EQ(t.dist, q - recent) << what;
        }
}

// A match of 257 bytes is not long enough to skip the search at the next
// byte: a 258-byte match there wins, and the first byte goes out alone.
TEST_F(CompressOracleTest, A258ByteMatchAfterA257ByteOneWins)
{
    const std::string y = testutil::random_bytes(MAX_MATCH, 41);
    std::string data = testutil::random_bytes(500, 42) + "D" + y + testutil::random_bytes(100, 43);
    data += "C" + y.substr(0, MAX_MATCH - 2) + static_cast<char>(y[MAX_MATCH - 2] ^ 0x55);  // 257 with "C"
    data += testutil::random_bytes(100, 44);
    const std::size_t s = data.size();
    data += "C" + y + testutil::random_bytes(300, 45);
    EXPECT_FALSE(record_at(data, s, "258 after 257").match)
        << "the byte before the longer match is a literal";
    const tokens::Token m = record_at(data, s + 1, "258 after 257");
    EXPECT_TRUE(m.match && m.value == MAX_MATCH);
}

// Random bytes in which no three-byte string occurs twice, then units that
// each copy a stretch of them, `lengths` long, with a fresh literal before
// the copy where `literal_before` says. The bytes before and after a copy
// differ from those before and after every earlier occurrence of its
// stretch, so each copy is one match of exactly its length and each literal
// stays one. Returns the input and where each copy starts.
struct Units {
    std::string data;
    std::vector<std::size_t> copy_at;
};

Units copy_units(std::size_t random_len, const std::vector<bool>& literal_before,
                 const std::vector<std::size_t>& lengths, unsigned seed)
{
    Rng rng(seed);
    std::string src;
    std::unordered_set<std::uint32_t> seen;
    while (src.size() < random_len) {
        const auto c = static_cast<uch>(rng.next());
        if (src.size() >= 2) {
            const std::uint32_t tri =
                static_cast<uch>(src[src.size() - 2]) << 16 | static_cast<uch>(src.back()) << 8 | c;
            if (!seen.insert(tri).second) continue;
        }
        src += static_cast<char>(c);
    }
    // By source offset: the bytes seen before a stretch starting there and
    // after one ending there.
    std::vector<std::string> before(random_len + 1), after(random_len + 1);
    for (std::size_t i = 0; i < random_len; i++) {
        if (i > 0) before[i] += src[i - 1];
        after[i] += src[i];
    }
    auto fresh = [](const std::string& used, char c) { return used.find(c) == std::string::npos; };
    Units u{src, {}};
    std::size_t end = 0;  // where the last copy's source ends, 0 before the first copy
    for (std::size_t i = 0; i < lengths.size(); i++) {
        // A generator per unit, so that changing one copy's length leaves the
        // others' sources alone.
        Rng unit_rng(seed * 2654435761u + static_cast<unsigned>(i));
        std::size_t o;
        for (;;) {
            o = 1 + unit_rng.below(random_len - MAX_MATCH - 2);
            if (literal_before[i] || end == 0) break;
            if (fresh(after[end], src[o]) && fresh(before[o], src[end - 1])) break;
        }
        char x = src[end];  // the byte after the last copy (or after the random bytes)
        if (literal_before[i]) {
            do {
                x = static_cast<char>(unit_rng.next());
            } while ((end != 0 && !fresh(after[end], x)) || !fresh(before[o], x));
            u.data += x;
            before[o] += x;
            if (end != 0) after[end] += x;
        } else if (end != 0) {
            after[end] += src[o];
            before[o] += src[end - 1];
        }
        u.copy_at.push_back(u.data.size());
        u.data += src.substr(o, lengths[i]);
        end = o + lengths[i];
    }
    char x;
    do {
        x = static_cast<char>(rng.next());
    } while (!fresh(after[end], x));
    u.data += x + testutil::random_bytes(300, seed + 1);
    return u;
}

// The early end's test at the block's 4096th record, recomputed from the
// records: the matches among them, the estimate in bytes (8 bits a record,
// 5 and the extra bits a distance) and the input up to that record's first byte.
struct EarlyEnd {
    std::size_t matches = 0;
    unsigned long estimate = 0;
    unsigned long input = 0;
};

EarlyEnd early_end_at_4096(const std::vector<tokens::Token>& all, const std::vector<std::size_t>& pos)
{
    EarlyEnd e;
    e.estimate = 4096 * 8;
    for (std::size_t i = 0; i < 4096; i++) {
        if (!all[i].match) continue;
        e.matches++;
        e.estimate += 5 + static_cast<unsigned long>(tokens::detail::DEXT[all[i].dsym]);
    }
    e.estimate >>= 3;
    e.input = pos[4095] + 1;
    return e;
}

// A block goes on past 4096 records when exactly half of them are matches,
// though the estimate is well under half the input: 1024 literals, then
// units of a literal and a copy alternating with copies alone.
TEST_F(CompressOracleTest, BlockWithExactlyHalfMatchesDoesNotEndEarly)
{
    std::vector<bool> literal_before;
    for (int i = 0; i < 2400; i++) literal_before.push_back(i % 2 == 0);
    Units u = copy_units(1024, literal_before, std::vector<std::size_t>(2400, 12), 51);
    std::string ours = expect_identical(u.data, "half matches");
    tokens::Stream st = tokens::decode(ours, BODY);
    ASSERT_TRUE(st.ok);
    std::vector<tokens::Token> all;
    auto pos = token_positions(st, all);
    ASSERT_GT(all.size(), 4096u);
    EarlyEnd e = early_end_at_4096(all, pos);
    EXPECT_EQ(e.matches, 2048u) << "the input hits the boundary";
    EXPECT_LT(e.estimate, e.input / 2);
    EXPECT_GT(st.blocks[0].tokens.size(), 4096u) << "the block goes on";
}

// A block goes on past 4096 records when its estimate is exactly half its
// input, though fewer than half are matches: literals, then units of a
// literal and a copy. The copy before the 4096th record is lengthened or
// shortened until that record starts at twice the estimate; when one copy
// cannot reach, the copies before it move by a byte each first.
TEST_F(CompressOracleTest, BlockEstimatedAtExactlyHalfItsInputDoesNotEndEarly)
{
    const std::vector<bool> literal_before(1600, true);
    std::vector<std::size_t> lengths(1600, 8);
    std::string data;
    EarlyEnd e;
    tokens::Stream st;
    for (int round = 0; round < 8; round++) {
        Units u = copy_units(1095, literal_before, lengths, 61);
        data = u.data;
        st = tokens::decode(compress(data), BODY);
        ASSERT_TRUE(st.ok);
        std::vector<tokens::Token> all;
        auto pos = token_positions(st, all);
        ASSERT_GT(all.size(), 4096u);
        e = early_end_at_4096(all, pos);
        if (e.input / 2 == e.estimate) break;
        auto unit = std::find(u.copy_at.begin(), u.copy_at.end(), pos[4094]);
        ASSERT_TRUE(all[4094].match && unit != u.copy_at.end()) << "the 4095th record is a whole copy";
        const auto j = static_cast<std::size_t>(unit - u.copy_at.begin());
        const long k = 2 * static_cast<long>(e.estimate) - static_cast<long>(pos[4094]) - 1;
        if (k >= 3 && k <= static_cast<long>(MAX_MATCH)) {
            lengths[j] = static_cast<std::size_t>(k);
            continue;
        }
        const long delta = k - static_cast<long>(lengths[j]);
        for (std::size_t i = 0; i < static_cast<std::size_t>(std::labs(delta)); i++) {
            if (delta > 0)
                lengths[i]++;
            else
                lengths[i]--;
        }
    }
    ASSERT_EQ(e.input / 2, e.estimate) << "the input hits the boundary";
    EXPECT_LT(e.matches, 2048u);
    expect_identical(data, "estimate half the input");
    EXPECT_GT(st.blocks[0].tokens.size(), 4096u) << "the block goes on";
}

// Thirty different bytes, half of them with 9-bit fixed codes, cost 34 bytes
// as a fixed block and as a stored one: the stored block wins the tie.
TEST_F(CompressOracleTest, StoredBlockWinsATieWithTheFixedCode)
{
    std::string tie;
    for (int i = 0; i < 15; i++) tie += {static_cast<char>(i * 9), static_cast<char>(144 + i * 7)};
    std::string ours = expect_identical(tie, "stored or fixed");
    tokens::Stream st = tokens::decode(ours, BODY);
    ASSERT_TRUE(st.ok);
    ASSERT_EQ(st.blocks.size(), 1u);
    EXPECT_EQ(st.blocks[0].type, 0);
}

// Random bytes over small alphabets: every 3-byte string recurs all over the
// window, chains run the whole budget, and the best matches are 3 to 12
// bytes long, so the searches move between the hash chain and the 4- and
// 8-byte chains all the time. Each input has runs of one symbol and copies
// of earlier stretches mixed in, for longer matches as well.
TEST_F(CompressOracleTest, SmallAlphabetsAreIdentical)
{
    for (unsigned symbols : {2u, 4u, 16u, 64u}) {
        Rng rng(symbols);
        std::string data;
        while (data.size() < 300000) {
            const std::uint32_t r = rng.next();
            if (r % 64 == 0 && data.size() > 1000) {
                const std::size_t len = 3 + (r >> 8) % 40;
                const std::size_t from =
                    data.size() - 1 - (r >> 16) % std::min<std::size_t>(data.size() - len, 40000);
                data += data.substr(from, len);
            } else if (r % 64 == 1) {
                data.append(4 + (r >> 8) % 30, static_cast<char>('a' + (r >> 16) % symbols));
            } else {
                data += static_cast<char>('a' + (r >> 8) % symbols);
            }
        }
        expect_identical(with_tail(data, data.size()), std::to_string(symbols) + " symbols");
    }
}

// Strings of one bucket inserted in falling order ("ABC", a falling counter,
// random bytes), with records of that bucket between them, which keep the
// trees on; now and then one that sorts above all of them: its tree path
// holds every falling string of the window, so the path is cut and the
// searches fall back to the chain until the cut leaves the window. A copy of
// the falling string 1000 back follows each cut: a tree that lost the nodes
// past the cut would miss it.
TEST_F(CompressOracleTest, LongTreePathsAreCutWithoutChangingMatches)
{
    Rng rng(7);
    const unsigned h = bucket_of("ABC", 0);
    std::string data = bucket_records(100000, rng, h);
    const std::string between = bucket_records(20000 * 8, rng, h);
    std::vector<std::size_t> at;
    for (unsigned i = 0; i < 20000; i++) {
        unsigned v = 0xfffe - i;
        at.push_back(data.size());
        data += "ABC";
        data += static_cast<char>(v >> 8);
        data += static_cast<char>(v & 0xff);
        data += testutil::random_bytes(3, i);
        data += between.substr(8 * i, 8);
        if (i % 3000 == 2999) {
            data += "ABC\xff\xff" + testutil::random_bytes(3, i + 1);
            data += data.substr(at[i - 1000], 16);
        }
    }
    expect_identical(with_tail(data, data.size() + 300), "falling strings");
}

// gzip stops searching once the current string passes 65274 without a slide;
// we keep searching into the zero-filled slack, so the last 120 bytes, which
// repeat the bytes 1000 back, become one match and the stream is smaller.
TEST_F(CompressOracleTest, WeKeepSearchingNearTheEndOfTheFirstWindow)
{
    std::string data = testutil::random_bytes(65400, 21);
    for (std::size_t i = 65280; i < 65400; i++) data[i] = data[i - 1000];
    std::string ours = compress(data);
    std::string ref = gzip9(data);
    auto [pos, last] = last_token(ours, data);
    EXPECT_EQ(pos, 65280u);
    EXPECT_TRUE(last.match);
    EXPECT_EQ(last.value, 120u);
    EXPECT_EQ(last.dist, 1000u);
    EXPECT_LT(ours.size() - BODY, ref.size() - GZIP_BODY);
    testutil::write_file(dir_.file("ours.gz"), ours);
    auto back = testutil::sh("gzip -dc < '" + dir_.file("ours.gz") + "'");
    EXPECT_EQ(back.status, 0);
    EXPECT_TRUE(back.out == data) << "gzip -dc restores the input";
}

// When several candidates run to the end of the input, the compare goes on
// into whatever the window holds after the data: here, after a slide, the
// bytes that followed the data 32768 positions earlier. The candidate 20000
// back continues exactly like them, so it is kept; gzip zeroes the two bytes
// after the data, which favours the candidate 5000 back that is followed by
// two zeros. Both are correct; the lengths are cut to the input.
TEST_F(CompressOracleTest, TiesAtTheEndOfInputFollowTheWindowContents)
{
    constexpr std::size_t N = 82768;  // one slide; the data ends at window index 50000
    std::string data = testutil::random_bytes(N, 31);
    const std::string tail = data.substr(N - 50);
    std::string after = testutil::random_bytes(10, 32);
    after[0] = static_cast<char>(after[0] | 1);  // not zero
    data.replace(N - 32768, 10, after);
    data.replace(N - 20000 - 50, 50, tail);  // candidate B, followed by what the window holds
    data.replace(N - 20000, 10, after);
    data.replace(N - 5000 - 50, 50, tail);  // candidate A, followed by two zeros
    data[N - 5000] = data[N - 5000 + 1] = '\0';
    data[N - 5000 + 2] = static_cast<char>(after[2] ^ 0x55);

    auto [pos, last] = last_token(compress(data), data);
    EXPECT_EQ(pos, N - 50);
    EXPECT_EQ(last.value, 50u);
    EXPECT_EQ(last.dist, 20000u);

    tokens::Stream ref = tokens::decode(gzip9(data), GZIP_BODY);
    ASSERT_TRUE(ref.ok);
    EXPECT_EQ(ref.blocks.back().tokens.back().dist, 5000u) << "gzip keeps the candidate followed by zeros";
}

}  // namespace
