// Removing a directory tree through descriptors (see rmtree.h).
//
// The walk is iterative, one TreeLevel per open directory, so a deep tree
// costs no stack. Every directory is opened through its parent with
// O_NOFOLLOW | O_DIRECTORY and compared with what fstatat saw under that name
// just before, so a name swapped for a link or for another directory in
// between is never entered; every removal goes through unlinkat on the
// directory that holds the name, so a link is removed itself. Only
// async-signal-safe calls are made on Linux: openat, fstatat, fstat,
// unlinkat, close and the getdents64 system call.
#include "rmtree.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace {

// The one platform-dependent part: the next entry name of a directory, or
// null at its end (or on a read error).
#ifdef __linux__
// The kernel's record, as getdents64 lays it out.
struct linux_dirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

const char* read_entry(TreeLevel& l)
{
    if (l.at >= l.len) {
        const long n = syscall(SYS_getdents64, l.fd, l.buf, sizeof l.buf);
        if (n <= 0) return nullptr;
        l.at = 0;
        l.len = static_cast<std::size_t>(n);
    }
    const auto* d = reinterpret_cast<const linux_dirent64*>(l.buf + l.at);
    l.at += d->d_reclen;
    return d->d_name;
}

void open_entries(TreeLevel& l)
{
    l.at = l.len = 0;
}

void close_entries(TreeLevel& l)
{
    close(l.fd);
}
#else
// readdir through a DIR of its own; not async-signal-safe (it allocates).
const char* read_entry(TreeLevel& l)
{
    if (l.stream == nullptr) return nullptr;
    const dirent* d = readdir(static_cast<DIR*>(l.stream));
    return d != nullptr ? d->d_name : nullptr;
}

void open_entries(TreeLevel& l)
{
    const int fd = dup(l.fd);
    l.stream = fd >= 0 ? fdopendir(fd) : nullptr;
    if (l.stream == nullptr && fd >= 0) close(fd);
}

void close_entries(TreeLevel& l)
{
    if (l.stream != nullptr) closedir(static_cast<DIR*>(l.stream));
    l.stream = nullptr;
    close(l.fd);
}
#endif

// The next entry other than "." and "..".
const char* next_entry(TreeLevel& l)
{
    for (;;) {
        const char* name = read_entry(l);
        if (name == nullptr) return nullptr;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) return name;
    }
}

// Opens directory `name` of parent when it is still (dev, ino): -1 otherwise.
int open_same_dir(int parent, const char* name, dev_t dev, ino_t ino)
{
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != dev || st.st_ino != ino) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

bool copy_name(char* to, const char* name)
{
    const std::size_t n = std::strlen(name);
    if (n >= TREE_NAME_MAX) return false;
    std::memcpy(to, name, n + 1);
    return true;
}

}  // namespace

int remove_tree(int parent_fd, const char* name, dev_t dev, ino_t ino, TreeWalk& walk)
{
    int first_error = 0;
    auto failed = [&](int e) {
        if (first_error == 0) first_error = e;
    };
    std::size_t depth = 0;
    auto enter = [&](int parent, const char* entry, dev_t d, ino_t i) {
        TreeLevel& l = walk.levels[depth];
        if (!copy_name(l.name, entry)) {
            failed(ENAMETOOLONG);
            return;
        }
        l.fd = open_same_dir(parent, entry, d, i);
        if (l.fd < 0) {
            failed(errno);
            return;
        }
        l.dev = d;
        l.ino = i;
        l.stream = nullptr;
        open_entries(l);
        depth++;
    };
    enter(parent_fd, name, dev, ino);
    while (depth > 0) {
        TreeLevel& l = walk.levels[depth - 1];
        const char* entry = next_entry(l);
        if (entry == nullptr) {
            // Emptied (as far as it goes): the directory goes too, while its
            // name still holds it. A failure here is ENOTEMPTY for what stayed.
            close_entries(l);
            depth--;
            const int parent = depth > 0 ? walk.levels[depth - 1].fd : parent_fd;
            struct stat now;
            if (fstatat(parent, l.name, &now, AT_SYMLINK_NOFOLLOW) != 0) {
                failed(errno);
            } else if (now.st_dev != l.dev || now.st_ino != l.ino) {
                failed(ESTALE);
            } else if (unlinkat(parent, l.name, AT_REMOVEDIR) != 0) {
                failed(errno);
            }
            continue;
        }
        struct stat st;
        if (fstatat(l.fd, entry, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            failed(errno);
        } else if (st.st_dev != dev) {
            failed(EXDEV);  // a mount point: what is mounted there is not the tree's
        } else if (!S_ISDIR(st.st_mode)) {
            if (unlinkat(l.fd, entry, 0) != 0) failed(errno);
        } else if (depth == TREE_MAX_DEPTH) {
            failed(ELOOP);
        } else {
            enter(l.fd, entry, st.st_dev, st.st_ino);
        }
    }
    if (first_error == 0) return 0;
    errno = first_error;
    return -1;
}
