// Small real filesystems for the space-check tests: a private mount namespace
// for the test process and tmpfs mounts inside it.
//
// The namespace is entered once per process and made private, so nothing
// mounted here is seen by the rest of the machine; each mount is undone by its
// holder, before the TempDir it lies in is removed.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "testutil.h"

namespace mountns {

// "" when this process may mount (it is now in a private mount namespace),
// otherwise why not.
inline const std::string& enter()
{
    static const std::string reason = [] {
        if (geteuid() != 0) return std::string("mounting needs root");
        if (unshare(CLONE_NEWNS) != 0) return "unshare(CLONE_NEWNS): " + std::string(std::strerror(errno));
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return "making / private: " + std::string(std::strerror(errno));
        }
        return std::string();
    }();
    return reason;
}

// A tmpfs mounted at a directory (made if missing) for the holder's lifetime.
class Tmpfs {
public:
    Tmpfs(const std::string& dir, const std::string& options, unsigned long flags = 0) : dir_(dir)
    {
        mkdir(dir.c_str(), 0755);
        if (mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) != 0) {
            error_ = "mount tmpfs on " + dir + ": " + std::strerror(errno);
        }
    }
    ~Tmpfs()
    {
        if (error_.empty()) umount2(dir_.c_str(), MNT_DETACH);
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    const std::string& error() const { return error_; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    std::string error_;
};

// Writes into dir until the filesystem holding it has less than a megabyte
// available: all but `spare` bytes (rounded to fragments) are taken, so that
// small things (a directory, a symbolic link) still fit as on a real full disk.
inline void fill(const std::string& dir, std::size_t spare = 64 * 1024)
{
    struct statvfs st;
    ASSERT_EQ(statvfs(dir.c_str(), &st), 0) << dir;
    const std::size_t avail = static_cast<std::size_t>(st.f_bavail) * st.f_frsize;
    ASSERT_GT(avail, spare) << dir;
    const std::string f = dir + "/.filler";
    int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << f;
    static const char block[65536] = {};
    std::size_t left = avail - spare;
    while (left > 0) {
        const std::size_t n = left < sizeof block ? left : sizeof block;
        if (write(fd, block, n) != static_cast<ssize_t>(n)) break;
        left -= n;
    }
    close(fd);
    ASSERT_EQ(left, 0u) << f;
}

// One line of a mount table in the /proc/self/mounts format, with blanks,
// tabs, newlines and backslashes in the fields written as octal escapes.
inline std::string table_line(const std::string& dev, const std::string& dir, const std::string& type,
                              const std::string& opts)
{
    auto esc = [](const std::string& s) {
        std::string o;
        for (char c : s) {
            if (c == ' ')
                o += "\\040";
            else if (c == '\t')
                o += "\\011";
            else if (c == '\n')
                o += "\\012";
            else if (c == '\\')
                o += "\\134";
            else
                o += c;
        }
        return o;
    };
    return esc(dev) + " " + esc(dir) + " " + type + " " + opts + " 0 0\n";
}

// The lines of the kernel's mount table for mount points below dir, in mount
// order: the real table as the tool would read it, cut down to one test's mounts.
inline std::string table_below(const std::string& dir)
{
    std::string mine;
    const std::string all = testutil::read_file("/proc/self/mounts");
    const std::string prefix = " " + dir + "/";
    std::size_t pos = 0;
    while (pos < all.size()) {
        std::size_t end = all.find('\n', pos);
        if (end == std::string::npos) end = all.size() - 1;
        const std::string line = all.substr(pos, end - pos + 1);
        if (line.find(prefix) != std::string::npos) mine += line;
        pos = end + 1;
    }
    return mine;
}

}  // namespace mountns

// Skips the test, visibly, where this machine does not allow mounting.
#define REQUIRE_MOUNTS()                                                                      \
    do {                                                                                      \
        const std::string& why_not = mountns::enter();                                        \
        if (!why_not.empty()) GTEST_SKIP() << "needs a private mount namespace: " << why_not; \
    } while (0)
