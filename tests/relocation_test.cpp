// The space check and relocation on real filesystems: small tmpfs mounts in a
// private mount namespace (one filled up, one read-only, two with room) and a
// mount table taken from the kernel's own table, cut down to those mounts.
//
// In-process cases call verify_fs and mkdirp directly and compare every
// message byte for byte. End-to-end cases run archives built by the real tool
// for what only a whole run shows: the -t option, a refused check stopping the
// run, and the relocation link's removal on every way the run can end.
//
// The tool reads /proc/self/mounts. So that an archive sees only this test's
// mounts (and not, say, the machine's roomy root filesystem), each run starts
// in a shell that binds the test's table over its own /proc/<pid>/mounts and
// then execs the archive, which keeps the pid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "driver_testutil.h"
#include "mnttab.h"
#include "mountns.h"
#include "testutil.h"
#include "vokra.h"

namespace {

using drivertest::exists;
using testutil::read_file;
using testutil::write_file;

// Shell text running a command as another user, who may write to the mount
// points (tmpfs roots are world-writable with the sticky bit) but owns nothing.
const std::string AS_OTHER = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

bool is_dir(const std::string& p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string link_target(const std::string& p)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(p.c_str(), buf, sizeof buf);
    return n < 0 ? std::string("(no link)") : std::string(buf, static_cast<size_t>(n));
}

std::string closing(const std::string& fullpath, int min_mb, const std::string& fs, const std::string& fssub)
{
    return fullpath + ": not enough space to extract the archive.\n" + "Please make at least " +
           std::to_string(min_mb) + "Mb available in " + fs + ".\n" +
           "Alternatively, you can make space available on another filesystem where a\n\"" + fssub +
           "\" directory can be created. Ensure that the \"" + fssub +
           "\" directory\ndoes not exist before " + "trying again.\n";
}

std::string searching(const std::string& fullpath)
{
    return fullpath + ": not enough space. Looking for space in other filesystems.\n";
}

// Mounts under a fresh directory: full (1 MiB, filled), ro (16 MiB, read-only),
// room and room2 (16 MiB each), mounted in that order; the file "mnttab" in it
// holds the kernel's lines for them.
class Mounts : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_MOUNTS();
        full_ = mount("full", "size=1m");
        ro_ = mount("ro", "size=16m", MS_RDONLY);
        room_ = mount("room", "size=16m");
        room2_ = mount("room2", "size=16m");
        if (HasFatalFailure()) return;
        mountns::fill(full_);
        use_table(mountns::table_below(tmp_.path()));
    }
    void TearDown() override { mounts_.clear(); }  // unmount before the directory holding them goes

    std::string mount(const std::string& name, const std::string& opts, unsigned long flags = 0)
    {
        mounts_.push_back(std::make_unique<mountns::Tmpfs>(tmp_.file(name), opts, flags));
        EXPECT_EQ(mounts_.back()->error(), "");
        return mounts_.back()->dir();
    }
    void use_table(const std::string& content) { write_file(tmp_.file("mnttab"), content); }

    testutil::TempDir tmp_;
    std::vector<std::unique_ptr<mountns::Tmpfs>> mounts_;
    std::string full_, ro_, room_, room2_;
};

// ---- in-process: verify_fs and mkdirp ----

struct Check {
    int rc;
    std::string sym_path;
    std::string err;
    bool recorded;  // the link handed back is recorded for its removal, and only it
};

