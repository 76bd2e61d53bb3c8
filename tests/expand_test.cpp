// Placeholder expansion: whatever quoting a placeholder stands in, /bin/sh
// reads its value back as exactly one literal word; plain values expand byte
// for byte; places the expansion cannot quote are refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "testutil.h"
#include "vokra.h"

namespace {

class Expand : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_driver_state();
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        cwd = buf;
    }
    // The expansion of pgm with %o = value, or "<refused>".
    std::string expand(const std::string& pgm, const std::string& value)
    {
        set_ofname(value.c_str());
        char* r = replace_program_parms(pgm.c_str());
        if (r == nullptr) return "<refused>";
        std::string s = r;
        std::free(r);
        return s;
    }
    std::string cwd;
};

// Each context with the values special in it: the shell must print [value][.]
// (the [.] shows that an empty value stayed one argument, and that nothing
// after it was swallowed).
TEST_F(Expand, EveryContextGivesTheShellExactlyTheValue)
{
    struct Context {
        const char* what;
        const char* pgm;  // %o stands in the quoting named
        std::string (*seen)(const std::string&);
        std::vector<std::string> values;
    };
    auto same = [](const std::string& v) { return v; };
    const std::vector<std::string> nasty = {
        "a b", "it's",  "say \"hi\"", "$(touch pwned)", "`touch pwned`", "back\\sl",      "2\nlines", "",
        "*",   "~root", "\nlead",     "$HOME",          "x;y|z&",        "a'b\"c$d`e\\f", "\\"};
    const std::vector<std::string> in_word = {"a b",      "it's",          "*", "$HOME", "x;y|z&",
                                              "2\nlines", "$(touch pwned)"};
    const std::vector<std::string> escaped = {"a b",    "it's",   "2\nlines",       "",
                                              "\nlead", "x;y|z&", "$(touch pwned)", "a'b\"c$d`e\\f"};
    const std::vector<std::string> in_single = {"it's", "'", "a'b\"c$d`e\\f", "'; touch pwned; '"};
    const std::vector<std::string> in_double = {
        "say \"hi\"", "$(touch pwned)", "`touch pwned`", "end\\", "$HOME", "a'b\"c$d`e\\f", "\\", "\""};
    for (const Context& c : {
             Context{"unquoted", "printf '[%s]' %o .", same, nasty},
             Context{"unquoted inside a word", "printf '[%s]' x%o/ .",
                     [](const std::string& v) { return std::string("x").append(v).append("/"); }, in_word},
             Context{"in '...'", "printf '[%s]' '%o' .", same, in_single},
             Context{"in the middle of '...'", "printf '[%s]' 'a %o b' .",
                     [](const std::string& v) { return std::string("a ").append(v).append(" b"); },
                     in_single},
             Context{"in \"...\"", "printf '[%s]' \"%o\" .", same, in_double},
             Context{"in the middle of \"...\"", "printf '[%s]' \"a'%o\" .",
                     [](const std::string& v) { return std::string("a'").append(v); }, in_double},
             Context{"after a backslash", "printf '[%s]' \\%o .", same, escaped},
             Context{"after a backslash in \"...\"", "printf '[%s]' \"\\%o\" .",
                     [](const std::string& v) { return std::string("\\").append(v); }, in_double},
             Context{"in $(...) inside \"...\"",
                     "printf '[%s]' \"$(printf '%s' %o)\" .",
                     same,
                     {"a b", "it's", "$(touch pwned)", "*", "x;y|z&", "a'b\"c$d`e\\f", "\\"}},
             Context{"in \"...\" in $(...) in \"...\"",
                     "printf '[%s]' \"$(printf '%s' \"%o\")\" .",
                     same,
                     {"$(touch pwned)", "\"", "`touch pwned`"}},
         }) {
        for (const std::string& v : c.values) {
            SCOPED_TRACE(std::string(c.what) + ", value [" + v + "]");
            // Something for a glob to match: * and x*/ must stay as they are.
            testutil::TempDir dir;
            testutil::write_file(dir.file("f"), "");
            ASSERT_EQ(mkdir(dir.file("xd").c_str(), 0755), 0);
            std::string cmd = expand(c.pgm, v);
            auto r = testutil::run({"/bin/sh", "-c", cmd}, "", dir.path());
            EXPECT_EQ(r.out, std::string("[").append(c.seen(v)).append("][.]")) << cmd;
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_FALSE(testutil::sh("test -e pwned", "", dir.path()).status == 0) << cmd;
        }
    }
}

// Values no context treats specially keep today's commands byte for byte.
TEST_F(Expand, PlainValuesExpandByteForByte)
{
    struct Case {
        const char* pgm;
        const char* value;
        std::string out;
    };
    for (const Case& c : {
             Case{"cat > %p/%o", "data.tar", "cat > " + cwd + "/data.tar"},
             Case{"tar -xf - -C '%p' \"%o\"", "a b", "tar -xf - -C '" + cwd + "' \"a b\""},
             Case{"echo \\%o", "x-1.0", "echo \\x-1.0"},
             Case{"echo \"\\%o\"", "x", "echo \"\\x\""},
             Case{"echo `basename %o` ${X:-%o} $((%o))", "v_2", "echo `basename v_2` ${X:-v_2} $((v_2))"},
             Case{"a %% b %x%", "x", "a %% b %x%"},
             Case{"echo %o # it's %o", "n", "echo n # it's n"},
         }) {
        SCOPED_TRACE(c.pgm);
        EXPECT_EQ(expand(c.pgm, c.value), c.out);
    }
}

// Where the shell reads the text again by its own rules, only a value plain
// everywhere is written (an empty one is no word there at all); any other is
// refused with a message naming the command.
TEST_F(Expand, UnfollowedPlacesRefuseAValueThatNeedsQuoting)
{
    struct Case {
        const char* what;
        const char* pgm;
        const char* value;
    };
    for (const Case& c : {
             Case{"backquotes", "echo `basename %o`", "a b"},
             Case{"backquotes, empty", "echo `basename %o`", ""},
             Case{"parameter expansion", "echo ${X:-%o}", "a b"},
             Case{"arithmetic", "echo $((%o))", "a b"},
             Case{"here-document", "cat <<EOF\n%o\nEOF", "a b"},
             Case{"comment, newline", "echo # %o", "a\ntouch pwned"},
         }) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        EXPECT_EQ(expand(c.pgm, c.value), "<refused>");
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("vokra: cannot quote %o here (in a comment, `...`, ${...}, $((...)) or a "
                              "here-document): ") +
                      c.pgm + "\n");
    }
}

TEST_F(Expand, CommandUsesReadsPercentsAsTheExpansionDoes)
{
    struct Case {
        const char* pgm;
        char letter;
        bool uses;
    };
    for (const Case& c : {Case{"tar -xf - -C %d", 'd', true}, Case{"echo %%d", 'd', false},
                          Case{"echo %%%d", 'd', true}, Case{"echo %", 'd', false}, Case{"%o %p", 'd', false},
                          Case{"%x%d", 'd', true}, Case{"%%o", 'o', false}}) {
        SCOPED_TRACE(c.pgm);
        EXPECT_EQ(command_uses(c.pgm, c.letter), c.uses);
    }
}

}  // namespace
