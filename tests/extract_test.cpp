// The extraction and install run: payloads reach the extract command intact,
// the install command sees the features, and every failure is reported with
// status 1. End-to-end runs use the real tool (each pauses two seconds);
// expansion and export are also checked in-process.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "deflate_writer.h"
#include "driver_testutil.h"
#include "testutil.h"
#include "vokra.h"

extern char** environ;

namespace {

using drivertest::build_archive;
using drivertest::exists;
using drivertest::run_on_pty;
using testutil::read_file;
using testutil::run;
using testutil::TempDir;
using testutil::write_file;

class Extract : public ::testing::Test {
protected:
    std::string exe = testutil::vokra_exe();
    TempDir dir;

    // Builds dir/app.run with -a from one file called `name` holding `data`.
    std::string make(const std::string& data, const std::vector<std::string>& opts,
                     const std::string& name = "data.tar")
    {
        write_file(dir.file(name), data);
        std::vector<std::string> args{"-a"};
        args.insert(args.end(), opts.begin(), opts.end());
        args.push_back(dir.file(name));
        std::string app = dir.file("app.run");
        auto r = build_archive(app, args);
        EXPECT_EQ(r.status, 0) << r.err;
        return app;
    }
    std::string banner(const std::string& comment = "Self-Extracting archive file")
    {
        return "\n" + comment + "\n\nPlease wait...\n";
    }
};

// ---- payloads reach the extract command byte for byte ----

class RoundTrip : public Extract, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(RoundTrip, TheExtractCommandReceivesExactlyThePayload)
{
    std::size_t size = GetParam();
    std::string data = size == 4096 ? std::string(4096, '\0') : testutil::random_bytes(size, 11);
    std::string app = make(data, {"-f", "cat > %p/out.bin", "-r", "touch %p/installed"});
    auto r = run({app}, "", dir.path());
    if (size == 0) {
        // An empty raw payload is a failed extraction, refused before the
        // extract command starts: no output file, no install, status 1.
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(exists(dir.file("out.bin")));
        EXPECT_FALSE(exists(dir.file("installed")));
        EXPECT_EQ(r.err, app + ": the archive holds no data\n");
    } else {
        EXPECT_EQ(read_file(dir.file("out.bin")), data);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(exists(dir.file("installed")));
        EXPECT_EQ(r.err, banner());
    }
    EXPECT_TRUE(r.out.empty());
}

// 4096 stands for a payload of NUL bytes only; the random ones hold NULs too.
INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip, ::testing::Values(0, 1, 512, 513, 4096, 1 << 20));

TEST_F(Extract, SeveralOperandsReachTheExtractCommandBackToBack)
{
    std::string a = testutil::random_bytes(700, 1), b = std::string(3, '\0'),
                c = testutil::random_bytes(5000, 2);
    write_file(dir.file("a"), a);
    write_file(dir.file("b"), b);
    write_file(dir.file("c"), c);
    std::string app = dir.file("multi.run");
    auto built =
        build_archive(app, {"-a", "-f", "cat > %p/all", dir.file("a"), dir.file("b"), dir.file("c")});
    ASSERT_EQ(built.status, 0);
    auto r = run({app}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("all")), a + b + c);
}

TEST_F(Extract, TheDefaultExtractCommandWritesExactlyToCwdSlashName)
{
    // Blanks, quotes and shell syntax in both the directory and the name.
    std::string name = "it's $(touch pwned) a;b.tar";
    std::string data = testutil::random_bytes(2000, 5);
    std::string app = make(data, {}, name);
    std::string cwd = dir.file("my dir; touch pwned2 `x`");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    auto r = run({app}, "", cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(cwd + "/" + name), data);
    EXPECT_FALSE(exists(cwd + "/pwned"));
    EXPECT_FALSE(exists(cwd + "/pwned2"));
    EXPECT_FALSE(exists(dir.file("pwned")));
}

