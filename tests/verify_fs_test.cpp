// The space check on real filesystems: small tmpfs mounts in a private mount
// namespace, one filled up, one read-only and some with room, and a mount table
// taken from the kernel's own table, cut down to those mounts.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "mnttab.h"
#include "mountns.h"
#include "testutil.h"
#include "vokra.h"

namespace {

using testutil::read_file;
using testutil::write_file;

struct Check {
    int rc;
    std::string sym_path;
    std::string err;
};

bool exists(const std::string& p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

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
// room and room2 (16 MiB each), mounted in that order.
class VerifyFs : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
        saved_table_ = mount_table.path;
        REQUIRE_MOUNTS();
        set_preamble("", "", "", "");
        set_option_string('t', "");
        gzip.verbose = 0;
        stream.progname = "vokra";
        full_ = mount("full", "size=1m");
        ro_ = mount("ro", "size=16m", MS_RDONLY);
        room_ = mount("room", "size=16m");
        room2_ = mount("room2", "size=16m");
        if (HasFatalFailure()) return;
        mountns::fill(full_);
        use_mounts_table();
    }
    void TearDown() override
    {
        ss_endmntent();
        ss_setmnttab(saved_table_);
        if (chdir(saved_cwd_) != 0) ADD_FAILURE() << "cannot return to " << saved_cwd_;
        set_preamble("", "", "", "");
        set_option_string('t', "");
        gzip.verbose = 0;
        mounts_.clear();  // unmount before the directory holding them goes
    }

    std::string mount(const std::string& name, const std::string& opts, unsigned long flags = 0)
    {
        auto m = std::make_unique<mountns::Tmpfs>(tmp_.file(name), opts, flags);
        EXPECT_EQ(m->error(), "");
        std::string dir = m->dir();
        mounts_.push_back(std::move(m));
        return dir;
    }

    void use_mounts_table() { use_table(mountns::table_below(tmp_.path())); }
    void use_table(const std::string& content)
    {
        table_path_ = tmp_.file("mnttab");
        write_file(table_path_, content);
        ss_setmnttab(table_path_.c_str());
    }

    void set_features(const std::string& f) { ASSERT_EQ(set_preamble(f.c_str(), "", "", ""), 0); }

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
        c.rc = verify_fs(min_mb, sym_path);
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        std::freopen("/dev/null", "r", stdin);
        c.sym_path = sym_path;
        c.err = read_file(tmp_.file("stderr"));
        return c;
    }

    testutil::TempDir tmp_;
    std::vector<std::unique_ptr<mountns::Tmpfs>> mounts_;
    std::string full_, ro_, room_, room2_, table_path_;
    const char* saved_table_ = nullptr;
    char saved_cwd_[PATH_MAX] = {};
};

// The data fits in place: result 0, no link, no directory, no message.
TEST_F(VerifyFs, FitsInPlaceLeavesEverythingAlone)
{
    set_features("NAME=x,VFYFS=" + room_ + ",FSSUB=qz");
    Check c = run(16);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.sym_path, "");
    EXPECT_EQ(c.err, "");
    EXPECT_FALSE(exists(room_ + "/qz"));
    for (const std::string& d : {full_, ro_, room2_}) EXPECT_FALSE(exists(d + "/qz"));
}

// The filesystem's room is counted in whole megabytes: 16 MiB holds 16, not 17.
TEST_F(VerifyFs, OneMegabyteTooManyStartsTheSearch)
{
    set_features("VFYFS=" + room_ + ",FSSUB=qz");
    use_table(mountns::table_line("tmpfs", room2_, "tmpfs", "rw"));
    Check c = run(17);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, searching(room_ + "/qz") + closing(room_ + "/qz", 17, room_, "qz"));
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

