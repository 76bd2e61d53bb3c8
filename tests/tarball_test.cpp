// The tar writer: the header builder (ustar fields, the name/prefix split and
// the pax extended headers for what ustar cannot hold, read back by a small
// reader written here from the format), and the write pass over files that
// change size while they are read.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <string>

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "testutil.h"
#include "vokra.h"

namespace {

// One entry as a reader sees it: the ustar fields with the pax records applied.
struct ReadBack {
    bool checksum_ok = false;
    bool has_pax = false;
    std::map<std::string, std::string> records;
    std::string name, linkname, ustar_name, ustar_prefix, magic, uname, gname;
    char typeflag = 0;
    long long size = -1, mtime = -1, mode = -1, uid = -1, gid = -1, field_size = -1;
};

long long octal(const unsigned char* f, std::size_t width)
{
    long long v = 0;
    for (std::size_t i = 0; i < width && f[i] >= '0' && f[i] <= '7'; i++) v = v * 8 + (f[i] - '0');
    return v;
}

std::string field(const unsigned char* f, std::size_t width)
{
    std::size_t n = 0;
    while (n < width && f[n] != '\0') n++;
    return std::string(reinterpret_cast<const char*>(f), n);
}

bool checksum_ok(const unsigned char* b)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < TAR_BLOCK; i++) sum += i >= 148 && i < 156 ? ' ' : b[i];
    return octal(b + 148, 7) == sum && b[154] == '\0' && b[155] == ' ';
}

// Parses "<len> key=value\n" records; false when a length does not match.
bool parse_records(const std::string& data, std::map<std::string, std::string>& out)
{
    std::size_t at = 0;
    while (at < data.size()) {
        const std::size_t len = std::stoul(data.substr(at));
        const std::string rec = data.substr(at, len);
        if (rec.size() != len || rec.back() != '\n') return false;
        const std::size_t sp = rec.find(' '), eq = rec.find('=');
        out[rec.substr(sp + 1, eq - sp - 1)] = rec.substr(eq + 1, len - eq - 2);
        at += len;
    }
    return true;
}

