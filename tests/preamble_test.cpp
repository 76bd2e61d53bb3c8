// The archive image layout: the marker, locating programs, writing the image
// with its preamble and finding the preamble again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "driver_testutil.h"
#include "testutil.h"
#include "vokra.h"

namespace {

using drivertest::marker;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

// Runs each test from its own directory with its own PATH, and puts both back.
class PreambleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_driver_state();
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        old_cwd_ = buf;
        const char* p = std::getenv("PATH");
        had_path_ = p != nullptr;
        if (had_path_) old_path_ = p;
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(old_cwd_.c_str()), 0);
        if (had_path_) {
            setenv("PATH", old_path_.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }
    std::string make(const std::string& name, const std::string& data, mode_t mode = 0644)
    {
        std::string path = dir_.file(name);
        write_file(path, data);
        chmod(path.c_str(), mode);
        return path;
    }
    // Runs find_preamble and returns the descriptor's position (or -1).
    long find(const std::string& path)
    {
        int fd = find_preamble(path.c_str());
        if (fd == -1) return -1;
        long pos = static_cast<long>(lseek(fd, 0, SEEK_CUR));
        close(fd);
        return pos;
    }

    TempDir dir_;
    std::string old_cwd_, old_path_;
    bool had_path_ = false;
};

TEST(Marker, NeverOccursInTheToolItself)
{
    std::string image = read_file(testutil::vokra_exe());
    ASSERT_GT(image.size(), 10000u);
    EXPECT_EQ(image.find(marker()), std::string::npos);
}

TEST(Marker, GetEopReturnsTheElevenMarkerBytes)
{
    EXPECT_EQ(std::string(get_eop(), MARKER_LEN), marker());
    EXPECT_EQ(get_eop(), get_eop());  // one static array
}

