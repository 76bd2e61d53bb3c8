// Relocation end to end: real archives run by the real tool over tmpfs mounts
// in a private mount namespace, one of them full, and the relocation link's
// removal on every way the run can end.
//
// The tool reads /proc/self/mounts. So that it sees only this test's mounts
// (and not, say, the machine's roomy root filesystem), each run starts in a
// shell that binds a table file over its own /proc/<pid>/mounts and then execs
// the archive, which keeps the pid. The table holds the kernel's own lines for
// the test's mounts.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "driver_testutil.h"
#include "mountns.h"
#include "testutil.h"

namespace {

using testutil::read_file;
using testutil::write_file;

constexpr const char* MARKER_HEAD = "vokra+";

// Data whose last four bytes, read as the gzip trailer's ISIZE (little-endian),
// state its own length: a raw payload then asks for (len >> 20) + 1 megabytes.
std::string self_sized_data(std::size_t len)
{
    std::string d = testutil::random_bytes(len, 11);
    for (int i = 0; i < 4; ++i) d[len - 4 + i] = static_cast<char>((len >> (8 * i)) & 0xFF);
    return d;
}

class RelocationRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_MOUNTS();
        full_ = mount("full", "size=1m");
        ro_ = mount("ro", "size=16m", MS_RDONLY);
        room_ = mount("room", "size=16m");
        if (HasFatalFailure()) return;
        mountns::fill(full_);
        write_file(tmp_.file("mnttab"), mountns::table_below(tmp_.path()));
        data_ = self_sized_data(3 << 20);  // 4 megabytes asked for; "full" has none
        write_file(tmp_.file("data.bin"), data_);
    }
    void TearDown() override { mounts_.clear(); }

    std::string mount(const std::string& name, const std::string& opts, unsigned long flags = 0)
    {
        mounts_.push_back(std::make_unique<mountns::Tmpfs>(tmp_.file(name), opts, flags));
        EXPECT_EQ(mounts_.back()->error(), "");
        return mounts_.back()->dir();
    }

    // Builds a raw archive of data.bin with the real tool.
    std::string build(const std::vector<std::string>& opts)
    {
        std::vector<std::string> args{"-a", "-V", full_, "-S", "qz"};
        args.insert(args.end(), opts.begin(), opts.end());
        args.push_back("data.bin");
        const std::string arc = tmp_.file("archive");
        testutil::RunResult r = drivertest::build_archive(arc, args, tmp_.path());
        EXPECT_EQ(r.status, 0) << r.err;
        return arc;
    }

    // Runs the archive with the test's mount table; `limits` is shell text run
    // just before the exec (a ulimit, for instance).
    testutil::RunResult run(const std::string& arc, const std::vector<std::string>& args = {},
                            const std::string& limits = "")
    {
        // Descriptors inherited from the test runner are closed first, so the
        // archive starts with 0, 1 and 2 only, as from a login shell.
        const std::string script =
            "for f in /proc/$$/fd/*; do n=${f##*/}; [ \"$n\" -gt 2 ] && eval \"exec $n>&-\"; done; "
            "mount --bind \"$0\" /proc/$$/mounts || exit 99; " +
            limits + " exec \"$@\"";
        std::vector<std::string> argv{"/bin/bash", "-c", script, tmp_.file("mnttab"), arc};
        argv.insert(argv.end(), args.begin(), args.end());
        return testutil::run(argv, "", tmp_.path());
    }

    std::string search_lines() const
    {
        return full_ + "/qz: not enough space. Looking for space in other filesystems.\nTrying " + room_ +
               " ...\n";
    }

    testutil::TempDir tmp_;
    std::vector<std::unique_ptr<mountns::Tmpfs>> mounts_;
    std::string full_, ro_, room_, data_;
};

// The VFYFS directory lies on a full tmpfs: the data lands on the roomy one
// through the link, the install command reads it through the link, and the
// link is gone after the run while the directory with the data stays.
TEST_F(RelocationRun, DataLandsOnTheRoomyFilesystemAndTheLinkIsGoneAfterwards)
{
    const std::string arc = build({"-f", "cat > " + full_ + "/qz/%o", "-r",
                                   "cmp -s " + full_ + "/qz/data.bin " + tmp_.file("data.bin") +
                                       " && echo same > " + tmp_.file("install-saw")});
    testutil::RunResult r = run(arc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find(search_lines()), 0u) << r.err;
    EXPECT_EQ(read_file(room_ + "/qz/data.bin"), data_);
    EXPECT_EQ(read_file(tmp_.file("install-saw")), "same\n");
    EXPECT_FALSE(drivertest::exists(full_ + "/qz"));
    EXPECT_FALSE(drivertest::exists(ro_ + "/qz"));
}