ReadBack read_back(const unsigned char* p, std::size_t len)
{
    ReadBack r;
    r.checksum_ok = checksum_ok(p);
    if (p[156] == TAR_PAX_HEADER) {
        r.has_pax = true;
        const std::size_t n = static_cast<std::size_t>(octal(p + 124, 11));
        if (!parse_records(std::string(reinterpret_cast<const char*>(p) + TAR_BLOCK, n), r.records))
            return ReadBack{};
        const std::size_t skip = TAR_BLOCK + (n + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
        if (skip + TAR_BLOCK != len) return ReadBack{};
        p += skip;
        r.checksum_ok = r.checksum_ok && checksum_ok(p);
    } else if (len != TAR_BLOCK) {
        return ReadBack{};
    }
    r.ustar_name = field(p, 100);
    r.ustar_prefix = field(p + 345, 155);
    r.name = r.ustar_prefix.empty() ? r.ustar_name : r.ustar_prefix + "/" + r.ustar_name;
    r.linkname = field(p + 157, 100);
    r.typeflag = static_cast<char>(p[156]);
    r.mode = octal(p + 100, 7);
    r.uid = octal(p + 108, 7);
    r.gid = octal(p + 116, 7);
    r.field_size = r.size = octal(p + 124, 11);
    r.mtime = octal(p + 136, 11);
    r.magic = std::string(reinterpret_cast<const char*>(p) + 257, 8);
    r.uname = field(p + 265, 32);
    r.gname = field(p + 297, 32);
    if (r.records.count("path")) r.name = r.records["path"];
    if (r.records.count("linkpath")) r.linkname = r.records["linkpath"];
    if (r.records.count("size")) r.size = std::stoll(r.records["size"]);
    if (r.records.count("mtime")) r.mtime = std::stoll(r.records["mtime"]);
    return r;
}

struct HeaderCase {
    const char* shows;
    std::string name, linkname;
    char typeflag;
    long long size, mtime;
    bool pax;            // an extended header is needed
    std::string prefix;  // the ustar prefix, when the name is split
};

std::string dirs(int n, std::size_t len)  // n directory names of len characters, each with "/"
{
    std::string s = "./";
    for (int i = 0; i < n; i++) s += std::string(len, static_cast<char>('a' + i)) + "/";
    return s;
}

const std::string NAME100 = "./" + std::string(98, 'n');
const std::string SPLIT_AT_155 = dirs(1, 153) + std::string(100, 'f');  // prefix 155, name 100
const std::string LONG300 = dirs(2, 140) + std::string(15, 'f');        // no split leaves both short
const std::string COMPONENT101 = "./d/" + std::string(101, 'f');        // the name alone is too long
const std::string LINK101 = std::string(101, 'l');

const HeaderCase HEADER_CASES[] = {
    {"a short name fills the name field alone", "./bin/hello", "", TAR_REGULAR, 151, 1700000000, false, ""},
    {"a name of exactly 100 bytes still fits the field", NAME100, "", TAR_REGULAR, 0, 0, false, ""},
    {"a name over 100 bytes is split at a slash into prefix and name", SPLIT_AT_155, "", TAR_REGULAR, 1, 1,
     false, dirs(1, 153).substr(0, 155)},
    {"a name over 100 bytes is split at its leftmost fitting slash", dirs(2, 60), "", TAR_DIRECTORY, 0, 0,
     false, dirs(1, 60).substr(0, 62)},
    {"a directory's final slash is no split point", "./" + std::string(150, 'x') + "/", "", TAR_DIRECTORY, 0,
     0, true, ""},
    {"a name over 255 bytes takes a pax path record", LONG300, "", TAR_REGULAR, 10, 5, true, ""},
    {"a last component over 100 bytes takes a pax path record", COMPONENT101, "", TAR_REGULAR, 0, 0, true,
     ""},
    {"a link target over 100 bytes takes a pax linkpath record", "./l", LINK101, TAR_SYMLINK, 0, 0, true, ""},
    {"a hard link keeps a short target in the linkname field", "./b", "./a", TAR_HARD_LINK, 0, 0, false, ""},
    {"8 GiB - 1 bytes is the largest size the field holds", "./big", "", TAR_REGULAR, 077777777777LL, 0,
     false, ""},
    {"8 GiB takes a pax size record", "./big", "", TAR_REGULAR, 077777777777LL + 1, 0, true, ""},
    {"a time before 1970 takes a pax mtime record", "./old", "", TAR_REGULAR, 0, -1, true, ""},
    {"a time past the field's range takes a pax mtime record", "./new", "", TAR_REGULAR, 0,
     077777777777LL + 1, true, ""},
};

void PrintTo(const HeaderCase& c, std::ostream* os)
{
    *os << c.shows;
}

class TarHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(TarHeader, ReadsBackAsTheEntry)
{
    const HeaderCase& c = GetParam();
    unsigned char out[TAR_HEADER_MAX + 64];
    std::memset(out, 0xAA, sizeof out);
    const TarEntry e{c.name.c_str(), c.linkname.c_str(), c.typeflag, 04755, c.size, c.mtime};
    const std::size_t len = tar_header(e, out);
    ASSERT_EQ(len % TAR_BLOCK, 0u);
    ASSERT_LE(len, TAR_HEADER_MAX);
    EXPECT_EQ(out[len], 0xAA) << "nothing written past the returned length";
    const ReadBack r = read_back(out, len);
    EXPECT_TRUE(r.checksum_ok);
    EXPECT_EQ(r.has_pax, c.pax);
    EXPECT_EQ(r.name, c.name);
    EXPECT_EQ(r.linkname, c.linkname);
    EXPECT_EQ(r.typeflag, c.typeflag);
    EXPECT_EQ(r.size, c.size);
    EXPECT_EQ(r.mtime, c.mtime);
    EXPECT_EQ(r.mode, 04755);
    EXPECT_EQ(r.uid, 0);
    EXPECT_EQ(r.gid, 0);
    EXPECT_EQ(r.uname, "");
    EXPECT_EQ(r.gname, "");
    EXPECT_EQ(r.magic, std::string("ustar\0"
                                   "00",
                                   8));
    if (!c.prefix.empty()) {
        EXPECT_EQ(r.ustar_prefix, c.prefix);
    }
    // Only what ustar cannot hold goes into records.
    EXPECT_EQ(r.records.count("path"), c.pax && c.name.size() > 100 ? 1u : 0u);
    EXPECT_EQ(r.records.count("linkpath"), c.linkname.size() > 100 ? 1u : 0u);
    EXPECT_EQ(r.records.count("size"), c.size > 077777777777LL ? 1u : 0u);
    if (c.size > 077777777777LL) {
        EXPECT_EQ(r.field_size, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TarHeader, ::testing::ValuesIn(HEADER_CASES),
                         [](const ::testing::TestParamInfo<HeaderCase>& row) {
                             return testutil::test_name(row.param.shows);
                         });

// A record's length counts its own digits: at the step from 2 to 3 digits
// the length must still be exact (a value of 93 to 95 bytes with "path").
TEST(TarHeader, RecordLengthsCountTheirOwnDigits)
{
    for (std::size_t n = 180; n < 400; n++) {
        const std::string name = "./" + std::string(n, 'p');  // one component: no split
        unsigned char out[TAR_HEADER_MAX];
        const std::size_t len = tar_header(TarEntry{name.c_str(), "", TAR_REGULAR, 0644, 0, 0}, out);
        const ReadBack r = read_back(out, len);
        EXPECT_EQ(r.name, name) << n;
    }
}

}  // namespace

namespace {

// ---- the write pass against a tree that changes under it ----

std::vector<TarReport> reports;
std::vector<std::string> report_paths;
void keep_report(const TarReport& r)
{
    reports.push_back(r);
    report_paths.push_back(r.path);
}

struct ChangeCase {
    const char* shows;
    void (*change)(const std::string& file);  // run once the file's header has been read
    TarProblem problem;
    std::size_t data_kept;  // bytes of the original data in the stream
};

void PrintTo(const ChangeCase& c, std::ostream* os)
{
    *os << c.shows;
}

constexpr std::size_t FILE_SIZE = 3 * TAR_BLOCK + 17;

const ChangeCase CHANGE_CASES[] = {
    {"a file that shrinks is padded with zeros to its size",
     [](const std::string& f) { ASSERT_EQ(truncate(f.c_str(), 700), 0); }, TarProblem::shrank, 700},
    {"a file that grows is cut at its size",
     [](const std::string& f) { testutil::write_file(f, std::string(FILE_SIZE + 999, 'g')); },
     TarProblem::grew, FILE_SIZE},
};

class TarChange : public ::testing::TestWithParam<ChangeCase> {
protected:
    void SetUp() override
    {
        reset_driver_state();
        reports.clear();
        report_paths.clear();
    }
};

// The stream keeps the size its header states, so everything after the file
// stays where a reader looks for it; the change is reported with its path.
TEST_P(TarChange, KeepsTheStatedSizeAndReportsIt)
{
    const ChangeCase& c = GetParam();
    testutil::TempDir dir;
    const std::string file = dir.file("t/f");
    ASSERT_EQ(mkdir(dir.file("t").c_str(), 0755), 0);
    testutil::write_file(file, std::string(FILE_SIZE, 'o'));
    testutil::write_file(dir.file("t/z"), "after");
    TarOptions opt{};
    opt.dir = "t";
    opt.mtime_max = -1;
    opt.report = keep_report;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    std::int64_t bytes = 0;
    ASSERT_EQ(tar_check(opt, &bytes), 0);
    ASSERT_EQ(tar_open(opt), 0);
    std::string stream;
    char buf[TAR_BLOCK];
    int n;
    bool changed = false;
    while ((n = tar_read(buf, sizeof buf)) > 0) {
        stream.append(buf, static_cast<std::size_t>(n));
        // The header of "./f" comes first (the directory itself has no
        // entry); its data follows.
        if (!changed && stream.size() == TAR_BLOCK) {
            c.change(file);
            changed = true;
        }
    }
    EXPECT_EQ(tar_close(), 1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].what, c.problem);
    EXPECT_EQ(report_paths[0], "t/f");
    if (c.problem == TarProblem::grew) {
        EXPECT_EQ(reports[0].size, static_cast<std::int64_t>(FILE_SIZE));
    }
    const std::string data = stream.substr(TAR_BLOCK, FILE_SIZE);
    EXPECT_EQ(data.substr(0, c.data_kept),
              std::string(c.data_kept, c.problem == TarProblem::grew ? 'g' : 'o'));
    EXPECT_EQ(data.substr(c.data_kept), std::string(FILE_SIZE - c.data_kept, '\0'));
    // "./z" comes next, at the block after the file's data, and the archive ends.
    const std::size_t z_at = TAR_BLOCK + 4 * TAR_BLOCK;
    EXPECT_EQ(stream.substr(z_at, 4), std::string("./z\0", 4));
    EXPECT_EQ(stream.substr(z_at + TAR_BLOCK, 5), "after");
    EXPECT_EQ(stream.size(), z_at + 2 * TAR_BLOCK + 2 * TAR_BLOCK);
    ASSERT_EQ(chdir("/"), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, TarChange, ::testing::ValuesIn(CHANGE_CASES),
                         [](const ::testing::TestParamInfo<ChangeCase>& row) {
                             return testutil::test_name(row.param.shows);
                         });

}  // namespace
