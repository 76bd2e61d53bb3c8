// Damaged archives: cut short inside every region, or with bits flipped in the
// payload, an archive never reports success with wrong data, never dies of a
// signal, and hands the extract command nothing it has not verified.
//
// Each case runs do_decompress in a forked child (the pause set to 0) inside
// a directory of its own; the archive's extract command is "cat > %p/out" and
// its install command "touch %p/installed", so the directory shows exactly
// what reached the extract command and whether the install command ran.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "driver_testutil.h"
#include "testutil.h"
#include "vokra.h"

namespace {

using drivertest::exists;
using drivertest::parse_archive;
using testutil::read_file;
using testutil::TempDir;
using testutil::write_file;

struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    std::string err;
    bool extracted = false;  // the extract command ran (out exists)
    std::string out;
    bool installed = false;
};

class Damage : public ::testing::Test {
protected:
    static constexpr std::size_t DATA_SIZE = 100000;  // three whole windows and a part

    static void SetUpTestSuite()
    {
        // Text-like data: dynamic blocks, matches at all distances.
        data_ = new std::string;
        for (unsigned i = 0; data_->size() < DATA_SIZE; i++) {
            *data_ +=
                "line " + std::to_string(i * 7919 % 1000) + " of the payload " + std::to_string(i) + "\n";
        }
        data_->resize(DATA_SIZE);
        dir_ = new TempDir;
        write_file(dir_->file("data.tar"), *data_);
        for (bool raw : {false, true}) {
            std::vector<std::string> args{"-C",  "A comment",    "-F",
                                          "K=v", "-r",           "touch %p/installed",
                                          "-f",  "cat > %p/out", dir_->file("data.tar")};
            if (raw) args.insert(args.begin(), "-a");
            auto r = drivertest::build_archive(dir_->file(raw ? "raw.run" : "gz.run"), args);
            // No fatal assertion here: it would mark the suite skipped, not failed.
            if (r.status != 0) build_error_ += r.err.empty() ? "build failed\n" : r.err;
            (raw ? raw_ : gz_) = new std::string(r.out);
        }
    }
    static void TearDownTestSuite()
    {
        delete data_;
        delete gz_;
        delete raw_;
        delete dir_;
    }