// ---- the install run ----

TEST_F(Extract, TheInstallCommandSeesTheFeaturesAndExpandedPlaceholders)
{
    write_file(dir.file("show.sh"),
               "echo \"args=$1|$2\"\n"
               "echo \"NOCOMPR=${NOCOMPR-unset}|NAME=$NAME|VFYFS=$VFYFS|FSSUB=$FSSUB|QZ_VENDOR=$QZ_VENDOR\"\n"
               "echo \"BARE=${BARE-unset}|K=$K|EXTRA=${EXTRA-unset}\"\n");
    std::string app =
        make("payload", {"-V", dir.path(), "-S", "qz", "-O", "Acme", "-F", "BARE", "-F", "K=v w ", "-C",
                         "Demo 1.0", "-f", "cat > /dev/null", "-r", "sh %p/show.sh %p %o"});
    // In a running archive the build options change nothing and operands are ignored.
    auto r = run({app, "-V", "/x", "-S", "y", "-O", "Z", "-F", "EXTRA=1", "-a", "ignored"}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, banner("Demo 1.0"));
    EXPECT_EQ(r.out, "args=" + dir.path() + "|data.tar\n" + "NOCOMPR=|NAME=data.tar|VFYFS=" + dir.path() +
                         "|FSSUB=qz|QZ_VENDOR=Acme\n" + "BARE=|K=v w|EXTRA=unset\n");
}

TEST_F(Extract, AFailingInstallCommandIsReportedWithStatusOne)
{
    std::string app = make("x", {"-f", "cat > /dev/null", "-r", "echo ran; exit 3"});
    auto r = run({app}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ran\n");
    EXPECT_EQ(r.err,
              banner() + "\n" + app + ": final processing of data.tar failed\n\nCommand: echo ran; exit 3\n");
}

TEST_F(Extract, DashNExtractsButDoesNotInstall)
{
    std::string app = make("abc", {"-r", "touch %p/installed"});
    auto r = run({app, "-n"}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("data.tar")), "abc");
    EXPECT_FALSE(exists(dir.file("installed")));
}

TEST_F(Extract, DashXWritesThePayloadToStandardOutputOnly)
{
    std::string data = testutil::random_bytes(100000, 8);
    std::string app = make(
        data, {"-f", "touch %p/extracted", "-r", "touch %p/installed", "-V", "/nonexistent/x", "-S", "qz"});
    auto r = run({app, "-x"}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == data);
    EXPECT_EQ(r.err, banner() + "Deflating data.tar...\n");
    EXPECT_FALSE(exists(dir.file("extracted")));
    EXPECT_FALSE(exists(dir.file("installed")));

    // Written after the archive's name, -x still means extract only.
    r = run({exe, "-u", app, "-x"}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == data);
    EXPECT_FALSE(exists(dir.file("extracted")));
    EXPECT_FALSE(exists(dir.file("installed")));
}

