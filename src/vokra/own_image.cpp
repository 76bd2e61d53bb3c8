// The running program's own file: the one the kernel executed, through the
// link the system keeps for it, then the path the kernel was given, then the
// search for argv[0] on PATH as the last fallback.
//
// argv[0] is only what the caller chose to say: a search for it that looks in
// the current directory finds another user's "vokra" there, or nothing under
// `exec -a`. The link names the executed file itself, except when the program
// was started through the dynamic loader ("ld.so ./vokra", a common way round
// a noexec /tmp): then it names the loader, and the loader's copy must never
// become an archive's image, nor its missing marker turn an archive into a
// builder. So every place the image is looked for must hold a file that shows
// this program's version string. Which link and which record of the executed
// path a system offers is the one platform difference here.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/auxv.h>
#endif

#include "vokra.h"

namespace {

#if defined(__linux__)
constexpr const char* SELF_LINK = "/proc/self/exe";
#elif defined(__sun)
constexpr const char* SELF_LINK = "/proc/self/path/a.out";
#elif defined(__NetBSD__)
constexpr const char* SELF_LINK = "/proc/curproc/exe";
#else
constexpr const char* SELF_LINK = nullptr;
#endif

// The path the kernel was asked to execute, as given to execve (relative to
// the current directory, which has not changed yet); the loader, run as a
// command, puts the program's path here in its own place. Null where the
// system does not record it.
const char* executed_path()
{
#if defined(__linux__) && defined(AT_EXECFN)
    return reinterpret_cast<const char*>(getauxval(AT_EXECFN));
#else
    return nullptr;
#endif
}

// Whether path opens a regular file holding scid, NUL included: this
// program's executable or an archive made from one, not the loader or a
// stranger's file. The string lies in the image's read-only data, so the scan
// of an archive ends inside its image, never in the payload.
bool holds_own_version(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    UniqueFd in(fd);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const std::size_t want = std::strlen(scid) + 1;
    // Each read lands after the last want - 1 bytes of the one before, so a
    // match split between two reads is seen whole.
    std::array<char, 8192> buf;
    std::size_t kept = 0;
    for (;;) {
        const ssize_t n = read(fd, buf.data() + kept, buf.size() - kept);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        const std::size_t have = kept + static_cast<std::size_t>(n);
        if (have >= want) {
            for (std::size_t i = 0; i + want <= have; i++) {
                if (buf[i] == scid[0] && std::memcmp(buf.data() + i, scid, want) == 0) return true;
            }
            kept = want - 1;
            std::memmove(buf.data(), buf.data() + have - kept, kept);
        } else {
            kept = have;
        }
    }
}

}  // namespace

const char* find_own_image(const char* argv0)
{
    // The link itself, not its target: a running file that was deleted or
    // replaced on disk is still reached through it.
    if (SELF_LINK != nullptr && holds_own_version(SELF_LINK)) return SELF_LINK;
    // Without it (no /proc mounted, or the loader in its place), the path is
    // resolved once, here, and the result kept, so that every later open
    // names the same path.
    auto& resolved = driver.own_image_path;
    const char* path = executed_path();
    if (path == nullptr || !holds_own_version(path)) {
        path = find_program(argv0);
        if (path != nullptr && !holds_own_version(path)) path = nullptr;
    }
    if (path == nullptr || std::strlen(path) >= sizeof resolved) {
        print_stored(stderr, "%s: unable to find vokra to build preamble\n", argv0);
        return nullptr;
    }
    std::strcpy(resolved, path);
    return resolved;
}