class VerifyFs : public Mounts {
protected:
    void SetUp() override
    {
        ASSERT_NE(getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
        saved_table_ = mount_table.path;
        clear_options();
        set_progname("vokra");
        Mounts::SetUp();
        table_path_ = tmp_.file("mnttab");
        ss_setmnttab(table_path_.c_str());
    }
    void TearDown() override
    {
        ss_endmntent();
        ss_setmnttab(saved_table_);
        if (chdir(saved_cwd_) != 0) ADD_FAILURE() << "cannot return to " << saved_cwd_;
        clear_options();
        Mounts::TearDown();
    }
    static void clear_options()
    {
        set_preamble("", "", "", "");
        set_option_string('t', "");
        set_verbose(0);
    }

    void set_features(const std::string& f) { ASSERT_EQ(set_preamble(f.c_str(), "", "", ""), 0); }
    // As -t would; an empty value is no -t.
    static void set_t(const std::string& t) { ASSERT_EQ(set_option_string('t', t.c_str()), 0); }

    // Runs verify_fs with `input` as standard input and standard error caught.
    Check run(int min_mb, const std::string& input = "")
    {
        write_file(tmp_.file("stdin"), input);
        EXPECT_NE(std::freopen(tmp_.file("stdin").c_str(), "r", stdin), nullptr);
        std::fflush(stderr);
        int saved = dup(2);
        int fd = open(tmp_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
        char sym_path[SYMPATH_BUFSIZ];
        std::memset(sym_path, 'x', sizeof sym_path);  // the check must empty it itself
        sym_path[SYMPATH_BUFSIZ - 1] = '\0';
        Check c;
        sigset_t mask_before, mask_after;
        sigprocmask(SIG_BLOCK, nullptr, &mask_before);
        c.rc = verify_fs(min_mb, sym_path);
        sigprocmask(SIG_BLOCK, nullptr, &mask_after);
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        std::freopen("/dev/null", "r", stdin);
        c.sym_path = sym_path;
        c.err = read_file(tmp_.file("stderr"));
        c.recorded =
            c.rc != 0 || c.sym_path.empty()
                ? driver.relocation_link == nullptr
                : driver.relocation_link == sym_path && link_target(c.sym_path) == driver.relocation_target;
        EXPECT_TRUE(c.recorded);
        for (int sig = 1; sig < NSIG; ++sig) {
            EXPECT_EQ(sigismember(&mask_before, sig), sigismember(&mask_after, sig)) << "signal " << sig;
        }
        driver.relocation_link = nullptr;  // sym_path dies here
        return c;
    }

    std::string table_path_;
    const char* saved_table_ = nullptr;
    char saved_cwd_[PATH_MAX] = {};
};

// Where the data goes: in place, through a search of the table, or to the -t
// directory, and what is made on the way. Each row says the result, every
// message, the link's path handed back, the directory made (mode 0755) and
// the link; nothing else may exist under the mounts afterwards. The current
// directory is the mounts' parent, for the relative values.
TEST_F(VerifyFs, WhereTheDataGoes)
{
    const std::string all = read_file(table_path_);
    const std::string full2 = mount("full2", "size=1m");
    mountns::fill(full2);
    ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
    const std::string missing = tmp_.file("no/such");
    const std::string f = full_ + "/qz", r = room_ + "/qz", r2 = room2_ + "/qz";
    const std::string vf = "VFYFS=" + full_ + ",FSSUB=qz", vr = "VFYFS=" + room_ + ",FSSUB=qz";
    const std::string found = searching(f) + "Trying " + room_ + " ...\n";
    struct Row {
        const char* what;
        std::string table, t, features;
        int min_mb, rc;
        std::string err, sym_path, made, place, target;  // place: a link there, pointing to target
    };
    for (const Row& row : {
             Row{"fits in place", all, "", "NAME=x," + vr, 16, 0, "", "", "", "", ""},
             Row{"whole megabytes: 16 MiB do not hold 17",
                 mountns::table_line("tmpfs", room2_, "tmpfs", "rw"), "", vr, 17, -1,
                 searching(r) + closing(r, 17, room_, "qz"), "", "", "", ""},
             Row{"full and read-only mounts passed over", all, "", vf, 2, 0, found, f, r, f, r},
             Row{"only full and read-only mounts",
                 mountns::table_line("tmpfs", full_, "tmpfs", "rw") +
                     mountns::table_line("tmpfs", ro_, "tmpfs", "ro,nosuid"),
                 "", "VFYFS=" + full_ + "/,FSSUB=qz", 3, -1, searching(f) + closing(f, 3, full_ + "/", "qz"),
                 "", "", "", ""},
             Row{"relative VFYFS with room", all, "", "VFYFS=room,FSSUB=qz", 1, 0, "", "", "", "", ""},
             Row{"relative VFYFS relocated", all, "", "VFYFS=full,FSSUB=qz", 1, 0, found, "full/qz", r, f, r},
             Row{"relative VFYFS, empty table", "", "", "VFYFS=full,FSSUB=qz", 1, -1,
                 searching(f) + closing(f, 1, "full", "qz"), "", "", "", ""},
             Row{"-t with room", all, room_, vf, 2, 0, "", f, r, f, r},
             Row{"-t with a trailing slash", all, room_ + "/", vf, 2, 0, "", f, r, f, r},
             Row{"-t ahead of a VFYFS with room", all, room2_, "VFYFS=" + room_ + ",FSSUB=/qz", 2, 0, "",
                 room_ + "//qz", r2, r, r2},
             Row{"-t full, VFYFS with room", all, full_, vr, 1, 0, "", "", "", "", ""},
             Row{"-t and VFYFS full: no search", all, full2, vf, 1, -1,
                 closing(full2 + "/qz", 1, full_, "qz"), "", "", "", ""},
             Row{"-t missing: no room", all, missing, vf, 1, -1,
                 missing + ": No such file or directory\n" + closing(missing + "/qz", 1, full_, "qz"), "", "",
                 "", ""},
             Row{"-t refusing the directory: a quiet search", all, ro_, vf, 1, 0,
                 ro_ + "/qz: Read-only file system\nTrying " + room_ + " ...\n", f, r, f, r},
             Row{"relative -t", all, "room2", vf, 1, 0, "", f, r2, f, r2},
             Row{"-t naming the VFYFS directory: no link", all, room_, vr, 1, 0, "", "", r, "", ""},
         }) {
        SCOPED_TRACE(row.what);
        use_table(row.table);
        set_t(row.t);
        set_features(row.features);
        Check c = run(row.min_mb);
        EXPECT_EQ(c.rc, row.rc);
        EXPECT_EQ(c.err, row.err);
        EXPECT_EQ(c.sym_path, row.sym_path);
        for (const std::string& d : {full_, ro_, room_, room2_, full2}) {
            const std::string p = d + "/qz";
            struct stat st;
            if (p == row.made) {
                ASSERT_EQ(lstat(p.c_str(), &st), 0);
                EXPECT_TRUE(S_ISDIR(st.st_mode));
                EXPECT_EQ(st.st_mode & 07777, 0755u);
            } else if (p == row.place) {
                EXPECT_EQ(link_target(p), row.target);
            } else {
                EXPECT_FALSE(exists(p)) << p;
            }
            std::remove(p.c_str());  // the link or the empty directory made
        }
        EXPECT_FALSE(exists(tmp_.file("no")));
    }
}

// An existing extraction directory stops the run, however much room there is;
// so does a link to an existing directory, while a dangling link counts as absent.
TEST_F(VerifyFs, ExistingExtractionDirectoryStopsTheRun)
{
    set_features("VFYFS=" + room_ + ",FSSUB=qz");
    const std::string msg =
        room_ + "/qz: extraction directory exists!\nPlease remove it first then try again.\n";
    mkdir((room_ + "/qz").c_str(), 0755);
    Check c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, msg);
    EXPECT_TRUE(is_dir(room_ + "/qz"));

    rmdir((room_ + "/qz").c_str());
    ASSERT_EQ(symlink(room2_.c_str(), (room_ + "/qz").c_str()), 0);
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, msg);

    unlink((room_ + "/qz").c_str());
    ASSERT_EQ(symlink("/nonexistent/target", (room_ + "/qz").c_str()), 0);
    c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(link_target(room_ + "/qz"), "/nonexistent/target");  // nothing to relocate, nothing touched
}

// VFYFS=/ , a missing FSSUB=, a one-character value or no VFYFS= at all: -1, silently.
TEST_F(VerifyFs, ShortOrMissingValuesRefuseSilently)
{
    for (const std::string& f :
         std::vector<std::string>{"VFYFS=/,FSSUB=qz", "VFYFS=" + full_, "VFYFS=" + full_ + ",FSSUB=q",
                                  "VFYFS=" + full_ + ",FSSUB=", "FSSUB=qz", "", "VFYFS=,FSSUB=qz"}) {
        set_features(f);
        Check c = run(1);
        EXPECT_EQ(c.rc, -1) << f;
        EXPECT_EQ(c.err, "") << f;
        EXPECT_EQ(c.sym_path, "") << f;
    }
    EXPECT_EQ(read_file(table_path_).empty(), false);
    for (const std::string& d : {full_, ro_, room_, room2_}) EXPECT_FALSE(exists(d + "/qz"));
}

