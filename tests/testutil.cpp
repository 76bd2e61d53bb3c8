// Helpers shared by the tests: temporary directories, files, running the tool.
#include "testutil.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testutil {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base ? base : "/tmp") + "/vokra-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir()
{
    // Tests may leave read-only or odd entries behind; rm -rf copes with all of them.
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) { /* nothing more to do */
    }
}

std::string read_file(const std::string& path)
{
    std::string data;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<size_t>(n));
    close(fd);
    return data;
}

void write_file(const std::string& path, const std::string& data)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n <= 0) {
            close(fd);
            throw std::runtime_error("cannot write " + path);
        }
        off += static_cast<size_t>(n);
    }
    close(fd);
}

RunResult run(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd,
              const std::vector<std::string>& env)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        // Say why, so that a test whose program could not start (missing, not
        // executable, or built for another machine) does not fail mutely.
        dprintf(2, "cannot execute %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    RunResult r;
    size_t in_off = 0;
    int in_fd = in_pipe[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int nfds = 0;
        if (out_fd >= 0) fds[nfds++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0) fds[nfds++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0) fds[nfds++] = {in_fd, POLLOUT, 0};
        if (poll(fds, static_cast<nfds_t>(nfds), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < nfds; i++) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                ssize_t n = write(in_fd, input.data() + in_off, input.size() - in_off);
                if (n > 0) in_off += static_cast<size_t>(n);
                if (n < 0 || in_off == input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            std::string& dst = fds[i].fd == out_fd ? r.out : r.err;
            if (n > 0) {
                dst.append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

RunResult sh(const std::string& command, const std::string& input, const std::string& cwd)
{
    return run({"/bin/sh", "-c", command}, input, cwd);
}

std::string random_bytes(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    std::uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (std::size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

std::string test_name(const char* text)
{
    std::string name;
    for (const char* p = text; *p != '\0'; p++)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

std::string vokra_exe()
{
    return VOKRA_EXE;
}

}  // namespace testutil