// -x appending to the archive named by -u would read its own output: refused,
// as the build refuses its input as its output, with nothing written. (An
// archive run itself cannot be opened for writing: the kernel refuses.)
TEST_F(Extract, DashXIntoTheArchiveItselfIsRefused)
{
    write_file(dir.file("data.tar"), testutil::random_bytes(100000, 12));
    const std::string app = dir.file("app.run");
    ASSERT_EQ(build_archive(app, {dir.file("data.tar")}).status, 0);
    const std::string before = read_file(app);
    struct Case {
        const char* what;
        std::string command, progname, named;
    } cases[] = {
        {"-u", "'" + exe + "' -u '" + app + "' -x >> '" + app + "'", exe, app},
        // The same file under another name is still the same file.
        {"-u through a hard link", "ln -f '" + app + "' other && '" + exe + "' -u other -x >> '" + app + "'",
         exe, "other"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = testutil::sh(c.command, "", dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.progname + ": " + c.named + ": the archive is also the output\n");
        EXPECT_TRUE(read_file(app) == before);
    }
}

// A CRC-32 that does not match is found only after the last window has been
// decoded. A program reading the data as it comes gets none of it; a file
// gets all of it, as from a decompressor, and the run still fails.
TEST_F(Extract, WithDashXDamageIsCheckedFirstOnlyWhenAProgramReadsTheData)
{
    std::string data = testutil::random_bytes(100000, 9);
    write_file(dir.file("data.tar"), data);
    std::string app = dir.file("app.run");
    ASSERT_EQ(build_archive(app, {dir.file("data.tar")}).status, 0);
    std::string image = read_file(app);
    image[image.size() - 8] = static_cast<char>(image[image.size() - 8] ^ 1);
    write_file(app, image);
    const std::string crc_error = "\n" + app + ": " + app + ": invalid compressed data--crc error\n";

    auto piped = run({app, "-x"}, "", dir.path());
    EXPECT_EQ(piped.status, 1);
    EXPECT_TRUE(piped.out.empty());
    EXPECT_EQ(piped.err, crc_error);  // before the banner: nothing has started

    auto to_file = testutil::sh("'" + app + "' -x > out", "", dir.path());
    EXPECT_EQ(to_file.status, 1);
    EXPECT_TRUE(read_file(dir.file("out")) == data);
    EXPECT_EQ(to_file.err, banner() + "Deflating data.tar...\n" + crc_error);
}

TEST_F(Extract, DashCKeepsTheNameOfARawPayloadAndDashUExtractsAnotherArchive)
{
    // -u names the archive directly even without its execute bit (a path with a "/").
    std::string app = make("payload", {"-r", "echo installed %o"});
    chmod(app.c_str(), 0644);
    auto r = run({exe, "-c", "-v", "-u", app}, "", dir.path());
    EXPECT_EQ(r.status, 0);  // verbose on a non-terminal: the command is not run
    EXPECT_EQ(read_file(dir.file("data.tar")), "payload");
    EXPECT_EQ(r.out,
              "This archive requires more processing using the following command:\n"
              "    echo installed data.tar\n"
              "but stdin is not a terminal. So forget it.\n");
}

// ---- failures of the extract command and of the data path ----

// The data's failure is the run's one message: the command's own status
// after it says nothing more.
TEST_F(Extract, AnExtractCommandThatStopsReadingIsAWriteErrorNotASignal)
{
    std::string app =
        make(testutil::random_bytes(1 << 20, 3), {"-f", "head -c 1 > /dev/null; exit 3", "-r", "touch %p/i"});
    auto r = run({app}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner() + "\n" + app + ": data.tar: Broken pipe\n");
    EXPECT_FALSE(exists(dir.file("i")));
}

// ---- extraction attacks: hostile members, names and commands ----

// A gzip member storing `name` around a DEFLATE body that decodes to `data`.
std::string member(const std::string& name, const std::string& body, const std::string& data)
{
    ulg t[2] = {crc32_update(0, reinterpret_cast<const uch*>(data.data()), data.size()),
                static_cast<ulg>(data.size())};
    std::string trailer;
    for (ulg v : t)
        for (int i = 0; i < 32; i += 8) trailer += static_cast<char>(v >> i);
    return std::string("\x1f\x8b\x08\x08\0\0\0\0\0\3", 10) + name + '\0' + body + trailer;
}

// `head` codes (a last stored block follows them) and then `data` stored.
std::string stored_after(testutil::BitWriter bw, const std::string& data)
{
    bw.bits(1, 3);  // last block, stored
    bw.align();
    bw.bits(static_cast<unsigned>(data.size()), 16);
    bw.bits(~static_cast<unsigned>(data.size()) & 0xffff, 16);
    for (char c : data) bw.byte(static_cast<unsigned char>(c));
    return bw.finish();
}

// A first match reaching 3 bytes before the data, then 40000 stored bytes.
// The trailer holds the CRC-32 of zeros there, what a fresh window gives: so
// a decode that copied from its window passed the verify pass, and the
// second decode, whose window ends with the first one's data, delivered
// other bytes. Such a member is a format error.
std::string reach_before_start()
{
    std::string tail = testutil::random_bytes(40000, 4);
    testutil::BitWriter bw;
    testutil::Code lit(testutil::fixed_lit_lengths()), dist(testutil::fixed_dist_lengths());
    bw.bits(1 << 1, 3);  // not last, fixed codes
    lit.put(bw, 257);    // length 3
    dist.put(bw, 2);     // distance 3
    lit.put(bw, 256);
    return member("data.tar", stored_after(bw, tail), std::string(3, '\0') + tail);
}

class Attack : public Extract {
protected:
    // An archive with these preamble strings and payload, as a hostile
    // builder could write it: the real tool's image, the marker, the strings.
    std::string craft(const std::string& feats, const std::string& extract, const std::string& payload)
    {
        std::string app = make("x", {});
        std::string image = drivertest::parse_archive(read_file(app)).image;
        std::string pre = feats + '\0' + "Self-Extracting archive file" + '\0' + "touch %p/installed" + '\0' +
                          extract + '\0';
        write_file(app, image + drivertest::marker() + pre + payload);
        return app;
    }
};

TEST_F(Attack, HostileMembersNamesAndCommands)
{
    struct Case {
        const char* what;
        std::string features, extract, payload;
        std::vector<std::string> args;
        int status;
        std::string err;     // after the app's name where it starts with ":"
        const char* output;  // the file the data must land in, in the run's directory
        bool installed;
    };
    const std::string abc = member("../../x", stored_after({}, "abc"), "abc");
    const std::string fail = "cat > /dev/null; exit 3", killed = "cat > /dev/null; kill -9 $$";
    const std::string format = ": invalid compressed data--format violated\n";
    for (const Case& c : {
             Case{"name ../../x", "NAME=x", "", abc, {}, 0, "", "x", true},
             Case{"name ..",
                  "NAME=x",
                  "",
                  member("..", stored_after({}, "abc"), "abc"),
                  {},
                  0,
                  "",
                  "stdout",
                  true},
             Case{"empty name",
                  "NAME=x",
                  "",
                  member("", stored_after({}, "abc"), "abc"),
                  {},
                  0,
                  "",
                  "stdout",
                  true},
             Case{"name a/",
                  "NAME=x",
                  "",
                  member("a/", stored_after({}, "abc"), "abc"),
                  {},
                  0,
                  "",
                  "stdout",
                  true},
             Case{"raw NAME=../../y", "NOCOMPR,NAME=../../y", "", "abc", {}, 0, "", "y", true},
             Case{"raw NAME=.", "NOCOMPR,NAME=.", "", "abc", {}, 0, "", "stdout", true},
             Case{"distance before the data",
                  "NAME=x",
                  "",
                  reach_before_start(),
                  {},
                  1,
                  format,
                  nullptr,
                  false},
             // An extract command that fails, however, stops the run: one
             // message, status 1, no install command, with -n too.
             Case{"extract exits 3",
                  "NAME=x",
                  fail,
                  abc,
                  {},
                  1,
                  ": extract command exited with status 3: " + fail + "\n",
                  nullptr,
                  false},
             Case{"extract exits 3, -n",
                  "NAME=x",
                  fail,
                  abc,
                  {"-n"},
                  1,
                  ": extract command exited with status 3: " + fail + "\n",
                  nullptr,
                  false},
             Case{"extract killed",
                  "NAME=x",
                  killed,
                  abc,
                  {},
                  1,
                  ": extract command was killed by signal 9: " + killed + "\n",
                  nullptr,
                  false},
         }) {
        SCOPED_TRACE(c.what);
        TempDir run_dir;
        std::string cwd = run_dir.file("a");
        ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
        cwd += "/b";
        ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
        std::string app = craft(c.features, c.extract, c.payload);
        std::vector<std::string> argv{app};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run(argv, "", cwd);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        std::string err = c.err.empty()     ? ""
                          : c.err == format ? "\n" + app + ": " + app + format
                                            : app + c.err;
        // Only a damaged payload is refused before the banner.
        EXPECT_EQ(r.err, c.err == format ? err : banner() + err);
        if (c.output != nullptr) {
            EXPECT_EQ(read_file(cwd + "/" + c.output), "abc");
        }
        EXPECT_EQ(exists(cwd + "/installed"), c.installed);
        // Nothing lands outside the run's directory.
        EXPECT_FALSE(exists(run_dir.file("x")) || exists(run_dir.file("y")) || exists(run_dir.file("a/x")));
        if (c.status != 0) {
            EXPECT_FALSE(exists(cwd + "/data.tar"));
        }
    }
}

// The bytes checked are the bytes delivered: into a file or through a pipe,
// a member reaching before its data is refused and gives nothing.
TEST_F(Attack, DashXRefusesADistanceBeforeTheDataIntoAFileAndAPipe)
{
    std::string app = craft("NAME=x", "", reach_before_start());
    const std::string format = "\n" + app + ": " + app + ": invalid compressed data--format violated\n";
    auto piped = run({app, "-x"}, "", dir.path());
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.out, "");
    EXPECT_EQ(piped.err, format);
    auto to_file = testutil::sh("'" + app + "' -x > out", "", dir.path());
    EXPECT_EQ(to_file.status, 1);
    EXPECT_EQ(read_file(dir.file("out")), "");
    EXPECT_EQ(to_file.err, banner() + "Deflating data.tar...\n" + format);
}

