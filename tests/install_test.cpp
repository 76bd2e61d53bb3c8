// The install run's arguments, its staging directory (%d, --keep, --target),
// --quiet and tar payloads, through the real tool.
#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "driver_testutil.h"
#include "testutil.h"

namespace {

using drivertest::build_archive;
using drivertest::exists;
using testutil::read_file;
using testutil::run;
using testutil::TempDir;
using testutil::write_file;

const std::string BANNER = "\nSelf-Extracting archive file\n\nPlease wait...\n";

// The names in a directory.
std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

class InstallE2E : public ::testing::Test {
protected:
    std::string exe = testutil::vokra_exe();
    TempDir dir, tmp;  // tmp: the runs' $TMPDIR

    std::string make(const std::vector<std::string>& opts, const std::string& data = "payload")
    {
        write_file(dir.file("data.tar"), data);
        std::vector<std::string> args = opts;
        args.push_back(dir.file("data.tar"));
        std::string app = dir.file("app.run");
        auto r = build_archive(app, args);
        EXPECT_EQ(r.status, 0) << r.err;
        return app;
    }
    testutil::RunResult go(const std::vector<std::string>& argv)
    {
        return run(argv, "", dir.path(), {"TMPDIR=" + tmp.path()});
    }
};

// "$@" of the install command is what followed "--", each word intact, and
// never part of the command's text. Without "--" operands stay ignored.
TEST_F(InstallE2E, ArgumentsAfterDoubleDashArriveIntact)
{
    std::string app = make({"-a", "-f", "cat > /dev/null", "-r", "printf '[%s]' \"$@\"; echo \" $#\""});
    const std::vector<std::string> args = {"a b", "it's", "", "$(touch pwned)", "\"q\"", "back\\slash", "-n"};
    std::string shown;
    for (const std::string& a : args) shown += "[" + a + "]";
    struct Case {
        const char* what;
        std::vector<std::string> before;
        std::vector<std::string> after;
        std::string out;
    };
    std::vector<std::string> all = args;
    for (const Case& c : {
             Case{"archive -- args", {app, "--"}, args, shown + " 7\n"},
             Case{"vokra -u archive -- args", {exe, "-u", app, "--"}, args, shown + " 7\n"},
             Case{"vokra -u -- archive args", {exe, "-u", "--", app}, args, shown + " 7\n"},
             Case{"options after --: arguments too", {app, "-n", "--", "-x"}, {}, "[-x] 1\n"},
             Case{"no --: operands ignored", {app, "x", "y"}, {}, "[] 0\n"},
         }) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> argv = c.before;
        argv.insert(argv.end(), c.after.begin(), c.after.end());
        auto r = go(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::string(c.what).rfind("options", 0) == 0 ? "" : c.out);
        EXPECT_FALSE(exists(dir.file("pwned")));
    }
}