// The search through the table when the VFYFS filesystem is full: the full and
// the read-only mounts are passed over without a "Trying" line, the first one
// with room gets the directory (mode 0755) and the link points to it.
TEST_F(VerifyFs, SearchRelocatesToTheFirstFilesystemWithRoom)
{
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    Check c = run(2);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, searching(full_ + "/qz") + "Trying " + room_ + " ...\n");
    EXPECT_EQ(c.sym_path, full_ + "/qz");
    EXPECT_EQ(link_target(full_ + "/qz"), room_ + "/qz");
    struct stat st;
    ASSERT_EQ(stat((room_ + "/qz").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_FALSE(exists(room2_ + "/qz"));
    EXPECT_FALSE(exists(ro_ + "/qz"));
    // The data written through the link lands on the roomy filesystem.
    write_file(full_ + "/qz/data", std::string(1 << 20, 'd'));
    EXPECT_EQ(read_file(room_ + "/qz/data").size(), 1u << 20);
}

// Only full and read-only mounts in the table: no "Trying" line at all, then
// the closing messages, with the VFYFS value as written.
TEST_F(VerifyFs, ReadOnlyAndFullMountsArePassedOverSilently)
{
    use_table(mountns::table_line("tmpfs", full_, "tmpfs", "rw") +
              mountns::table_line("tmpfs", ro_, "tmpfs", "ro,nosuid"));
    set_features("VFYFS=" + full_ + "/,FSSUB=qz");
    Check c = run(3);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, searching(full_ + "/qz") + closing(full_ + "/qz", 3, full_ + "/", "qz"));
    EXPECT_FALSE(exists(full_ + "/qz"));
    EXPECT_FALSE(exists(ro_ + "/qz"));
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
    gzip.verbose = 1;
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, search + "vokra: last candidate " + room2_ + "/qz given up: it already exists.\n" +
                         closing(full_ + "/qz", 1, full_, "qz"));
}

// -v: n and N pass to the next filesystem; y, another reply, a bare Enter and
// the end of input accept. The rest of a long reply does not answer the next prompt.
TEST_F(VerifyFs, VerbosePromptAnswers)
{
    gzip.verbose = 1;
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

// -t with room: the link sits at the VFYFS path and points to the -t directory
// followed by the FSSUB value; no "Trying" line, no message at all.
TEST_F(VerifyFs, TDirectoryWithRoomGetsTheLink)
{
    for (const std::string& t : std::vector<std::string>{room_, room_ + "/"}) {
        set_option_string('t', t.c_str());
        set_features("VFYFS=" + full_ + ",FSSUB=qz");
        Check c = run(2);
        EXPECT_EQ(c.rc, 0) << t;
        EXPECT_EQ(c.err, "") << t;
        EXPECT_EQ(c.sym_path, full_ + "/qz");
        EXPECT_EQ(link_target(full_ + "/qz"), room_ + "/qz");
        EXPECT_TRUE(is_dir(room_ + "/qz"));
        unlink((full_ + "/qz").c_str());
        rmdir((room_ + "/qz").c_str());
    }
    // Even when the VFYFS filesystem has room itself, -t comes first.
    set_option_string('t', room2_.c_str());
    set_features("VFYFS=" + room_ + ",FSSUB=/qz");
    Check c = run(2);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(link_target(room_ + "//qz"), room2_ + "/qz");
}

// -t without room while the VFYFS filesystem has room: 0, no link, nothing made.
TEST_F(VerifyFs, FullTDirectoryFallsBackToTheVfyfsFilesystem)
{
    set_option_string('t', full_.c_str());
    set_features("VFYFS=" + room_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(c.sym_path, "");
    EXPECT_FALSE(exists(room_ + "/qz"));
    EXPECT_FALSE(exists(full_ + "/qz"));
}

// -t and VFYFS both full: the three closing messages at once, naming the -t
// directory's extraction path; no search although the table has room.
TEST_F(VerifyFs, FullTDirectoryAndFullVfyfsEndWithoutASearch)
{
    const std::string full2 = mount("full2", "size=1m");
    mountns::fill(full2);
    set_option_string('t', full2.c_str());
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, closing(full2 + "/qz", 1, full_, "qz"));
    for (const std::string& d : {full_, full2, room_, room2_}) EXPECT_FALSE(exists(d + "/qz"));
}

// A -t directory with room that refuses the directory (a read-only mount): its
// error is reported and the table is searched from its start, without the
// search message.
TEST_F(VerifyFs, RefusedTDirectoryFallsToAQuietSearch)
{
    set_option_string('t', ro_.c_str());
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, ro_ + "/qz: Read-only file system\nTrying " + room_ + " ...\n");
    EXPECT_EQ(link_target(full_ + "/qz"), room_ + "/qz");
}

