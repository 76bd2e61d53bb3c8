// Space check before extraction: room where the data is to go, or a directory
// made on another filesystem and reached through a relocation link.
//
// Everything here may be steered by an archive's features, and the run is
// often root's in directories other users can write to. So the values that end
// up as paths are checked before anything is created or removed, and a path
// that would not fit its buffer is refused rather than cut into another path.
// The directory that receives the data is reached part by part through
// descriptors opened without following links, and each part must be one that
// no other user can rename or replace: otherwise the data, and the install
// command working on it, would go wherever that user points; so must every
// directory above, from "/" on. The link is put through a descriptor of its
// directory only where nothing stands, or where a dangling symbolic link of
// root's or the running user's stands, the one thing the check ever removes
// besides directories it made itself. A link another user put at the
// extraction directory's place (or at its directory's) stops the run even
// where the data fits: the extract command would write through it.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fsinfo.h"
#include "mnttab.h"
#include "vokra.h"

namespace {

constexpr std::size_t FSSUB_BUFSIZ = 256;            // the FSSUB value: 255 characters
constexpr std::size_t PATH_BUFSIZ = SYMPATH_BUFSIZ;  // path, fullpath, native_path, candidates
constexpr int EXTRACT_DIR_MODE = 0755;

// Why the last candidate of a search was given up.
enum Verr { SE_NONE, SE_EXISTS, SE_MKDIR, SE_SYMLINK };

enum Outcome { LINKED, IN_PLACE, REFUSED, STOP };

// One of the check's own refusals, behind the program's name.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...)
{
    print_stored(stderr, "%s: ", stream.progname);
    va_list ap;
    va_start(ap, fmt);
    vprint_stored(stderr, isatty(STDERR_FILENO) != 0, fmt, ap);
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

// Whether a relocation link may be made for these values: the link goes at
// fs/fssub and the directory below a mount point, so neither may climb out.
// Where the data fits in place nothing is made and the values stay as written.
bool relocatable(const char* fs, const char* fssub)
{
    if (has_dotdot(fs)) {
        say("VFYFS=%s: a \"..\" component is not allowed, refused.\n", fs);
        return false;
    }
    if (!names_dir_below(fssub)) {
        say("FSSUB=%s does not name a directory below %s, refused.\n", fssub, fs);
        return false;
    }
    return true;
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
    print_prompt(stderr, "Creating temporary link to %s\n", candidate);
    std::fprintf(stderr, "OK to create temporary link? [y]: ");
    // End of input accepts, as an empty line does.
    char reply[4];
    if (read_answer_line(reply, sizeof reply) != 0) reply[0] = '\0';
    return reply[0] != 'n' && reply[0] != 'N';
}

void exists_message(const char* path)
{
    print_stored(stderr, "%s: extraction directory exists!\nPlease remove it first then try again.\n", path);
}

// Whether a file belongs to neither root nor the running user.
bool foreign(const struct stat& st)
{
    return st.st_uid != 0 && st.st_uid != geteuid();
}

// What stands at a name in a directory, for the link to be put there; st is
// what stands there itself (a link not followed).
enum Place { PLACE_FREE, PLACE_DANGLING, PLACE_TAKEN, PLACE_PLANTED };

Place place_state(int dir_fd, const char* name, struct stat& st)
{
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return PLACE_FREE;
    if (!S_ISLNK(st.st_mode)) return PLACE_TAKEN;
    // Another user's link is theirs to point anywhere, now or later.
    if (foreign(st)) return PLACE_PLANTED;
    // A link whose target does not exist hides nothing; a working one is
    // somebody's way to their data, and replacing it would lose it.
    struct stat target;
    if (fstatat(dir_fd, name, &target, 0) == 0 || (errno != ENOENT && errno != ENOTDIR)) return PLACE_TAKEN;
    return PLACE_DANGLING;
}

// The length of `place` without its last component and the slashes before it:
// the part that names the component's directory ("/" for "/name"). Without
// those slashes, O_NOFOLLOW sees a link there.
std::size_t dir_part(const char* place)
{
    std::size_t len = static_cast<std::size_t>(std::strrchr(place, '/') - place);
    while (len > 1 && place[len - 1] == '/') --len;
    return len == 0 ? 1 : len;
}

// The directory that holds the last component of `place` (relative to the
// current directory or absolute; place is fs, "/" and fssub), opened for a
// look at that component: a link in the directory's own place is followed
// only when it is root's or the running user's. Returns the descriptor and
// sets `name` to the component; -1 when the directory cannot be opened, with
// `planted` set when that is because another user's link stands in its place.
int open_place_dir(const char* place, const char*& name, bool& planted)
{
    planted = false;
    name = std::strrchr(place, '/') + 1;
    const std::size_t len = dir_part(place);
    char dir[PATH_BUFSIZ];
    std::memcpy(dir, place, len);
    dir[len] = '\0';
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    int fd = open(dir, flags | O_NOFOLLOW);
    struct stat st;
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR) && lstat(dir, &st) == 0 && S_ISLNK(st.st_mode)) {
        planted = foreign(st);
        if (!planted) fd = open(dir, flags);
    }
    return fd;
}

