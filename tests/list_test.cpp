// The listing (vokra -l) through the real executable: preamble lines, the
// statistics line and its header, verbose columns, and failing operands.
#include <gtest/gtest.h>

#include "driver_testutil.h"
#include "member_util.h"
#include "testutil.h"

namespace {

using testutil::TempDir;

std::string le32(unsigned long v)
{
    std::string s;
    for (int i = 0; i < 4; i++) s += static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

// A member header with MTIME and an optional stored name.
std::string gz_header(unsigned long mtime, const std::string& name = "")
{
    std::string h = {'\x1f', '\x8b', '\x08', static_cast<char>(name.empty() ? 0 : 0x08)};
    h += le32(mtime) + std::string("\0\3", 2);
    if (!name.empty()) h += name + std::string("\0", 1);
    return h;
}

// A payload of exactly `total` bytes whose trailer says CRC `crc` and ISIZE
// `isize`; the listing never decodes the body, so it is filler.
std::string payload(const std::string& header, std::size_t total, unsigned long crc, unsigned long isize)
{
    return header + std::string(total - header.size() - 8, 'z') + le32(crc) + le32(isize);
}

// Writes an archive image by hand: the tool's own executable, the marker,
// the four preamble strings, the payload.
std::string make_archive(const TempDir& dir, const std::string& name, const std::string& features,
                         const std::string& comment, const std::string& run, const std::string& extract,
                         const std::string& pay)
{
    std::string path = dir.file(name);
    std::string nul(1, '\0');
    testutil::write_file(path, testutil::read_file(testutil::vokra_exe()) + drivertest::marker() + features +
                                   nul + comment + nul + run + nul + extract + nul + pay);
    return path;
}

testutil::RunResult list(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{testutil::vokra_exe()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::run(argv, "", "", {"TZ=UTC"});
}

const char* const HEADER = "compressed  uncompr. ratio uncompressed_name\n";
const char* const VERBOSE_HEADER =
    "method  crc     date  time  compressed  uncompr. ratio uncompressed_name\n";

TEST(List, PreambleLinesThenHeaderThenTheStatisticsLine)
{
    TempDir dir;
    // No name: header 10 bytes (+8 trailer = 18); 500 bytes stored, 1000
    // uncompressed: (1000 - (500 - 18)) / 1000 = 51.8%.
    std::string a = make_archive(dir, "a", "NAME=x,VFYFS=/tmp", "my comment", "./install.sh", "tar xf -",
                                 payload(gz_header(0), 500, 0x1234abcd, 1000));
    auto r = list({"-l", a});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("Feature: NAME=x,VFYFS=/tmp\n"
                                 "Comment: my comment\n"
                                 "    Run: ./install.sh\n"
                                 "Extract: tar xf -\n") +
                         HEADER + "      500      1000  51.8% stdout\n");
    EXPECT_EQ(r.err, "");
}

TEST(List, TheWorkedExample1000Over4000Is75Point7Percent)
{
    TempDir dir;
    // A 22-byte header (an 11-character name): header_bytes 30.
    std::string a =
        make_archive(dir, "a", "", "", "", "", payload(gz_header(0, "abcdefghijk"), 1000, 0, 4000));
    auto r = list({"-l", a});
    EXPECT_EQ(r.status, 0);
    // No feature string: no Feature line; the other three always; the default extract command.
    EXPECT_EQ(r.out, std::string("Comment: \n    Run: \nExtract: cat > %p/%o\n") + HEADER +
                         "     1000      4000  75.7% abcdefghijk\n");
}

TEST(List, VerboseAddsMethodCrcAndLocalDate)
{
    TempDir dir;
    std::string zero =
        make_archive(dir, "zero", "", "c", "", "", payload(gz_header(0, "n"), 200, 0xdeadbeef, 100));
    std::string dated = make_archive(dir, "dated", "", "c", "", "",
                                     payload(gz_header(1700000000, "m"), 200, 0x0000abcd, 10000));
    auto r = list({"-l", "-v", zero, dated});
    EXPECT_EQ(r.status, 0);
    // 100 uncompressed from 200 - 20 header bytes: (100 - 180) / 100 = -80.0%.
    // 10000 from 180: 98.2%. 1700000000 is 2023-11-14 22:13:20 UTC.
    EXPECT_EQ(r.out, std::string("Comment: c\n    Run: \nExtract: cat > %p/%o\n") + VERBOSE_HEADER +
                         "defla deadbeef Jan  1 00:00       200       100 -80.0% n\n"
                         "Comment: c\n    Run: \nExtract: cat > %p/%o\n"
                         "defla 0000abcd Nov 14 22:13       200     10000  98.2% m\n");
}

TEST(List, RawPayloadsHaveNoStatisticsAndDoNotUseUpTheHeader)
{
    TempDir dir;
    std::string raw = make_archive(dir, "raw", "NOCOMPR,NAME=data.tar", "", "", "", "raw bytes, not gzip");
    std::string gz = make_archive(dir, "gz", "", "", "", "", payload(gz_header(0), 100, 0, 100));
    auto r = list({"-l", raw, gz});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              std::string("Feature: NOCOMPR,NAME=data.tar\nComment: \n    Run: \nExtract: cat > %p/%o\n"
                          "Statistics unavailable because data was not compressed\n"
                          "Comment: \n    Run: \nExtract: cat > %p/%o\n") +
                  HEADER + "      100       100  18.0% stdout\n");
}

// A tar payload without a stored extract command lists the command it runs.
TEST(List, ATarPayloadListsItsDefaultExtractCommand)
{
    TempDir dir;
    std::string tar = make_archive(dir, "tar", "NOCOMPR,PAYLOAD=tar,NAME=app.tar", "", "", "", "tar bytes");
    auto r = list({"-l", tar});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Feature: NOCOMPR,PAYLOAD=tar,NAME=app.tar\nComment: \n    Run: \nExtract: tar -xf - -C %d\n"
                     "Statistics unavailable because data was not compressed\n");
}

