// The build's inputs through the real executable: pipes, sockets and devices
// read to their end, any number of inputs whatever the descriptor limit, empty
// feature items, and a directory packed as a tar stream in one step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "driver_testutil.h"
#include "testutil.h"

namespace {

using drivertest::parse_archive;
using testutil::read_file;
using testutil::run;
using testutil::sh;
using testutil::TempDir;
using testutil::write_file;

const std::string EXE = testutil::vokra_exe();

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

// The payload of a built archive, decompressed when it is a gzip member.
std::string gunzip(const std::string& member)
{
    return sh("gzip -dc", member).out;
}

// ---- streams ----

struct StreamCase {
    const char* shows;
    std::string command;  // bash, in the test's directory; $V is the tool
    std::string payload;  // expected, after gunzip unless -a
    bool raw;
};

void PrintTo(const StreamCase& c, std::ostream* os)
{
    *os << c.shows;
}

class StreamInputsE2E : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamInputsE2E, AreReadToTheirEnd)
{
    const StreamCase& c = GetParam();
    TempDir dir;
    auto r = run({"/bin/bash", "-c", "V=" + quoted(EXE) + "; " + c.command}, "", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto l = parse_archive(r.out);
    ASSERT_TRUE(l.found);
    EXPECT_EQ(c.raw ? l.payload : gunzip(l.payload), c.payload);
}

const StreamCase STREAM_CASES[] = {
    {"process substitution", "\"$V\" -a <(printf 'from a pipe')", "from a pipe", true},
    {"dev stdin from a pipe", "printf piped | \"$V\" -a /dev/stdin", "piped", true},
    {"a FIFO waited for until its writer comes",
     "mkfifo f; (sleep 1; timeout 10 sh -c 'printf late > f') & \"$V\" -a f", "late", true},
    {"a character device that ends", "\"$V\" -a /dev/null", "", true},
};

INSTANTIATE_TEST_SUITE_P(Rows, StreamInputsE2E, ::testing::ValuesIn(STREAM_CASES),
                         [](const ::testing::TestParamInfo<StreamCase>& row) {
                             return testutil::test_name(row.param.shows);
                         });

// The compressed row's payload is seq's output: read it here once.
TEST(StreamInputsE2E, ACompressedPipeHoldsAllItsBytes)
{
    auto r = run({"/bin/bash", "-c", quoted(EXE) + " <(seq 1 20000)"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(gunzip(parse_archive(r.out).payload), sh("seq 1 20000").out);
}

// A socket on standard input, which open(2) cannot reopen, is read through
// the descriptor itself.
TEST(StreamInputsE2E, ASocketOnStandardInputIsRead)
{
    TempDir dir;
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const std::string out = dir.file("out.run");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(sv[1], 0) < 0 || dup2(fd, 1) < 0) _exit(126);
        close(sv[0]);
        execl(EXE.c_str(), EXE.c_str(), "-a", "/dev/stdin", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(sv[1]);
    ASSERT_EQ(write(sv[0], "sock", 4), 4);
    shutdown(sv[0], SHUT_WR);
    int status = -1;
    waitpid(pid, &status, 0);
    close(sv[0]);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(parse_archive(read_file(out)).payload, "sock");
}

// A terminal has no end but the user's, and an input that is the output
// would be read while it grows: both are refused.
TEST(StreamInputsE2E, ATerminalOrTheOutputIsNoInput)
{
    TempDir dir;
    const std::string p = EXE + ": ";
    auto t = drivertest::run_on_pty({"/bin/sh", "-c", quoted(EXE) + " /dev/tty > out"}, dir.path(), {});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(t.transcript, p + "/dev/tty: a terminal is not read as an input\r\n");
    EXPECT_EQ(read_file(dir.file("out")), "");
    auto r = sh(quoted(EXE) + " -a /dev/stdout | cat");
    EXPECT_EQ(r.err, p + "/dev/stdout: the input is also the output\n");
    EXPECT_EQ(r.out, "");
}

// Every input is looked at first and opened only when its turn comes: 1500
// inputs build a whole archive under a limit of 64 descriptors.
TEST(BuildInputsE2E, MoreInputsThanDescriptors)
{
    TempDir dir;
    constexpr int COUNT = 1500;
    std::vector<std::string> args{EXE, "-a"};
    std::string expected;
    for (int i = 0; i < COUNT; i++) {
        std::string name = "f";
        name += std::to_string(i);
        write_file(dir.file(name), name + ";");
        args.push_back(name);
        expected += name + ";";
    }
    const std::string out = dir.file("out.run");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit low{64, 64};
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || chdir(dir.path().c_str()) != 0 ||
            setrlimit(RLIMIT_NOFILE, &low) != 0)
            _exit(126);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    const auto l = parse_archive(read_file(out));
    EXPECT_EQ(l.payload, expected);
    EXPECT_EQ(l.features, "NOCOMPR,NAME=f0");
}

TEST(BuildInputsE2E, AClosedStandardOutputIsNamed)
{
    TempDir dir;
    write_file(dir.file("f"), "data");
    auto r = sh(quoted(EXE) + " f >&-", "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, EXE + ": standard output is closed\n");
}

// Empty items are appended as they come and read back as nothing: the
// feature string keeps them, the install command's environment has no
// variable without a name.
TEST(BuildInputsE2E, EmptyFeatureItemsAreAccepted)
{
    TempDir dir;
    write_file(dir.file("data.txt"), "data");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-F", ""}, "NAME=data.txt"},
        {{"-F", "A=1", "-F", ""}, "A=1,,NAME=data.txt"},
        {{"-F", "A=1,"}, "A=1,,NAME=data.txt"},
        {{"-F", "A=1,,B=2"}, "A=1,,B=2,NAME=data.txt"},
        {{"-F", "A=1, ,B=2"}, "A=1, ,B=2,NAME=data.txt"},
    };
    for (const auto& [options, features] : cases) {
        std::vector<std::string> argv{EXE};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("data.txt");
        auto r = run(argv, "", dir.path());
        EXPECT_EQ(r.status, 0) << features << r.err;
        EXPECT_EQ(parse_archive(r.out).features, features);
    }
    const std::string app = dir.file("app.run");
    auto b = drivertest::build_archive(app, {"-F", "A=1,", "-F", "", "-r", "env > %p/env.txt", "data.txt"},
                                       dir.path());
    ASSERT_EQ(b.status, 0) << b.err;
    ASSERT_EQ(mkdir(dir.file("run").c_str(), 0755), 0);
    auto x = run({app}, "", dir.file("run"));
    EXPECT_EQ(x.status, 0) << x.err;
    std::string env = "\n";
    env += read_file(dir.file("run/env.txt"));
    EXPECT_NE(env.find("\nA=1\n"), std::string::npos);
    EXPECT_EQ(env.find("\n=\n"), std::string::npos);
}

// ---- a directory operand ----

struct Node {
    std::string path;  // below the tree; a final "/" makes a directory
    std::string data;  // a file's contents; "->x" a symlink to x; "=>x" a hard link to x
    mode_t mode;
    time_t mtime;
};

const std::string LONG_DIR = std::string(120, 'D') + "/" + std::string(90, 'E') + "/";  // over 100
const std::string LONG_FILE = LONG_DIR + std::string(100, 'F');                         // over 255

const std::vector<Node> TREE = {
    {"install.sh", "#!/bin/sh\necho installed\n", 0755, 1700000100},
    {"a/", "", 0755, 1700000000},
    {"a/x", "in a\n", 0644, 1700000200},
    {"a-b", "dash\n", 0600, 1700000300},
    {"a0", "zero\n", 04755, 1700000400},
    {"sticky/", "", 01777, 1700000500},
    {"lib/", "", 0750, 1700000600},
    {"lib/libx.so.1", "->libx.so.1.0", 0777, 1700000700},
    {"lib/libx.so.1.0", std::string(70000, 'L') + "end", 0644, 1700000800},
    {"lib/same", "=>lib/libx.so.1.0", 0644, 1700000800},
    {"B", "upper\n", 0644, 1700000900},
};

// The tree's entries in the order the archive lists them (byte order).
const char* const LISTING =
    "-rw-r--r-- 0/0               6 2023-11-14 22:28 ./B\n"
    "-rw------- 0/0               5 2023-11-14 22:18 ./a-b\n"
    "drwxr-xr-x 0/0               0 2023-11-14 22:13 ./a/\n"
    "-rw-r--r-- 0/0               5 2023-11-14 22:16 ./a/x\n"
    "-rwsr-xr-x 0/0               5 2023-11-14 22:20 ./a0\n"
    "-rwxr-xr-x 0/0              25 2023-11-14 22:15 ./install.sh\n"
    "drwxr-x--- 0/0               0 2023-11-14 22:23 ./lib/\n"
    "lrwxrwxrwx 0/0               0 2023-11-14 22:25 ./lib/libx.so.1 -> libx.so.1.0\n"
    "-rw-r--r-- 0/0           70003 2023-11-14 22:26 ./lib/libx.so.1.0\n"
    "hrw-r--r-- 0/0               0 2023-11-14 22:26 ./lib/same link to ./lib/libx.so.1.0\n"
    "drwxrwxrwt 0/0               0 2023-11-14 22:21 ./sticky/\n";

void set_time(const std::string& path, time_t t)
{
    const timespec times[2] = {{t, 0}, {t, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Makes TREE under root in the given order (its reverse when `reverse`), with
// files made and removed between, so that names, inodes and directory order
// on disk differ from one tree to the other. Times and modes are set last.
void make_tree(const std::string& root, bool reverse, bool long_names = false)
{
    sh("mkdir -p '" + root + "'");
    std::vector<Node> nodes(TREE);
    // Directories first and hard links last, whatever the order otherwise.
    const auto rank = [](const Node& n) {
        return n.path.back() == '/' ? 0 : n.data.rfind("=>", 0) == 0 ? 2 : 1;
    };
    std::stable_sort(nodes.begin(), nodes.end(), [&](const Node& x, const Node& y) {
        if (rank(x) != rank(y)) return rank(x) < rank(y);
        return reverse ? x.path > y.path : x.path < y.path;
    });
    int junk = 0;
    for (const Node& n : nodes) {
        const std::string p = root + "/" + n.path;
        write_file(root + "/junk" + std::to_string(junk++), "");
        if (n.path.back() == '/') {
            mkdir(p.c_str(), 0700);
        } else if (n.data.rfind("->", 0) == 0) {
            ASSERT_EQ(symlink(n.data.substr(2).c_str(), p.c_str()), 0);
        } else if (n.data.rfind("=>", 0) == 0) {
            ASSERT_EQ(link((root + "/" + n.data.substr(2)).c_str(), p.c_str()), 0);
        } else {
            write_file(p, n.data);
        }
    }
    if (long_names) {
        ASSERT_EQ(mkdir((root + "/" + LONG_DIR.substr(0, 121)).c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/" + LONG_DIR).c_str(), 0755), 0);
        write_file(root + "/" + LONG_FILE, "long\n");
        set_time(root + "/" + LONG_FILE, 1700001000);
        ASSERT_EQ(symlink(LONG_FILE.c_str(), (root + "/long-link").c_str()), 0);  // a target over 100
    }
    for (int i = 0; i < junk; i++) unlink((root + "/junk" + std::to_string(i)).c_str());
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        const std::string p = root + "/" + it->path;
        if (it->data.rfind("->", 0) != 0) chmod(p.c_str(), it->mode);
        set_time(p, it->mtime);
    }
    set_time(root, 1700000001);
}

// The tree as `find` describes it, for comparing a tree with its unpacked copy.
std::string describe(const std::string& root, bool times)
{
    const std::string format = times ? "%P %y %m %s %l %T@\\n" : "%P %y %m %s %l\\n";
    return sh("find . -mindepth 1 \\( -type d -printf '%P %y %m\\n' \\) -o -printf '" + format +
                  "' | LC_ALL=C sort",
              "", root)
        .out;
}

class DirectoryBuildE2E : public ::testing::Test {
protected:
    TempDir dir;
    testutil::RunResult build(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
    {
        std::vector<std::string> argv{EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, "", dir.path(), env);
    }
};

// The stream depends on the tree alone: two trees made in opposite orders,
// with other inodes and directory orders, give the same archive byte for
// byte, and its entries come in the byte order of their names.
TEST_F(DirectoryBuildE2E, TheSameTreeGivesTheSameArchive)
{
    make_tree(dir.file("one/app"), false);
    make_tree(dir.file("two/app"), true);
    auto a = build({"one/app/"});
    auto b = build({"two/app"});
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.err, "");
    EXPECT_TRUE(a.out == b.out);
    const auto l = parse_archive(a.out);
    EXPECT_EQ(l.features, "PAYLOAD=tar,NAME=app.tar");
    EXPECT_EQ(l.payload.substr(3, 1), "\x08");
    EXPECT_EQ(l.payload.substr(10, 8), std::string("app.tar\0", 8));  // the member's FNAME
    write_file(dir.file("app.tar"), gunzip(l.payload));
    auto list = run({"/bin/sh", "-c", "TZ=UTC tar -tvf app.tar"}, "", dir.path());
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, LISTING);
    // With -a the same stream is the payload as it is.
    auto raw = build({"-a", "one/app"});
    EXPECT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(parse_archive(raw.out).features, "NOCOMPR,PAYLOAD=tar,NAME=app.tar");
    EXPECT_TRUE(parse_archive(raw.out).payload == read_file(dir.file("app.tar")));
}

// GNU tar and busybox tar unpack the stream into the same tree, long names,
// links, modes and times included.
TEST_F(DirectoryBuildE2E, TarProgramsUnpackTheTree)
{
    make_tree(dir.file("app"), false, true);
    auto r = build({"-a", "app"});
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(dir.file("app.tar"), parse_archive(r.out).payload);
    for (const char* unpack : {"tar -xf ../app.tar", "busybox tar -xf ../app.tar"}) {
        sh("rm -rf out && mkdir out", "", dir.path());
        auto x = sh(unpack, "", dir.file("out"));
        EXPECT_EQ(x.status, 0) << unpack << x.err;
        EXPECT_EQ(describe(dir.file("out"), false), describe(dir.file("app"), false)) << unpack;
        // Regular files keep their times; the hard link is one file again.
        EXPECT_EQ(sh("find . -type f -printf '%P %T@\\n' | sort", "", dir.file("out")).out,
                  sh("find . -type f -printf '%P %T@\\n' | sort", "", dir.file("app")).out);
        EXPECT_EQ(sh("stat -c %i lib/same lib/libx.so.1.0 | uniq | wc -l", "", dir.file("out")).out, "1\n");
    }
    EXPECT_NE(describe(dir.file("app"), false)
                  .find("long-link l 777 " + std::to_string(LONG_FILE.size()) + " " + LONG_FILE),
              std::string::npos);
}

// SOURCE_DATE_EPOCH caps the stored times; earlier ones stay as they are.
TEST_F(DirectoryBuildE2E, SourceDateEpochClampsTimes)
{
    make_tree(dir.file("app"), false);
    auto r = build({"-a", "app"}, {"SOURCE_DATE_EPOCH=1700000250"});
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(dir.file("app.tar"), parse_archive(r.out).payload);
    auto list = run({"/bin/sh", "-c", "TZ=UTC tar --full-time -tvf app.tar | awk '{print $4, $5, $6}'"}, "",
                    dir.path());
    EXPECT_EQ(list.out,
              "2023-11-14 22:17:30 ./B\n"
              "2023-11-14 22:17:30 ./a-b\n"
              "2023-11-14 22:13:20 ./a/\n"
              "2023-11-14 22:16:40 ./a/x\n"
              "2023-11-14 22:17:30 ./a0\n"
              "2023-11-14 22:15:00 ./install.sh\n"
              "2023-11-14 22:17:30 ./lib/\n"
              "2023-11-14 22:17:30 ./lib/libx.so.1\n"
              "2023-11-14 22:17:30 ./lib/libx.so.1.0\n"
              "2023-11-14 22:17:30 ./lib/same\n"
              "2023-11-14 22:17:30 ./sticky/\n");
}

// What cannot be packed refuses the build before a byte is written, each
// problem named with its path.
TEST_F(DirectoryBuildE2E, WhatCannotBePackedIsRefusedWithNothingWritten)
{
    const std::string p = EXE + ": ";
    struct Refusal {
        const char* shows;
        std::string setup;  // sh, in the test's directory, after app/ is made
        std::vector<std::string> env;
        std::string err;
    };
    std::string deep;  // where the name passes the limit: 21 levels of 200 characters
    for (int i = 0; i < 21; i++) deep += (i != 0 ? "/" : "") + std::string(200, '0');
    const std::vector<Refusal> cases = {
        {"a FIFO", "mkfifo app/sub/p", {}, p + "app/sub/p: a FIFO cannot be packed\n"},
        {"a character device",
         "mknod app/null c 1 3",
         {},
         p + "app/null: a character device cannot be packed\n"},
        {"a socket and a FIFO, both named",
         "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"app/s\")' && mkfifo app/p",
         {},
         p + "app/p: a FIFO cannot be packed\n" + p + "app/s: a socket cannot be packed\n"},
        {"the output inside the tree",
         ": > app/sub/out.run",
         {},
         p + "app/sub/out.run: the input is also the output\n"},
        {"a name longer than 4095 characters",
         "python3 -c 'import os\nos.chdir(\"app\")\nfor i in range(21): os.mkdir(\"0\" * 200); "
         "os.chdir(\"0\" * 200)'",
         {},
         p + "app/" + deep + ": name too long to pack (at most 4095 characters)\n"},
        {"a malformed SOURCE_DATE_EPOCH",
         "",
         {"SOURCE_DATE_EPOCH=12x"},
         p + "SOURCE_DATE_EPOCH is not a number of seconds: 12x\n"},
    };
    for (const Refusal& c : cases) {
        if (c.setup.find("mknod") != std::string::npos && geteuid() != 0) continue;  // needs root
        sh("rm -rf app && mkdir -p app/sub && echo f > app/sub/f", "", dir.path());
        ASSERT_EQ(sh(c.setup, "", dir.path()).status, 0) << c.shows;
        const bool into_tree = c.setup.find("out.run") != std::string::npos;
        auto r = run({"/bin/sh", "-c", quoted(EXE) + " app > " + (into_tree ? "app/sub/out.run" : "out.run")},
                     "", dir.path(), c.env);
        EXPECT_EQ(r.status, 1) << c.shows;
        EXPECT_EQ(r.err, c.err) << c.shows;
        EXPECT_EQ(read_file(dir.file(into_tree ? "app/sub/out.run" : "out.run")), "") << c.shows;
    }
}

// Each operand is one payload: a directory after a file is a second member,
// and only a directory first makes the archive's payload a tar.
TEST_F(DirectoryBuildE2E, MixedOperandsGiveOnePayloadEach)
{
    make_tree(dir.file("app"), false);
    write_file(dir.file("readme"), "first\n");
    auto r = build({"-a", "readme", "app"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = parse_archive(r.out);
    EXPECT_EQ(l.features, "NOCOMPR,NAME=readme");
    auto tar_only = build({"-a", "app"});
    EXPECT_TRUE(l.payload == "first\n" + parse_archive(tar_only.out).payload);
}

}  // namespace
