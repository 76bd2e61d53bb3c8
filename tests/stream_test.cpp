// The stream layer: CRC-32, buffered input and output, the first failure,
// names, the reset; and the messages and ratio the run prints from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "codec_memory.h"
#include "gzip.h"
#include "testutil.h"
#include "vokra.h"

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
    start_input(fd_source(fds[0]));
    int first = fill_inbuf();
    std::string data = testutil::random_bytes(40000, 3);
    EXPECT_EQ(first, static_cast<uch>(data[0]));
    EXPECT_EQ(stream.insize, INBUFSIZ);
    EXPECT_EQ(stream.inptr, 1u);
    EXPECT_EQ(stream.bytes_in, static_cast<zoff_t>(INBUFSIZ));
    fill_inbuf();
    EXPECT_EQ(stream.insize, 40000u - INBUFSIZ);
    EXPECT_EQ(0, std::memcmp(stream.inbuf, data.data() + INBUFSIZ, stream.insize));
    close(fds[0]);
}

// The first failure is recorded and kept; from then on refills hand out
// zeros without reading and writes are dropped, until a new input or output.
TEST_F(StreamTest, TheFirstFailureHoldsRefillsGiveZerosAndWritesAreDropped)
{
    struct Row {
        const char* name;
        bool read_fails;
        codec_status status;
        int error;
    };
    const Row rows[] = {{"end of input", false, codec_status::truncated, 0},
                        {"failed read", true, codec_status::read_failed, EIO}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        reset_stream_state();
        testutil::StringSource in("xy");
        in.fail = row.read_fails;
        testutil::StringSink out;
        start_input(in.get());
        start_output(out.get());
        EXPECT_EQ(in_byte(), 'x');
        EXPECT_EQ(in_byte(), 'y');
        EXPECT_EQ(in_byte(), 0);
        EXPECT_EQ(stream.failure.status, row.status);
        EXPECT_EQ(stream.failure.error, row.error);
        in.data = "more";  // a source that would now hand out more is not read again
        EXPECT_EQ(in_byte(), 0);
        write_buf("z", 1);
        note_failure(codec_status::write_failed, EBADF);
        EXPECT_EQ(stream.failure.status, row.status) << "a later failure follows from the first";
        EXPECT_EQ(out.data, "");
        start_input(in.get());
        EXPECT_FALSE(stream_failed());
    }
    // A failed write is recorded with its errno; nothing after it is written.
    start_output(fd_sink(open("/dev/null", O_RDONLY)));
    out_byte('a');
    flush_outbuf();
    EXPECT_EQ(stream.failure.status, codec_status::write_failed);
    EXPECT_EQ(stream.failure.error, EBADF);
    close(stream.out.fd);
}

TEST_F(StreamTest, OutShortFlushesBetweenItsTwoBytesAtTheBufferEnd)
{
    testutil::TempDir dir;
    std::string path = dir.file("out");
    start_output(fd_sink(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)));
    for (unsigned i = 0; i < OUTBUFSIZ - 1; i++) out_byte(i & 0xff);
    out_short(0xBBAA);
    EXPECT_EQ(stream.outcnt, 1u);
    EXPECT_EQ(stream.outbuf[0], 0xBB);
    EXPECT_EQ(stream.bytes_out, static_cast<zoff_t>(OUTBUFSIZ));
    close(stream.out.fd);
    std::string written = testutil::read_file(path);
    ASSERT_EQ(written.size(), OUTBUFSIZ);
    EXPECT_EQ(static_cast<uch>(written.back()), 0xAA);
}

TEST_F(StreamTest, EmptyFlushesWriteNothingAndKeepTheCrc)
{
    start_output(fd_sink(-1));  // any write would fail
    updcrc(reinterpret_cast<const uch*>("abc"), 3);
    flush_window(stream.outbuf);
    flush_outbuf();
    EXPECT_EQ(stream.bytes_out, 0);
    EXPECT_FALSE(stream_failed());
    EXPECT_EQ(updcrc(stream.inbuf, 0), 0x352441C2u);
}

// Each result's message, as the run prints it: a data error and the end of
// input name the input, a failed read the input, a failed write the output.
TEST_F(StreamTest, EachResultHasItsMessage)
{
    struct Row {
        codec_result r;
        const char* message;
    };
    const Row rows[] = {
        {{codec_status::bad_data, 0, 1, FORMAT_VIOLATED, " incomplete literal tree\n"},
         " incomplete literal tree\n\nprog: in.gz: invalid compressed data--format violated\n"},
        {{codec_status::bad_data, 0, 0, CRC_ERROR, nullptr},
         "\nprog: in.gz: invalid compressed data--crc error\n"},
        {{codec_status::truncated, 0, 0, nullptr, nullptr}, "\nprog: in.gz: unexpected end of file\n"},
        {{codec_status::read_failed, EIO, 0, nullptr, nullptr}, "\nprog: in.gz: Input/output error\n"},
        {{codec_status::write_failed, EBADF, 0, nullptr, nullptr}, "\nprog: out: Bad file descriptor\n"},
        {{codec_status::ok, 0, 0, nullptr, nullptr}, ""},
    };
    set_progname("prog");
    set_ifname("in.gz");
    set_ofname("out");
    for (const Row& row : rows) {
        testing::internal::CaptureStderr();
        report_codec_failure(row.r);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.message);
    }
}

TEST_F(StreamTest, NamesAreCutToTheirBufferAndMayComeFromIt)
{
    set_ofname("dir/data.tar");
    set_ofname(gz_basename(stream.ofname));
    EXPECT_STREQ(stream.ofname, "data.tar");
    set_ifname(std::string(NAME_MAX_LEN, 'n').c_str());
    EXPECT_EQ(std::string(stream.ifname), std::string(NAME_MAX_LEN - 1, 'n'));
}

// Zero is every member's start, the program name aside.
TEST_F(StreamTest, ResetReturnsEverySectionToZero)
{
    crc32_force_portable(true);
    updcrc(reinterpret_cast<const uch*>("abc"), 3);
    start_output(fd_sink(5));
    note_failure(codec_status::write_failed, EIO);
    reset_stream_state();
    EXPECT_STREQ(stream.progname, "vokra");
    set_progname(nullptr);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&stream);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof stream, [](unsigned char b) { return b == 0; }));
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
