// The run's staging directory, %d: made when a command uses it, removed with
// everything in it when the run ends (unless --keep), or the --target
// directory, made if missing and never removed.
//
// The commands reach the directory by its path, so every directory on that
// path must be one no other user can change (mkdirp checks them from "/"
// down); the run itself reaches it through the parent's descriptor, and the
// removal (remove_tree) only through descriptors, so what a command leaves
// in it, links included, can never make the run remove anything outside.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vokra.h"

namespace {

constexpr const char* DEFAULT_TMPDIR = "/tmp";
constexpr const char* STAGING_TEMPLATE = "vokra.XXXXXX";
constexpr mode_t STAGING_MODE = 0700;
constexpr mode_t TARGET_MODE = 0755;

// "vokra: path: why", the path escaped on a terminal: it may come from
// $TMPDIR or the command line.
void report(const char* path, const char* why)
{
    print_stored(stderr, "%s: ", stream.progname);
    put_stored(stderr, path);
    print_stored(stderr, ": %s\n", why);
}

// Checks (and makes, with `mode`) every directory of absolute `path` from "/"
// down through mkdirp. 0, or -1 after a message.
int trusted_dirs(const char* path, int mode, MadeDirs& dirs)
{
    return mkdirp(path, 1, mode, dirs);
}

// $TMPDIR when it names a directory by an absolute path, else /tmp.
const char* staging_base()
{
    const char* dir = std::getenv("TMPDIR");
    struct stat st;
    if (dir == nullptr || dir[0] != '/' || stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return DEFAULT_TMPDIR;
    return dir;
}

// Makes base/vokra.XXXXXX below a trusted base: 0, or -1 after a message.
int make_temporary(const char* base)
{
    std::size_t len = std::strlen(base);
    while (len > 1 && base[len - 1] == '/') len--;
    char parent[STAGING_BUFSIZ];
    if (len >= sizeof parent) return -1;
    std::memcpy(parent, base, len);
    parent[len] = '\0';
    MadeDirs dirs;
    if (trusted_dirs(parent, STAGING_MODE, dirs) != 0) return -1;
    char* path = driver.staging_path;
    const int n = std::snprintf(path, STAGING_BUFSIZ, "%s/%s", len == 1 ? "" : parent, STAGING_TEMPLATE);
    if (n < 0 || static_cast<std::size_t>(n) >= STAGING_BUFSIZ || mkdtemp(path) == nullptr) {
        const int e = n < 0 || static_cast<std::size_t>(n) >= STAGING_BUFSIZ ? ENAMETOOLONG : errno;
        char why[128];
        std::snprintf(why, sizeof why, "cannot make a staging directory here: %s", std::strerror(e));
        report(parent, why);
        path[0] = '\0';
        return -1;
    }
    // What mkdtemp made must be what the parent's descriptor holds under
    // that name: a directory of ours.
    const char* name = std::strrchr(path, '/') + 1;
    const int fd = openat(dirs.fd(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_uid != geteuid() || fchmod(fd, STAGING_MODE) != 0) {
        report(path, "the staging directory changed after it was made");
        if (fd >= 0) close(fd);
        path[0] = '\0';
        return -1;
    }
    close(fd);
    driver.staging_parent_fd = fcntl(dirs.fd(), F_DUPFD_CLOEXEC, 0);
    if (driver.staging_parent_fd < 0) {
        report(parent, std::strerror(errno));
        unlinkat(dirs.fd(), name, AT_REMOVEDIR);
        path[0] = '\0';
        return -1;
    }
    driver.staging_dev = st.st_dev;
    driver.staging_ino = st.st_ino;
    driver.staging_name = name;
    driver.staging_armed = 1;  // last: from here on the clean-up removes it
    return 0;
}

// The --target directory, relative to the current one unless absolute, made
// with its missing parents: 0, or -1 after a message.
int make_target()
{
    char* path = driver.staging_path;
    const char* dir = driver.target_dir;
    int n;
    if (dir[0] == '/') {
        n = std::snprintf(path, STAGING_BUFSIZ, "%s", dir);
    } else {
        char cwd[STAGING_BUFSIZ];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            print_stored(stderr, "%s: cannot get the current directory: %s\n", stream.progname,
                         std::strerror(errno));
            return -1;
        }
        n = std::snprintf(path, STAGING_BUFSIZ, "%s/%s", std::strcmp(cwd, "/") == 0 ? "" : cwd, dir);
    }
    if (n < 0 || static_cast<std::size_t>(n) >= STAGING_BUFSIZ) {
        print_stored(stderr, "%s: --target: %s\n", stream.progname, std::strerror(ENAMETOOLONG));
        path[0] = '\0';
        return -1;
    }
    MadeDirs dirs;
    if (trusted_dirs(path, TARGET_MODE, dirs) != 0) {
        path[0] = '\0';
        return -1;
    }
    return 0;
}

}  // namespace

int make_staging()
{
    if (driver.target_dir[0] != '\0') return make_target();
    const char* base = staging_base();
    if (make_temporary(base) == 0) return 0;
    // A $TMPDIR refused (mkdirp said why and "not used") leaves /tmp.
    return base == DEFAULT_TMPDIR ? -1 : make_temporary(DEFAULT_TMPDIR);
}

int remove_staging()
{
    if (!driver.staging_armed) return 0;
    driver.staging_armed = 0;
    int r = 0;
    if (driver.keep_staging) {
        driver.staging_kept = 1;
    } else if (remove_tree(driver.staging_parent_fd, driver.staging_name, driver.staging_dev,
                           driver.staging_ino, driver.staging_walk) != 0) {
        driver.staging_error = errno;
        r = -1;
    }
    const int e = errno;
    close(driver.staging_parent_fd);
    driver.staging_parent_fd = -1;
    errno = e;
    return r;
}

int report_staging()
{
    const int kept = driver.staging_kept, error = driver.staging_error;
    driver.staging_kept = 0;
    driver.staging_error = 0;
    if (kept && !driver.quiet) {
        print_stored(stderr, "%s: staging directory kept: ", stream.progname);
        put_stored(stderr, driver.staging_path);
        std::fputs("\n", stderr);
    }
    if (error == 0) return 0;
    print_stored(stderr, "%s: could not remove all of the staging directory ", stream.progname);
    put_stored(stderr, driver.staging_path);
    print_stored(stderr, ": %s\n", std::strerror(error));
    return -1;
}
