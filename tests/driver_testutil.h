// Helpers for the archive driver's tests: building archives with the real
// tool, reading their layout back, and driving a run through a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "testutil.h"

namespace drivertest {

// The archive marker. Only the tests hold it whole; the tool never does.
inline std::string marker()
{
    return std::string("vokra+") + "magik";
}

// Builds an archive with the real tool: `vokra args... operands...` with its
// standard output saved as an executable file at `out`.
inline testutil::RunResult build_archive(const std::string& out, const std::vector<std::string>& args,
                                         const std::string& cwd = "")
{
    std::vector<std::string> argv{testutil::vokra_exe()};
    argv.insert(argv.end(), args.begin(), args.end());
    testutil::RunResult r = testutil::run(argv, "", cwd);
    testutil::write_file(out, r.out);
    chmod(out.c_str(), 0755);
    return r;
}

// The parts of an archive image: executable image, the four preamble strings, payload.
struct Layout {
    bool found = false;
    std::string image, features, comment, run_program, pipe_program, payload;
    std::size_t preamble_end = 0;
};

inline Layout parse_archive(const std::string& data)
{
    Layout l;
    std::size_t at = data.find(marker());
    if (at == std::string::npos) return l;
    l.found = true;
    l.image = data.substr(0, at);
    std::size_t p = at + marker().size();
    for (std::string* s : {&l.features, &l.comment, &l.run_program, &l.pipe_program}) {
        std::size_t nul = data.find('\0', p);
        if (nul == std::string::npos) nul = data.size();
        *s = data.substr(p, nul - p);
        p = nul + 1;
    }
    l.preamble_end = p;
    l.payload = data.substr(p);
    return l;
}

// One run of a program on a pseudo-terminal: its standard input, output and
// error are the terminal. `script` is a list of (text to wait for, reply); a
// reply is written as soon as the transcript holds its text past the point
// where the previous text was found.
struct PtyResult {
    int status = -1;
    std::string transcript;
    bool script_done = false;
};

inline PtyResult run_on_pty(const std::vector<std::string>& argv, const std::string& cwd,
                            const std::vector<std::pair<std::string, std::string>>& script)
{
    PtyResult r;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return r;
    std::string slave_name = ptsname(master);
    pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        setsid();
        int slave = open(slave_name.c_str(), O_RDWR);
        if (slave < 0) _exit(126);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2) close(slave);
        close(master);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    std::size_t step = 0, search_from = 0;
    for (;;) {
        while (step < script.size()) {
            std::size_t hit = r.transcript.find(script[step].first, search_from);
            if (hit == std::string::npos) break;
            search_from = hit + script[step].first.size();
            const std::string& reply = script[step].second;
            if (write(master, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) break;
            step++;
        }
        // A generous guard against a hung child, not a timing assertion.
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, 60000) <= 0) break;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EIO once every holder of the terminal has gone
        r.transcript.append(buf, static_cast<std::size_t>(n));
    }
    r.script_done = step == script.size();
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace drivertest
