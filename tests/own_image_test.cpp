// The program's own image through the real executable when the usual link to
// it is missing (no /proc) or names the dynamic loader (started as
// "ld.so ./vokra"): the image copied into a build, and the archive that runs.
#include <gtest/gtest.h>

#include <link.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "driver_testutil.h"
#include "testutil.h"

namespace {

using drivertest::parse_archive;
using testutil::read_file;
using testutil::write_file;

// The dynamic loader named in this test program's own headers, the one the
// tool's build uses as well; "" for a static program.
std::string loader_path()
{
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            for (int i = 0; i < info->dlpi_phnum; i++) {
                if (info->dlpi_phdr[i].p_type == PT_INTERP) {
                    *static_cast<std::string*>(out) =
                        reinterpret_cast<const char*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
                }
            }
            return 1;  // the first object is the program itself
        },
        &found);
    return found;
}

// A tree where root runs the tool in a directory of another user's, who left
// an executable called vokra there: bin/vokra (the tool), work/ (the other
// user's, with in.txt and the planted vokra) and app.run, an archive of
// data.txt.
class OwnImageE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "hiding /proc and a second user need root";
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir_.file("bin").c_str(), 0755), 0);
        write_file(bin(), read_file(exe_));
        ASSERT_EQ(chmod(bin().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir_.file("work").c_str(), 0755), 0);
        write_file(dir_.file("work/in.txt"), "in\n");
        write_file(dir_.file("work/vokra"), "#!/bin/sh\necho planted\n");
        ASSERT_EQ(chmod(dir_.file("work/vokra").c_str(), 0755), 0);
        ASSERT_EQ(testutil::sh("chown -R 65534:65534 '" + dir_.file("work") + "'").status, 0);
        write_file(dir_.file("data.txt"), "data\n");
        const auto b = drivertest::build_archive(dir_.file("app.run"), {"-a", dir_.file("data.txt")});
        ASSERT_EQ(b.status, 0) << b.err;
    }

    std::string bin() const { return dir_.file("bin/vokra"); }

    // Whether the tool runs at all without /proc here: a sanitizer's run time
    // or an emulator may need it for itself.
    bool runs_without_proc() const
    {
        const auto r = run("exec '" + bin() + "' --version", true);
        return r.status == 0 && r.err.empty();
    }

    // Runs a bash command line in dir/work with PATH led by bin/, in a private
    // mount namespace where /proc is an empty tmpfs when `hide_proc`.
    testutil::RunResult run(const std::string& command, bool hide_proc) const
    {
        std::vector<std::string> argv{"/bin/bash", "-c", command};
        if (hide_proc) {
            argv = {"/usr/bin/unshare",
                    "-m",
                    "--propagation",
                    "private",
                    "/bin/bash",
                    "-c",
                    "mount -t tmpfs none /proc && " + command};
        }
        return testutil::run(argv, "", dir_.file("work"), {"PATH=" + dir_.file("bin") + ":/usr/bin:/bin"});
    }

    testutil::TempDir dir_;
    const std::string exe_ = testutil::vokra_exe();
};

struct Start {
    const char* what;
    std::string command;  // {ld} the loader, {app} the archive
    bool hide_proc;
    bool builds;  // true: the output is an archive of in.txt with the tool's image; false: data.txt
};

// Built the ways a tool is started without a usable link to itself, the
// archive carries the tool's image, not the loader nor the planted vokra;
// an archive started through the loader is that archive, never a builder,
// even given an operand to build from.
TEST_F(OwnImageE2E, TheImageIsTheToolWhateverStartedIt)
{
    const std::string ld = loader_path();
    const bool via_loader = !ld.empty() && read_file(exe_).find(ld) != std::string::npos;
    const Start starts[] = {
        {"no /proc, a bare name beside a planted vokra", "vokra -a in.txt", true, true},
        {"no /proc, under another name", "exec -a ghost-vokra vokra -a in.txt", true, true},
        {"the loader given the tool's path", "{ld} ../bin/vokra -a in.txt", false, true},
        {"the loader, no /proc", "{ld} ../bin/vokra -a in.txt", true, true},
        {"the loader given a path from the current directory", "cd ../bin && {ld} ./vokra -a ../work/in.txt",
         false, true},
        {"an archive through the loader", "{ld} {app} -x", false, false},
        {"an archive through the loader, given an operand", "{ld} {app} -x in.txt", false, false},
        {"an archive through the loader, no /proc", "{ld} {app} -x", true, false},
    };
    const bool without_proc = runs_without_proc();
    for (const Start& s : starts) {
        SCOPED_TRACE(s.what);
        if (s.command.find("{ld}") != std::string::npos && !via_loader) continue;
        if (s.hide_proc && !without_proc) continue;
        std::string cmd = s.command;
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{"{ld}", ld}, {"{app}", dir_.file("app.run")}}) {
            const std::size_t at = cmd.find(from);
            if (at != std::string::npos) cmd = cmd.substr(0, at) + to + cmd.substr(at + from.size());
        }
        const auto r = run(cmd, s.hide_proc);
        EXPECT_EQ(r.status, 0) << r.err;
        if (s.builds) {
            EXPECT_EQ(r.err, "");
            const drivertest::Layout l = parse_archive(r.out);
            EXPECT_TRUE(l.image == read_file(exe_));  // no dump of a loader on failure
            EXPECT_EQ(l.features, "NOCOMPR,NAME=in.txt");
            EXPECT_EQ(l.payload, "in\n");
        } else {
            EXPECT_EQ(r.out, "data\n");
        }
    }
}

// Where the system records nothing usable of the executed file (here the
// tool is started from a descriptor, which without /proc names nothing), its
// name is looked up on the absolute PATH elements only: the planted vokra in
// the current directory is never taken, whatever PATH says.
TEST_F(OwnImageE2E, WithoutARecordABareNameIsLookedUpOnAbsolutePathElementsOnly)
{
    if (run("python3 -c 'import os; assert os.execve in os.supports_fd'", false).status != 0) {
        GTEST_SKIP() << "needs python3 with fexecve";
    }
    if (!runs_without_proc()) GTEST_SKIP() << "the tool does not run without /proc here";
    // argv[0] "vokra", started through a descriptor of the tool.
    const std::string from_fd =
        "exec python3 -c 'import os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); "
        "os.execve(fd, [\"vokra\", \"-a\", \"in.txt\"], dict(os.environ, PATH=sys.argv[2]))' '" +
        bin() + "' ";
    const std::string refused =
        "vokra: unable to find vokra to build preamble\n"
        "vokra: cannot locate my own executable; name it with -p\n";
    struct Row {
        const char* what;
        std::string path;
        bool builds;
    };
    for (const Row& row : {
             Row{"PATH leading to the tool", dir_.file("bin") + ":/usr/bin", true},
             Row{"an empty element first", std::string(1, ':').append(dir_.file("bin")), true},
             Row{"only the current directory, as an empty element", ":/usr/bin", false},
             Row{"only the current directory, as a dot", ".:/usr/bin", false},
             Row{"only the current directory, as a relative element", "../work", false},
         }) {
        SCOPED_TRACE(row.what);
        const auto r = run(from_fd + "'" + row.path + "'", true);
        if (row.builds) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(parse_archive(r.out).image == read_file(exe_));
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, refused);
            EXPECT_EQ(r.out, "");
        }
    }
}

}  // namespace
