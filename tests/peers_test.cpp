// Members written by other gzip writers decode exactly: stored, fixed and
// dynamic blocks laid out in ways our own writer never produces.
#include <gtest/gtest.h>

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
