// The manual page, the README and the bash completion describe every option the tool accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

// The tool's option string: every letter is an option, a ':' marks one that takes an argument.
constexpr const char* kOptionString = "h?ucvxnlap:C:r:f:V:S:t:O:F:";

struct Option {
    char letter;
    bool takes_argument;
};

std::vector<Option> all_options()
{
    std::vector<Option> opts;
    for (const char* p = kOptionString; *p != '\0'; p++) {
        if (*p == ':') continue;
        opts.push_back({*p, p[1] == ':'});
    }
    return opts;
}

std::string source_file(const std::string& relative)
{
    return std::string(VOKRA_SOURCE_DIR) + "/" + relative;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool starts_with(const std::string& s, const std::string& prefix)
{
    return s.rfind(prefix, 0) == 0;
}

TEST(ManPage, FormatsWithoutAnyGroffWarning)
{
    // -ww turns on every warning; -z formats without output, so only warnings are printed.
    testutil::RunResult r = testutil::sh("groff -man -ww -z '" + source_file("docs/vokra.1") + "'");
    ASSERT_NE(r.status, 127) << "groff is missing (Debian package groff-base)";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
}

TEST(ManPage, EveryOptionHasItsOwnEntryNamingItsArgumentAndMode)
{
    std::vector<std::string> lines = lines_of(testutil::read_file(source_file("docs/vokra.1")));
    for (const Option& opt : all_options()) {
        // An entry is ".TP", the tag line ".B \-x" (".BI \-x " plus the argument's name
        // for an option that takes one), then a body whose first line names the mode.
        std::string tag = opt.takes_argument ? std::string(".BI \\-") + opt.letter + " \""
                                             : std::string(".B \\-") + opt.letter;
        auto is_tag = [&](const std::string& line) {
            return opt.takes_argument ? starts_with(line, tag) : line == tag;
        };
        auto it = lines.begin();
        while (it != lines.end() && !(is_tag(*it) && it != lines.begin() && *(it - 1) == ".TP")) ++it;
        ASSERT_NE(it, lines.end()) << "no tagged paragraph for -" << opt.letter;
        ASSERT_NE(it + 1, lines.end());
        const std::string& body = *(it + 1);
        EXPECT_TRUE(starts_with(body, "Any mode.") || starts_with(body, "Build mode") ||
                    starts_with(body, "Archive mode") || starts_with(body, "Archive and list mode"))
            << "-" << opt.letter << " does not say which mode it applies to: " << body;
    }
}

TEST(Readme, OptionTableListsEveryOption)
{
    std::string readme = testutil::read_file(source_file("README.md"));
    for (const Option& opt : all_options()) {
        std::string cell = std::string("| `-") + opt.letter;
        std::string alias = std::string("`-h`, `-") + opt.letter + "`";
        EXPECT_TRUE(readme.find(cell) != std::string::npos || readme.find(alias) != std::string::npos)
            << "-" << opt.letter << " missing from the README's option table";
    }
}

// The versions a text names as "vokra" and a digit-led word, such as the
// manual page's header and the --version answer it quotes.
std::vector<std::string> versions_named(const std::string& text)
{
    std::vector<std::string> found;
    for (std::size_t at = text.find("vokra "); at != std::string::npos; at = text.find("vokra ", at + 1)) {
        std::size_t start = at + 6, end = start;
        while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.'))
            end++;
        while (end > start && text[end - 1] == '.') end--;  // a full stop after it
        if (end > start && std::isdigit(static_cast<unsigned char>(text[start])))
            found.push_back(text.substr(start, end - start));
    }
    return found;
}

// The version is set once, in the build; the texts that show it must follow.
TEST(Docs, ManualPageAndReadmeShowTheProjectVersion)
{
    struct Row {
        const char* file;
        std::size_t mentions;  // the manual page: its header and --version; the README: --version
    };
    for (const Row& row : {Row{"docs/vokra.1", 2}, Row{"README.md", 1}}) {
        std::vector<std::string> found = versions_named(testutil::read_file(source_file(row.file)));
        EXPECT_EQ(found.size(), row.mentions) << row.file;
        for (const std::string& v : found) EXPECT_EQ(v, VOKRA_VERSION) << row.file;
    }
}

// Runs the completion function as bash would for the command line `words`, the
// last word being the one under the cursor, and returns the candidates.
std::set<std::string> complete(const std::vector<std::string>& words, const std::string& cwd = "")
{
    std::string script = ". '" + source_file("completion/vokra.bash") + "'; COMP_WORDS=(";
    for (const std::string& w : words) script += " '" + w + "'";
    script += " ); COMP_CWORD=" + std::to_string(words.size() - 1) +
              "; _vokra; for c in \"${COMPREPLY[@]}\"; do printf '%s\\n' \"$c\"; done";
    testutil::RunResult r = testutil::run({"/bin/bash", "-c", script}, "", cwd);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> got = lines_of(r.out);
    return {got.begin(), got.end()};
}

TEST(Completion, OffersEveryOptionInBuildModeAndOnlyTheActiveOnesAfterU)
{
    std::set<std::string> every = {"--help", "--version", "--keep", "--quiet", "--target"};
    for (const Option& opt : all_options()) every.insert(std::string("-") + opt.letter);
    EXPECT_EQ(complete({"vokra", "-"}), every);
    EXPECT_EQ(complete({"vokra", "-a", "-C", "x", "-"}), every);

    // After -u the build-only options are ignored by the tool, so they are not offered.
    std::set<std::string> archive_mode = {"-h",     "-?",        "-c",     "-l",      "-n",      "-t",
                                           "-v",     "-x",        "--help", "--version", "--keep", "--quiet",
                                           "--target"};
    EXPECT_EQ(complete({"vokra", "-u", "-"}), archive_mode);
    EXPECT_EQ(complete({"vokra", "-cu", "-"}), archive_mode);
    EXPECT_EQ(complete({"vokra", "-u", "-x"}), std::set<std::string>{"-x"});
    EXPECT_EQ(complete({"vokra", "--h"}), std::set<std::string>{"--help"});
}

TEST(Completion, CompletesDirectoriesFilesOrNothingAsTheOptionArgumentRequires)
{
    testutil::TempDir dir;
    testutil::write_file(dir.file("app.tar"), "x");
    ASSERT_EQ(testutil::sh("mkdir '" + dir.file("apps") + "'").status, 0);
    // A file named like an option must not leak into the option list through globbing.
    testutil::write_file(dir.file("-z"), "x");

    EXPECT_EQ(complete({"vokra", "-V", "ap"}, dir.path()), std::set<std::string>{"apps"});
    EXPECT_EQ(complete({"vokra", "-u", "-t", "ap"}, dir.path()), std::set<std::string>{"apps"});
    EXPECT_EQ(complete({"vokra", "-u", "--target", "ap"}, dir.path()), std::set<std::string>{"apps"});
    EXPECT_EQ(complete({"vokra", "-p", "app."}, dir.path()), std::set<std::string>{"app.tar"});
    EXPECT_EQ(complete({"vokra", "ap"}, dir.path()), (std::set<std::string>{"app.tar", "apps"}));
    EXPECT_EQ(complete({"vokra", "-C", ""}, dir.path()), std::set<std::string>{});
    EXPECT_EQ(complete({"vokra", "-F", ""}, dir.path()), std::set<std::string>{});
    EXPECT_EQ(complete({"vokra", "-?"}, dir.path()), std::set<std::string>{"-?"});
}

}  // namespace
