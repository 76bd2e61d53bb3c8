// The progress line: on a terminal each step ends its own line at 100% before
// any other message; into a pipe not one byte is added to standard error.
#include <gtest/gtest.h>

#include <string>

#include "driver_testutil.h"
#include "testutil.h"

namespace {

// A terminal transcript as a pipe would have received it, with each progress
// line folded into "[its last state]" (without the rate, which varies).
std::string fold_progress(const std::string& transcript)
{
    std::string out;
    for (std::size_t i = 0; i < transcript.size(); i++) {
        if (transcript.compare(i, 2, "\r\n") == 0) continue;  // the terminal's \n
        if (transcript[i] != '\r') {
            out += transcript[i];
            continue;
        }
        std::size_t end = transcript.find("\r\n", i);
        std::string last = transcript.substr(i, end - i);
        last = last.substr(last.rfind('\r') + 1);
        last.erase(last.find_last_not_of(' ') + 1);
        if (last.ends_with("/s")) last.erase(last.rfind("  "));
        out += "[" + last + "]\n";
        i = end + 1;
    }
    return out;
}

TEST(Progress, OnATerminalEachStepEndsItsLineAt100PercentBeforeAnyOtherMessage)
{
    testutil::TempDir dir;
    testutil::write_file(dir.file("data.bin"), std::string(300 * 1024, '\0'));
    auto sh = [&](const std::string& cmd) { return std::vector<std::string>{"/bin/sh", "-c", cmd}; };
    const std::string exe = testutil::vokra_exe();
    auto build = drivertest::run_on_pty(sh("'" + exe + "' data.bin > app.run"), dir.path(), {});
    EXPECT_EQ(fold_progress(build.transcript), "[compressing 100%  300.0 KiB of 300.0 KiB]\n");

    std::string archive = testutil::read_file(dir.file("app.run"));
    std::string size = std::to_string(drivertest::parse_archive(archive).payload.size()) + " B";
    const std::string bytes = size + " of " + size + "]\n", banner = "\nSelf-Extracting archive file\n\nPlease wait...\n";
    archive[archive.size() - 8] ^= 1;  // the stored CRC-32
    testutil::write_file(dir.file("bad.run"), archive);
    chmod(dir.file("app.run").c_str(), 0755);
    chmod(dir.file("bad.run").c_str(), 0755);
    const std::pair<std::string, std::string> cases[] = {
        // Checking and delivery each count their own line; a failure ends the line before its message.
        {"exec ./app.run", "[checking 100%  " + bytes + banner + "[extracting 100%  " + bytes},
        {"exec ./app.run -x > out", banner + "Deflating data.bin...\n[extracting 100%  " + bytes},
        {"exec ./bad.run", "[checking 100%  " + bytes + "\n./bad.run: ./bad.run: invalid compressed data--crc error\n"},
    };
    for (const auto& [command, folded] : cases) {
        auto r = drivertest::run_on_pty(sh(command), dir.path(), {});
        EXPECT_EQ(r.status, command == "exec ./bad.run" ? 1 : 0) << command;
        EXPECT_EQ(fold_progress(r.transcript), folded) << command;
    }
    auto piped = testutil::run({dir.file("app.run")}, "", dir.path());
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, banner);
}

}  // namespace