// A relative VFYFS value is tested from the current directory, and the link is
// made at the relative path (pointing to an absolute candidate).
TEST_F(VerifyFs, RelativeVfyfsValue)
{
    ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
    set_features("VFYFS=room,FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, "");
    EXPECT_FALSE(exists(room_ + "/qz"));

    set_features("VFYFS=full,FSSUB=qz");
    c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, searching(full_ + "/qz") + "Trying " + room_ + " ...\n");
    EXPECT_EQ(c.sym_path, "full/qz");
    EXPECT_EQ(link_target(full_ + "/qz"), room_ + "/qz");

    unlink((full_ + "/qz").c_str());
    rmdir((room_ + "/qz").c_str());
    use_table("");
    c = run(1);
    EXPECT_EQ(c.err, searching(full_ + "/qz") + closing(full_ + "/qz", 1, "full", "qz"));
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

// A relative -t directory is taken from the current directory, so the link
// resolves wherever it lies.
TEST_F(VerifyFs, RelativeTDirectoryBecomesAbsoluteForTheLink)
{
    ASSERT_EQ(chdir(tmp_.path().c_str()), 0);
    set_option_string('t', "room2");
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.err, "");
    EXPECT_EQ(link_target(full_ + "/qz"), room2_ + "/qz");
    EXPECT_TRUE(is_dir(room2_ + "/qz"));
}

// A mount point of "/" gives the candidate //qz; a dangling link at the VFYFS
// path gives way to the relocation link.
TEST_F(VerifyFs, DanglingLinkIsReplacedByTheRelocationLink)
{
    ASSERT_EQ(symlink("/nonexistent/old", (full_ + "/qz").c_str()), 0);
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(link_target(full_ + "/qz"), room_ + "/qz");
}

// With -t, whatever stands at the link's place (a directory, a file, a working
// link) is never removed: the check refuses as for an existing extraction
// directory, before making anything.
TEST_F(VerifyFs, TNeverRemovesWhatStandsAtTheLinkPlace)
{
    const std::string place = full_ + "/qz";
    const std::string msg =
        place + ": extraction directory exists!\nPlease remove it first then try again.\n";
    set_option_string('t', room_.c_str());
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

// -t naming the VFYFS directory itself: the directory made is the extraction
// directory, so no link (and certainly no link to itself) is made.
TEST_F(VerifyFs, TDirectoryThatIsTheVfyfsDirectoryNeedsNoLink)
{
    set_option_string('t', room_.c_str());
    set_features("VFYFS=" + room_ + ",FSSUB=qz");
    Check c = run(1);
    EXPECT_EQ(c.rc, 0);
    EXPECT_EQ(c.sym_path, "");
    EXPECT_TRUE(is_dir(room_ + "/qz"));
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

    // Names below, with a leading or doubled slash or dots inside a name, are fine.
    for (const std::string& sub : std::vector<std::string>{"/qz", "a//qz", "..qz", "q..z", "qz..", ".qz"}) {
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

    // A -t directory that makes the extraction path longer than 511 characters.
    const std::string long_t =
        room_ + "/" + std::string(200, 't') + "/" + std::string(200, 't') + "/" + std::string(200, 't');
    set_option_string('t', long_t.c_str());
    set_features("VFYFS=" + full_ + ",FSSUB=qz");
    c = run(1);
    EXPECT_EQ(c.rc, -1);
    EXPECT_EQ(c.err, "vokra: " + long_t + "/qz: path longer than 511 characters, refused.\n");
    EXPECT_EQ(testutil::sh("ls -A '" + room_ + "'").out, "");
    EXPECT_FALSE(exists(full_ + "/qz"));

    // A relative VFYFS value that the current directory makes too long.
    set_option_string('t', "");
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
    const std::string p255 = p254 + "/y";
    EXPECT_EQ(mkdirp(p255, 0755), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(exists(p255));
    umask(old);
}

}  // namespace
