// The command line through the real executable: usage texts, refusals, the
// build road and the archive image it writes.
#include <gtest/gtest.h>

#include <string>
#include <fcntl.h>
#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include "driver_testutil.h"
#include "testutil.h"

namespace {

using drivertest::build_archive;
using drivertest::parse_archive;
using testutil::read_file;
using testutil::run;
using testutil::TempDir;
using testutil::write_file;

const std::string VERSION_LINE = "Version: @(#) vokra " VOKRA_VERSION "    6/6/2001 \n";

std::string build_usage(const std::string& prog)
{
    return VERSION_LINE + "Usage: " + prog +
           " [-huclva] [-p vokra_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
           "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] [-F feature_sting] "
           "<files...>\n";
}

std::string archive_usage(const std::string& prog, const std::string& comment)
{
    return VERSION_LINE + "\n" + comment + "\n\nUsage: " + prog +
           " [-hclnvtx]\n"
           "    -h: show this help\n"
           "    -u: use as utility to decompress archive specified on command-line\n"
           "    -l: list compression statistics\n"
           "    -c: extract to stdout instead of archive name\n"
           "    -x: extract only. do not deflate the archive\n"
           "    -n: do not run install command after deflating archive\n"
           "    -t: temp path for decompression if archive allows\n"
           "    -v: verbose output\n";
}

class Cli : public ::testing::Test {
protected:
    std::string exe = testutil::vokra_exe();
    TempDir dir;
    // A small raw archive to exercise archive mode.
    std::string make_archive(const std::vector<std::string>& extra = {})
    {
        write_file(dir.file("data.txt"), "data\n");
        std::string out = dir.file("app.run");
        std::vector<std::string> args{"-a"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir.file("data.txt"));
        auto r = build_archive(out, args);
        EXPECT_EQ(r.status, 0) << r.err;
        return out;
    }
    struct Refusal {
        std::vector<std::string> args;
        std::string err;
        std::string out = "";
    };
    // Runs the tool in dir with each case's arguments: status 1, exactly this
    // output (none, mostly) and this message.
    void expect_refusals(const std::vector<Refusal>& cases, const std::vector<std::string>& env = {})
    {
        for (const Refusal& c : cases) {
            std::vector<std::string> argv{exe};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            auto r = run(argv, "", dir.path(), env);
            EXPECT_EQ(r.status, 1) << c.err;
            EXPECT_EQ(r.out, c.out) << c.err;
            EXPECT_EQ(r.err, c.err);
        }
    }
};

TEST_F(Cli, NoOperandInBuildModeAsksForFiles)
{
    auto r = run({exe});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, build_usage(exe) + exe + ": what files do you want to compress?\n");
}

TEST_F(Cli, HelpAndBadOptionsPrintTheBuildUsage)
{
    for (const char* opt : {"-h", "-?"}) {
        auto r = run({exe, opt, "file"});
        EXPECT_EQ(r.status, 1) << opt;
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(r.err, build_usage(exe)) << opt;
    }
    // getopt's own complaint comes first, then the usage text.
    for (const char* opt : {"-z", "-p"}) {
        auto r = run({exe, opt});
        EXPECT_EQ(r.status, 1) << opt;
        EXPECT_TRUE(r.out.empty());
        ASSERT_GE(r.err.size(), build_usage(exe).size());
        EXPECT_EQ(r.err.substr(r.err.size() - build_usage(exe).size()), build_usage(exe)) << opt;
    }
}

