// The packages CPack makes: a .deb with correct metadata and a .tar.gz, both
// holding a working, stripped vokra with its manual page, README and completion.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "testutil.h"

namespace {

using testutil::RunResult;
using testutil::sh;

const std::string kUsageTail =
    " [-huclva] [-p vokra_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
    "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] [-F feature_sting] <files...>\n";
const std::string kVersionLine = "Version: @(#) vokra " VOKRA_VERSION "    6/6/2001 \n";

std::string dirname_of(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The build tree the tool was built in: the nearest directory above the
// executable that holds the CPack configuration.
std::string build_dir()
{
    for (std::string dir = dirname_of(testutil::vokra_exe()); !dir.empty(); dir = dirname_of(dir))
        if (exists(dir + "/CPackConfig.cmake")) return dir;
    return "";
}

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::string quote(const std::string& s)
{
    return "'" + s + "'";
}

// The packages are made once for the whole suite, into a private directory, so
// the tests run side by side with the rest and never touch the build tree.
class Packages : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // A fatal failure here would mark the suite skipped, not failed: keep
        // the reason for SetUp to fail every test with.
        out_ = new testutil::TempDir;
        std::string build = build_dir();
        if (build.empty()) {
            setup_error_ = "no CPackConfig.cmake above " + testutil::vokra_exe();
            return;
        }
        RunResult r = sh("cpack --config " + quote(build + "/CPackConfig.cmake") + " -B " +
                         quote(out_->path()) + " -G 'DEB;TGZ'");
        if (r.status != 0) {
            setup_error_ = "cpack failed: " + r.out + r.err;
            return;
        }
        deb_ = trimmed(sh("ls " + quote(out_->path()) + "/*.deb").out);
        tgz_ = trimmed(sh("ls " + quote(out_->path()) + "/*.tar.gz").out);
    }
    static void TearDownTestSuite()
    {
        delete out_;
        out_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_EQ(setup_error_, "");
        ASSERT_TRUE(exists(deb_)) << "no .deb made";
        ASSERT_TRUE(exists(tgz_)) << "no .tar.gz made";
    }

    static std::string field(const std::string& name)
    {
        return trimmed(sh("dpkg-deb -f " + quote(deb_) + " " + name).out);
    }

    static testutil::TempDir* out_;
    static std::string setup_error_;
    static std::string deb_;
    static std::string tgz_;
};

testutil::TempDir* Packages::out_ = nullptr;
std::string Packages::setup_error_;
std::string Packages::deb_;
std::string Packages::tgz_;

// The four installed files, relative to the installation prefix.
const char* const kInstalled[] = {"bin/vokra", "share/man/man1/vokra.1", "share/doc/vokra/README.md",
                                  "share/bash-completion/completions/vokra"};

TEST_F(Packages, DebMetadataIsCompleteAndDependsOnlyOnTheCLibrary)
{
    EXPECT_EQ(field("Package"), "vokra");
    EXPECT_EQ(field("Version"), VOKRA_VERSION);  // the version the tool reports
    EXPECT_EQ(field("Section"), "utils");
    EXPECT_EQ(field("Priority"), "optional");
    EXPECT_NE(field("Maintainer").find('<'), std::string::npos) << "no address in " << field("Maintainer");
    std::string description = field("Description");
    EXPECT_EQ(description.substr(0, description.find('\n')), "self-extracting archive builder and installer");
    EXPECT_GT(description.size(), 100u) << "no long description";
    EXPECT_EQ(field("Architecture"), trimmed(sh("dpkg --print-architecture").out));

    // The tool links the C++ runtime in, so the C library is all it may need, and
    // the package must depend on exactly what the executable needs.
    testutil::TempDir root;
    ASSERT_EQ(sh("dpkg-deb -x " + quote(deb_) + " " + quote(root.path())).status, 0);
    std::string exe = root.file("usr/bin/vokra");
    std::string needed =
        sh("readelf -d " + quote(exe) + " | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'").out;
    std::string depends = field("Depends");
#ifdef VOKRA_SANITIZED
    GTEST_SKIP()
        << "a sanitizer build links the sanitizer runtimes; the release build checks the dependencies";
#endif
    if (needed.empty()) {
        EXPECT_EQ(depends, "") << "a static executable needs no package";
    } else {
        EXPECT_EQ(needed, "libc.so.6\n");
        EXPECT_EQ(depends.rfind("libc6", 0), 0u) << depends;
    }
}

TEST_F(Packages, DebInstallsAStrippedWorkingToolWithItsDocumentation)
{
    testutil::TempDir root;
    ASSERT_EQ(sh("dpkg-deb -x " + quote(deb_) + " " + quote(root.path())).status, 0);
    for (const char* f : kInstalled) EXPECT_TRUE(exists(root.path() + "/usr/" + f)) << f;
    std::string exe = root.file("usr/bin/vokra");
    EXPECT_EQ(access(exe.c_str(), X_OK), 0);
    EXPECT_EQ(sh("readelf -S " + quote(exe) + " | grep -c '\\.symtab'").out, "0\n") << "not stripped";

    RunResult help = testutil::run({exe, "-h"});
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.err, kVersionLine + "Usage: " + exe + kUsageTail);
    EXPECT_EQ(help.out, "");

    RunResult bare = testutil::run({exe});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.err,
              kVersionLine + "Usage: " + exe + kUsageTail + exe + ": what files do you want to compress?\n");

    // Stripping must leave an image that still makes archives which find their payload.
    testutil::TempDir work;
    std::string data = testutil::random_bytes(5000, 8) + "packaged";
    testutil::write_file(work.file("data.bin"), data);
    RunResult built = sh(quote(exe) + " -a data.bin > app.run && chmod +x app.run", "", work.path());
    ASSERT_EQ(built.status, 0) << built.err;
    RunResult extracted = testutil::run({work.file("app.run"), "-x"}, "", work.path());
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_TRUE(extracted.out == data) << "extracted " << extracted.out.size() << " bytes";
}

// A release `cmake --install` strips the executable, as the packages do: the
// image size the README quotes is the one an archive built by the installed
// tool carries.
TEST_F(Packages, ReleaseInstallIsStripped)
{
    const std::string build = build_dir();
    if (sh("grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' " + quote(build + "/CMakeCache.txt")).status != 0)
        GTEST_SKIP() << "not a release build";
    testutil::TempDir prefix;
    RunResult r = sh("cmake --install " + quote(build) + " --prefix " + quote(prefix.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string exe = prefix.file("bin/vokra");
    EXPECT_EQ(sh("readelf -S " + quote(exe) + " | grep -c '\\.symtab'").out, "0\n") << "not stripped";
    EXPECT_EQ(testutil::run({exe, "--version"}).status, 0);
}

TEST_F(Packages, TarballHoldsTheSameTreeUnderOneTopDirectory)
{
    testutil::TempDir root;
    ASSERT_EQ(sh("tar -xzf " + quote(tgz_) + " -C " + quote(root.path())).status, 0);
    std::string top = trimmed(sh("ls " + quote(root.path())).out);
    EXPECT_EQ(top, "vokra-" VOKRA_VERSION "-Linux");
    for (const char* f : kInstalled) EXPECT_TRUE(exists(root.path() + "/" + top + "/" + f)) << f;
    EXPECT_TRUE(exists(root.path() + "/" + top + "/share/doc/vokra/LICENSE"));
    std::string exe = root.path() + "/" + top + "/bin/vokra";
    RunResult help = testutil::run({exe, "-h"});
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.err, kVersionLine + "Usage: " + exe + kUsageTail);
}

}  // namespace
