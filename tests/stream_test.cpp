// The stream layer: CRC-32, buffered input and output, fatal exits, names,
// the reset, ratio printing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "gzip.h"
#include "progress.h"
#include "testutil.h"

namespace {

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { reset_stream_state(); }
};

TEST_F(StreamTest, CrcResetsReadsAndAccumulates)
{
    EXPECT_EQ(updcrc(nullptr, 0), 0u);
    EXPECT_EQ(updcrc(reinterpret_cast<const uch*>("abc"), 3), 0x352441C2u);
    EXPECT_EQ(updcrc(reinterpret_cast<const uch*>("x"), 0), 0x352441C2u);
    EXPECT_EQ(crc32_update(0, reinterpret_cast<const uch*>("123456789"), 9), 0xCBF43926u);
}

TEST_F(StreamTest, CrcSplitsAnywhereWithTheSameResult)
{
    std::string data = testutil::random_bytes(1000, 7);
    const uch* p = reinterpret_cast<const uch*>(data.data());
    ulg whole = crc32_update(0, p, data.size());
    for (unsigned cut : {0u, 1u, 7u, 8u, 9u, 500u, 999u, 1000u}) {
        updcrc(nullptr, 0);
        updcrc(p, cut);
        EXPECT_EQ(updcrc(p + cut, static_cast<unsigned>(data.size() - cut)), whole) << cut;
    }
}

TEST_F(StreamTest, RefillGathersShortReadsFromAPipe)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        std::string data = testutil::random_bytes(40000, 3);
        for (size_t off = 0; off < data.size(); off += 10) {
            if (write(fds[1], data.data() + off, 10) != 10) _exit(1);
        }
        _exit(0);
    }
    close(fds[1]);
    start_input(fds[0]);
    int first = fill_inbuf(0);
    std::string data = testutil::random_bytes(40000, 3);
    EXPECT_EQ(first, static_cast<uch>(data[0]));
    EXPECT_EQ(stream.insize, INBUFSIZ);
    EXPECT_EQ(stream.inptr, 1u);
    EXPECT_EQ(stream.bytes_in, static_cast<zoff_t>(INBUFSIZ));
    fill_inbuf(0);
    EXPECT_EQ(stream.insize, 40000u - INBUFSIZ);
    EXPECT_EQ(0, std::memcmp(stream.inbuf, data.data() + INBUFSIZ, stream.insize));
    close(fds[0]);
}

TEST_F(StreamTest, EndOfInputIsFatalWithTheInputName)
{
    EXPECT_EXIT(
        {
            set_progname("prog");
            set_ifname("in.gz");
            start_input(open("/dev/null", O_RDONLY));
            fill_inbuf(0);
        },
        ::testing::ExitedWithCode(1), "^\nprog: in.gz: unexpected end of file\n$");
}