TEST_F(Extract, AnExpansionOver2047CharactersIsRefused)
{
    std::string app = make("abc", {});
    // A current directory longer than the expansion can hold.
    std::string deep = dir.path();
    while (deep.size() < 2100) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    auto r = run({app}, "", deep);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, app + ": command too long after expansion (at most 2047 characters): cat > %p/%o\n");
}

TEST_F(Extract, ANonArchiveIsRefused)
{
    write_file(dir.file("plain"), "no marker here");
    auto r = run({exe, "-u", dir.file("plain")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, dir.file("plain") + ": unable to find preamble magic value\n");
    r = run({exe, "-u", "no-such-archive"}, "", dir.path(), {"PATH=/nonexistent"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "no-such-archive: unable to find vokra to build preamble\n"
              "no-such-archive: unable to find preamble magic value\n");
}

// On a terminal the install command holds the foreground while it runs, as
// if the shell had started it: it can read the terminal, and Ctrl-C reaches
// its whole group (once only) and fails the run. During the extract command
// the run keeps the foreground and passes Ctrl-C on.
TEST_F(Extract, OnATerminalTheCommandsHoldTheForeground)
{
    struct Case {
        const char* what;
        std::string extract, install;
        std::vector<std::pair<std::string, std::string>> script;
        int status;
        std::string said;  // in the transcript
        const char* made;  // a file the commands leave, or null
    } cases[] = {
        {"the install command reads the terminal",
         "cat > /dev/null",
         "printf 'name? '; read answer; echo \"$answer\" > %p/answer",
         {{"name? ", "kid\n"}},
         0,
         "name? ",
         "answer"},
        {"Ctrl-C ends the install command's pipeline",
         "cat > /dev/null",
         "echo started; sleep 20 | cat; touch %p/late",
         {{"started", "\x03"}},
         1,
         "started",
         nullptr},
        // The extract command reads the run, which keeps the foreground and
        // passes Ctrl-C on to the command's whole group.
        {"Ctrl-C ends the extract command's whole group and the run",
         "cat > /dev/null; (trap '' INT; exec sleep 20) & echo $! > %p/member; echo started; wait; touch "
         "%p/late",
         "touch %p/late",
         {{"started", "\x03"}},
         1,
         "started",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir run_dir;
        std::string app = make("abc", {"-f", c.extract, "-r", c.install});
        auto r = run_on_pty({app}, run_dir.path(), c.script);
        EXPECT_TRUE(r.script_done) << r.transcript;
        EXPECT_EQ(r.status, c.status) << r.transcript;
        EXPECT_NE(r.transcript.find(c.said), std::string::npos) << r.transcript;
        EXPECT_FALSE(exists(run_dir.file("late")));
        // No process of the command's group outlives the run.
        if (exists(run_dir.file("member"))) {
            const pid_t member = std::atoi(read_file(run_dir.file("member")).c_str());
            ASSERT_GT(member, 0);
            EXPECT_TRUE(kill(member, 0) == -1 && errno == ESRCH) << "member " << member << " still runs";
            kill(member, SIGKILL);
        }
        if (c.made != nullptr) {
            EXPECT_EQ(read_file(run_dir.file(c.made)), "kid\n");
        }
    }
}

// ---- the verbose confirmation dialogue ----

class Dialogue : public Extract {
protected:
    std::string app;
    void SetUp() override { app = make("abc", {"-r", "echo ran > %p/ran; exit 3"}); }
};

const std::string PROMPT = "OK to run the command? ";

// Each row answers on the terminal; the command (exit 3) runs only on a Y or
// y, its failure sets status 1 without the failure message (the dialogue has
// spoken), and anything else but N asks again.
TEST_F(Dialogue, OnlyYRunsTheCommandAndOtherAnswersAskAgain)
{
    const std::string again = "? (y/n): ";
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, std::string>> script;
        bool ran;
    };
    for (const Row& row : {
             Row{"y runs the command", {{PROMPT, "y\n"}}, true},
             Row{"N and what follows it is no", {{PROMPT, "No thanks\n"}}, false},
             Row{"an empty line or a blank first asks again",
                 {{PROMPT, "\n"}, {again, " y\n"}, {again, "Y\n"}},
                 true},
             // The 512th character of a long line is no answer of its own.
             Row{"an answer is one whole line however long",
                 {{PROMPT, std::string(511, 'x') + "y\n"}, {again, "n\n"}},
                 false},
             Row{"end of input is no", {{PROMPT, "\x04"}}, false},
         }) {
        SCOPED_TRACE(row.what);
        unlink(dir.file("ran").c_str());
        auto r = run_on_pty({app, "-v"}, dir.path(), row.script);
        EXPECT_TRUE(r.script_done) << r.transcript;
        EXPECT_EQ(r.status, row.ran ? 1 : 0) << r.transcript;
        EXPECT_EQ(exists(dir.file("ran")), row.ran);
        if (row.ran) {
            EXPECT_EQ(read_file(dir.file("ran")), "ran\n");
        }
        EXPECT_NE(
            r.transcript.find(
                "This archive requires more processing using the following command:\r\n    echo ran > " +
                dir.path() + "/ran; exit 3\r\n"),
            std::string::npos)
            << r.transcript;
        EXPECT_EQ(r.transcript.find("final processing"), std::string::npos) << r.transcript;
    }
}

TEST_F(Dialogue, OnATerminalTheArchivesTextsAreShownEscaped)
{
    // A carriage return would let the visible text hide the command that runs.
    app = make("abc", {"-C", "Acme\033[2J", "-r", "rm -rf ~/x\recho harmless"});
    auto r = run_on_pty({app, "-v"}, dir.path(), {{PROMPT, "n\n"}});
    EXPECT_TRUE(r.script_done) << r.transcript;
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.transcript.find("\r\nAcme\\033[2J\r\n"), std::string::npos) << r.transcript;
    EXPECT_NE(r.transcript.find("\r\n    rm -rf ~/x\\recho harmless\r\n"), std::string::npos) << r.transcript;
}

TEST_F(Dialogue, WithoutATerminalTheCommandNeverRuns)
{
    auto r = run({app, "-v"}, "y\n", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(exists(dir.file("ran")));
    EXPECT_EQ(r.err, banner() + "Deflating data.tar...\n");
    EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n    echo ran > " +
                         dir.path() + "/ran; exit 3\nbut stdin is not a terminal. So forget it.\n");
}

// ---- in-process: expansion and export ----

class InProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_driver_state();
        set_extract_pause(0);
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        cwd = buf;
    }
    std::string cwd;
};

