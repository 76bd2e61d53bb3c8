// Reproducible archives: the same files built with the same options give the
// same bytes, whatever the files' times, their directory or the current directory.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <utime.h>
#include <vector>

#include "testutil.h"

namespace {

using testutil::RunResult;

// Two copies of the same input under different directories, with different
// modification times, so that only their contents and base name agree.
struct TwoCopies {
    testutil::TempDir first_dir, second_dir;
    std::string first, second;

    explicit TwoCopies(const std::string& data)
    {
        EXPECT_EQ(testutil::sh("mkdir -p a/deep", "", first_dir.path()).status, 0);
        first = "a/deep/data.tar";  // relative to first_dir
        second = second_dir.file("data.tar");
        testutil::write_file(first_dir.file(first), data);
        testutil::write_file(second, data);
        set_mtime(first_dir.file(first), 1000000000);
        set_mtime(second, 1700000000);
    }

    static void set_mtime(const std::string& path, time_t t)
    {
        utimbuf times{t, t};
        ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
    }
};

std::string sample_input()
{
    std::string text;
    for (int i = 0; i < 2000; i++) text += "line " + std::to_string(i * 7919 % 1000) + " of the sample\n";
    return text + testutil::random_bytes(40000, 3) + text;
}

RunResult build(const std::vector<std::string>& options, const std::string& operand, const std::string& cwd)
{
    std::vector<std::string> argv{testutil::vokra_exe()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(operand);
    return testutil::run(argv, "", cwd);
}

const std::vector<std::string> kEveryBuildOption = {
    "-C", "Acme Tools 2.0", "-r", "sh %p/install.sh", "-f", "cat > %p/%o", "-V", "/tmp", "-S", "acme-setup",
    "-O", "Acme",           "-F", "VERSION=2.0"};

// Offset of the first payload byte: after the marker and the four NUL-terminated strings.
std::size_t payload_offset(const std::string& archive)
{
    const std::string marker = std::string("vokra") + "+magik";
    std::size_t pos = archive.find(marker);
    if (pos == std::string::npos) return std::string::npos;
    pos += marker.size();
    for (int i = 0; i < 4 && pos != std::string::npos; i++) {
        pos = archive.find('\0', pos);
        if (pos != std::string::npos) pos++;
    }
    return pos;
}

TEST(Reproducible, RawArchivesOfTheSameFileAreByteIdentical)
{
    std::string data = sample_input();
    TwoCopies copies(data);
    std::vector<std::string> options = kEveryBuildOption;
    options.insert(options.begin(), "-a");

    RunResult one = build(options, copies.first, copies.first_dir.path());
    RunResult two = build(options, copies.second, copies.second_dir.path());
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    ASSERT_GT(one.out.size(), data.size());
    EXPECT_TRUE(one.out == two.out) << "archives differ (" << one.out.size() << " and " << two.out.size()
                                    << " bytes)";
    // The raw payload is the file itself, and nothing follows it.
    std::size_t start = payload_offset(one.out);
    ASSERT_NE(start, std::string::npos);
    EXPECT_TRUE(one.out.compare(start, std::string::npos, data) == 0);
}

TEST(Reproducible, CompressedArchivesOfTheSameFileAreByteIdenticalAndCarryNoTimeStamp)
{
    std::string data = sample_input();
    TwoCopies copies(data);

    RunResult one = build(kEveryBuildOption, copies.first, copies.first_dir.path());
    RunResult two = build(kEveryBuildOption, copies.second, copies.second_dir.path());
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_TRUE(one.out == two.out) << "archives differ (" << one.out.size() << " and " << two.out.size()
                                    << " bytes)";

    // The gzip header: magic, deflate, FNAME only, MTIME zero (no time stamp),
    // XFL 2, OS 3 (Unix), then the base name without its directory.
    std::size_t start = payload_offset(one.out);
    ASSERT_NE(start, std::string::npos);
    const std::string header(
        "\x1f\x8b\x08\x08\0\0\0\0\x02\x03"
        "data.tar\0",
        19);
    EXPECT_TRUE(one.out.compare(start, header.size(), header) == 0)
        << "payload does not start with the expected gzip header";
}

}  // namespace