// Why a directory cannot be trusted to keep what the run puts in it, or null:
// another owner, or other users who may write to it without the sticky bit,
// could rename what it holds and put something else in its place.
const char* distrust(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0) return std::strerror(errno);
    if (st.st_uid != 0 && st.st_uid != geteuid()) return "belongs to another user";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        return "is writable by other users";
    }
    return nullptr;
}

// Reports a part of path (its first `len` characters) that is not used.
void part_refused(const char* path, std::size_t len, const char* why)
{
    print_stored(stderr, "%.*s: %s, not used.\n", static_cast<int>(len), path, why);
}

// Opens the first base_len characters of absolute `path` as a directory,
// walking from "/" through each directory on the way, which must be one that
// no other user can change, and never through a link; names holds a copy of
// path to cut the names from. The descriptor, or -1 after a message naming
// the first part that fails.
int open_base(const char* path, std::size_t base_len, char* names)
{
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t at = 0;
    for (;;) {
        if (fd < 0) {
            perror_stored(path);
            return -1;
        }
        if (const char* why = distrust(fd)) {
            part_refused(path, at == 0 ? 1 : at, why);
            close(fd);
            return -1;
        }
        while (at < base_len && path[at] == '/') ++at;
        if (at == base_len) return fd;
        const std::size_t name_at = at;
        while (at < base_len && path[at] != '/') ++at;
        const char saved = names[at];
        names[at] = '\0';
        const int next = openat(fd, names + name_at, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int e = errno;
        struct stat st;
        const bool is_link =
            next < 0 && fstatat(fd, names + name_at, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        names[at] = saved;
        close(fd);
        if (is_link) {
            part_refused(path, at, "is a symbolic link");
            return -1;
        }
        errno = e;
        fd = next;
    }
}

struct Check {
    const char* fssub;
    const char* native_path;  // where the extract command expects the directory
    const char* link_place;   // native_path made absolute, as the messages name it
    char* sym_path;           // the candidate's work buffer, then the link's path
    Verr verr;
};

// Reports another user's link at the extraction directory's place (at_dir:
// at the place's directory).
void planted_message(const char* link_place, bool at_dir)
{
    part_refused(link_place, at_dir ? dir_part(link_place) : std::strlen(link_place),
                 "belongs to another user");
}

// Whether another user's link stands at native_path or at its directory's
// place, after a message that stops the run when it does.
bool planted_at(const char* native_path, const char* link_place)
{
    const char* name = nullptr;
    bool planted = false;
    const int dir_fd = open_place_dir(native_path, name, planted);
    struct stat st;
    const bool at_place = dir_fd >= 0 && place_state(dir_fd, name, st) == PLACE_PLANTED;
    if (dir_fd >= 0) close(dir_fd);
    if (planted || at_place) planted_message(link_place, planted);
    return planted || at_place;
}

// Makes the link and records it in `driver`, where the signal handler and the
// fatal exit look for a link to remove, as one step: with every catchable
// signal held back in between, no way out of the run sees a link that is not
// recorded. The candidate is recorded as the link's target before sym_path,
// its buffer, is turned into the link's path.
int link_and_record(Check& ck, const char* cand, int dir_fd, const char* name)
{
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    const int rc = symlinkat(cand, dir_fd, name);
    const int e = errno;
    if (rc == 0) {
        std::memcpy(driver.relocation_target, cand, std::strlen(cand) + 1);
        std::memcpy(ck.sym_path, ck.native_path, std::strlen(ck.native_path) + 1);
        driver.relocation_link = ck.sym_path;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = e;
    return rc;
}

// Puts the relocation link at native_path, pointing to the candidate that
// dirs holds, through a descriptor of the link's directory.
Outcome make_link(Check& ck, const char* cand, const MadeDirs& dirs)
{
    const char* name = nullptr;
    bool planted = false;
    const int dir_fd = open_place_dir(ck.native_path, name, planted);
    if (dir_fd < 0) {
        if (planted) {
            planted_message(ck.link_place, true);
            return STOP;
        }
        perror_stored(cand);
        ck.verr = SE_SYMLINK;
        return REFUSED;
    }
    Outcome r = LINKED;
    struct stat st, made;
    switch (place_state(dir_fd, name, st)) {
        case PLACE_DANGLING:
            unlinkat(dir_fd, name, 0);
            break;
        case PLACE_PLANTED:
            planted_message(ck.link_place, false);
            r = STOP;
            break;
        case PLACE_TAKEN:
            // The -t directory may be the VFYFS one: then the directory just
            // made (a real one, not reached through a link) is the extraction
            // directory and needs no link.
            r = S_ISDIR(st.st_mode) && fstat(dirs.fd(), &made) == 0 && made.st_dev == st.st_dev &&
                        made.st_ino == st.st_ino
                    ? IN_PLACE
                    : STOP;
            if (r == STOP) exists_message(ck.link_place);
            break;
        case PLACE_FREE:
            break;
    }
    if (r == LINKED && link_and_record(ck, cand, dir_fd, name) != 0) {
        perror_stored(cand);
        ck.verr = SE_SYMLINK;
        r = REFUSED;
    }
    close(dir_fd);
    return r;
}

// Tries to make the extraction directory below base and link it at native_path.
Outcome try_candidate(Check& ck, const char* base)
{
    char* cand = ck.sym_path;
    const std::size_t base_len = std::strlen(base);
    if (!join(cand, base, ck.fssub[0] != '/', ck.fssub)) return REFUSED;
    if (access(cand, F_OK) == 0) {
        print_stored(stderr, "%s: already exists.\n", cand);
        ck.verr = SE_EXISTS;
        return REFUSED;
    }
    // Checked before anything is made; make_link checks again where it counts.
    struct stat st;
    switch (place_state(AT_FDCWD, ck.native_path, st)) {
        case PLACE_TAKEN:
            exists_message(ck.link_place);
            return STOP;
        case PLACE_PLANTED:
            planted_message(ck.link_place, false);
            return STOP;
        case PLACE_FREE:
        case PLACE_DANGLING:
            break;
    }
    if (gzip.verbose && !confirm_link(cand)) {
        ck.verr = SE_NONE;
        return REFUSED;
    }
    MadeDirs dirs;
    if (mkdirp(cand, base_len, EXTRACT_DIR_MODE, dirs) != 0) {
        dirs.remove_made();
        ck.verr = SE_MKDIR;
        return REFUSED;
    }
    const Outcome r = make_link(ck, cand, dirs);
    if (r == IN_PLACE) {
        ck.sym_path[0] = '\0';
    } else if (r != LINKED) {
        dirs.remove_made();
    }
    return r;
}

void closing_messages(const char* fullpath, int min_mb, const char* fs, const char* fssub)
{
    print_stored(stderr, "%s: not enough space to extract the archive.\n", fullpath);
    print_stored(stderr, "Please make at least %dMb available in %s.\n", min_mb, fs);
    print_stored(stderr,
                 "Alternatively, you can make space available on another filesystem where a\n\"%s\" "
                 "directory can be created. Ensure that the \"%s\" directory\ndoes not exist before "
                 "trying again.\n",
                 fssub, fssub);
}

void report_verr(const Check& ck)
{
    static constexpr const char* reasons[] = {nullptr, "it already exists", "the directory could not be made",
                                              "the link could not be made"};
    if (gzip.verbose && ck.verr != SE_NONE)
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
    driver.relocation_link = nullptr;
    sym_path[0] = '\0';
    driver.relocation_target[0] = '\0';

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

    // The current directory is needed only to make a relative value absolute.
    char cwd[PATH_MAX];
    const bool need_cwd =
        fs[0] != '/' || (driver.uncompress_dir[0] != '\0' && driver.uncompress_dir[0] != '/');
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

    char* base = driver.uncompress_dir[0] != '\0' ? driver.uncompress_dir : path;
    strip_one_slash(base);
    const bool have_t = driver.uncompress_dir[0] != '\0';

    char fullpath[PATH_BUFSIZ];
    char native_path[PATH_BUFSIZ];
    char link_place[PATH_BUFSIZ];
    if (!join(fullpath, base, true, fssub) || !join(native_path, fs, true, fssub) ||
        !join(link_place, path, true, fssub)) {
        return -1;
    }

    if (access(fullpath, F_OK) == 0) {
        exists_message(fullpath);
        return -1;
    }
    // In place too: the extract command makes and fills the directory through
    // whatever link stands there.
    if (planted_at(native_path, link_place)) return -1;

    // A -t directory whose room cannot be measured (one that does not exist,
    // say) is no candidate: the walk would have to make it from nothing.
    const int t_room = have_t ? has_room(driver.uncompress_dir, min_mb) : 0;
    if (t_room == -1) perror_stored(driver.uncompress_dir);
    if (t_room != 1) {
        if (has_room(path, min_mb) != 0) return 0;
        if (have_t) {
            closing_messages(fullpath, min_mb, fs, fssub);
            return -1;
        }
    }
    if (!relocatable(fs, fssub)) return -1;

    Check ck{fssub, native_path, link_place, sym_path, SE_NONE};
    bool announce = true;
    if (t_room == 1) {
        // A relative -t directory is taken from the current directory, so that
        // the directory can be made and the link resolves from where it lies.
        char t_dir[PATH_BUFSIZ];
        if (driver.uncompress_dir[0] == '/') {
            std::memcpy(t_dir, driver.uncompress_dir, std::strlen(driver.uncompress_dir) + 1);
        } else if (!join(t_dir, cwd, true, driver.uncompress_dir)) {
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
    }

    if (announce) {
        print_stored(stderr, "%s: not enough space. Looking for space in other filesystems.\n", fullpath);
    }
    ss_endmntent();
    while (ssmnttab* m = ss_getmntent()) {
        // A mount point that fills its field may have been cut to fit, and the
        // cut path is some other directory: such an entry is passed over.
        if (std::strlen(m->mt_path) >= sizeof m->mt_path - 1) continue;
        if (m->mt_read_only || has_room(m->mt_path, min_mb) != 1) continue;
        print_stored(stderr, "Trying %s ...\n", m->mt_path);
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

MadeDirs::~MadeDirs()
{
    for (std::size_t i = 0; i < depth_; ++i) close(fds_[i]);
}

void MadeDirs::remove_made()
{
    for (std::size_t i = depth_; i-- > 1 && made_[i];) {
        // Only while the name still holds the directory made: it lies in one
        // no other user can change, but the check costs nothing.
        struct stat now, mine;
        const char* name = names_ + name_at_[i];
        if (fstatat(fds_[i - 1], name, &now, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fds_[i], &mine) == 0 &&
            now.st_dev == mine.st_dev && now.st_ino == mine.st_ino) {
            unlinkat(fds_[i - 1], name, AT_REMOVEDIR);
        }
    }
}

int mkdirp(const char* path, std::size_t base_len, int mode, MadeDirs& dirs)
{
    const std::size_t len = std::strlen(path);
    if (path[0] != '/' || len > MadeDirs::PATH_MAX_LEN) {
        errno = path[0] != '/' ? EINVAL : ENAMETOOLONG;
        perror_stored(path);
        return -1;
    }
    std::memcpy(dirs.names_, path, len + 1);
    // From "/" on, every directory is opened through its parent and never
    // through a link: the base (a mount point or the -t directory) and the
    // directories above it as much as those below.
    int fd = open_base(path, base_len, dirs.names_);
    if (fd < 0) return -1;
    // The base's own name ends here, unless the base is "/" itself, where
    // the first name below it begins.
    if (base_len > 1) dirs.names_[base_len] = '\0';
    bool made = false;
    std::size_t at = base_len;
    for (;;) {
        if (fd < 0) {
            perror_stored(path);
            return -1;
        }
        dirs.made_[dirs.depth_] = made;
        dirs.fds_[dirs.depth_++] = fd;
        if (const char* why = distrust(fd)) {
            part_refused(path, at, why);
            return -1;
        }
        while (at < len && path[at] == '/') ++at;
        if (at == len) return 0;
        const std::size_t name_at = at;
        while (at < len && path[at] != '/') ++at;
        dirs.names_[at] = '\0';
        dirs.name_at_[dirs.depth_] = name_at;
        const char* name = dirs.names_ + name_at;
        const int parent = dirs.fds_[dirs.depth_ - 1];
        made = mkdirat(parent, name, static_cast<mode_t>(mode)) == 0;
        if (!made && errno != EEXIST) {
            perror_stored(path);
            return -1;
        }
        fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && made) {
            const int e = errno;  // for the report at the loop's top
            unlinkat(parent, name, AT_REMOVEDIR);
            errno = e;
        }
        struct stat st;
        if (fd < 0 && !made && fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            part_refused(path, at, "is a symbolic link");
            return -1;
        }
        // mkdirat's mode passes through the file-creation mask; the directory
        // gets exactly `mode` whatever that mask is.
        if (fd >= 0 && made) fchmod(fd, static_cast<mode_t>(mode));
    }
}
