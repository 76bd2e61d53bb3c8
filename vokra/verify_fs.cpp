// Space check before extraction: room where the data is to go, or a directory
// made on another filesystem and reached through a relocation link.
//
// Everything here may be steered by an archive's features, so the values that
// end up as paths are checked before anything is created or removed: a link is
// only ever put where no real file or directory stands, only a symbolic link is
// removed to make room for it, and a path that would not fit its buffer is
// refused rather than cut into another path.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "fsinfo.h"
#include "mnttab.h"
#include "vokra.h"

namespace {

constexpr std::size_t FSSUB_BUFSIZ = 256;            // the FSSUB value: 255 characters
constexpr std::size_t PATH_BUFSIZ = SYMPATH_BUFSIZ;  // path, fullpath, native_path, candidates
constexpr std::size_t MKDIRP_BUFSIZ = 255;           // mkdirp's prefix buffer: paths of 254 characters
constexpr int EXTRACT_DIR_MODE = 0755;

// Why the last candidate of a search was given up.
enum Verr { SE_NONE, SE_EXISTS, SE_MKDIR, SE_SYMLINK };

enum Outcome { LINKED, IN_PLACE, REFUSED, STOP };

// One of the check's own refusals, behind the program's name.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...)
{
    std::fprintf(stderr, "%s: ", progname);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// Writes a, then "/" when `slash`, then b into dst (PATH_BUFSIZ bytes); false,
// with a message, when that would take more than PATH_BUFSIZ - 1 characters.
bool join(char* dst, const char* a, bool slash, const char* b)
{
    const int n = std::snprintf(dst, PATH_BUFSIZ, "%s%s%s", a, slash ? "/" : "", b);
    if (n >= 0 && static_cast<std::size_t>(n) < PATH_BUFSIZ) return true;
    say("%s%s%s: path longer than %zu characters, refused.\n", a, slash ? "/" : "", b, PATH_BUFSIZ - 1);
    dst[0] = '\0';
    return false;
}

// The text after the first "=" of the feature item holding key, or null.
const char* feature_value(const char* key)
{
    const char* item = get_feature(key);
    if (item == nullptr) return nullptr;
    const char* eq = std::strchr(item, '=');
    return eq != nullptr ? eq + 1 : nullptr;
}

// Calls f(component, length) for each non-empty component between slashes.
template <typename F>
bool all_components(const char* s, F f)
{
    while (*s != '\0') {
        const std::size_t n = std::strcspn(s, "/");
        if (n > 0 && !f(s, n)) return false;
        s += n;
        while (*s == '/') ++s;
    }
    return true;
}

bool has_dotdot(const char* s)
{
    return !all_components(
        s, [](const char* c, std::size_t n) { return !(n == 2 && c[0] == '.' && c[1] == '.'); });
}

// True when fssub, put after "/" behind a directory, names a directory strictly
// below it: at least one component, none of them "." or "..", and no trailing
// "/" (the link could not be made at such a path).
bool names_dir_below(const char* fssub)
{
    int names = 0;
    const bool plain = all_components(fssub, [&names](const char* c, std::size_t n) {
        ++names;
        return !(c[0] == '.' && (n == 1 || (n == 2 && c[1] == '.')));
    });
    const std::size_t len = std::strlen(fssub);
    return plain && names > 0 && fssub[len - 1] != '/';
}

void strip_one_slash(char* s)
{
    const std::size_t len = std::strlen(s);
    if (len > 0 && s[len - 1] == '/') s[len - 1] = '\0';
}

// The answer to "OK to create temporary link?": false only for a reply that
// begins with n or N. The rest of an over-long reply line is read away so it
// cannot answer the next prompt.
bool confirm_link(const char* candidate)
{
    std::fprintf(stderr, "Creating temporary link to %s\n", candidate);
    std::fprintf(stderr, "OK to create temporary link? [y]: ");
    char reply[4] = {};
    if (std::fgets(reply, sizeof reply, stdin) != nullptr && std::strchr(reply, '\n') == nullptr) {
        int c;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
    return reply[0] != 'n' && reply[0] != 'N';
}

// The link's place holds something that is not a symbolic link.
void in_the_way(const char* native_path)
{
    std::fprintf(stderr, "%s: exists and is not a symbolic link; it is left alone.\n", native_path);
    std::fprintf(stderr, "Please remove it first then try again.\n");
}

struct Check {
    const char* fssub;
    const char* native_path;  // where the extract command expects the directory
    char* sym_path;           // the candidate's work buffer, then the link's path
    Verr verr;
};

// Tries to make the extraction directory below base and link it at native_path.
Outcome try_candidate(Check& ck, const char* base)
{
    char* cand = ck.sym_path;
    if (!join(cand, base, ck.fssub[0] != '/', ck.fssub)) return REFUSED;
    if (access(cand, F_OK) == 0) {
        std::fprintf(stderr, "%s: already exists.\n", cand);
        ck.verr = SE_EXISTS;
        return REFUSED;
    }
    // Only a symbolic link (dangling or not) may give way to the new link; a
    // real file or directory there is somebody's data.
    struct stat st;
    if (lstat(ck.native_path, &st) == 0 && !S_ISLNK(st.st_mode)) {
        in_the_way(ck.native_path);
        return STOP;
    }
    if (verbose && !confirm_link(cand)) {
        ck.verr = SE_NONE;
        return REFUSED;
    }
    if (mkdirp(cand, EXTRACT_DIR_MODE) != 0) {
        std::perror(cand);
        ck.verr = SE_MKDIR;
        return REFUSED;
    }
    // The clean-up removes exactly the link's own place, without a shell.
    if (lstat(ck.native_path, &st) == 0) {
        struct stat made;
        if (S_ISLNK(st.st_mode)) {
            unlink(ck.native_path);
        } else if (stat(cand, &made) == 0 && made.st_dev == st.st_dev && made.st_ino == st.st_ino) {
            // The candidate is the extraction directory itself (the -t directory
            // is the VFYFS one): the data goes there and no link is needed.
            ck.sym_path[0] = '\0';
            return IN_PLACE;
        } else {
            in_the_way(ck.native_path);
            rmdir(cand);
            return STOP;
        }
    }
    if (symlink(cand, ck.native_path) != 0) {
        std::perror(cand);
        rmdir(cand);
        ck.verr = SE_SYMLINK;
        return REFUSED;
    }
    std::memcpy(ck.sym_path, ck.native_path, std::strlen(ck.native_path) + 1);
    return LINKED;
}

void closing_messages(const char* fullpath, int min_mb, const char* fs, const char* fssub)
{
    std::fprintf(stderr, "%s: not enough space to extract the archive.\n", fullpath);
    std::fprintf(stderr, "Please make at least %dMb available in %s.\n", min_mb, fs);
    std::fprintf(stderr,
                 "Alternatively, you can make space available on another filesystem where a\n\"%s\" "
                 "directory can be created. Ensure that the \"%s\" directory\ndoes not exist before "
                 "trying again.\n",
                 fssub, fssub);
}

void report_verr(const Check& ck)
{
    static constexpr const char* reasons[] = {nullptr, "it already exists", "the directory could not be made",
                                              "the link could not be made"};
    if (verbose && ck.verr != SE_NONE)
        say("last candidate %s given up: %s.\n", ck.sym_path, reasons[ck.verr]);
}

int has_room(const char* dir, int min_mb)
{
    int is_root = 0, avail_mb = 0;
    return FsHasMegSpace(dir, min_mb, &is_root, &avail_mb);
}

}  // namespace

int verify_fs(int min_mb, char* sym_path)
{
    sym_path[0] = '\0';

    const char* value = feature_value("VFYFS=");
    if (value == nullptr) return -1;
    if (std::strlen(value) >= FS_BUFSIZ) {
        say("VFYFS value longer than %zu characters, refused.\n", FS_BUFSIZ - 1);
        return -1;
    }
    char fs[FS_BUFSIZ];
    std::memcpy(fs, value, std::strlen(value) + 1);

    char fssub[FSSUB_BUFSIZ] = {};
    value = feature_value("FSSUB=");
    if (value != nullptr) {
        if (std::strlen(value) >= FSSUB_BUFSIZ) {
            say("FSSUB value longer than %zu characters, refused.\n", FSSUB_BUFSIZ - 1);
            return -1;
        }
        std::memcpy(fssub, value, std::strlen(value) + 1);
    }
    if (std::strlen(fs) < 2 || std::strlen(fssub) < 2) return -1;

    if (has_dotdot(fs)) {
        say("VFYFS=%s: a \"..\" component is not allowed, refused.\n", fs);
        return -1;
    }
    if (!names_dir_below(fssub)) {
        say("FSSUB=%s does not name a directory below %s, refused.\n", fssub, fs);
        return -1;
    }

    // The current directory is needed only to make a relative value absolute.
    char cwd[PATH_MAX];
    const bool need_cwd = fs[0] != '/' || (uncompress_dir[0] != '\0' && uncompress_dir[0] != '/');
    if (need_cwd && getcwd(cwd, sizeof cwd) == nullptr) {
        std::perror("getcwd");
        return -1;
    }
    char path[PATH_BUFSIZ];
    if (fs[0] == '/') {
        std::memcpy(path, fs, std::strlen(fs) + 1);
    } else if (!join(path, cwd, true, fs)) {
        return -1;
    }

    char* base = uncompress_dir[0] != '\0' ? uncompress_dir : path;
    strip_one_slash(base);
    const bool have_t = uncompress_dir[0] != '\0';

    char fullpath[PATH_BUFSIZ];
    char native_path[PATH_BUFSIZ];
    if (!join(fullpath, base, true, fssub) || !join(native_path, fs, true, fssub)) return -1;

    if (access(fullpath, F_OK) == 0) {
        std::fprintf(stderr, "%s: extraction directory exists!\nPlease remove it first then try again.\n",
                     fullpath);
        return -1;
    }

    Check ck{fssub, native_path, sym_path, SE_NONE};
    bool announce = true;
    if (have_t && has_room(uncompress_dir, min_mb) != 0) {
        // A relative -t directory is taken from the current directory, so that
        // the directory can be made and the link resolves from where it lies.
        char t_dir[PATH_BUFSIZ];
        if (uncompress_dir[0] == '/') {
            std::memcpy(t_dir, uncompress_dir, std::strlen(uncompress_dir) + 1);
        } else if (!join(t_dir, cwd, true, uncompress_dir)) {
            return -1;
        }
        switch (try_candidate(ck, t_dir)) {
            case LINKED:
            case IN_PLACE:
                return 0;
            case STOP:
                return -1;
            case REFUSED:
                break;
        }
        announce = false;  // the search below goes on quietly from the table's start
    } else {
        if (has_room(path, min_mb) != 0) return 0;
        if (have_t) {
            closing_messages(fullpath, min_mb, fs, fssub);
            return -1;
        }
    }

    if (announce) {
        std::fprintf(stderr, "%s: not enough space. Looking for space in other filesystems.\n", fullpath);
    }
    ss_endmntent();
    while (ssmnttab* m = ss_getmntent()) {
        // A mount point that fills its field may have been cut to fit, and the
        // cut path is some other directory: such an entry is passed over.
        if (std::strlen(m->mt_path) >= sizeof m->mt_path - 1) continue;
        if (m->mt_read_only || has_room(m->mt_path, min_mb) != 1) continue;
        std::fprintf(stderr, "Trying %s ...\n", m->mt_path);
        char mount_point[sizeof m->mt_path];
        std::memcpy(mount_point, m->mt_path, sizeof mount_point);
        const Outcome r = try_candidate(ck, mount_point);
        if (r == LINKED || r == IN_PLACE || r == STOP) {
            ss_endmntent();
            return r == STOP ? -1 : 0;
        }
    }
    ss_endmntent();
    report_verr(ck);
    closing_messages(fullpath, min_mb, fs, fssub);
    return -1;
}

int mkdirp(const char* path, int mode)
{
    if (path[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    const std::size_t len = std::strlen(path);
    if (len >= MKDIRP_BUFSIZ) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (access(path, X_OK) == 0) return 0;
    char prefix[MKDIRP_BUFSIZ];
    for (std::size_t i = 1; i <= len; ++i) {
        if (path[i] != '/' && path[i] != '\0') continue;
        std::memcpy(prefix, path, i);
        prefix[i] = '\0';
        if (access(prefix, X_OK) != 0) {
            if (mkdir(prefix, static_cast<mode_t>(mode)) != 0) return -1;
            // mkdir's mode passes through the file-creation mask; the directory
            // gets exactly `mode` whatever that mask is.
            chmod(prefix, static_cast<mode_t>(mode));
        }
    }
    return 0;
}
