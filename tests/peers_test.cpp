// Members written by other gzip writers decode exactly: stored, fixed and
// dynamic blocks laid out in ways our own writer never produces.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "driver_testutil.h"
#include "member_util.h"
#include "testutil.h"

namespace {

using testutil::TempDir;

class PeersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        data_ = testutil::mixed_data(300000, 17);
        testutil::write_file(dir_.file("data"), data_);
    }

    // Runs `cmd` (with DATA naming the input) to make a member, then checks
    // that the member reader gives back the input exactly.
    void check(const std::string& label, const std::string& cmd)
    {
        SCOPED_TRACE(label);
        std::string member = dir_.file("m.gz"), out = dir_.file("out");
        testutil::RunResult r =
            testutil::sh("DATA='" + dir_.file("data") + "'; " + cmd + " > '" + member + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_MEMBER_DECODES(member, out);
        EXPECT_TRUE(testutil::read_file(out) == data_) << label << ": output differs";
    }

    void need(const char* tool, const char* package)
    {
        if (!testutil::have_tool(tool))
            GTEST_SKIP() << tool << " is not installed (Debian package " << package << ")";
    }

    TempDir dir_;
    std::string data_;
};

TEST_F(PeersTest, GzipLevels1To9)
{
    need("gzip", "gzip");
    for (int level = 1; level <= 9; level++)
        check("gzip -" + std::to_string(level), "gzip -c -" + std::to_string(level) + " \"$DATA\"");
}

TEST_F(PeersTest, Pigz)
{
    need("pigz", "pigz");
    for (const char* opt : {"-1", "-6", "-9", "-1 -b 32", "-p 2 -b 64"})
        check(std::string("pigz ") + opt, std::string("pigz -c ") + opt + " \"$DATA\"");
}

TEST_F(PeersTest, PigzZopfli)
{
    need("pigz", "pigz");
    data_ = testutil::mixed_data(40000, 23);
    testutil::write_file(dir_.file("data"), data_);
    check("pigz -11", "pigz -c -11 \"$DATA\"");
}

TEST_F(PeersTest, LibdeflateLevels1To12)
{
    need("libdeflate-gzip", "libdeflate-tools");
    for (int level = 1; level <= 12; level++) {
        check("libdeflate-gzip -" + std::to_string(level),
              "libdeflate-gzip -c -" + std::to_string(level) + " < \"$DATA\"");
    }
}

TEST_F(PeersTest, ZlibLevels0To9WithEveryStrategy)
{
    need("python3", "python3");
    const char* strategies[] = {"Z_DEFAULT_STRATEGY", "Z_FIXED", "Z_HUFFMAN_ONLY", "Z_RLE", "Z_FILTERED"};
    for (int level = 0; level <= 9; level++) {
        for (const char* strategy : strategies) {
            std::string py = "import sys, zlib; d = open(sys.argv[1], 'rb').read(); c = zlib.compressobj(" +
                             std::to_string(level) + ", zlib.DEFLATED, 31, 9, zlib." + strategy +
                             "); sys.stdout.buffer.write(c.compress(d) + c.flush())";
            check("zlib level " + std::to_string(level) + " " + strategy,
                  "python3 -c \"" + py + "\" \"$DATA\"");
        }
    }
}

TEST_F(PeersTest, ZlibWithFlushPointsAndSmallWindows)
{
    // Sync and full flushes make empty stored blocks and many small blocks;
    // small windows and memLevel 1 make many short dynamic blocks.
    need("python3", "python3");
    std::string py =
        "import sys, zlib\n"
        "d = open(sys.argv[1], 'rb').read()\n"
        "c = zlib.compressobj(int(sys.argv[2]), zlib.DEFLATED, int(sys.argv[3]), 1)\n"
        "out = b''\n"
        "for i in range(0, len(d), 5000):\n"
        "    out += c.compress(d[i:i+5000]) + c.flush(zlib.Z_SYNC_FLUSH if i % 3 else zlib.Z_FULL_FLUSH)\n"
        "sys.stdout.buffer.write(out + c.flush())\n";
    testutil::write_file(dir_.file("flush.py"), py);
    for (const char* args : {"6 31", "9 25", "1 26"})
        check(std::string("zlib flushes ") + args,
              "python3 '" + dir_.file("flush.py") + "' \"$DATA\" " + args);
}

TEST_F(PeersTest, SizesAroundEveryWindowBoundaryAndLarge)
{
    need("gzip", "gzip");
    std::string all = testutil::mixed_data(5 * 1024 * 1024 + 3, 29);
    std::vector<std::size_t> sizes = {0, 1, 2, 257, 258, 259};
    for (std::size_t k = 1; k <= 5; k++) {
        for (std::size_t d : {32767ul, 32768ul, 32769ul}) sizes.push_back(d + (k - 1) * 32768);
    }
    sizes.push_back(1024 * 1024 + 1);
    sizes.push_back(all.size());
    for (std::size_t n : sizes) {
        data_ = all.substr(0, n);
        testutil::write_file(dir_.file("data"), data_);
        check("gzip -6 of " + std::to_string(n) + " bytes", "gzip -c -6 \"$DATA\"");
    }
}

TEST_F(PeersTest, IncompressibleData)
{
    need("gzip", "gzip");
    data_ = testutil::random_bytes(3 * 1024 * 1024 + 17, 31);
    testutil::write_file(dir_.file("data"), data_);
    check("gzip -9 of random bytes", "gzip -c -9 \"$DATA\"");
    if (testutil::have_tool("libdeflate-gzip"))
        check("libdeflate-gzip -1 of random bytes", "libdeflate-gzip -c -1 < \"$DATA\"");
}

}  // namespace