TEST_F(Cli, OptionsAfterOperandsCountAndDoubleDashEndsThem)
{
    write_file(dir.file("f"), "x");
    auto r = run({exe, "-a", "f", "-h"}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, build_usage(exe));
    EXPECT_TRUE(r.out.empty());

    r = run({exe, "-a", "--", "-h", "f"}, "", dir.path());
    EXPECT_EQ(r.status, 1);                               // the operand -h names no file
    EXPECT_EQ(r.err, "-h: No such file or directory\n");  // an operand, not an option
    EXPECT_EQ(parse_archive(r.out).payload, "x");

    // An option's argument that looks like an operand stays with its option.
    r = run({exe, "f", "-C", "note", "-a"}, "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(parse_archive(r.out).comment, "note");
    EXPECT_EQ(parse_archive(r.out).features, "NOCOMPR,NAME=f");
}

TEST_F(Cli, HelpAndVersionAnswerOnStandardOutputOnlyAsWholeWordsInOptionPlace)
{
    std::string app = make_archive({"-C", "Acme tools 2.0"});
    const std::string build_help = "Usage: " + exe + " [options] file... > archive\n",
                      version = "vokra " VOKRA_VERSION "\n";
    const std::pair<std::vector<std::string>, std::string> answered[] = {
        {{exe, "--version"}, version},
        {{app, "--version", "-z"}, version},
        {{exe, "-cv", "f", "--help"}, build_help},
        {{exe, "-u", "--help"}, "Usage: " + exe + " [options] [-- args...]\n"},
        {{app, "--help"},
         "Usage: " + app + " [options] [-- args...]\n       " + app +
             " -u [options] archive [-- args...]\nAcme"},
        {{exe, "-C", "--help", "--version"}, version},  // the comment is --help
    };
    for (const auto& [argv, out_start] : answered) {
        auto r = run(argv, "", dir.path());
        EXPECT_EQ(r.status, 0) << argv[1];
        EXPECT_EQ(r.out.substr(0, out_start.size()), out_start) << argv[1];
        EXPECT_EQ(r.err, "") << argv[1];
    }
    // Usage errors stay usage errors; after -- it is an operand naming no file.
    for (const char* first : {"-h", "--helpx", "--"}) {
        auto r = run({exe, "-a", first, "--help"}, "", dir.path());
        EXPECT_EQ(r.status, 1) << first;
        EXPECT_NE(r.out.rfind("Usage: ", 0), 0u) << first;
    }
    auto r = run({exe, "--help"});  // one line per option
    for (const char* p = "huclvxnapCrfVStOF"; *p != '\0'; p++) {
        EXPECT_NE(r.out.find(std::string("\n  -") + *p), std::string::npos) << *p;
    }
    for (const std::string& help : {r.out, run({app, "--help"}).out}) {
        for (const char* o : {"--keep", "--quiet", "--target dir", "-- args..."}) {
            EXPECT_NE(help.find(std::string("\n  ") + o + " "), std::string::npos) << o;
        }
    }
}

TEST_F(Cli, AnArchiveImagePrintsTheArchiveUsageWithItsComment)
{
    std::string app = make_archive({"-C", "Acme tools 2.0"});
    auto r = run({app, "-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, archive_usage(app, "Acme tools 2.0"));
    // -C before -h shows in the usage text, the one place it shows in archive mode.
    r = run({app, "-C", "other", "-h"});
    EXPECT_EQ(r.err, archive_usage(app, "other"));
    // Utility mode on a plain tool without an archive name: usage, status 1.
    r = run({exe, "-u"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, archive_usage(exe, "Self-Extracting archive file"));
}

TEST_F(Cli, BuildWritesImageMarkerPreambleAndRawPayload)
{
    ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0755), 0);
    std::string payload = testutil::random_bytes(3000, 4);
    write_file(dir.file("dir/data.tar"), payload);
    auto r = build_archive(dir.file("a.run"), {"-a", dir.file("dir/data.tar")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    auto l = parse_archive(r.out);
    ASSERT_TRUE(l.found);
    EXPECT_EQ(l.image, read_file(exe));
    EXPECT_EQ(l.features, "NOCOMPR,NAME=data.tar");
    EXPECT_EQ(l.comment, "Self-Extracting archive file");
    EXPECT_EQ(l.run_program, "");
    EXPECT_EQ(l.pipe_program, "");
    EXPECT_EQ(l.preamble_end, l.image.size() + 11 + (21 + 1) + (28 + 1) + 2);
    EXPECT_EQ(l.payload, payload);
}

TEST_F(Cli, FeaturesFollowOptionOrderAndNameComesLast)
{
    write_file(dir.file("data.tar"), "x");
    // Without -a the payload needs the compressor; the preamble is written first either way.
    auto r = run({exe, "-V", "/tmp", "-S", "qz", "-O", "Acme", dir.file("data.tar")});
    EXPECT_EQ(parse_archive(r.out).features, "VFYFS=/tmp,FSSUB=qz,QZ_VENDOR=Acme,NAME=data.tar");

    r = run({exe, "-F", "B", "-a", "-C", "c", "-r", "run %p", "-f", "tar xf -", "-F", "K=v", "-O", "X",
             dir.file("data.tar")});
    EXPECT_EQ(r.status, 0);
    auto l = parse_archive(r.out);
    EXPECT_EQ(l.features, "B,NOCOMPR,K=v,QZ_VENDOR=X,NAME=data.tar");
    EXPECT_EQ(l.comment, "c");
    EXPECT_EQ(l.run_program, "run %p");
    EXPECT_EQ(l.pipe_program, "tar xf -");
}

TEST_F(Cli, SeveralOperandsAreAppendedBackToBack)
{
    write_file(dir.file("one"), "first ");
    write_file(dir.file("two"), std::string("\0second\0", 8));
    auto r = run({exe, "-a", dir.file("one"), dir.file("missing"), dir.file("two")});
    // An operand that cannot be opened is reported and skipped; the others
    // still go in, and the status says the archive lacks an input.
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, dir.file("missing") + ": No such file or directory\n");
    auto l = parse_archive(r.out);
    EXPECT_EQ(l.features, "NOCOMPR,NAME=one");
    EXPECT_EQ(l.payload, "first " + std::string("\0second\0", 8));
}

TEST_F(Cli, OverlongArgumentsAreRefusedBeforeAnyOutput)
{
    write_file(dir.file("f"), "x");
    std::string s1024(1024, 'c'), s250(250, 'o');
    std::vector<Refusal> cases = {
        {{"-C", s1024, "f"}, exe + ": argument of -C too long (at most 1023 characters)\n"},
        {{"-p", s1024, "f"}, exe + ": argument of -p too long (at most 1023 characters)\n"},
        {{"-r", s1024, "f"}, exe + ": argument of -r too long (at most 1023 characters)\n"},
        {{"-f", s1024, "f"}, exe + ": argument of -f too long (at most 1023 characters)\n"},
        {{"-O", s250, "f"},
         exe + ": feature item too long (at most 255 characters): QZ_VENDOR=" + s250 + "\n"},
        {{"-F", std::string(1000, 'k'), "-F", std::string(30, 'j'), "f"},
         exe + ": feature string too long (at most 1023 characters): " + std::string(30, 'j') + "\n"},
        {{"-a", std::string(1024, 'n')},
         exe + ": file name too long (at most 1023 characters): " + std::string(40, 'n') + "...\n"},
        {{"-a", std::string(256, 'n')},
         exe + ": feature item too long (at most 255 characters): NAME=" + std::string(256, 'n') + "\n"},
    };
    expect_refusals(cases);
}

// Runs a shell command line in a private mount namespace where /proc is an
// empty tmpfs, so the link to the own file is missing.
testutil::RunResult without_proc(const std::string& command, const std::string& cwd)
{
    return run({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/bash", "-c",
                "mount -t tmpfs none /proc && " + command},
               "", cwd);
}

TEST_F(Cli, WithoutTheLinkToItsOwnFileTheBuildUsesTheExecutedPath)
{
    if (geteuid() != 0) GTEST_SKIP() << "hiding /proc needs root";
    auto probe = without_proc("exec '" + exe + "' -h", dir.path());
    // An emulator or a sanitizer's run time may itself need /proc.
    if (probe.status != 1 || probe.err.rfind(VERSION_LINE, 0) != 0) {
        GTEST_SKIP() << "the tool does not run cleanly without /proc here: " << probe.err;
    }
    write_file(dir.file("f"), "x");
    // argv[0] names nothing that exists, on PATH or otherwise: the path the
    // kernel executed still names the tool.
    for (const std::string& start : {"exec '" + exe + "'", "exec -a ghost-vokra '" + exe + "'",
                                     "exec -a ghost-vokra '" + exe + "' -p '" + exe + "'"}) {
        auto r = without_proc(start + " -a f", dir.path());
        EXPECT_EQ(r.status, 0) << start << r.err;
        EXPECT_EQ(parse_archive(r.out).image, read_file(exe)) << start;
    }
}

// The own image is the file the kernel executed. Run by its bare name from
// PATH, in a directory where another user left an archive or a program named
// vokra, the tool neither runs nor copies it; an archive started under the
// name vokra is still the archive.
TEST_F(Cli, TheOwnImageIsTheExecutedFileNotOneFoundByItsName)
{
    make_archive();
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("work").c_str(), 0777), 0);
    write_file(dir.file("bin/vokra"), read_file(exe));
    chmod(dir.file("bin/vokra").c_str(), 0755);
    write_file(dir.file("work/in.txt"), "x");
    const std::string path_env = "PATH=" + dir.file("bin") + ":/usr/bin:/bin";
    const std::string planted = dir.file("work/vokra");
    build_archive(planted, {"-a", "-r", "touch pwned", dir.file("data.txt")});
    for (const std::string& plant : {read_file(planted), std::string("#!/bin/sh\necho planted\n")}) {
        write_file(planted, plant);
        chmod(planted.c_str(), 0755);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(planted.c_str(), 65534, 65534), 0);
        }
        auto r = run({"/bin/sh", "-c", "vokra -a in.txt"}, "", dir.file("work"), {path_env});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(parse_archive(r.out).image == read_file(exe));  // not a dump of either on failure
        EXPECT_FALSE(drivertest::exists(dir.file("work/pwned")));
    }
    auto r = run({"/bin/bash", "-c", "exec -a vokra ./app.run -x"}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "data\n");
}