// A mount point whose candidate already exists says so and the next is tried.
TEST_F(VerifyFs, ExistingCandidateIsReportedAndTheNextTried)
{
    mkdir((room_ + "/qz").c_str(), 0700);
    write_file(room_ + "/qz/keep", "mine");
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, searching(full_ + "/qz") + "Trying " + room_ + " ...\n" + room_ +
                         "/qz: already exists.\n" + "Trying " + room2_ + " ...\n");
    EXPECT_EQ(link_target(full_ + "/qz"), room2_ + "/qz");
    EXPECT_EQ(read_file(room_ + "/qz/keep"), "mine");
}

// Every candidate refused: the closing messages still say there is not enough
// space; in verbose mode the reason for the last refusal comes first.
TEST_F(VerifyFs, AllCandidatesRefusedEndsWithClosingMessagesAndVerboseReason)
{
    mkdir((room_ + "/qz").c_str(), 0755);
    mkdir((room2_ + "/qz").c_str(), 0755);
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    const std::string search = searching(full_ + "/qz") + "Trying " + room_ + " ...\n" + room_ +
                               "/qz: already exists.\n" + "Trying " + room2_ + " ...\n" + room2_ +
                               "/qz: already exists.\n";
    Check c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, search + closing(full_ + "/qz", 1, full_, "qz"));
    set_verbose(1);
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, search + "vokra: last candidate " + room2_ + "/qz given up: it already exists.\n" +
                         closing(full_ + "/qz", 1, full_, "qz"));
}

// -v: n and N pass to the next filesystem; y, another reply, a bare Enter and
// the end of input accept. The rest of a long reply does not answer the next prompt.
TEST_F(VerifyFs, VerbosePromptAnswers)
{
    set_verbose(1);
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    auto prompt = [](const std::string& cand) {
        return "Creating temporary link to " + cand + "\nOK to create temporary link? [y]: ";
    };
    const std::string head = searching(full_ + "/qz") + "Trying " + room_ + " ...\n" + prompt(room_ + "/qz");
    const std::string second = "Trying " + room2_ + " ...\n" + prompt(room2_ + "/qz");

    for (const std::string& no : std::vector<std::string>{"n\nn\n", "N\nN\n", "nope\nn\n", "Nein\nno\n"}) {
        Check c = run(1, no);
        EXPECT_EQ(c.rc, -1) << no;
        EXPECT_EQ(c.err, head + second + closing(full_ + "/qz", 1, full_, "qz")) << no;
        EXPECT_FALSE(exists(room_ + "/qz"));
        EXPECT_FALSE(exists(room2_ + "/qz"));
        EXPECT_FALSE(exists(full_ + "/qz"));
    }
    for (const std::string& yes :
         std::vector<std::string>{"y\n", "Y\n", "\n", "", "x\n", " n\n", "yes please\n"}) {
        Check c = run(1, yes);
        EXPECT_EQ(c.rc, 0) << yes;
        EXPECT_EQ(c.err, head) << yes;
        EXPECT_EQ(link_target(full_ + "/qz"), room_ + "/qz") << yes;
        unlink((full_ + "/qz").c_str());
        rmdir((room_ + "/qz").c_str());
    }
    Check c = run(1, "n\ny\n");  // the first declined, the second accepted
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, head + second);
    EXPECT_EQ(link_target(full_ + "/qz"), room2_ + "/qz");
}

// The current directory is needed only for a relative value: from a removed
// directory an absolute VFYFS still works, a relative one is refused.
TEST_F(VerifyFs, RemovedCurrentDirectoryMattersOnlyForRelativeValues)
{
    const std::string gone = tmp_.file("gone");
    ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    set_features("VFYFS=" + room_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, "");
    set_features("VFYFS=room,FSSUB=qz");
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "getcwd: No such file or directory\n");
}

// A dangling link at the extraction directory's place gives way to the
// relocation link when it is the running user's, after a search and with -t
// alike, and counts as absent where the data fits. Another user's link there,
// or in the place of the directory holding it, stops the run in every case:
// the extract command would make and fill the directory wherever it points.
TEST_F(VerifyFs, ALinkAtThePlaceIsFollowedOnlyWhenItIsTheRunningUsers)
{
    ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);  // the other user reaches the mounts
    ASSERT_EQ(mkdir((room2_ + "/theirs").c_str(), 0777), 0);
    const std::string other = AS_OTHER, own = "";
    struct Row {
        const char* what;
        std::string planter, vfyfs, t;
        int rc;
        std::string err, link_to;  // link_to: the link at the place afterwards
    };
    const std::string owned = ": belongs to another user, not used.\n";
    for (const Row& row : {
             Row{"own link, search", own, full_, "", 0,
                 searching(full_ + "/qz") + "Trying " + room_ + " ...\n", room_ + "/qz"},
             Row{"own link, -t", own, full_, room2_, 0, "", room2_ + "/qz"},
             Row{"own link, in place", own, room_, "", 0, "", "/nonexistent/old"},
             Row{"another user's link, search", other, full_, "", -1, full_ + "/qz" + owned,
                 "/nonexistent/old"},
             Row{"another user's link, -t", other, full_, room2_, -1, full_ + "/qz" + owned,
                 "/nonexistent/old"},
             Row{"another user's link, in place", other, room_, "", -1, room_ + "/qz" + owned,
                 "/nonexistent/old"},
             Row{"another user's link in the place of its directory", other, room_ + "/vendor", "", -1,
                 room_ + "/vendor" + owned, ""},
             Row{"own link in the place of its directory", own, room_ + "/vendor", "", 0, "", ""},
         }) {
        SCOPED_TRACE(row.what);
        set_t(row.t);
        set_features("VFYFS=" + row.vfyfs + ",FSSUB=qz");
        const bool at_dir = row.vfyfs.size() > room_.size() + 1;
        if (at_dir) {
            ASSERT_EQ(testutil::sh(row.planter + "ln -s " + room2_ + "/theirs " + row.vfyfs).status, 0);
        } else {
            ASSERT_EQ(testutil::sh(row.planter + "ln -s /nonexistent/old " + row.vfyfs + "/qz").status, 0);
        }
        Check c = run(1);
        EXPECT_EQ(c.rc, row.rc);
        EXPECT_EQ(c.err, row.err);
        if (at_dir) {
            EXPECT_FALSE(exists(room2_ + "/theirs/qz"));
            unlink(row.vfyfs.c_str());
        } else {
            EXPECT_EQ(link_target(row.vfyfs + "/qz"), row.link_to);
            unlink((row.vfyfs + "/qz").c_str());
        }
        for (const std::string& d : {room_, room2_}) rmdir((d + "/qz").c_str());
    }
}

