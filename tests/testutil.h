// Helpers shared by the tests: temporary directories, files, running the tool.
#pragma once

#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number when killed
    std::string out;
    std::string err;
};

// Runs argv[0] with the given arguments (no shell), feeding `input` on stdin,
// in directory `cwd` (unchanged when empty), with extra "NAME=value" entries
// added to the environment.
RunResult run(const std::vector<std::string>& argv, const std::string& input = "",
              const std::string& cwd = "", const std::vector<std::string>& env = {});

// Runs a command line through /bin/sh -c.
RunResult sh(const std::string& command, const std::string& input = "", const std::string& cwd = "");

// Deterministic pseudo-random bytes.
std::string random_bytes(std::size_t n, unsigned seed);

// A test name made of text: its letters and digits, "_" for anything else.
std::string test_name(const char* text);

// Path of the built tool.
std::string vokra_exe();

}  // namespace testutil