// Operands of -l and -u are paths: a non-executable ./x.run is not passed
// over for an archive of that name on PATH; a device, FIFO or directory is
// refused without reading it, and the listing goes on with the next operand.
TEST_F(Cli, OperandsAreRegularFilesOpenedAsGiven)
{
    std::string app = make_archive();
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
    write_file(dir.file("bin/x.run"), read_file(app));
    chmod(dir.file("bin/x.run").c_str(), 0755);
    write_file(dir.file("x.run"), "not an archive");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    const std::string listing = run({exe, "-l", app}).out;
    const std::string p = exe + ": ";
    const std::string magic = ": unable to find preamble magic value\n";
    expect_refusals(
        {{{"-l", "x.run"}, "x.run" + magic},
         {{"-u", "x.run", "-x"}, "x.run" + magic},
         {{"-l", "/dev/zero", app}, p + "/dev/zero: not a regular file\n/dev/zero" + magic, listing},
         {{"-l", "fifo"}, p + "fifo: not a regular file\nfifo" + magic},
         {{"-l", "bin"}, p + "bin: not a regular file\nbin" + magic},
         {{"-u", "/dev/zero"}, p + "/dev/zero: not a regular file\n/dev/zero" + magic}},
        {"PATH=" + dir.file("bin") + ":/usr/bin:/bin"});
}