// Every directory above a candidate's mount point or the -t directory, from
// "/" on, must be one no other user can change, and none may be a link: a path
// that fails is no candidate, with the part that fails named, and nothing is
// made through it.
TEST_F(VerifyFs, PartsAboveTheCandidateOtherUsersControlAreNotUsed)
{
    const std::string room2_rel = room2_.substr(tmp_.path().size() + 1);
    struct Row {
        const char* what;
        std::string setup, part, why;  // part: below the test's directory
        bool mounted;                  // a filesystem of its own at up/in; else up/in leads to room2
    };
    for (const Row& row : {
             Row{"another user's directory", "mkdir -p up/in && chown 65534 up", "up",
                 "belongs to another user", true},
             Row{"a directory others may write to", "mkdir -p up/in && chmod 777 up", "up",
                 "is writable by other users", true},
             Row{"a group-writable directory", "mkdir -p up/in && chmod 775 up", "up",
                 "is writable by other users", true},
             Row{"a link on the way", "mkdir -p real/in && ln -s real up", "up", "is a symbolic link", true},
             Row{"the mount point named through a link", "mkdir up && ln -s ../" + room2_rel + " up/in",
                 "up/in", "is a symbolic link", false},
         }) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(testutil::sh(row.setup, "", tmp_.path()).status, 0);
        const std::string mnt = tmp_.file("up/in");
        if (row.mounted) Mounts::mount("up/in", "size=16m");
        const std::string part = tmp_.file(row.part) + ": " + row.why + ", not used.\n";
        const std::string tried = "Trying " + mnt + " ...\n" + part + "Trying " + room_ + " ...\n";
        use_table(mountns::table_line("tmpfs", mnt, "tmpfs", "rw") +
                  mountns::table_line("tmpfs", room_, "tmpfs", "rw"));
        set_features("VFYFS=" + full_ + ",FSSUB=qz");
        for (const std::string& t : {std::string(), mnt}) {
            set_t(t);
            Check c = run(1);
            EXPECT_EQ(c.rc, 0);
            EXPECT_EQ(c.err, t.empty() ? searching(full_ + "/qz") + tried : part + tried);
            EXPECT_EQ(link_target(full_ + "/qz"), room_ + "/qz");
            EXPECT_FALSE(exists(mnt + "/qz"));
            unlink((full_ + "/qz").c_str());
            rmdir((room_ + "/qz").c_str());
        }
        if (row.mounted) mounts_.pop_back();
        testutil::sh("rm -rf up real", "", tmp_.path());
    }
}

// With -t, whatever stands at the link's place (a directory, a file, a working
// link) is never removed: the check refuses as for an existing extraction
// directory, before making anything.
TEST_F(VerifyFs, TNeverRemovesWhatStandsAtTheLinkPlace)
{
    const std::string place = full_ + "/qz";
    const std::string msg =
        place + ": extraction directory exists!\nPlease remove it first then try again.\n";
    set_t(room_);
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    // The filled filesystem has no room for a directory; make room for it first.
    unlink((full_ + "/.filler").c_str());
    ASSERT_EQ(mkdir(place.c_str(), 0755), 0);
    write_file(place + "/precious", "data");
    mountns::fill(full_);

    Check c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, msg);
    EXPECT_EQ(read_file(place + "/precious"), "data");
    EXPECT_FALSE(exists(room_ + "/qz"));

    unlink((full_ + "/.filler").c_str());
    unlink((place + "/precious").c_str());
    rmdir(place.c_str());
    write_file(place, "a file");
    mountns::fill(full_);
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, msg);
    EXPECT_EQ(read_file(place), "a file");
    EXPECT_FALSE(exists(room_ + "/qz"));

    unlink(place.c_str());
    mkdir((room2_ + "/elsewhere").c_str(), 0755);
    write_file(room2_ + "/elsewhere/kept", "kept");
    ASSERT_EQ(symlink((room2_ + "/elsewhere").c_str(), place.c_str()), 0);
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, msg);
    EXPECT_EQ(link_target(place), room2_ + "/elsewhere");
    EXPECT_EQ(read_file(room2_ + "/elsewhere/kept"), "kept");
    EXPECT_FALSE(exists(room_ + "/qz"));
}

// Parts of the candidate's path that another user controls are not used: a
// directory of theirs, a symbolic link they planted, a directory others may
// write to without the sticky bit. What stands there stays as it was and
// nothing is made through it; the link's own directory exists, so only the
// candidate is refused.
TEST_F(VerifyFs, PartsOtherUsersControlAreNotUsed)
{
    ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);  // the other user reaches the mounts
    ASSERT_EQ(mkdir((full_ + "/vendor").c_str(), 0755), 0);
    use_table(mountns::table_line("tmpfs", room_, "tmpfs", "rw"));
    set_features("VFYFS=" + full_ + ",FSSUB=vendor/qz");
    const std::string cand = room_ + "/vendor", theirs = room_ + "/theirs";
    struct Row {
        const char* what;
        std::string plant, why;
    };
    for (const Row& row : {
             Row{"another user's directory", AS_OTHER + "mkdir " + cand, "belongs to another user"},
             Row{"a link another user planted",
                 AS_OTHER + "mkdir " + theirs + " && " + AS_OTHER + "ln -s " + theirs + " " + cand,
                 "is a symbolic link"},
             Row{"a group-writable directory", "mkdir -m 775 " + cand, "is writable by other users"},
         }) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(testutil::sh(row.plant).status, 0);
        const std::string planted = testutil::sh("ls -lAR " + room_).out;
        Check c = run(1);
        EXPECT_EQ(c.rc, -1);
        EXPECT_EQ(c.err, searching(full_ + "/vendor/qz") + "Trying " + room_ + " ...\n" + cand + ": " +
                             row.why + ", not used.\n" +
                             closing(full_ + "/vendor/qz", 1, full_, "vendor/qz"));
        EXPECT_EQ(testutil::sh("ls -lAR " + room_).out, planted);
        EXPECT_FALSE(exists(full_ + "/vendor/qz"));
        testutil::sh("rm -rf " + room_ + "/*");
    }
}

