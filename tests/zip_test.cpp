// The gzip member writer: header fields, stored name, trailer, and several
// members written one after the other in one process.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "codec_memory.h"
#include "gzip.h"
#include "testutil.h"

namespace {

using testutil::TempDir;

class ZipTest : public ::testing::Test {
protected:
    void SetUp() override { reset_gzip_state(); }

    // Appends one member for the file at `path`, named in ifname as `name`.
    void zip_file(const std::string& path, const std::string& name, int out)
    {
        int in = open(path.c_str(), O_RDONLY);
        ASSERT_GE(in, 0);
        set_ifname(name.c_str());
        EXPECT_FALSE(failed(zip(fd_source(in), fd_sink(out))));
        EXPECT_EQ(stream.outcnt, 0u) << "nothing of the member stays in outbuf";
        close(in);
    }

    std::string zip_one(const std::string& data, const std::string& name)
    {
        testutil::write_file(dir_.file("input"), data);
        int out = open(dir_.file("out.gz").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        zip_file(dir_.file("input"), name, out);
        close(out);
        return testutil::read_file(dir_.file("out.gz"));
    }

    static std::string le32(ulg v)
    {
        std::string s(4, '\0');
        for (int i = 0; i < 4; i++) s[i] = static_cast<char>(v >> (8 * i));
        return s;
    }

    static ulg crc_of(const std::string& s)
    {
        return crc32_update(0, reinterpret_cast<const uch*>(s.data()), s.size());
    }

    TempDir dir_;
};

TEST_F(ZipTest, HeaderAndTrailerOfDataTar)
{
    std::string data = testutil::random_bytes(100, 12);
    std::string gz = zip_one(data, "/tmp/dir/data.tar");
    EXPECT_EQ(gz.substr(0, 19), std::string("\x1f\x8b\x08\x08\x00\x00\x00\x00\x02\x03"
                                            "data.tar\0",
                                            19));
    EXPECT_EQ(gz.substr(gz.size() - 8), le32(crc_of(data)) + std::string("\x64\x00\x00\x00", 4));
    auto back = testutil::sh("gunzip -c < '" + dir_.file("out.gz") + "'");
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(back.out == data);
}

TEST_F(ZipTest, EmptyInputIsTheEmptyBlockAndAZeroTrailer)
{
    std::string gz = zip_one("", "empty");
    EXPECT_EQ(gz, std::string("\x1f\x8b\x08\x08\x00\x00\x00\x00\x02\x03"
                              "empty\0"
                              "\x03\x00"
                              "\x00\x00\x00\x00\x00\x00\x00\x00",
                              10 + 6 + 2 + 8));
    EXPECT_EQ(testutil::sh("gzip -t < '" + dir_.file("out.gz") + "'").status, 0);
}

TEST_F(ZipTest, StoredNameIsTheBaseName)
{
    EXPECT_EQ(zip_one("x", "plain").substr(10, 6), std::string("plain\0", 6)) << "no slash: stored whole";
    EXPECT_EQ(zip_one("x", "a/b/").substr(10, 1), std::string("\0", 1)) << "ending in a slash: empty name";
    EXPECT_EQ(testutil::sh("gzip -t < '" + dir_.file("out.gz") + "'").status, 0);
}

TEST_F(ZipTest, TwoMembersCarryTheirOwnCrcAndLength)
{
    std::string first = testutil::random_bytes(70000, 1) + std::string(5000, 'a');
    std::string second = "second file\n";
    testutil::write_file(dir_.file("one"), first);
    testutil::write_file(dir_.file("two"), second);
    int out = open(dir_.file("both.gz").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    zip_file(dir_.file("one"), "one", out);
    off_t first_end = lseek(out, 0, SEEK_CUR);
    zip_file(dir_.file("two"), "two", out);
    close(out);
    std::string gz = testutil::read_file(dir_.file("both.gz"));
    std::string m1 = gz.substr(0, static_cast<std::size_t>(first_end));
    std::string m2 = gz.substr(static_cast<std::size_t>(first_end));
    EXPECT_EQ(m1.substr(m1.size() - 8), le32(crc_of(first)) + le32(static_cast<ulg>(first.size())));
    EXPECT_EQ(m2.substr(0, 14), std::string("\x1f\x8b\x08\x08\x00\x00\x00\x00\x02\x03two\0", 14));
    EXPECT_EQ(m2.substr(m2.size() - 8), le32(crc_of(second)) + le32(static_cast<ulg>(second.size())));
    auto back = testutil::sh("gunzip -c < '" + dir_.file("both.gz") + "'");
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(back.out == first + second);

    // The second member does not depend on what the first left in the window.
    testutil::write_file(dir_.file("ref"), second);
    auto ref = testutil::sh("gzip -9 -n -c < '" + dir_.file("ref") + "'");
    EXPECT_TRUE(m2.substr(14) == ref.out.substr(10));
}

// A failed read ends the member at the bytes read, whole and consistent, and
// is the result; a failed write is the result too, and the input is not read
// on to its end for nothing.
TEST_F(ZipTest, AFailedReadEndsAWholeMemberAndAFailedWriteStopsTheReading)
{
    const std::string data = testutil::random_bytes(150000, 9) + std::string(150000, 'z');
    struct Row {
        const char* name;
        bool read_fails;
        int writes_before_failure;
        codec_status status;
    };
    const Row rows[] = {
        {"read fails after 100000 bytes", true, -1, codec_status::read_failed},
        {"write fails at the first flush", false, 0, codec_status::write_failed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        reset_gzip_state();
        testutil::StringSource in(row.read_fails ? data.substr(0, 100000) : data);
        in.fail = row.read_fails;
        in.step = 4096;
        testutil::StringSink out;
        out.fail_after = row.writes_before_failure;
        const codec_result r = zip(in.get(), out.get());
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.error, EIO);
        if (row.read_fails) {
            const testutil::Decoded d = testutil::decode_member(out.data);
            EXPECT_EQ(d.body.status, codec_status::ok);
            EXPECT_TRUE(d.out == data.substr(0, 100000));
        } else {
            EXPECT_EQ(out.data, "");
            EXPECT_LT(in.at, data.size()) << "the input after the failure is not read";
        }
    }
}

}  // namespace