// A build the archive would not read back as meant, or with an image that is
// no plain file, is refused before a byte is written.
TEST_F(Cli, BuilderAttacksAreRefusedBeforeAnyOutput)
{
    make_archive();
    for (const char* name : {"a,PATH=.", "NOCOMPR-notes.txt", "VFYFS=ab", "blank "})
        write_file(dir.file(name), "x");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
    const std::string p = exe + ": ";
    const std::string garbled = ": would not read back as written in the feature string\n";
    std::string d127(128, 'd');  // "/" and 127 more: one over the limit
    d127[0] = '/';
    const std::vector<Refusal> cases = {
        // names and items that the archive would read as other features
        {{"a,PATH=."}, p + "a,PATH=." + garbled},
        {{"blank "}, p + "blank " + garbled},
        {{"NOCOMPR-notes.txt"}, p + "NOCOMPR-notes.txt: would be read as the feature NOCOMPR\n"},
        {{"VFYFS=ab"}, p + "VFYFS=ab: would be read as the feature VFYFS\n"},
        {{"-F", "FSNAME=x", "data.txt"}, p + "FSNAME=x: would be read as the feature NAME\n"},
        {{"-V", "/t/FSSUB=qz", "-S", "xy", "data.txt"},
         p + "VFYFS=/t/FSSUB=qz: would be read as the feature FSSUB\n"},
        {{"-O", "x,PATH=.", "data.txt"}, p + "QZ_VENDOR=x,PATH=." + garbled},
        {{"-F", "A=\"x", "data.txt"}, p + "A=\"x" + garbled},
        {{"-F", "A=x\\", "data.txt"}, p + "A=x\\" + garbled},
        {{"-F", "\"VFYFS\"=/tmp", "data.txt"}, p + "\"VFYFS\"=/tmp" + garbled},
        {{"-V", "/tmp ", "-S", "qz", "data.txt"}, p + "VFYFS=/tmp " + garbled},
        // settings every run of the archive would refuse
        {{"-V", "/tmp", "data.txt"},
         p + "VFYFS=/tmp without FSSUB= (-V without -S): no run could extract it\n"},
        {{"-V", "/", "-S", "qz", "data.txt"}, p + "VFYFS=/: the directory must have 2 to 127 characters\n"},
        {{"-V", d127, "-S", "qz", "data.txt"},
         p + "VFYFS=" + d127 + ": the directory must have 2 to 127 characters\n"},
        {{"-V", "/tmp", "-S", "q", "data.txt"},
         p + "FSSUB=q: the directory name must have at least 2 characters\n"},
        // images that are no plain files, inputs that do not exist
        {{"-p", "app.run", "data.txt"},
         p + "app.run: the image is already an archive; use a plain vokra executable\n"},
        {{"-p", "/dev/null", "data.txt"}, p + "/dev/null: not a regular file\n"},
        {{"-p", "fifo", "data.txt"}, p + "fifo: not a regular file\n"},
        {{"-p", "missing", "data.txt"}, "missing: unable to find vokra to build preamble\n"},
        {{"missing"}, "missing: No such file or directory\n"},
    };
    expect_refusals(cases);
    // Items that read back as written still build, blanks after a comma included.
    auto r =
        run({exe, "-F", "X=1, Y=2", "-V", "/tmp", "-S", "qz", "-F", "VFYFS=/b", "data.txt"}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(parse_archive(r.out).features, "X=1, Y=2,VFYFS=/tmp,FSSUB=qz,VFYFS=/b,NAME=data.txt");
}

// An input or image that is also the output would be read while it grows: the
// build is refused and the file left as it was. A terminal gets no archive.
TEST_F(Cli, AnArchiveGoesNeitherIntoItsOwnInputsNorToATerminal)
{
    write_file(dir.file("f"), "data");
    write_file(dir.file("img"), read_file(exe));
    const std::string p = exe + ": ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"'" + exe + "' f >> f", p + "f: the input is also the output\n"},
        {"'" + exe + "' -a img f >> f", p + "f: the input is also the output\n"},
        {"'" + exe + "' -p img f >> img", p + "img: the image is also the output\n"},
    };
    for (const auto& [command, err] : cases) {
        auto r = testutil::sh(command, "", dir.path());
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(read_file(dir.file("f")), "data");
        EXPECT_EQ(read_file(dir.file("img")), read_file(exe));
    }
    auto t = drivertest::run_on_pty({exe, "f"}, dir.path(), {});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(t.transcript, p + "an archive is not written to a terminal; redirect standard output\r\n");
}

