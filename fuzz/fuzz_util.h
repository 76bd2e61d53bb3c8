// Shared pieces of the fuzz targets: a sink that keeps the output in memory,
// a scratch file for the targets that read an archive by its path, and
// quieting standard error.
//
// The codec returns every failure (end of input, corrupt data, a refused
// header) as its result, so a target simply goes on to the next input.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "stream.h"

namespace fuzz {

// Keeps what is written, up to `cap` bytes; a write past it fails (ENOSPC).
struct StringSink {
    std::string data;
    std::size_t cap = ~std::size_t{0};

    sink get() { return {put, -1, this}; }
    static bool put(const sink& self, const uch* buf, unsigned size)
    {
        auto* s = static_cast<StringSink*>(self.ctx);
        if (size > s->cap - s->data.size()) {
            errno = ENOSPC;
            return false;
        }
        s->data.append(reinterpret_cast<const char*>(buf), size);
        return true;
    }
};

// A file that lives as long as the process; rewrite() replaces its contents
// and leaves the offset at 0. Its name is unlinked at once, since a fuzzer
// ends without running destructors; path() reaches it through /proc.
class ScratchFile {
public:
    ScratchFile()
    {
        char name[] = "/tmp/vokra-fuzz-XXXXXX";
        fd_ = mkstemp(name);
        if (fd_ < 0) std::abort();
        unlink(name);
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~ScratchFile() { close(fd_); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    void rewrite(const void* data, std::size_t size) const
    {
        if (ftruncate(fd_, 0) != 0) std::abort();
        if (size != 0 && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
        lseek(fd_, 0, SEEK_SET);
    }
    std::string contents() const
    {
        std::string s;
        char buf[65536];
        ssize_t n;
        for (off_t at = 0; (n = pread(fd_, buf, sizeof buf, at)) > 0; at += n)
            s.append(buf, static_cast<std::size_t>(n));
        return s;
    }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// Points standard error at /dev/null until restore_stderr(), so messages the
// tool prints on refusals do not flood the fuzzer's log; returns the saved
// descriptor. (libFuzzer's own and the sanitizers' reports use a descriptor of
// their own under -close_fd_mask=2.) With FUZZ_STDERR set, messages pass
// through: useful when replaying one finding.
inline int silence_stderr()
{
    static int null_fd = open("/dev/null", O_WRONLY);
    std::fflush(stderr);
    int saved = dup(2);
    if (std::getenv("FUZZ_STDERR") == nullptr) dup2(null_fd, 2);
    return saved;
}

inline void restore_stderr(int saved)
{
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
}

// Stops the fuzzer with a message when an invariant fails; libFuzzer then
// saves the input as a crash.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

}  // namespace fuzz