TEST_F(StreamTest, OutShortFlushesBetweenItsTwoBytesAtTheBufferEnd)
{
    testutil::TempDir dir;
    std::string path = dir.file("out");
    start_output(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    for (unsigned i = 0; i < OUTBUFSIZ - 1; i++) out_byte(i & 0xff);
    out_short(0xBBAA);
    EXPECT_EQ(stream.outcnt, 1u);
    EXPECT_EQ(stream.outbuf[0], 0xBB);
    EXPECT_EQ(stream.bytes_out, static_cast<zoff_t>(OUTBUFSIZ));
    close(stream.ofd);
    std::string written = testutil::read_file(path);
    ASSERT_EQ(written.size(), OUTBUFSIZ);
    EXPECT_EQ(static_cast<uch>(written.back()), 0xAA);
}

TEST_F(StreamTest, EmptyFlushesWriteNothingAndKeepTheCrc)
{
    start_output(-1);  // any write would fail and exit
    updcrc(reinterpret_cast<const uch*>("abc"), 3);
    flush_window(stream.outbuf);
    flush_outbuf();
    EXPECT_EQ(stream.bytes_out, 0);
    EXPECT_EQ(updcrc(stream.inbuf, 0), 0x352441C2u);
}

TEST_F(StreamTest, FailedWriteIsFatalWithTheOutputName)
{
    EXPECT_EXIT(
        {
            set_progname("prog");
            set_ofname("out");
            start_output(open("/dev/null", O_RDONLY));
            out_byte(0);
            flush_outbuf();
        },
        ::testing::ExitedWithCode(1), "^\nprog: out: Bad file descriptor\n$");
}

TEST_F(StreamTest, AbortRunsTheCleanupHookOnce)
{
    testutil::TempDir dir;
    std::string marker = dir.file("cleaned");
    static std::string hook_path;
    hook_path = marker;
    EXPECT_EXIT(
        {
            set_fatal_cleanup([] { testutil::write_file(hook_path, "x"); });
            error("boom");
        },
        ::testing::ExitedWithCode(1), "boom");
    EXPECT_EQ(testutil::read_file(marker), "x");
}

// After its message a fatal exit comes back to the innermost survive_fatal,
// and the one around it catches the next.
TEST_F(StreamTest, SurviveFatalComesBackToTheInnermostThenTheOuter)
{
    set_progname("prog");
    set_ifname("in");
    bool inner = true, after_inner = false;
    testing::internal::CaptureStderr();
    bool outer = survive_fatal([&] {
        inner = survive_fatal([] { error("first"); });
        after_inner = true;
        error("second");
    });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nprog: in: first\n\nprog: in: second\n");
    EXPECT_FALSE(inner);
    EXPECT_TRUE(after_inner);
    EXPECT_FALSE(outer);
    EXPECT_TRUE(survive_fatal([] {}));
}

TEST_F(StreamTest, NamesAreCutToTheirBufferAndMayComeFromIt)
{
    set_ofname("dir/data.tar");
    set_ofname(gz_basename(stream.ofname));
    EXPECT_STREQ(stream.ofname, "data.tar");
    set_ifname(std::string(NAME_MAX_LEN, 'n').c_str());
    EXPECT_EQ(std::string(stream.ifname), std::string(NAME_MAX_LEN - 1, 'n'));
}

// Zero is every member's start, the program name aside; the first count from
// there finds no line showing: it draws nothing and switches the check off.
TEST_F(StreamTest, ResetReturnsEverySectionToZero)
{
    crc32_force_portable(true);
    updcrc(reinterpret_cast<const uch*>("abc"), 3);
    start_output(5);
    set_fatal_cleanup([] {});
    set_exit_code(1);
    reset_stream_state();
    EXPECT_STREQ(stream.progname, "vokra");
    set_progname(nullptr);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&stream);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof stream, [](unsigned char b) { return b == 0; }));
    testing::internal::CaptureStderr();
    progress_count(1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(stream.progress_next, PROGRESS_OFF);
}

std::string ratio(zoff_t num, zoff_t den)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    display_ratio(num, den, f);
    std::fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

TEST_F(StreamTest, DisplayRatioFormats)
{
    EXPECT_EQ(ratio(0, 0), "  0.0%");
    EXPECT_EQ(ratio(1, 3), " 33.3%");
    EXPECT_EQ(ratio(-1, 3), "-33.3%");
    EXPECT_EQ(ratio(-12, 1000), "- 1.2%");
    EXPECT_EQ(ratio(1500000, 3000000), " 50.0%");
    EXPECT_EQ(ratio(550, 1000), " 55.0%");
}

TEST_F(StreamTest, BasenameOfPaths)
{
    char a[] = "/x/y", b[] = "dir/", c[] = "plain";
    EXPECT_STREQ(gz_basename(a), "y");
    EXPECT_STREQ(gz_basename(b), "");
    EXPECT_EQ(gz_basename(c), c);
}

}  // namespace
