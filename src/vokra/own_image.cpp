// The running program's own file: the one the kernel executed, through the
// link the system keeps for it, with the search for argv[0] as the fallback.
//
// argv[0] is only what the caller chose to say: a search for it finds another
// user's "vokra" in the current directory, or nothing under `exec -a`. The
// link names the executed file itself. Which link a system offers is the one
// platform difference here.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

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

}  // namespace

const char* find_own_image(const char* argv0)
{
    // The link itself, not its target: a running file that was deleted or
    // replaced on disk is still reached through it.
    struct stat st;
    if (SELF_LINK != nullptr && lstat(SELF_LINK, &st) == 0) return SELF_LINK;
    // Without it (no /proc mounted), the name is resolved once, here, and the
    // result kept, so that every later open names the same path.
    auto& resolved = driver.own_image_path;
    const char* path = find_program(argv0);
    if (path == nullptr || std::strlen(path) >= sizeof resolved) {
        print_stored(stderr, "%s: unable to find vokra to build preamble\n", argv0);
        return nullptr;
    }
    std::strcpy(resolved, path);
    return resolved;
}
