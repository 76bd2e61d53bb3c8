// The compressor against the system gzip: our member, after the stored name,
// is byte for byte what `gzip -9 -n` writes after its 10-byte header.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "gzip.h"
#include "testutil.h"

namespace {

using testutil::TempDir;

std::string zip_in_process(const std::string& in_path, const std::string& out_path)
{
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(in, 0);
    EXPECT_GE(out, 0);
    std::strncpy(ifname, in_path.c_str(), NAME_MAX_LEN - 1);
    EXPECT_EQ(zip(in, out), 0);
    close(in);
    close(out);
    return testutil::read_file(out_path);
}

class CompressOracleTest : public ::testing::Test {
protected:
    void SetUp() override { reset_stream_state(); }

    // Compresses data in process and with gzip -9 -n, checks both bodies are
    // equal and that gzip accepts ours.
    void expect_identical(const std::string& data, const std::string& what)
    {
        std::string in = dir_.file("in");
        testutil::write_file(in, data);
        std::string ours = zip_in_process(in, dir_.file("ours.gz"));
        auto ref = testutil::sh("gzip -9 -n -c < '" + in + "'");
        ASSERT_EQ(ref.status, 0);
        const std::size_t name_end = 10 + std::strlen("in") + 1;
        ASSERT_GT(ours.size(), name_end);
        ASSERT_GE(ref.out.size(), 10u);
        bool same = ours.compare(name_end, std::string::npos, ref.out, 10) == 0;
        EXPECT_TRUE(same) << what << ": " << data.size() << " bytes, ours " << ours.size() << ", gzip "
                          << ref.out.size();
        if (!same) {
            testutil::write_file("/tmp/comp/ours.gz", ours);
            testutil::write_file("/tmp/comp/ref.gz", ref.out);
            testutil::write_file("/tmp/comp/in", data);
        }
        auto t = testutil::sh("gzip -t < '" + dir_.file("ours.gz") + "'");
        EXPECT_EQ(t.status, 0) << what << t.err;
    }

    TempDir dir_;
};

TEST_F(CompressOracleTest, Smoke)
{
    expect_identical("", "empty");
    expect_identical("a", "one byte");
    expect_identical("hello hello hello hello\n", "hello");
    expect_identical(testutil::read_file(VOKRA_SOURCE_DIR "/vokra/trees.cpp"), "source");
}

}  // namespace
