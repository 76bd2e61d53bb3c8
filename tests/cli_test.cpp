// The command line through the real executable: usage texts, refusals, the
// build road and the archive image it writes.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

#include "driver_testutil.h"
#include "testutil.h"

namespace {

using drivertest::build_archive;
using drivertest::parse_archive;
using testutil::read_file;
using testutil::run;
using testutil::TempDir;
using testutil::write_file;

const std::string VERSION_LINE = "Version: @(#) vokra 1.2.1    6/6/2001 \n";

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
    const std::string build_help = "Usage: " + exe + " [options] file... > archive\n", version = "vokra 1.2.1\n";
    const std::pair<std::vector<std::string>, std::string> answered[] = {
        {{exe, "--version"}, version},
        {{app, "--version", "-z"}, version},
        {{exe, "-cv", "f", "--help"}, build_help},
        {{exe, "-u", "--help"}, "Usage: " + exe + " [options]\n"},
        {{app, "--help"}, "Usage: " + app + " [options]\n       " + app + " -u [options] archive\nAcme"},
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

TEST_F(Cli, AnOperandThatCannotBeReadFailsTheBuild)
{
    auto r = run({exe, "-a", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n" + exe + ": " + dir.path() + ": Is a directory\n");

    // Compressed, the member still closes consistently (empty here: the first
    // read failed), but the build reports the lost input.
    r = run({exe, dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n" + exe + ": " + dir.path() + ": Is a directory\n");
    std::string member = parse_archive(r.out).payload;
    ASSERT_GE(member.size(), 8u);
    EXPECT_EQ(member.substr(member.size() - 8), std::string(8, '\0'));  // CRC and length of nothing
}

TEST_F(Cli, OverlongArgumentsAreRefusedBeforeAnyOutput)
{
    write_file(dir.file("f"), "x");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    std::string s1024(1024, 'c'), s250(250, 'o');
    std::vector<Case> cases = {
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
    for (const Case& c : cases) {
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run(argv, "", dir.path());
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_TRUE(r.out.empty()) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Cli, WithoutItsOwnFileTheBuildRefusesUnlessGivenP)
{
    write_file(dir.file("f"), "x");
    // argv[0] names nothing that exists, on PATH or otherwise.
    std::string cmd = "exec -a ghost-vokra '" + exe + "' -a f";
    auto r = run({"/bin/bash", "-c", cmd}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err,
              "ghost-vokra: unable to find vokra to build preamble\n"
              "ghost-vokra: cannot locate my own executable; name it with -p\n");

    r = run({"/bin/bash", "-c", "exec -a ghost-vokra '" + exe + "' -p '" + exe + "' -a f"}, "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(parse_archive(r.out).image, read_file(exe));
    // An image that cannot be read: its message, no payload after it, status 1.
    r = run({exe, "-p", dir.file("nothing"), "-a", "f"}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.err, dir.file("nothing") + ": No such file or directory\n");
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