// ---- through the real executable: the member placed after a preamble ----

namespace {

// Writes an archive image by hand (the tool's executable, the marker, the
// four preamble strings, the member) and returns its path.
std::string archive_with(const TempDir& dir, const std::string& member, const std::string& extract = "")
{
    std::string path = dir.file("arch");
    std::string nul(1, '\0');
    testutil::write_file(path, testutil::read_file(testutil::vokra_exe()) + drivertest::marker() + nul +
                                   "peer" + nul + nul + extract + nul + member);
    chmod(path.c_str(), 0755);
    return path;
}

class PeersEndToEnd : public PeersTest {
protected:
    // Makes the member with `cmd`, extracts it with `vokra -x -u` and checks the bytes.
    void check_extract(const std::string& tool, const std::string& package, const std::string& cmd)
    {
        need(tool.c_str(), package.c_str());
        if (IsSkipped()) return;
        testutil::RunResult m = testutil::sh("DATA='" + dir_.file("data") + "'; " + cmd);
        ASSERT_EQ(m.status, 0) << m.err;
        std::string arch = archive_with(dir_, m.out);
        testutil::RunResult r = testutil::run({testutil::vokra_exe(), "-x", "-u", arch});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == data_) << cmd << ": extracted " << r.out.size() << " bytes, want "
                                    << data_.size();
    }
};

TEST_F(PeersEndToEnd, Gzip9)
{
    check_extract("gzip", "gzip", "gzip -c -9 \"$DATA\"");
}
TEST_F(PeersEndToEnd, Pigz)
{
    check_extract("pigz", "pigz", "pigz -c -p 2 -b 64 \"$DATA\"");
}
TEST_F(PeersEndToEnd, Libdeflate12)
{
    check_extract("libdeflate-gzip", "libdeflate-tools", "libdeflate-gzip -c -12 < \"$DATA\"");
}
TEST_F(PeersEndToEnd, ZlibFixedCodes)
{
    check_extract("python3", "python3",
                  "python3 -c \"import sys, zlib; d = open(sys.argv[1], 'rb').read(); "
                  "c = zlib.compressobj(9, zlib.DEFLATED, 31, 9, zlib.Z_FIXED); "
                  "sys.stdout.buffer.write(c.compress(d) + c.flush())\" \"$DATA\"");
}

TEST_F(PeersEndToEnd, ZlibStored)
{
    check_extract(
        "python3", "python3",
        "python3 -c \"import sys, zlib; c = zlib.compressobj(0, zlib.DEFLATED, 31); "
        "sys.stdout.buffer.write(c.compress(open(sys.argv[1], 'rb').read()) + c.flush())\" \"$DATA\"");
}

TEST_F(PeersEndToEnd, TheArchiveItselfExtractsUnderTheStoredName)
{
    need("gzip", "gzip");
    testutil::RunResult m =
        testutil::sh("cd '" + dir_.path() + "' && cp data payload.bin && gzip -c -6 payload.bin");
    ASSERT_EQ(m.status, 0);
    TempDir out;
    std::string arch = archive_with(dir_, m.out);
    testutil::RunResult r = testutil::run({arch}, "", out.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(testutil::read_file(out.file("payload.bin")) == data_);
}

TEST_F(PeersEndToEnd, AFormatErrorAfterAWholeWindowSendsNothingAndStatus1)
{
    // A 10-byte header, a stored block of 34464 bytes that is not the last,
    // then a block of type 3: the member is checked whole before any output,
    // so not even the whole window before the error is written.
    std::string member = std::string("\x1f\x8b\x08\0\0\0\0\0\0\3", 10);
    member += '\0';                                // not last, stored
    member += std::string("\xa0\x86\x5f\x79", 4);  // LEN 0x86a0, NLEN its complement
    member += std::string(0x86a0, 'w');
    member += '\x07';  // last, type 3
    member += std::string(8, '\0');
    std::string arch = archive_with(dir_, member);
    testutil::RunResult r = testutil::run({testutil::vokra_exe(), "-x", "-u", arch});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.size(), 0u);
    const std::string tail = ": invalid compressed data--format violated\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), tail.size())), tail) << r.err;
}

TEST_F(PeersEndToEnd, OwnWriterRoundTripsAroundWindowBoundaries)
{
    TempDir dir;
    std::string all = testutil::mixed_data(3 * 1024 * 1024, 41);
    std::vector<std::pair<std::string, std::string>> cases = {
        {"w32767", all.substr(0, 32767)},
        {"w32768", all.substr(0, 32768)},
        {"w65537", all.substr(0, 65537)},
        {"big", all},
        {"random", testutil::random_bytes(1 << 20, 43)},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        testutil::write_file(dir.file(name), data);
        testutil::RunResult b = testutil::run({testutil::vokra_exe(), dir.file(name)});
        if (b.err.find("compression is not available") != std::string::npos) {
            GTEST_SKIP() << "the compressor is not built yet: " << b.err;
        }
        ASSERT_EQ(b.status, 0) << b.err;
        testutil::write_file(dir.file("arch"), b.out);
        chmod(dir.file("arch").c_str(), 0755);
        testutil::RunResult r = testutil::run({testutil::vokra_exe(), "-x", "-u", dir.file("arch")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == data) << r.out.size() << " bytes, want " << data.size();
    }
}

}  // namespace