// %d is a directory of this run, 0700, under $TMPDIR, gone however the run
// ends (kept with --keep); what a command plants in it, links to the outside
// included, never makes the clean-up remove anything outside.
TEST_F(InstallE2E, TheStagingDirectoryIsPrivateAndGoneHoweverTheRunEnds)
{
    const std::string outside = dir.file("outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    write_file(outside + "/keep", "keep");
    // Records %d and its mode, then plants links to the outside and a tree.
    const std::string plant = "echo %d > " + dir.file("where") + "; stat -c %a %d > " + dir.file("mode") +
                              "; ln -s " + outside + " %d/dir; ln -s " + outside +
                              "/keep %d/file; mkdir -p %d/a/b" + "; ln -s ../../../outside %d/a/b/up";
    struct Case {
        const char* what;
        std::string extract, install;
        std::vector<std::string> opts;
        int status;
        std::string err;  // after the banner
        bool kept;
    };
    const std::string term = "kill -TERM $PPID; sleep 30";
    std::string deep;
    for (int level = 0; level < 130; level++) deep += "d/";
    for (const Case& c : {
             Case{"success", "cat > %d/data", plant, {}, 0, "", false},
             Case{"failed install command",
                  "cat > %d/data",
                  plant + "; exit 3",
                  {},
                  1,
                  "\n{app}: final processing of data.tar failed\n\nCommand: {install}\n",
                  false},
             Case{"failed extract command",
                  "cat > %d/data; " + plant + "; exit 4",
                  "true",
                  {},
                  1,
                  "{app}: extract command exited with status 4: {extract}\n",
                  false},
             Case{"SIGTERM during the install command",
                  "cat > %d/data",
                  plant + "; " + term,
                  {},
                  1,
                  "",
                  false},
             Case{"SIGTERM during an install command that then exits 0",
                  "cat > %d/data",
                  plant + "; exec 2>/dev/null; trap 'exit 0' TERM; " + term,
                  {},
                  1,
                  "",
                  false},
             Case{"SIGTERM during extraction",
                  "cat > %d/data; " + plant + "; " + term,
                  "true",
                  {},
                  1,
                  "",
                  false},
             Case{"--keep",
                  "cat > %d/data",
                  plant,
                  {"--keep"},
                  0,
                  "{app}: staging directory kept: {d}\n",
                  true},
             // The removal holds at most 128 directories open: what lies deeper
             // stays, and a run that leaves part of its directory fails.
             Case{"a tree too deep to remove",
                  "cat > %d/data",
                  plant + "; mkdir -p %d/" + deep,
                  {},
                  1,
                  "{app}: could not remove all of the staging directory {d}: Too many levels of symbolic "
                  "links\n",
                  true},
         }) {
        SCOPED_TRACE(c.what);
        unlink(dir.file("where").c_str());
        std::string app = make({"-a", "-f", c.extract, "-r", c.install});
        std::vector<std::string> argv{app};
        argv.insert(argv.end(), c.opts.begin(), c.opts.end());
        auto r = go(argv);
        std::string where = read_file(dir.file("where"));
        ASSERT_FALSE(where.empty()) << r.err;
        where.pop_back();
        EXPECT_EQ(where.rfind(tmp.path() + "/vokra.", 0), 0u) << where;
        EXPECT_EQ(read_file(dir.file("mode")), "700\n");
        EXPECT_EQ(r.status, c.status);
        // The messages show the commands expanded.
        auto expanded = [&](std::string text) {
            for (std::size_t at; (at = text.find("%d")) != std::string::npos;) text.replace(at, 2, where);
            return text;
        };
        std::string err = c.err;
        for (auto [key, value] : {std::pair<std::string, std::string>{"{app}", app},
                                  {"{d}", where},
                                  {"{install}", expanded(c.install)},
                                  {"{extract}", expanded(c.extract)}}) {
            for (std::size_t at; (at = err.find(key)) != std::string::npos;)
                err.replace(at, key.size(), value);
        }
        // A run ended by a signal says nothing more; its banner is out already.
        EXPECT_EQ(r.err, BANNER + err);
        EXPECT_EQ(exists(where), c.kept);
        EXPECT_EQ(entries(tmp.path()).size(), c.kept ? 1u : 0u);
        EXPECT_EQ(read_file(outside + "/keep"), "keep");
        EXPECT_EQ(entries(outside), std::vector<std::string>{"keep"});
        if (c.kept) testutil::sh("rm -rf '" + where + "'");
    }
}

// An extract command that stops reading ends the delivery; with --keep the
// run still says where the staging directory is, as its normal end does.
TEST_F(InstallE2E, KeepAfterAFailedDeliverySaysWhereTheDirectoryIs)
{
    // More than a pipe holds, so a write fails once the command has closed
    // its input, which it does only after it has said where %d is.
    std::string app =
        make({"-a", "-f", "echo %d > " + dir.file("where") + "; exec <&-; exit 4", "-r", "true"},
             std::string(1 << 20, 'x'));
    auto r = go({app, "--keep"});
    std::string where = read_file(dir.file("where"));
    ASSERT_FALSE(where.empty()) << r.err;
    where.pop_back();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, BANNER + "\n" + app + ": data.tar: Broken pipe\n" + app +
                         ": staging directory kept: " + where + "\n");
    EXPECT_TRUE(exists(where));
    testutil::sh("rm -rf '" + where + "'");
}

