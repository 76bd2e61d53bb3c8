// Text from outside in messages: escaped byte for byte on a terminal (in the
// C locale every byte from 0x80 up, in a UTF-8 locale only what a terminal
// would act on), and exactly as it is into a pipe.
//
// The escaping function and the message printer are checked as tables in
// process; the real executable runs each message on a pseudo-terminal, where
// the transcript must hold the escaped text and never the raw control bytes,
// and again into pipes, where the bytes must be those of the text as stored.
#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "driver_testutil.h"
#include "mountns.h"
#include "testutil.h"
#include "vokra.h"

namespace {

using testutil::TempDir;
using testutil::write_file;

// ---- escape_text ----

std::string escaped(const std::string& text, bool utf8)
{
    char* buf = nullptr;
    std::size_t size = 0;
    FILE* mem = open_memstream(&buf, &size);
    escape_text(mem, text.data(), text.size(), utf8);
    std::fclose(mem);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

struct EscapeRow {
    const char* what;
    std::string text;
    std::string in_c;     // escaped in the C locale
    std::string in_utf8;  // escaped in a UTF-8 locale
};

TEST(EscapeText, EveryByteATerminalWouldActOnIsEscaped)
{
    const EscapeRow rows[] = {
        {"printable ASCII as it is", "abc ~!{}", "abc ~!{}", "abc ~!{}"},
        {"C0 controls, DEL and the backslash", "\a\b\t\n\v\f\r\\\x1b]52;\x7f\x01",
         "\\a\\b\\t\\n\\v\\f\\r\\\\\\033]52;\\177\\001", "\\a\\b\\t\\n\\v\\f\\r\\\\\\033]52;\\177\\001"},
        {"a NUL inside the length", std::string("a\0b", 3), "a\\000b", "a\\000b"},
        {"printable characters: only UTF-8 shows them", "Caf\xc3\xa9 \xe2\x98\x95 \xf0\x9f\x98\x80",
         "Caf\\303\\251 \\342\\230\\225 \\360\\237\\230\\200", "Caf\xc3\xa9 \xe2\x98\x95 \xf0\x9f\x98\x80"},
        {"C1 controls U+0080, U+0085, U+009F; U+00A0 after them shows", "\xc2\x80\xc2\x85\xc2\x9f\xc2\xa0",
         "\\302\\200\\302\\205\\302\\237\\302\\240", "\\302\\200\\302\\205\\302\\237\xc2\xa0"},
        {"embeddings and overrides U+202A, U+202E; U+2029, U+202F beside them show",
         "\xe2\x80\xaa\xe2\x80\xae\xe2\x80\xa9\xe2\x80\xaf",
         "\\342\\200\\252\\342\\200\\256\\342\\200\\251\\342\\200\\257",
         "\\342\\200\\252\\342\\200\\256\xe2\x80\xa9\xe2\x80\xaf"},
        {"isolates U+2066, U+2069; U+2070 after them shows", "\xe2\x81\xa6\xe2\x81\xa9\xe2\x81\xb0",
         "\\342\\201\\246\\342\\201\\251\\342\\201\\260", "\\342\\201\\246\\342\\201\\251\xe2\x81\xb0"},
        {"stray and missing continuation bytes, each escaped alone", "a\x80z\xe2\x82z\xe2\xc3\xa9\xe2\x82",
         "a\\200z\\342\\202z\\342\\303\\251\\342\\202", "a\\200z\\342\\202z\\342\xc3\xa9\\342\\202"},
        {"overlong forms", "\xc0\xaf\xc1\xbf\xe0\x80\xaf\xf0\x80\x80\xaf",
         "\\300\\257\\301\\277\\340\\200\\257\\360\\200\\200\\257",
         "\\300\\257\\301\\277\\340\\200\\257\\360\\200\\200\\257"},
        {"a surrogate and values past U+10FFFF; U+D7FF and U+10FFFF show",
         "\xed\xa0\x80\xf4\x90\x80\x80\xf5\xff\xed\x9f\xbf\xf4\x8f\xbf\xbf",
         "\\355\\240\\200\\364\\220\\200\\200\\365\\377\\355\\237\\277\\364\\217\\277\\277",
         "\\355\\240\\200\\364\\220\\200\\200\\365\\377\xed\x9f\xbf\xf4\x8f\xbf\xbf"},
    };
    for (const EscapeRow& row : rows) {
        EXPECT_EQ(escaped(row.text, false), row.in_c) << row.what;
        EXPECT_EQ(escaped(row.text, true), row.in_utf8) << row.what;
    }
}

// ---- the message printer ----

std::string printed(bool escape, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
std::string printed(bool escape, const char* fmt, ...)
{
    char* buf = nullptr;
    std::size_t size = 0;
    FILE* mem = open_memstream(&buf, &size);
    va_list ap;
    va_start(ap, fmt);
    vprint_stored(mem, escape, fmt, ap);
    va_end(ap);
    std::fclose(mem);
    std::string s(buf, size);
    std::free(buf);
    return s;
}

// Each %s is escaped when asked and only then; every other conversion comes
// out as printf writes it, taking its argument of the right type.
TEST(PrintStored, StringsAreEscapedAndTheRestIsPrintf)
{
    const struct {
        const char* what;
        std::string got, expected;
    } rows[] = {
        {"%s escaped", printed(true, "%s: x\n", "a\033[2J"), "a\\033[2J: x\n"},
        {"%s as it is", printed(false, "%s: x\n", "a\033[2J"), "a\033[2J: x\n"},
        {"%.*s and %.3s cut before escaping", printed(true, "%.*s|%.3s", 2, "\r\r\r", "\ta\tb"),
         "\\r\\r|\\ta\\t"},
        {"%% takes no argument", printed(true, "100%% %s", "\x7f"), "100% \\177"},
        {"integers of every length",
         printed(true, "%d %u %ld %lld %zu %x %03d %c %s", -1, 4000000000u, -5L, -6LL, std::size_t{1} << 40,
                 255u, 7, 'q', "\x1b"),
         "-1 4000000000 -5 -6 1099511627776 ff 007 q \\033"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.got, row.expected) << row.what;
}

// ---- the locale ----

// Whether this system has the locale the UTF-8 cases name (glibc installs it
// with its locale data, not in the library itself).
bool have_c_utf8()
{
    const bool have = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    std::setlocale(LC_CTYPE, "C");
    return have;
}

// The C library's order of precedence decides, and the program's own locale
// stays C whatever the answer.
TEST(LocaleIsUtf8, TheVariablesDecideInTheirOrder)
{
    if (!have_c_utf8()) GTEST_SKIP() << "the C.UTF-8 locale is not installed";
    const char* const names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; i++) {
        if (const char* v = std::getenv(names[i])) saved[i] = v;
    }
    auto set = [&names](const std::optional<std::string>(&values)[3]) {
        for (int i = 0; i < 3; i++) values[i] ? setenv(names[i], values[i]->c_str(), 1) : unsetenv(names[i]);
    };
    using V = std::optional<std::string>;
    const V none;
    const struct {
        const char* what;
        V vars[3];  // LC_ALL, LC_CTYPE, LANG
        bool utf8;
    } rows[] = {
        {"LANG alone", {none, none, "C.UTF-8"}, true},
        {"LC_CTYPE over LANG", {none, "C.UTF-8", "C"}, true},
        {"LC_ALL over both", {"C", "C.UTF-8", "C.UTF-8"}, false},
        {"an empty LC_ALL counts as unset", {"", none, "C.UTF-8"}, true},
        {"the POSIX locale", {none, none, "POSIX"}, false},
        {"a locale the system lacks is C", {none, none, "xx_YY.UTF-8"}, false},
        {"nothing set", {none, none, none}, false},
    };
    for (const auto& row : rows) {
        set(row.vars);
        EXPECT_EQ(locale_is_utf8(), row.utf8) << row.what;
        EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C") << row.what;
    }
    set(saved);
}

// ---- the real executable on a terminal and into pipes ----

const std::string OSC52 = "\033]52;c;aGk=\a";  // writes "hi" to the clipboard
const std::string OSC52_SHOWN = "\\033]52;c;aGk=\\a";
const std::string STORED_NAME = "a" + OSC52 + "b";  // the payload's stored name
const std::string MISSING = "m" + OSC52;            // an input that does not exist
const std::string FSSUB = "q" + OSC52 + "x";
const std::string INSTALL = "echo " + OSC52 + " done";
// Printable in UTF-8: é and U+2615; to be escaped there: U+202E, an invalid
// byte and the C1 control U+0085.
const std::string TEXT = "Caf\xc3\xa9 \xe2\x98\x95 \xe2\x80\xae\xff\xc2\x85";
const std::string TEXT_UTF8 = "Caf\xc3\xa9 \xe2\x98\x95 \\342\\200\\256\\377\\302\\205";
const std::string TEXT_C = "Caf\\303\\251 \\342\\230\\225 \\342\\200\\256\\377\\302\\205";
const std::string BANNER = "\nSelf-Extracting archive file\n\nPlease wait...\n";

// One message seen both ways. The command runs through the shell with the
// locale given and the arguments as "$@", {exe} and {dir} replaced; on the
// terminal a reply may answer a prompt. The terminal's transcript (newlines
// as the terminal sends them, \r\n) must hold `on_tty` and never `raw`; into
// pipes, standard output and error must be exactly `out` and `err`.
struct Shown {
    const char* what;
    const char* lang;
    std::string run;  // shell text: "$@" is the command
    std::vector<std::string> args;
    std::string reply_to, reply;
    int status;
    std::string on_tty, raw, out, err;
};

std::ostream& operator<<(std::ostream& os, const Shown& s)
{
    return os << s.what;
}

class ShownE2E : public ::testing::TestWithParam<Shown> {
protected:
    void SetUp() override
    {
        write_file(dir_.file("plain"), "hi\n");
        write_file(dir_.file(STORED_NAME), "hi\n");
        write_file(dir_.file(TEXT), "not an archive\n");
        build("name.run", {"-f", "cat > /dev/null", "-r", INSTALL, STORED_NAME});
        build("fssub.run", {"-a", "-V", dir_.path(), "-S", FSSUB, "-f", "cat > /dev/null", "plain"});
        build("comment.run", {"-a", "-C", TEXT, "-f", "cat > /dev/null", "plain"});
        ASSERT_EQ(mkdir(dir_.file(FSSUB).c_str(), 0755), 0);
    }
    void build(const std::string& name, const std::vector<std::string>& args)
    {
        testutil::RunResult r = drivertest::build_archive(dir_.file(name), args, dir_.path());
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string fill_in(std::string s) const
    {
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"{exe}", testutil::vokra_exe()}, {"{dir}", dir_.path()}}) {
            for (std::size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
        }
        return s;
    }
    std::vector<std::string> argv(const Shown& s) const
    {
        std::vector<std::string> a{"/bin/sh", "-c", "unset LC_ALL LC_CTYPE; export LANG=\"$0\"; " + s.run,
                                   s.lang};
        for (const std::string& arg : s.args) a.push_back(fill_in(arg));
        return a;
    }

    TempDir dir_;
};

TEST_P(ShownE2E, EscapedOnATerminalAsStoredIntoAPipe)
{
    const Shown& s = GetParam();
    if (std::string(s.lang) != "C" && !have_c_utf8()) GTEST_SKIP() << "the C.UTF-8 locale is not installed";
    std::vector<std::pair<std::string, std::string>> script;
    if (!s.reply_to.empty()) script.emplace_back(s.reply_to, s.reply);
    drivertest::PtyResult t = drivertest::run_on_pty(argv(s), dir_.path(), script);
    EXPECT_EQ(t.status, s.status);
    EXPECT_TRUE(t.script_done) << t.transcript;
    EXPECT_NE(t.transcript.find(fill_in(s.on_tty)), std::string::npos) << t.transcript;
    EXPECT_EQ(t.transcript.find(s.raw), std::string::npos) << t.transcript;

    testutil::RunResult p = testutil::run(argv(s), "", dir_.path());
    EXPECT_EQ(p.status, s.status);
    EXPECT_EQ(p.out, fill_in(s.out));
    EXPECT_EQ(p.err, fill_in(s.err));
}

const std::string NO_ROOM = ": No space left on device";
const std::string EXISTS = ": extraction directory exists!\nPlease remove it first then try again.\n";
const std::string NO_MAGIC = ": unable to find preamble magic value";
const std::string ASKS = "This archive requires more processing using the following command:\n";

INSTANTIATE_TEST_SUITE_P(
    Messages, ShownE2E,
    ::testing::Values(Shown{"the write error names the stored name",
                            "C",
                            "exec \"$@\" > /dev/full",
                            {"{exe}", "-u", "name.run", "-x"},
                            "",
                            "",
                            1,
                            "\r\n{exe}: a" + OSC52_SHOWN + "b" + NO_ROOM + "\r\n",
                            OSC52,
                            "",
                            BANNER + "Deflating " + STORED_NAME + "...\n\n{exe}: " + STORED_NAME + NO_ROOM +
                                "\n"},
                      Shown{"the space check names FSSUB",
                            "C",
                            "exec \"$@\"",
                            {"./fssub.run"},
                            "",
                            "",
                            1,
                            "{dir}/q" + OSC52_SHOWN +
                                "x: extraction directory exists!\r\nPlease remove it first then try "
                                "again.\r\n",
                            OSC52,
                            "",
                            "{dir}/" + FSSUB + EXISTS},
                      Shown{"the -v prompt with only standard input a terminal",
                            "C",
                            "\"$@\" | cat",
                            {"{exe}", "-u", "name.run", "-v"},
                            "OK to run the command? ",
                            "n\n",
                            0,
                            "\r\n    echo " + OSC52_SHOWN + " done\r\n",
                            OSC52,
                            ASKS + "    " + INSTALL + "\nbut stdin is not a terminal. So forget it.\n",
                            BANNER + "Deflating " + STORED_NAME + "...\n"},
                      Shown{"the builder names a missing input",
                            "C",
                            "exec \"$@\" > out.run",
                            {"{exe}", MISSING},
                            "",
                            "",
                            1,
                            "m" + OSC52_SHOWN + ": No such file or directory\r\n",
                            OSC52,
                            "",
                            MISSING + ": No such file or directory\n"},
                      Shown{"UTF-8: printable as it is, U+202E, bad bytes and C1 escaped",
                            "C.UTF-8",
                            "exec \"$@\"",
                            {"{exe}", "-l", TEXT},
                            "",
                            "",
                            1,
                            TEXT_UTF8 + NO_MAGIC + "\r\n",
                            "\xe2\x80\xae",
                            "",
                            TEXT + NO_MAGIC + "\n"},
                      Shown{"C locale: every byte from 0x80 escaped",
                            "C",
                            "exec \"$@\"",
                            {"{exe}", "-l", TEXT},
                            "",
                            "",
                            1,
                            TEXT_C + NO_MAGIC + "\r\n",
                            "\xe2\x80\xae",
                            "",
                            TEXT + NO_MAGIC + "\n"},
                      Shown{"UTF-8: the listing shows the comment as written",
                            "C.UTF-8",
                            "exec \"$@\"",
                            {"{exe}", "-l", "comment.run"},
                            "",
                            "",
                            0,
                            "\r\nComment: " + TEXT_UTF8 + "\r\n",
                            "\xe2\x80\xae",
                            "Feature: NOCOMPR,NAME=plain\nComment: " + TEXT +
                                "\n    Run: \nExtract: cat > /dev/null\nStatistics unavailable because data "
                                "was not compressed\n",
                            ""}),
    [](const ::testing::TestParamInfo<Shown>& row) {
        std::string name;
        for (const char* p = row.param.what; *p != '\0'; p++) {
            if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
        }
        return name;
    });

// A mount point is text from the system's table, which any user who may
// mount (a removable medium, a FUSE filesystem) chooses. The search names it
// escaped on a terminal: an archive too big for its VFYFS filesystem meets
// a mount point that writes to the clipboard.
TEST(ShownSearchE2E, TheTryingLineNamesAHostileMountPointEscaped)
{
    REQUIRE_MOUNTS();
    TempDir tmp;
    mountns::Tmpfs full(tmp.file("full"), "size=1m");
    mountns::Tmpfs room(tmp.file("r" + OSC52), "size=4m");
    ASSERT_EQ(full.error(), "");
    ASSERT_EQ(room.error(), "");
    mountns::fill(full.dir());
    write_file(tmp.file("mnttab"), mountns::table_below(tmp.path()));
    ASSERT_EQ(mkdir((room.dir() + "/qz").c_str(), 0755), 0);  // the candidate is refused: nothing is made
    write_file(tmp.file("plain"), "hi\n");
    testutil::RunResult b =
        drivertest::build_archive(tmp.file("a.run"), {"-V", full.dir(), "-S", "qz", "plain"}, tmp.path());
    ASSERT_EQ(b.status, 0) << b.err;

    // The archive sees the test's table in place of its own.
    const std::vector<std::string> argv{
        "/bin/sh", "-c", "mount --bind \"$0\" /proc/$$/mounts || exit 99; LC_ALL=C exec \"$1\"",
        tmp.file("mnttab"), tmp.file("a.run")};
    drivertest::PtyResult t = drivertest::run_on_pty(argv, tmp.path(), {});
    const std::string shown = tmp.path() + "/r" + OSC52_SHOWN;
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.transcript.find("\r\nTrying " + shown + " ...\r\n" + shown + "/qz: already exists.\r\n"),
              std::string::npos)
        << t.transcript;
    EXPECT_EQ(t.transcript.find(OSC52), std::string::npos) << t.transcript;

    testutil::RunResult p = testutil::run(argv, "", tmp.path());
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.err.find("\nTrying " + room.dir() + " ...\n" + room.dir() + "/qz: already exists.\n"),
              std::string::npos)
        << p.err;
}

}  // namespace