// The image is copied in pieces: a 256 MiB image builds within half that
// memory (the build's peak resident size, an emulator or sanitizer included).
// A small parent starts the build and reports its peak: a child forked from
// this test would count the test's own pages, which a sanitizer makes large.
TEST_F(Cli, TheImageIsCopiedInPieces)
{
    write_file(dir.file("f"), "data");
    write_file(dir.file("img"), "");
    ASSERT_EQ(truncate(dir.file("img").c_str(), 256L << 20), 0);  // sparse: no disk, no time
    chmod(dir.file("img").c_str(), 0755);
    const char* measure =
        "import resource, subprocess, sys\n"
        "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
        "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n";
    auto r = testutil::run({"/usr/bin/env", "python3", "-c", measure, exe, "-p", "img", "-a", "f"}, "", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    long status = -1, peak_kib = -1;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "%ld %ld", &status, &peak_kib), 2) << r.out;
    EXPECT_EQ(status, 0);
    EXPECT_LT(peak_kib, 128L << 10) << "KiB at the peak";
}

// Neither command inherits a descriptor on the archive or on the own image.
TEST_F(Cli, TheCommandsInheritNoDescriptorOnTheArchive)
{
    write_file(dir.file("data.txt"), "data\n");
    const std::string app = dir.file("app.run");
    auto b = build_archive(app, {"-a", "-f", "cat >/dev/null; ls -l /proc/$$/fd > fd.extract", "-r",
                                 "ls -l /proc/$$/fd > fd.install", dir.file("data.txt")});
    ASSERT_EQ(b.status, 0) << b.err;
    for (const std::vector<std::string>& argv : {std::vector<std::string>{app}, {exe, "-u", app}}) {
        auto r = run(argv, "", dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        for (const char* listing : {"fd.extract", "fd.install"}) {
            const std::string fds = read_file(dir.file(listing));
            EXPECT_NE(fds.find(dir.file(listing)), std::string::npos)
                << fds;  // its own output: a real listing
            EXPECT_EQ(fds.find(app), std::string::npos) << argv.size() << listing << fds;
            EXPECT_EQ(fds.find(exe), std::string::npos) << argv.size() << listing << fds;
            unlink(dir.file(listing).c_str());
        }
    }
}

TEST_F(Cli, ExitStatusesAreZeroOrOne)
{
    std::string app = make_archive();
    for (std::vector<std::string> argv : {std::vector<std::string>{exe, "-u", dir.file("none")},
                                          {exe, "-u", dir.file("data.txt")},
                                          {app, "-h"}}) {
        auto r = run(argv);
        EXPECT_EQ(r.status, 1) << r.err;
    }
}

}  // namespace