TEST_F(PreambleTest, APlainFileHasNoPreambleAndSaysNothing)
{
    std::string path = make("plain", testutil::random_bytes(20000, 1) + "vokra+magi");
    testing::internal::CaptureStderr();
    EXPECT_EQ(find(path), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(find(testutil::vokra_exe()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The scan reads 8191 bytes at a time; a marker placed at every offset across
// that boundary must give the same result as one far from it.
TEST_F(PreambleTest, AMarkerStraddlingTwoReadsIsFound)
{
    const std::string strings = std::string("F=1\0C\0R\0P\0", 10);
    for (std::size_t start = 8191 - 12; start <= 8191 + 1; start++) {
        for (char before : {'x', 'v'}) {
            std::string image(start, 'x');
            image.back() = before;
            std::string path = make("straddle", image + marker() + strings + "payload");
            EXPECT_EQ(find(path), static_cast<long>(start + 11 + strings.size())) << start << before;
            EXPECT_EQ(driver.preamble_end, static_cast<long>(start + 11 + strings.size()));
            EXPECT_STREQ(driver.features, "F=1");
            EXPECT_STREQ(driver.comment, "C");
            EXPECT_STREQ(driver.run_program, "R");
            EXPECT_STREQ(driver.pipe_program, "P");
        }
    }
}

TEST_F(PreambleTest, APartialMarkerBeforeTheRealOneDoesNotHideIt)
{
    std::string image = "vvokra+magvokra+" + std::string(5000, 'z') + "vokra";
    std::string path = make("partial", image + marker() + std::string("\0\0\0\0", 4));
    EXPECT_EQ(find(path), static_cast<long>(image.size() + 11 + 4));
}

TEST_F(PreambleTest, TheFirstMarkerCountsAndTheFileIsLeftAtThePayload)
{
    std::string path = make("two", "img" + marker() + std::string("A\0B\0C\0D\0", 8) + "rest" + marker());
    int fd = find_preamble(path.c_str());
    ASSERT_NE(fd, -1);
    char buf[5] = {};
    EXPECT_EQ(read(fd, buf, 4), 4);
    EXPECT_STREQ(buf, "rest");
    close(fd);
}

TEST_F(PreambleTest, AnImageEndingInsideThePreambleKeepsWhatWasRead)
{
    set_preamble("", "previous", "", "");
    std::string path = make("cut", "img" + marker() + std::string("F=1\0Comm", 8));
    EXPECT_EQ(find(path), 3 + 11 + 8);
    EXPECT_EQ(driver.preamble_end, 3 + 11 + 8);
    EXPECT_STREQ(driver.features, "F=1");
    EXPECT_STREQ(driver.comment, "Comm");
    EXPECT_STREQ(driver.run_program, "");
    EXPECT_STREQ(driver.pipe_program, "");
}

TEST_F(PreambleTest, APreambleStringOver1023CharactersIsNotAnArchive)
{
    std::string ok(1023, 'c');
    std::string path = make("max", "img" + marker() + "F" + '\0' + ok + '\0' + '\0' + '\0');
    EXPECT_NE(find(path), -1);
    EXPECT_EQ(std::string(driver.comment), ok);

    std::string path2 = make("over", "img" + marker() + "F" + '\0' + ok + "c" + '\0' + '\0' + '\0');
    testing::internal::CaptureStderr();
    EXPECT_EQ(find(path2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              path2 + ": not a valid archive: preamble string longer than 1023 characters\n");
    EXPECT_STREQ(driver.features, "");  // nothing of the refused preamble stays
    EXPECT_STREQ(driver.comment, "");
}

TEST_F(PreambleTest, AMissingFileIsReportedWithItsPath)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(find("./missing"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "./missing: unable to find vokra to build preamble\n");
}

// A bare name is looked up on PATH's elements in order, on absolute ones
// only: never in the current directory, whether directly or through an
// empty, "." or other relative element, however PATH is written. A file that
// is not executable, or an element too long to hold element/name, is passed
// over, not cut.
TEST_F(PreambleTest, FindProgramLooksUpABareNameOnAbsolutePathElementsOnly)
{
    make("tool", "#!/bin/sh\n", 0755);  // in the current directory
    for (const char* sub : {"sub", "bin", "a"}) ASSERT_EQ(mkdir(dir_.file(sub).c_str(), 0755), 0);
    make("sub/tool", "#!/bin/sh\n", 0755);
    make("bin/tool", "#!/bin/sh\n", 0755);
    make("a/tool", "not executable", 0644);
    const std::string bin = dir_.file("bin");
    struct Row {
        const char* what;
        std::optional<std::string> path;  // none: PATH unset
        const char* found;                // relative to the test directory; null: nothing found
    };
    for (const Row& row : {
             Row{"PATH without the current directory", "/nonexistent", nullptr},
             Row{"PATH unset", std::nullopt, nullptr},
             Row{"an empty element in front", ":" + bin, "bin/tool"},
             Row{"an empty element alone", "", nullptr},
             Row{"an empty element between", "/nonexistent::/nonexistent2", nullptr},
             Row{"an empty element at the end", "/nonexistent:", nullptr},
             Row{"a dot", ".", nullptr},
             Row{"a dot in front of an absolute element", ".:" + bin, "bin/tool"},
             Row{"./ and relative elements",
                 "./:sub:./sub:../" + dir_.path().substr(dir_.path().rfind('/') + 1), nullptr},
             Row{"an absolute element naming the current directory", dir_.path() + ":" + bin, "tool"},
             Row{"a file that is not executable is passed over", dir_.file("a") + ":" + bin, "bin/tool"},
             Row{"only a file that is not executable", dir_.file("a"), nullptr},
             Row{"an element too long for element/name is skipped", "/" + std::string(1100, 'q') + ":" + bin,
                 "bin/tool"},
         }) {
        SCOPED_TRACE(row.what);
        if (row.path) {
            setenv("PATH", row.path->c_str(), 1);
        } else {
            unsetenv("PATH");
        }
        const char* got = find_program("tool");
        if (row.found == nullptr) {
            EXPECT_EQ(got, nullptr) << got;
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(std::string(got), dir_.file(row.found));
        }
    }
}

TEST_F(PreambleTest, FindPreambleReportsANameNotFound)
{
    unsetenv("PATH");
    testing::internal::CaptureStderr();
    EXPECT_EQ(find_preamble("nowhere"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "nowhere: unable to find vokra to build preamble\n");
}

TEST_F(PreambleTest, BuildPreambleWritesImageMarkerAndFourStrings)
{
    std::string image = testutil::random_bytes(30000, 9);
    std::string exe = make("image", image, 0755);
    ASSERT_EQ(set_preamble("NOCOMPR,NAME=x", "hello", "", "cat"), 0);
    std::string out = dir_.file("out");
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(build_preamble(exe.c_str(), fd), 0);
    close(fd);
    EXPECT_EQ(read_file(out), image + marker() + std::string("NOCOMPR,NAME=x\0hello\0\0cat\0", 26));
    // Reading it back ends exactly after the four strings.
    EXPECT_EQ(find(out), static_cast<long>(image.size() + 11 + 15 + 6 + 1 + 4));
}

TEST_F(PreambleTest, BuildPreambleReportsAProgramNotFound)
{
    unsetenv("PATH");
    testing::internal::CaptureStderr();
    EXPECT_EQ(build_preamble("nowhere", 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "nowhere: unable to find vokra to build preamble\n");
}

}  // namespace