// Blanks and shell metacharacters in the link's place: only that place is
// replaced; nothing is run through a shell and nothing beside it is touched.
TEST_F(VerifyFs, LinkPlaceWithBlanksAndShellCharactersIsHandledLiterally)
{
    const std::string odd = mount("my dir;$(touch pwned)'\"`x` *", "size=1m");
    mountns::fill(odd);
    mkdir(tmp_.file("my").c_str(), 0755);
    write_file(tmp_.file("my") + "/keep", "keep");
    ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
    const std::string place = odd + "/q z;*";
    ASSERT_EQ(symlink("/nonexistent", place.c_str()), 0);
    set_features("VFYFS=" + odd + ",FSSUB=q z;*");
    use_table(mountns::table_line("tmpfs", room_, "tmpfs", "rw"));
    Check c = run(1);
    EXPECT_EQ(c.rc, 0) << c.err;
    EXPECT_EQ(link_target(place), room_ + "/q z;*");
    EXPECT_TRUE(is_dir(room_ + "/q z;*"));
    EXPECT_EQ(read_file(tmp_.file("my") + "/keep"), "keep");
    EXPECT_FALSE(exists(tmp_.file("pwned")));
}

// FSSUB= values that do not name a directory below the tested one, and VFYFS=
// values with a ".." component, are refused before anything is made or removed
// where a relocation would be made. (Values naming an existing directory, such
// as "..", meet the existence check first.)
TEST_F(VerifyFs, DotDotAndEscapingValuesAreRefusedBeforeARelocation)
{
    // A link at the place a bad value would clean up, and a directory above it.
    ASSERT_EQ(symlink("/nonexistent", (full_ + "/qz").c_str()), 0);
    write_file(tmp_.file("sentinel"), "s");
    for (const std::string sub :
         {"../qz", "qz/..", "a/../b", "qz/", "qz/.", "./qz", "a/./qz", "./qz/../.."}) {
        set_features("VFYFS=" + full_ + ",FSSUB=" + sub);
        Check c = run(1);
        EXPECT_EQ(c.rc, -1) << sub;
        EXPECT_EQ(c.err,
                  "vokra: FSSUB=" + sub + " does not name a directory below " + full_ + ", refused.\n");
    }
    ASSERT_EQ(chdir(full_.c_str()), 0);
    for (const std::string& fs : std::vector<std::string>{full_ + "/../full", "../full", "./../full/"}) {
        set_features("VFYFS=" + fs + ",FSSUB=qz");
        Check c = run(1);
        EXPECT_EQ(c.rc, -1) << fs;
        EXPECT_EQ(c.err, "vokra: VFYFS=" + fs + ": a \"..\" component is not allowed, refused.\n");
    }
    EXPECT_EQ(link_target(full_ + "/qz"), "/nonexistent");
    EXPECT_EQ(read_file(tmp_.file("sentinel")), "s");
    for (const std::string& d : {ro_, room_, room2_}) EXPECT_EQ(testutil::sh("ls -A '" + d + "'").out, "");

    // Names below, with a leading or doubled slash or dots inside a name, are
    // fine; where the data fits in place, so is a value climbing out.
    for (const std::string& sub :
         std::vector<std::string>{"/qz", "a//qz", "..qz", "q..z", "qz..", ".qz", "../inplace"}) {
        set_features("VFYFS=" + room_ + ",FSSUB=" + sub);
        Check c = run(1);
        EXPECT_EQ(c.rc, 0) << sub;
        EXPECT_EQ(c.err, "") << sub;
    }
}

// Values past the limits are refused with a message, never cut into another path.
TEST_F(VerifyFs, OverlongValuesAreRefused)
{
    const std::string long_fs = "/" + std::string(127, 'f');
    set_features("VFYFS=" + long_fs + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "vokra: VFYFS value longer than 127 characters, refused.\n");

    set_features("VFYFS=" + long_fs.substr(0, 127) +
                 ",FSSUB=qz");  // 127 is still fine (it has room: it is missing)
    c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, "");

    // A -t directory that makes the extraction path 512 characters long, one too many.
    std::string long_t = room_ + "/" + std::string(200, 't') + "/" + std::string(200, 't') + "/";
    long_t += std::string(509 - long_t.size(), 't');
    set_t(long_t);
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "vokra: " + long_t + "/qz: path longer than 511 characters, refused.\n");
    EXPECT_EQ(testutil::sh("ls -A '" + room_ + "'").out, "");
    EXPECT_FALSE(exists(full_ + "/qz"));

    // A relative VFYFS value that the current directory makes too long.
    set_t("");
    std::string deep = tmp_.path();
    for (int i = 0; i < 3; ++i) {
        deep += "/" + std::string(150, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    ASSERT_EQ(chdir(deep.c_str()), 0);
    set_features("VFYFS=" + std::string(100, 'v') + ",FSSUB=qz");
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "vokra: " + deep + "/" + std::string(100, 'v') +
                         ": path longer than 511 characters, refused.\n");
}

// A candidate longer than mkdirp's 254 characters is reported and skipped.
TEST_F(VerifyFs, CandidateTooLongForMkdirpIsSkipped)
{
    const std::string deep = mount(std::string(120 - tmp_.path().size(), 'm'), "size=16m");
    ASSERT_EQ(deep.size(), 121u);
    use_table(mountns::table_line("tmpfs", deep, "tmpfs", "rw") +
              mountns::table_line("tmpfs", room_, "tmpfs", "rw"));
    const std::string sub(150, 'q');
    set_features("VFYFS=" + full_ + ",FSSUB=" + sub);
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    const std::string cand = deep + "/" + sub;
    ASSERT_GT(cand.size(), 254u);
    EXPECT_EQ(c.err, searching(full_ + "/" + sub) + "Trying " + deep + " ...\n" + cand +
                         ": File name too long\nTrying " + room_ + " ...\n");
    EXPECT_EQ(link_target(full_ + "/" + sub), room_ + "/" + sub);
    EXPECT_EQ(testutil::sh("ls -A '" + deep + "'").out, "");
}

// A candidate given up after its directories were made (here the link's own
// directory is missing) leaves none of them behind.
TEST_F(VerifyFs, GivenUpCandidateLeavesNothingItMade)
{
    set_features("VFYFS=" + full_ + ",FSSUB=a/qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, searching(full_ + "/a/qz") + "Trying " + room_ + " ...\n" + room_ +
                         "/a/qz: No such file or directory\nTrying " + room2_ + " ...\n" + room2_ +
                         "/a/qz: No such file or directory\n" + closing(full_ + "/a/qz", 1, full_, "a/qz"));
    EXPECT_EQ(testutil::sh("ls -A '" + room_ + "' '" + room2_ + "'").out, room_ + ":\n\n" + room2_ + ":\n");
}