TEST(List, AFailingOperandInTheMiddleSetsStatus1AndTheListingGoesOn)
{
    TempDir dir;
    std::string a = make_archive(dir, "a", "", "", "", "", payload(gz_header(0, "first"), 100, 0, 100));
    std::string zip =
        make_archive(dir, "zip", "", "", "", "", std::string("PK\3\4", 4) + std::string(40, '\0'));
    std::string b = make_archive(dir, "b", "", "", "", "", payload(gz_header(0, "second"), 100, 0, 100));
    testutil::write_file(dir.file("plain"), "no marker here");
    // Fatal to an extraction, but only to this operand's listing.
    std::string cut = make_archive(dir, "cut", "", "", "", "", gz_header(0, "name").substr(0, 14));
    std::string long_name = make_archive(dir, "long", "", "", "", "", gz_header(0, std::string(1024, 'n')));
    auto r = list({"-l", a, dir.file("plain"), cut, zip, long_name, b});
    EXPECT_EQ(r.status, 1);
    const std::string pre = "Comment: \n    Run: \nExtract: cat > %p/%o\n";
    // Headers of 16 and 17 bytes: 24.0% and 25.0% of 100 saved.
    EXPECT_EQ(r.out, pre + HEADER + "      100       100  24.0% first\n" + pre +
                         "      100       100  25.0% second\n");
    EXPECT_NE(r.err.find(dir.file("plain") + ": unable to find preamble magic value\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(": can only handle GZIP compression method\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(": " + cut + ": unexpected end of file\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(": " + long_name + ": corrupted input -- file name too large\n"), std::string::npos)
        << r.err;
}

TEST(List, OnATerminalStoredBytesAreEscapedAndIntoAPipeTheyStayAsStored)
{
    TempDir dir;
    const std::string comment = "ok\rrm -rf ~ \\ \033[K\xe9";
    std::string a =
        make_archive(dir, "a", "", comment, "", "", payload(gz_header(0, "a\tb"), 100, 0, 100));
    auto r = list({"-l", a});
    EXPECT_EQ(r.out.substr(0, 9 + comment.size() + 1), "Comment: " + comment + "\n");
    EXPECT_NE(r.out.find(" a\tb\n"), std::string::npos);

    auto t = drivertest::run_on_pty({testutil::vokra_exe(), "-l", a}, "", {});
    EXPECT_EQ(t.status, 0);
    EXPECT_NE(t.transcript.find("Comment: ok\\rrm -rf ~ \\\\ \\033[K\\351\r\n"), std::string::npos)
        << t.transcript;
    EXPECT_NE(t.transcript.find(" a\\tb\r\n"), std::string::npos) << t.transcript;
}

TEST(List, ARealMemberListsItsOwnTrailerAndName)
{
    if (!testutil::have_tool("gzip")) GTEST_SKIP() << "gzip is not installed (Debian package gzip)";
    TempDir dir;
    std::string data(40000, 'a');
    testutil::write_file(dir.file("data.txt"), data);
    auto g = testutil::sh("cd '" + dir.path() + "' && gzip -9 data.txt");
    ASSERT_EQ(g.status, 0);
    std::string member = testutil::read_file(dir.file("data.txt.gz"));
    std::string a = make_archive(dir, "a", "", "", "", "", member);
    auto r = list({"-l", a});
    EXPECT_EQ(r.status, 0);
    // The statistics line ends with the uncompressed size, a ratio and the stored name.
    std::string stats = r.out.substr(r.out.rfind(HEADER) + std::string(HEADER).size());
    char expect_sizes[64];
    std::snprintf(expect_sizes, sizeof expect_sizes, "%9zu %9zu ", member.size(), data.size());
    EXPECT_EQ(stats.substr(0, 20), expect_sizes);
    EXPECT_EQ(stats.substr(stats.size() - 10), " data.txt\n");
}

}  // namespace