// -t with room: the link goes to the -t directory without a search, and is
// removed at the end.
TEST_F(RelocationRun, TDirectoryReceivesTheDataWithoutASearch)
{
    const std::string arc = build({"-f", "cat > " + full_ + "/qz/%o"});
    testutil::RunResult r = run(arc, {"-t", room_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Trying"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("not enough space"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(room_ + "/qz/data.bin"), data_);
    EXPECT_FALSE(drivertest::exists(full_ + "/qz"));
}

// A failing install command: status 1 with its message, and no link left.
TEST_F(RelocationRun, LinkIsGoneAfterTheInstallCommandFailed)
{
    const std::string arc = build({"-f", "cat > " + full_ + "/qz/%o", "-r", "exit 3"});
    testutil::RunResult r = run(arc);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find(search_lines()), 0u) << r.err;
    EXPECT_NE(r.err.find(": final processing of data.bin failed\n"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(room_ + "/qz/data.bin"), data_);
    EXPECT_FALSE(drivertest::exists(full_ + "/qz"));
}

// A payload that is not a gzip member: the space check has made the link before
// the header is refused, and the link is removed all the same.
TEST_F(RelocationRun, LinkIsGoneAfterAnUnusableGzipHeader)
{
    const std::string raw = build({"-f", "cat > " + full_ + "/qz/%o"});
    drivertest::Layout l = drivertest::parse_archive(read_file(raw));
    ASSERT_TRUE(l.found);
    ASSERT_EQ(l.features.rfind("NOCOMPR,", 0), 0u) << l.features;
    // The same archive without NOCOMPR: the raw bytes now stand where a gzip
    // header should be (random bytes, so no gzip magic).
    ASSERT_FALSE(data_[0] == '\x1f' && data_[1] == '\x8b');
    const std::string features = l.features.substr(8);
    const std::string arc = tmp_.file("not-gzip");
    write_file(arc, l.image + MARKER_HEAD + std::string("magik") + features + '\0' + l.comment + '\0' +
                        l.run_program + '\0' + l.pipe_program + '\0' + l.payload);
    chmod(arc.c_str(), 0755);
    testutil::RunResult r = run(arc);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(search_lines()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(": unknown compression method\n"), std::string::npos) << r.err;
    EXPECT_FALSE(drivertest::exists(full_ + "/qz"));
    EXPECT_FALSE(drivertest::exists(room_ + "/qz/data.bin"));
}

// The extract command cannot be started (descriptors 0 to 4 allowed: the
// archive and the mount table fit, the pipe does not):
// the failure is reported and the link is removed.
TEST_F(RelocationRun, LinkIsGoneAfterTheExtractCommandFailedToStart)
{
    const std::string arc = build({"-f", "cat > " + full_ + "/qz/%o"});
    testutil::RunResult r = run(arc, {}, "ulimit -n 5 || exit 98;");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find(search_lines()), 0u) << r.err;
    EXPECT_NE(r.err.find("cat > " + full_ + "/qz/data.bin: "), std::string::npos) << r.err;
    EXPECT_FALSE(drivertest::exists(full_ + "/qz"));
    EXPECT_FALSE(drivertest::exists(room_ + "/qz/data.bin"));
}

// No room anywhere: the run stops before extracting, with the closing messages
// and exit status 1, and nothing is made.
TEST_F(RelocationRun, NoRoomAnywhereStopsTheRun)
{
    const std::string arc = build({"-f", "cat > " + full_ + "/qz/%o", "-r", "touch " + tmp_.file("ran")});
    write_file(tmp_.file("mnttab"), mountns::table_line("tmpfs", full_, "tmpfs", "rw") +
                                        mountns::table_line("tmpfs", room_, "tmpfs", "ro"));
    testutil::RunResult r = run(arc);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              full_ + "/qz: not enough space. Looking for space in other filesystems.\n" + full_ +
                  "/qz: not enough space to extract the archive.\nPlease make at least 4Mb available in " +
                  full_ +
                  ".\nAlternatively, you can make space available on another filesystem where a\n\"qz\" "
                  "directory can be created. Ensure that the \"qz\" directory\ndoes not exist before "
                  "trying again.\n");
    EXPECT_FALSE(drivertest::exists(tmp_.file("ran")));
    EXPECT_FALSE(drivertest::exists(full_ + "/qz"));
    EXPECT_FALSE(drivertest::exists(room_ + "/qz"));
}

}  // namespace
