// The library calls: the example program against `gzip -9n` through pipes,
// and the buffer calls' results on short output and damaged members.
#include <gtest/gtest.h>

#include <cerrno>

#include "gzip.h"
#include "gzip_compress.h"
#include "gzip_decompress.h"
#include "testutil.h"

namespace {

const std::string EXAMPLE = VOKRA_GZIP_EXAMPLE;

// About 300 KiB of numbered lines, binary and zero runs, ending in bytes that
// repeat nothing before them (where gzip's end of input differs from ours).
std::string mixed_data()
{
    std::string s;
    for (unsigned i = 0; s.size() < 300000; i++) {
        s += "line " + std::to_string(i * 7919 % 10007) + ": the quick brown fox\n";
        if (i % 97 == 0) s += testutil::random_bytes(i % 500, i) + std::string(i % 3000, '\0');
    }
    return s + testutil::random_bytes(300, 1);
}

class GzipExampleE2E : public ::testing::TestWithParam<std::pair<const char*, std::string>> {};

// The member is gzip -9n's byte for byte, and -d gives the input back.
TEST_P(GzipExampleE2E, CompressesAsGzip9nAndBack)
{
    const std::string& data = GetParam().second;
    auto ours = testutil::run({EXAMPLE}, data);
    ASSERT_EQ(ours.status, 0) << ours.err;
    EXPECT_TRUE(ours.out == testutil::sh("gzip -9n -c", data).out) << ours.out.size() << " bytes differ";
    auto back = testutil::run({EXAMPLE, "-d"}, ours.out);
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(back.out == data) << "round trip";
}

INSTANTIATE_TEST_SUITE_P(Inputs, GzipExampleE2E,
                         ::testing::Values(std::pair{"empty", ""},
                                           std::pair{"small_text", "hello, hello world\n"},
                                           std::pair{"mixed_300k", mixed_data()},
                                           std::pair{"random_100k", testutil::random_bytes(100000, 7)}),
                         [](const auto& p) { return std::string(p.param.first); });

// A damaged member ends -d with status 1 and one message.
TEST(GzipExampleDamageE2E, RefusesWithAMessage)
{
    const std::string member = testutil::run({EXAMPLE}, "some text to damage\n").out;
    ASSERT_GT(member.size(), 18u);
    std::string bad_crc = member;
    bad_crc[member.size() - 8] ^= 1;  // the CRC's low byte
    for (auto [input, err] : {std::pair{bad_crc, "invalid compressed data--crc error"},
                              std::pair{member.substr(0, member.size() - 3), "unexpected end of file"},
                              std::pair{member + "x", "trailing data after the gzip member"}}) {
        auto r = testutil::run({EXAMPLE, "-d"}, input);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.err, "gzip_example: stdin: " + std::string(err) + "\n");
    }
}

// Each row is a result the caller must be able to tell apart.
TEST(GzipLibraryTest, BufferCallsReturnWhatHappened)
{
    const std::string text = "library call, library call, library call\n";
    const std::span<const uch> data(reinterpret_cast<const uch*>(text.data()), text.size());
    std::array<uch, 256> gz{}, out{};
    std::size_t gz_size = 0, out_size = 0;
    ASSERT_FALSE(failed(gzip_compress_buffer(data, gz, gz_size)));
    EXPECT_EQ(gzip.save_orig_name, 1) << "the tool's next member stores its name";
    const std::span<const uch> member(gz.data(), gz_size);
    std::vector<uch> bad_crc(member.begin(), member.end());
    bad_crc[gz_size - 5] ^= 0x80;  // the CRC's high byte
    ASSERT_FALSE(failed(gzip_decompress_buffer(member, out, out_size)));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out_size), text);

    struct Row {
        const char* what;
        codec_result r;
        codec_status status;
        int error;
        const char* reason;
    };
    for (const Row& row : {
             Row{"member larger than the output",
                 gzip_compress_buffer(data, std::span(gz).first(20), out_size), codec_status::write_failed,
                 ENOSPC, nullptr},
             Row{"data larger than the output",
                 gzip_decompress_buffer(member, std::span(out).first(10), out_size),
                 codec_status::write_failed, ENOSPC, nullptr},
             Row{"cut inside the body", gzip_decompress_buffer(member.first(gz_size - 12), out, out_size),
                 codec_status::truncated, 0, nullptr},
             Row{"CRC that does not match", gzip_decompress_buffer(bad_crc, out, out_size),
                 codec_status::bad_data, 0, CRC_ERROR},
         }) {
        EXPECT_EQ(row.r.status, row.status) << row.what;
        EXPECT_EQ(row.r.error, row.error) << row.what;
        if (row.reason != nullptr) {
            EXPECT_STREQ(row.r.reason, row.reason) << row.what;
        }
    }
}

}  // namespace