TEST_F(InProcess, PlaceholdersExpandAndOtherPercentsStay)
{
    set_ofname("data.tar");
    struct Case {
        const char* in;
        std::string out;
    };
    for (const Case& c :
         {Case{"cat > %p/%o", "cat > " + cwd + "/data.tar"}, Case{"a %% b", "a %% b"}, Case{"%x%", "%x%"},
          Case{"end %", "end %"}, Case{"%o%o", "data.tardata.tar"}, Case{"", ""}}) {
        char* r = replace_program_parms(c.in);
        ASSERT_NE(r, nullptr) << c.in;
        EXPECT_EQ(std::string(r), c.out) << c.in;
        std::free(r);
    }
}

TEST_F(InProcess, AnExpansionThatDoesNotFitIsRefused)
{
    set_ofname(std::string(255, 'o').c_str());
    std::string exact(2047 - 255 * 7, 'x');
    char* r = replace_program_parms((exact + "%o%o%o%o%o%o%o").c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::strlen(r), 2047u);
    std::free(r);
    testing::internal::CaptureStderr();
    EXPECT_EQ(replace_program_parms((exact + "y%o%o%o%o%o%o%o").c_str()), nullptr);
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "vokra: command too long after expansion (at most 2047 characters): " + exact + "y%o%o%o%o%o%o%o\n");
}