// A mount point cut to 127 characters in its record is passed over: the cut
// path is another directory, which must not receive the data.
TEST_F(VerifyFs, MountPointCutToItsFieldIsPassedOver)
{
    const std::string prefix = room_ + "/" + std::string(126 - room_.size(), 'p');
    ASSERT_EQ(prefix.size(), 127u);
    ASSERT_EQ(mkdir(prefix.c_str(), 0755), 0);
    const std::string long_mount = mount(prefix.substr(tmp_.path().size() + 1) + "/inner", "size=16m");
    use_table(mountns::table_line("tmpfs", long_mount, "tmpfs", "rw"));
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, searching(full_ + "/qz") + closing(full_ + "/qz", 1, full_, "qz"));
    EXPECT_FALSE(exists(prefix + "/qz"));
}

// mkdirp: a relative path makes nothing; missing components are made with
// exactly the given mode whatever the umask; an existing path is fine; a path
// over 254 characters or through a file fails.
TEST(Mkdirp, MakesEachMissingComponentWithExactlyTheMode)
{
    testutil::TempDir tmp;
    auto mkdirp = [&tmp](const std::string& path, int mode) {
        MadeDirs dirs;
        return ::mkdirp(path.c_str(), tmp.path().size(), mode, dirs);
    };
    const mode_t old = umask(077);
    EXPECT_EQ(mkdirp("rel/a/b", 0755), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(exists("rel"));

    const std::string a = tmp.file("a");
    ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
    EXPECT_EQ(mkdirp(a + "/b/c", 0751), 0);
    struct stat st;
    ASSERT_EQ(stat((a + "/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    ASSERT_EQ(stat((a + "/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    ASSERT_EQ(stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);  // existing components keep their mode
    EXPECT_EQ(mkdirp(a + "/b/c", 0700), 0);
    EXPECT_EQ(mkdirp(a + "//d//e", 0755), 0);
    EXPECT_TRUE(is_dir(a + "/d/e"));

    write_file(a + "/file", "");
    EXPECT_EQ(mkdirp(a + "/file/x", 0755), -1);

    std::string p254 = tmp.path() + "/";  // inside tmp, so that it goes with it
    while (p254.size() < 254) p254 += p254.size() % 100 == 0 ? '/' : 'x';
    ASSERT_EQ(p254.size(), 254u);
    EXPECT_EQ(mkdirp(p254, 0755), 0);
    EXPECT_TRUE(is_dir(p254));
    const std::string p255 = p254 + "y";
    EXPECT_EQ(mkdirp(p255, 0755), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(exists(p255));
    umask(old);
}

// ---- end to end: archives built and run by the real tool ----

// The raw payload of the end-to-end runs: a raw payload asks the space check
// for its length, (len >> 20) + 1 megabytes.
std::string payload_data(std::size_t len)
{
    return testutil::random_bytes(len, 11);
}

const std::string BANNER = "\nSelf-Extracting archive file\n\nPlease wait...\n";

class RelocationE2E : public Mounts {
protected:
    void SetUp() override
    {
        Mounts::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        data_ = payload_data(3 << 20);  // 4 megabytes asked for; "full" has none
        write_file(tmp_.file("data.bin"), data_);
    }

    // Builds a raw archive of data.bin with the real tool, VFYFS the full
    // filesystem and FSSUB qz.
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

    // Runs the archive with the test's mount table; `before` is shell text run
    // just before the exec.
    testutil::RunResult run(const std::string& arc, const std::vector<std::string>& args = {},
                            const std::string& before = "")
    {
        // Descriptors inherited from the test runner are closed first, so the
        // archive starts with 0, 1 and 2 only, as from a login shell.
        const std::string script =
            "for f in /proc/$$/fd/*; do n=${f##*/}; [ \"$n\" -gt 2 ] && eval \"exec $n>&-\"; done; "
            "mount --bind \"$0\" /proc/$$/mounts || exit 99; " +
            before + " exec \"$@\"";
        std::vector<std::string> argv{"/bin/bash", "-c", script, tmp_.file("mnttab"), arc};
        argv.insert(argv.end(), args.begin(), args.end());
        return testutil::run(argv, "", tmp_.path());
    }

    std::string search_lines() const { return searching(full_ + "/qz") + "Trying " + room_ + " ...\n"; }

    std::string data_;
};

// -t with room: the option reaches the check, the link goes to the -t
// directory without a search, and it is removed at the end.
TEST_F(RelocationE2E, TDirectoryReceivesTheDataWithoutASearch)
{
    const std::string arc = build({"-f", "cat > " + full_ + "/qz/%o"});
    testutil::RunResult r = run(arc, {"-t", room2_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, BANNER);
    EXPECT_EQ(read_file(room2_ + "/qz/data.bin"), data_);
    EXPECT_FALSE(exists(full_ + "/qz"));
    EXPECT_FALSE(exists(room_ + "/qz"));
}

// No room anywhere (the table calls the roomy filesystem read-only): the run
// stops before extracting, with the closing messages and exit status 1, and
// nothing is made.
TEST_F(RelocationE2E, NoRoomAnywhereStopsTheRun)
{
    const std::string arc = build({"-f", "cat > " + full_ + "/qz/%o", "-r", "touch " + tmp_.file("ran")});
    use_table(mountns::table_line("tmpfs", full_, "tmpfs", "rw") +
              mountns::table_line("tmpfs", room_, "tmpfs", "ro"));
    testutil::RunResult r = run(arc);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, searching(full_ + "/qz") + closing(full_ + "/qz", 4, full_, "qz"));
    EXPECT_FALSE(exists(tmp_.file("ran")));
    EXPECT_FALSE(exists(full_ + "/qz"));
    EXPECT_FALSE(exists(room_ + "/qz"));
}

// A payload that cannot be read is refused before the space check: no
// directory and no link are made for it.
TEST_F(RelocationE2E, AnUnreadablePayloadGetsNoDirectoryAndNoLink)
{
    // The raw archive without NOCOMPR: its random bytes stand where a gzip
    // header should be, with no gzip magic.
    ASSERT_FALSE(data_[0] == '\x1f' && data_[1] == '\x8b');
    drivertest::Layout l = drivertest::parse_archive(read_file(build({"-f", "cat > " + full_ + "/qz/%o"})));
    ASSERT_EQ(l.features.rfind("NOCOMPR,", 0), 0u) << l.features;
    const std::string arc = tmp_.file("not-gzip");
    write_file(arc, l.image + drivertest::marker() + l.features.substr(8) + '\0' + l.comment + '\0' +
                        l.run_program + '\0' + l.pipe_program + '\0' + l.payload);
    chmod(arc.c_str(), 0755);
    testutil::RunResult r = run(arc);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              arc + ": can only handle GZIP compression method\n" + arc + ": unknown compression method\n");
    EXPECT_FALSE(exists(full_ + "/qz"));
    EXPECT_FALSE(exists(room_ + "/qz"));
}

// The space check asks for the payload's measured size, whatever its last
// bytes spell: the VFYFS filesystem "small" (8 MiB) holds a payload asking
// for 4 megabytes and not one asking for 21, nor does any other.
struct SpaceAsk {
    const char* name;
    bool raw;
    std::string data;
    std::string after;  // bytes appended to the archive
    int status;
    int asked_mb;  // in the closing messages; 0 for a run that goes ahead
};

void PrintTo(const SpaceAsk& a, std::ostream* os)
{
    *os << a.name;
}

std::vector<SpaceAsk> space_asks()
{
    std::string spells_4g = testutil::random_bytes(3 << 20, 5);
    spells_4g.replace(spells_4g.size() - 4, 4, "\xff\xff\xff\xff");
    return {
        // Trailing bytes after the member spell an ISIZE of 0.
        {"EightBytesAfterTheMember", false, std::string(20 << 20, '\0'), std::string(8, '\0'), 1, 21},
        {"RawPayloadEndingInFFFFFFFF", true, spells_4g, "", 0, 0},
    };
}

class SpaceAskE2E : public RelocationE2E, public ::testing::WithParamInterface<SpaceAsk> {
protected:
    void SetUp() override
    {
        RelocationE2E::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        small_ = mount("small", "size=8m");
        use_table(mountns::table_below(tmp_.path()));
    }
    std::string small_;
};

TEST_P(SpaceAskE2E, TheCheckAsksForTheMeasuredSize)
{
    const SpaceAsk& a = GetParam();
    write_file(tmp_.file("data.bin"), a.data);
    const std::string qz = small_ + "/qz";
    std::vector<std::string> args{"-V", small_, "-S", "qz", "-f", "mkdir " + qz + " && cat > " + qz + "/%o"};
    if (a.raw) args.insert(args.begin(), "-a");
    args.push_back("data.bin");
    const std::string arc = tmp_.file("archive");
    ASSERT_EQ(drivertest::build_archive(arc, args, tmp_.path()).status, 0);
    write_file(arc, read_file(arc) + a.after);
    testutil::RunResult r = run(arc);
    EXPECT_EQ(r.status, a.status);
    if (a.asked_mb == 0) {
        EXPECT_EQ(r.err, BANNER);
        EXPECT_TRUE(read_file(qz + "/data.bin") == a.data);
    } else {
        EXPECT_EQ(r.err, searching(qz) + closing(qz, a.asked_mb, small_, "qz"));
        EXPECT_FALSE(exists(qz));
    }
}

INSTANTIATE_TEST_SUITE_P(Payloads, SpaceAskE2E, ::testing::ValuesIn(space_asks()));

// One way a relocated run ends. In the texts, {qz} stands for the extraction
// directory as the archive names it (the link's place), {t} for the test's
// directory, where the commands leave marks, {app} for the archive and {cmd}
// and {install} for the expanded commands.
struct WayOut {
    const char* name;
    std::string extract, install;
    int status;
    std::string err;                 // after the search lines
    bool lands;                      // the data is in the directory on the roomy filesystem afterwards
    std::vector<std::string> marks;  // the marks the commands left in {t}
    std::string link_after = "";     // the target of a link at {qz} afterwards; "" for nothing there
    bool no_shell = false;           // /bin/sh is a device for this run: no command starts
};

// The row's name stands for it in the test's name.
void PrintTo(const WayOut& w, std::ostream* os)
{
    *os << w.name;
}

// Commands that see the link, are interrupted by a TERM sent to the archive
// from a background subshell (whose $PPID is the archive) and note whether
// the link was still there when the signal reached them. The signal reaches
// their whole group, so the shell may see its waited child killed first and
// say "Terminated": that report is silenced.
const std::string WAITS =
    "trap 'touch {t}/got-term; test -L {qz} && touch {t}/link-kept; exit 7' TERM; "
    "(sleep 1; kill -TERM $PPID) & sleep 5 > /dev/null 2>&1 & wait $! 2> /dev/null; touch {t}/not-reached";
const std::string MARKS[] = {"linked", "installed", "got-term", "link-kept", "not-reached", "late"};

// An extract command whose work goes on beyond its shell: a pipeline whose
// second half sleeps (the data stops in the pipes, so the run is still
// delivering) with a member whose pid goes to {t}/member, and a signal sent
// to the archive a second later. Every process of the command's group must be
// gone when the archive has ended; {t}/late would show one went on.
std::string pipeline_signalled(const char* sig)
{
    return std::string("ulimit -c 0; (sleep 1; kill -") + sig +
           " $PPID) & cat | (sleep 20 > /dev/null 2>&1 & echo $! > {t}/member; wait; touch {t}/late)";
}

std::vector<WayOut> ways_out()
{
    const std::string cat = "cat > {qz}/%o", install = "touch {t}/installed";
    const std::string failed = "\n{app}: final processing of data.bin failed\n\nCommand: {install}\n";
    // The signal comes once the first byte has arrived, so the banner, shown
    // before any data is sent, is on standard error whatever the load.
    auto killed = [](const char* sig) {
        return std::string("dd bs=1 count=1 of=/dev/null 2> /dev/null; kill -") + sig + " $PPID; cat > /dev/null";
    };
    return {
        // The install command reads the data through the link.
        {"Success",
         cat,
         "cmp -s {qz}/data.bin {t}/data.bin && " + install,
         0,
         BANNER,
         true,
         {"linked", "installed"}},
        {"InstallFails", cat, "exit 3", 1, BANNER + failed, true, {"linked"}},
        // A failing extract command stops the run: no install command.
        {"ExtractFails",
         cat + "; exit 2",
         install,
         1,
         BANNER + "{app}: extract command exited with status 2: {cmd}\n",
         true,
         {"linked"}},
        {"ExtractCannotStart", cat, install, 1, "{cmd}: Permission denied\n", false, {}, "", true},
        {"WriteError",
         "head -c 1 > /dev/null",
         install,
         1,
         BANNER + "\n{app}: data.bin: Broken pipe\n",
         false,
         {"linked"}},
        {"ExtractKilled",
         cat + "; kill -KILL $$",
         install,
         1,
         BANNER + "{app}: extract command was killed by signal 9: {cmd}\n",
         true,
         {"linked"}},
        // Every signal whose default action ends a process ends the run the
        // same way, a SIGPIPE sent from outside included.
        {"Sigterm", killed("TERM"), install, 1, BANNER, false, {"linked"}},
        {"Sigint", killed("INT"), install, 1, BANNER, false, {"linked"}},
        {"Sighup", killed("HUP"), install, 1, BANNER, false, {"linked"}},
        {"Sigquit", "ulimit -c 0; " + killed("QUIT"), install, 1, BANNER, false, {"linked"}},
        {"Sigusr1", killed("USR1"), install, 1, BANNER, false, {"linked"}},
        {"Sigusr2", killed("USR2"), install, 1, BANNER, false, {"linked"}},
        {"Sigalrm", killed("ALRM"), install, 1, BANNER, false, {"linked"}},
        {"Sigpipe", killed("PIPE"), install, 1, BANNER, false, {"linked"}},
        {"Sigvtalrm", killed("VTALRM"), install, 1, BANNER, false, {"linked"}},
        {"Sigprof", killed("PROF"), install, 1, BANNER, false, {"linked"}},
        {"Sigxcpu", "ulimit -c 0; " + killed("XCPU"), install, 1, BANNER, false, {"linked"}},
        {"Sigxfsz", "ulimit -c 0; " + killed("XFSZ"), install, 1, BANNER, false, {"linked"}},
        // The signal reaches the command's whole group, and the run ends
        // only after the last of it.
        {"PipelineSigterm", pipeline_signalled("TERM"), install, 1, BANNER, false, {"linked"}},
        {"PipelineSigusr1", pipeline_signalled("USR1"), install, 1, BANNER, false, {"linked"}},
        {"PipelineSigalrm", pipeline_signalled("ALRM"), install, 1, BANNER, false, {"linked"}},
        {"PipelineSigquit", pipeline_signalled("QUIT"), install, 1, BANNER, false, {"linked"}},
        // A member that ignores the signal is killed after the grace period.
        {"MemberIgnoresTheSignal",
         "(sleep 1; kill -TERM $PPID) & (trap '' TERM; exec sleep 20) > /dev/null 2>&1 & "
         "echo $! > {t}/member; cat | (sleep 20; touch {t}/late)",
         install,
         1,
         BANNER,
         false,
         {"linked"}},
        // What the extract command leaves running when its shell ends is
        // ended before the install command runs.
        {"ExtractLeavesAChildBehind",
         cat + "; (sleep 20; touch {t}/late) > /dev/null 2>&1 & echo $! > {t}/member",
         "test -s {t}/member && ! kill -0 $(cat {t}/member) 2> /dev/null && " + install,
         0,
         BANNER,
         true,
         {"linked", "installed"}},
        // A signal while a command runs is passed on, and the run waits for
        // the command, the link still in place, before it ends.
        {"SignalDuringExtract",
         "cat > /dev/null; " + WAITS,
         install,
         1,
         BANNER,
         false,
         {"linked", "got-term", "link-kept"}},
        {"SignalDuringInstall",
         "cat > /dev/null",
         WAITS,
         1,
         BANNER + failed,
         false,
         {"linked", "got-term", "link-kept"}},
        // A link the install command put in the relocation link's place is not the run's.
        {"LinkReplacedByTheInstallCommand", cat, "rm {qz} && ln -s / {qz}", 0, BANNER, true, {"linked"}, "/"},
    };
}

class RelocationEndE2E : public RelocationE2E, public ::testing::WithParamInterface<WayOut> {
protected:
    std::string fill(std::string s, const std::vector<std::pair<std::string, std::string>>& more = {}) const
    {
        std::vector<std::pair<std::string, std::string>> subst{{"{qz}", full_ + "/qz"}, {"{t}", tmp_.path()}};
        subst.insert(subst.end(), more.begin(), more.end());
        for (const auto& [from, to] : subst) {
            for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
                s.replace(at, from.size(), to);
            }
        }
        return s;
    }
};

TEST_P(RelocationEndE2E, TheLinkIsGoneAndTheDirectoryStays)
{
    const WayOut& w = GetParam();
    const std::string extract = fill("test -L {qz} && touch {t}/linked; " + w.extract);
    const std::string install = fill(w.install);
    const std::string arc = build({"-f", extract, "-r", install});
    testutil::RunResult r = run(arc, {}, w.no_shell ? "mount --bind /dev/null /bin/sh || exit 98;" : "");
    if (w.no_shell) {
        EXPECT_EQ(umount2("/bin/sh", 0), 0);
    }
    EXPECT_EQ(r.status, w.status);
    EXPECT_EQ(r.err, search_lines() + fill(w.err, {{"{app}", arc},
                                                   {"{cmd}", fill(extract, {{"%o", "data.bin"}})},
                                                   {"{install}", install}}));
    // No process of the command's group outlives the archive.
    if (exists(tmp_.file("member"))) {
        const pid_t member = std::atoi(read_file(tmp_.file("member")).c_str());
        ASSERT_GT(member, 0);
        EXPECT_TRUE(kill(member, 0) == -1 && errno == ESRCH) << "member " << member << " still runs";
        kill(member, SIGKILL);  // the old run's leftovers do not outlive the test
    }
    for (const std::string& m : MARKS) {
        EXPECT_EQ(exists(tmp_.file(m)), std::find(w.marks.begin(), w.marks.end(), m) != w.marks.end()) << m;
    }
    if (w.link_after.empty()) {
        EXPECT_FALSE(exists(full_ + "/qz"));
    } else {
        EXPECT_EQ(link_target(full_ + "/qz"), w.link_after);
    }
    EXPECT_TRUE(is_dir(room_ + "/qz"));
    if (w.lands) {
        EXPECT_TRUE(read_file(room_ + "/qz/data.bin") == data_);
    } else {
        EXPECT_FALSE(exists(room_ + "/qz/data.bin"));
    }
    for (const std::string& d : {ro_, room2_}) EXPECT_FALSE(exists(d + "/qz"));
}

INSTANTIATE_TEST_SUITE_P(Ways, RelocationEndE2E, ::testing::ValuesIn(ways_out()));

}  // namespace