    // Writes `archive` to a fresh case directory and extracts it there in a child.
    Outcome extract(const std::string& archive)
    {
        std::string cdir = dir.file("case" + std::to_string(cases_++));
        EXPECT_EQ(mkdir(cdir.c_str(), 0755), 0);
        std::string path = cdir + "/app.run";
        write_file(path, archive);
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int err = open((cdir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int null_fd = open("/dev/null", O_RDWR);
            if (err < 0 || null_fd < 0 || chdir(cdir.c_str()) != 0) _exit(126);
            dup2(null_fd, 0);
            dup2(null_fd, 1);
            dup2(err, 2);
            reset_driver_state();
            set_extract_pause(0);
            _exit(do_decompress(path.c_str()) == 0 ? 0 : 1);
        }
        int st = 0;
        EXPECT_EQ(waitpid(pid, &st, 0), pid);
        Outcome o;
        o.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        o.err = read_file(cdir + "/err");
        o.extracted = exists(cdir + "/out");
        if (o.extracted) o.out = read_file(cdir + "/out");
        o.installed = exists(cdir + "/installed");
        return o;
    }

    void SetUp() override { ASSERT_EQ(build_error_, ""); }

    static std::string* data_;
    static std::string* gz_;
    static std::string* raw_;
    static TempDir* dir_;
    static std::string build_error_;
    TempDir dir;
    int cases_ = 0;
};

std::string* Damage::data_;
std::string* Damage::gz_;
std::string* Damage::raw_;
TempDir* Damage::dir_;
std::string Damage::build_error_;

// Offsets inside each region of an archive image, named for the messages.
struct Cut {
    std::string region;
    std::size_t at;  // the file keeps bytes [0, at)
};

std::vector<Cut> cuts_through(const std::string& archive, bool raw)
{
    auto l = parse_archive(archive);
    std::size_t n = l.image.size();
    std::size_t f = n + 11, c = f + l.features.size() + 1, r = c + l.comment.size() + 1;
    std::size_t p = r + l.run_program.size() + 1, e = l.preamble_end, s = archive.size();
    std::vector<Cut> cuts = {
        {"image", n / 2},           {"marker", n + 5},
        {"features", f + 4},        {"features NUL", c - 1},
        {"comment", c + 4},         {"install command", r + 9},
        {"extract command", p + 8}, {"extract command NUL", e - 1},
        {"end of preamble", e},
    };
    if (raw) {
        for (std::size_t at : {e + 1, e + 32768, s - 1}) cuts.push_back({"raw payload", at});
    } else {
        cuts.insert(cuts.end(), {{"gzip magic", e + 1},
                                 {"gzip MTIME", e + 6},
                                 {"gzip name", e + 14},
                                 {"body start", e + 30},
                                 {"body middle", (e + s) / 2},
                                 {"body end", s - 9},
                                 {"trailer CRC", s - 6},
                                 {"trailer ISIZE", s - 2}});
    }
    return cuts;
}

// Cut short anywhere, a compressed archive fails with status 1 and a message
// before the extract command starts: a cut in the image or marker leaves no
// archive, a cut in the preamble leaves no payload, and the payload is decoded
// and checked whole before anything reaches the extract command. A cut in a
// preamble string is not detectable by itself (strings end at the end of the
// file as far as read), but then nothing follows it, so no command runs.
TEST_F(Damage, ACompressedArchiveCutShortAnywhereFailsBeforeExtracting)
{
    for (const Cut& cut : cuts_through(*gz_, false)) {
        Outcome o = extract(gz_->substr(0, cut.at));
        std::string expected = cut.region == "image" || cut.region == "marker"
                                   ? "unable to find preamble magic value"
                                   : "unexpected end of file";
        EXPECT_EQ(o.status, 1) << cut.region;
        EXPECT_NE(o.err.find(expected), std::string::npos) << cut.region << ": " << o.err;
        EXPECT_FALSE(o.extracted) << cut.region;
        EXPECT_FALSE(o.installed) << cut.region;
    }
    // The same through the real executable: the failure comes before the pause.
    std::string app = dir.file("cut.run");
    write_file(app, gz_->substr(0, gz_->size() - 1000));
    chmod(app.c_str(), 0755);
    auto r = testutil::run({app}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n" + app + ": " + app + ": unexpected end of file\n");
    EXPECT_FALSE(exists(dir.file("out")));
}

// A raw payload carries no length and no checksum: a cut inside it is not
// detectable, and the extract command receives the prefix that is left (and
// the install command runs). Cuts before the payload leave no data, which is
// refused before the extract command starts, so a command cut short inside
// the preamble never runs.
TEST_F(Damage, ARawArchiveCutShortFailsUnlessThePayloadHasBegun)
{
    for (const Cut& cut : cuts_through(*raw_, true)) {
        Outcome o = extract(raw_->substr(0, cut.at));
        if (cut.region == "raw payload") {
            std::size_t kept = cut.at - parse_archive(*raw_).preamble_end;
            EXPECT_EQ(o.status, 0) << cut.at;
            EXPECT_EQ(o.out, data_->substr(0, kept));
            EXPECT_TRUE(o.installed);
            continue;
        }
        // Cut before NOCOMPR is whole, the archive reads as a compressed one.
        std::string expected = cut.region == "image" || cut.region == "marker"
                                   ? "unable to find preamble magic value"
                               : cut.region == "features" ? "unexpected end of file"
                                                          : "the archive holds no data";
        EXPECT_EQ(o.status, 1) << cut.region;
        EXPECT_NE(o.err.find(expected), std::string::npos) << cut.region << ": " << o.err;
        EXPECT_FALSE(o.extracted) << cut.region;
        EXPECT_FALSE(o.installed) << cut.region;
    }
}

// One flipped bit anywhere in the gzip member either fails the run (status 1,
// a message, the extract command never started) or leaves the data exact:
// the header's MTIME, XFL, OS, the text flag, the reserved flag bits and the
// stored name are covered by no checksum and steer nothing here, and a flip
// in the padding bits after the last block changes no code. Never status 0
// with different data. The magic, method and trailer bytes must always fail.
TEST_F(Damage, AFlippedBitInThePayloadNeverPassesAsGoodData)
{
    std::size_t e = parse_archive(*gz_).preamble_end, s = gz_->size();
    std::vector<std::size_t> positions;
    for (std::size_t i = e; i < e + 24; i++) positions.push_back(i);  // header with the name "data.tar"
    for (std::size_t k = 0; k < 40; k++) positions.push_back(e + 24 + (s - 8 - e - 24) * k / 40);  // body
    for (std::size_t i = s - 9; i < s; i++) positions.push_back(i);  // last body byte and trailer
    int failed = 0, harmless = 0;
    for (std::size_t pos : positions) {
        std::string damaged = *gz_;
        damaged[pos] = static_cast<char>(damaged[pos] ^ (1 << (pos % 8)));
        Outcome o = extract(damaged);
        std::size_t off = pos - e;
        bool must_fail = off < 3 || pos >= s - 8;  // ID1, ID2, CM; CRC-32, ISIZE
        if (o.status == 0) {
            harmless++;
            EXPECT_FALSE(must_fail) << "offset " << off;
            EXPECT_EQ(o.out, *data_) << "offset " << off;
            EXPECT_TRUE(o.installed) << "offset " << off;
        } else {
            failed++;
            EXPECT_EQ(o.status, 1) << "offset " << off;
            EXPECT_NE(o.err, "") << "offset " << off;
            EXPECT_FALSE(o.extracted) << "offset " << off;
            EXPECT_FALSE(o.installed) << "offset " << off;
        }
    }
    // Most flips must be caught; the harmless ones are header fields.
    EXPECT_GT(failed, 40);
    RecordProperty("harmless_flips", harmless);
}

}  // namespace