// Runs in a child: the strings handed to putenv are never freed by design,
// and this process's environment stays as it was.
TEST_F(InProcess, ExportPutsEveryItemIntoTheEnvironment)
{
    auto check = [] {
        unsetenv("NOCOMPR");
        unsetenv("NAME");
        unsetenv("K");
        unsetenv("Y");
        set_preamble("NOCOMPR,NAME=x,K=1 ,K=2, \tY=3", "", "", "");
        export_features();
        const char* nocompr = std::getenv("NOCOMPR");
        const char* name = std::getenv("NAME");
        const char* k = std::getenv("K");
        bool ok = nocompr != nullptr && std::strcmp(nocompr, "") == 0 && name != nullptr &&
                  std::strcmp(name, "x") == 0 && k != nullptr &&
                  std::strcmp(k, "2") == 0 &&  // later item wins
                  std::getenv("Y") != nullptr && std::strcmp(std::getenv("Y"), "3") == 0 &&
                  std::strcmp(driver.features, "NOCOMPR,NAME=x,K=1 ,K=2, \tY=3") == 0;
        if (!ok) _exit(2);
        set_preamble("", "", "", "");
        char** before = environ;
        export_features();  // an empty feature string exports nothing
        _exit(environ == before && std::getenv("EXTRA_UNSET") == nullptr ? 0 : 3);
    };
    EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

namespace {

TEST(Example, TheDemoBuildsAndRunsItsInstaller)
{
    auto r = testutil::run(
        {"/bin/sh", std::string(VOKRA_SOURCE_DIR) + "/examples/demo.sh", testutil::vokra_exe()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("install.sh: installing app.tar (version 1.0, vendor Example Corp) into "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("install.sh: smoke test: Hello, installer!\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("target/hello/share/doc/hello/README\n"), std::string::npos) << r.out;
}

}  // namespace
