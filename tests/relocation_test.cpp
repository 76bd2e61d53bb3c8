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

    // Builds a raw archive of data.bin with the real tool (VFYFS the full
    // filesystem unless `vfy` is given).
    std::string build(const std::vector<std::string>& opts, const std::string& vfy = "",
                      const std::string& sub = "qz")
    {
        std::vector<std::string> args{"-a", "-V", vfy.empty() ? full_ : vfy, "-S", sub};
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

    // The archive of `opts` without NOCOMPR: the raw bytes now stand where a
    // gzip header should be (random bytes, so no gzip magic).
    std::string not_gzip(const std::vector<std::string>& opts)
    {
        drivertest::Layout l = drivertest::parse_archive(read_file(build(opts)));
        EXPECT_EQ(l.features.rfind("NOCOMPR,", 0), 0u) << l.features;
        EXPECT_FALSE(data_[0] == '\x1f' && data_[1] == '\x8b');
        const std::string arc = tmp_.file("not-gzip");
        write_file(arc, l.image + MARKER_HEAD + std::string("magik") + l.features.substr(8) + '\0' +
                            l.comment + '\0' + l.run_program + '\0' + l.pipe_program + '\0' + l.payload);
        chmod(arc.c_str(), 0755);
        return arc;
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

// The extract command cannot be started (/bin/sh, which popen runs it with, is
// a device for this run): the failure is reported and the link is removed.
TEST_F(RelocationRun, LinkIsGoneAfterTheExtractCommandFailedToStart)
{
    const std::string arc = build({"-f", "cat > " + full_ + "/qz/%o"});
    testutil::RunResult r = run(arc, {}, "mount --bind /dev/null /bin/sh || exit 98;");
    EXPECT_EQ(umount2("/bin/sh", 0), 0);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.find(search_lines()), 0u) << r.err;
    EXPECT_NE(r.err.find("cat > " + full_ + "/qz/data.bin: "), std::string::npos) << r.err;
    EXPECT_FALSE(drivertest::exists(full_ + "/qz"));
    EXPECT_FALSE(drivertest::exists(room_ + "/qz/data.bin"));
}

// A link the install command put in place of the relocation link is not the
// run's: it stays.
TEST_F(RelocationRun, LinkReplacedByTheInstallCommandStays)
{
    const std::string place = full_ + "/qz";
    const std::string arc =
        build({"-f", "cat > " + place + "/%o", "-r", "rm " + place + "; ln -s / " + place});
    testutil::RunResult r = run(arc);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(drivertest::exists(place + "/etc"), true);
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

// Relocation attacks by another user (uid 65534) in the world-writable mount
// points, and the cases next to them that must still work: what each run
// says, where the data lands and what must not exist afterwards. The extract
// command makes its directory, so data that fits in place lands anyway.
TEST_F(RelocationRun, AttacksByAnotherUserAreRefused)
{
    const std::string as_other = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const std::string cand = room_ + "/vendor", theirs = room_ + "/theirs", place = full_ + "/qz";
    ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);          // the other user reaches the mounts
    ASSERT_EQ(mkdir((full_ + "/vendor").c_str(), 0755), 0);  // where a vendor/qz link would go
    struct Row {
        const char* what;
        std::string plant;     // shell commands run before the archive
        std::string vfy, sub;  // the archive's; the full filesystem when vfy is empty
        bool unknown_method;
        std::string t_dir;  // for -t
        int status;
        std::string err_has, lands, absent;  // lands: the data's directory, if it is extracted
    };
    const std::vector<Row> rows{
        {"another user's directory on the way", as_other + "mkdir " + cand, "", "vendor/qz", false, "", 1,
         cand + ": belongs to another user, not used.\n", "", cand + "/qz"},
        {"a symbolic link on the way",
         as_other + "mkdir " + theirs + "; " + as_other + "ln -s " + theirs + " " + cand, "", "vendor/qz",
         false, "", 1, cand + ": is a symbolic link, not used.\n", "", theirs + "/qz"},
        {"a group-writable part", "mkdir -m 775 " + cand, "", "vendor/qz", false, "", 1,
         cand + ": is writable by other users, not used.\n", "", cand + "/qz"},
        {"a working link at the link's place with -t",
         as_other + "mkdir " + theirs + "; " + as_other + "ln -s " + theirs + " " + place, "", "qz", false,
         room_, 1, place + ": extraction directory exists!\n", "", room_ + "/qz"},
        {"a dangling link at the link's place with -t (allowed)", as_other + "ln -s " + theirs + " " + place,
         "", "qz", false, room_, 0, "", room_ + "/qz", place},
        {"-t naming no directory", "", "", "qz", false, tmp_.file("no/such"), 1,
         tmp_.file("no/such") + ": No such file or directory\n", "", tmp_.file("no")},
        {"a payload of unknown method", "", "", "qz", true, "", 1, ": unknown compression method\n", "",
         room_ + "/qz"},
        {"\"..\" in FSSUB with room in place", "", room_, "../inplace", false, "", 0, "",
         tmp_.file("inplace"), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(testutil::sh(row.plant).status, 0);
        const std::string dir = (row.vfy.empty() ? full_ : row.vfy) + "/" + row.sub;
        const std::vector<std::string> opts{"-f", "mkdir -p " + dir + " && cat > " + dir + "/%o"};
        testutil::RunResult r =
            run(row.unknown_method ? not_gzip(opts) : build(opts, row.vfy, row.sub),
                row.t_dir.empty() ? std::vector<std::string>{} : std::vector<std::string>{"-t", row.t_dir});
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.err_has), std::string::npos) << r.err;
        const std::string data = row.lands + "/data.bin";
        EXPECT_TRUE(row.lands.empty() || (drivertest::exists(data) && read_file(data) == data_));
        EXPECT_TRUE(row.absent.empty() || !drivertest::exists(row.absent));
        testutil::sh("rm -rf " + room_ + "/* " + place + " " + tmp_.file("inplace") + " " + tmp_.file("no"));
    }
}

}  // namespace