// --target DIR is %d: made with its missing parents (0755), kept, refused
// where another user could change one of its directories.
TEST_F(InstallE2E, TargetMakesItsMissingPartsAndIsNeverRemoved)
{
    std::string app = make({"-a", "-f", "cat > %d/data", "-r", "echo %d; stat -c %a %d"});
    std::string target = dir.file("t/a/b");
    auto r = go({app, "--target", target});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, target + "\n755\n");
    EXPECT_EQ(read_file(target + "/data"), "payload");
    EXPECT_EQ(entries(tmp.path()).size(), 0u);

    // Relative to the current directory, and as --target=DIR after -u.
    r = run({exe, "-u", app, "--target=rel/x"}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dir.file("rel/x") + "\n755\n");

    std::string open_dir = dir.file("open");
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
    r = go({app, "--target", open_dir + "/x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, open_dir + ": is writable by other users, not used.\n");
    EXPECT_FALSE(exists(open_dir + "/x"));
}

// --quiet: a run that succeeds says nothing, not even what a step said on
// its way to success (a $TMPDIR refused for the staging directory); one that
// fails still says why.
TEST_F(InstallE2E, QuietSaysNothingUnlessSomethingFails)
{
    const std::string open_tmp = dir.file("open");
    ASSERT_EQ(mkdir(open_tmp.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open_tmp.c_str(), 0777), 0);
    const std::string refused = open_tmp + ": is writable by other users, not used.\n";
    struct Case {
        const char* what;
        std::vector<std::string> opts;
        std::vector<std::string> args;
        bool open_tmpdir;
        int status;
        std::string err;
    };
    for (const Case& c : {
             Case{"success", {"-r", "true"}, {"--quiet"}, false, 0, ""},
             Case{"success, -x", {"-r", "true"}, {"--quiet", "-x"}, false, 0, ""},
             Case{"$TMPDIR refused, /tmp used", {"-f", "cat > %d/x"}, {"--quiet"}, true, 0, ""},
             Case{"the same without --quiet", {"-f", "cat > %d/x"}, {}, true, 0, refused + BANNER},
             Case{"failing install command",
                  {"-r", "exit 3"},
                  {"--quiet"},
                  false,
                  1,
                  "\n{app}: final processing of data.tar failed\n\nCommand: exit 3\n"},
             // It reads its input first: one that exits at once may be gone
             // before the data is written, which is a broken pipe instead.
             Case{"failing extract command",
                  {"-f", "cat > /dev/null; exit 5"},
                  {"--quiet"},
                  false,
                  1,
                  "{app}: extract command exited with status 5: cat > /dev/null; exit 5\n"},
         }) {
        SCOPED_TRACE(c.what);
        std::string app = make(c.opts);
        std::vector<std::string> argv{app};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run(argv, "", dir.path(), {"TMPDIR=" + (c.open_tmpdir ? open_tmp : tmp.path())});
        EXPECT_EQ(r.status, c.status);
        std::string err = c.err;
        if (err.find("{app}") != std::string::npos) err.replace(err.find("{app}"), 5, app);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, c.args.size() == 2 ? "payload" : "");
        EXPECT_EQ(entries(open_tmp).size(), 0u);
    }
}

// A tar payload (PAYLOAD=tar) without a stored extract command is unpacked
// into %d, where the install command runs; the directory goes afterwards.
TEST_F(InstallE2E, ATarPayloadIsUnpackedIntoTheStagingDirectoryWhereTheInstallCommandRuns)
{
    ASSERT_EQ(mkdir(dir.file("stage").c_str(), 0755), 0);
    write_file(dir.file("stage/hello"), "hello\n");
    ASSERT_EQ(testutil::sh("tar -cf data.tar -C stage .", "", dir.path()).status, 0);
    std::string app = dir.file("app.run");
    auto b =
        build_archive(app, {"-F", "PAYLOAD=tar", "-r", "pwd; cat hello; echo \"$1\"", dir.file("data.tar")});
    ASSERT_EQ(b.status, 0) << b.err;
    auto r = go({app, "--", "arg one"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string where = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(where.rfind(tmp.path() + "/vokra.", 0), 0u) << r.out;
    EXPECT_EQ(r.out, where + "\nhello\narg one\n");
    EXPECT_FALSE(exists(where));
    EXPECT_FALSE(exists(dir.file("hello")));
}

// A directory packed in one step unpacks into %d without changing it: the
// stream holds no entry for the directory itself, so the staging directory
// stays private (0700) whatever the source tree's mode, while the tree's
// own directories keep theirs.
TEST_F(InstallE2E, ADirectoryBuildKeepsTheStagingDirectoryPrivate)
{
    ASSERT_EQ(mkdir(dir.file("app").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("app/lib").c_str(), 0750), 0);
    write_file(dir.file("app/lib/x"), "x\n");
    std::string app = dir.file("app.run");
    auto b = build_archive(app, {"-r", "stat -c %a . lib", dir.file("app")});
    ASSERT_EQ(b.status, 0) << b.err;
    auto r = go({app});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "700\n750\n");
}

}  // namespace
