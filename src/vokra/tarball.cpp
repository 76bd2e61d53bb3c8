// A directory as a POSIX tar stream: the header builder, the walk in byte
// order, and the two passes over it (see tarball.h for the design).
//
// Every entry below the directory is reached through its parent's descriptor
// (openat, fstatat and readlinkat with the name alone, O_NOFOLLOW), so a
// symbolic link planted in the tree is stored as a link and never followed,
// and a directory renamed while the walk runs cannot lead it elsewhere.
#include "tarball.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vokra.h"

namespace {

tarball_state& tar = driver.tarball;

// ---- header builder ----

constexpr std::size_t round_up_block(std::size_t n)
{
    return (n + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
}

// ustar header field offsets and widths (POSIX, pax "ustar Interchange Format").
constexpr std::size_t NAME_AT = 0, MODE_AT = 100, UID_AT = 108, GID_AT = 116, SIZE_AT = 124, MTIME_AT = 136,
                      CHKSUM_AT = 148, TYPEFLAG_AT = 156, LINKNAME_AT = 157, MAGIC_AT = 257, VERSION_AT = 263,
                      DEVMAJOR_AT = 329, DEVMINOR_AT = 337, PREFIX_AT = 345;
constexpr std::size_t ID_WIDTH = 8, NUMBER_WIDTH = 12, CHKSUM_WIDTH = 8;
// The extended header's own name: readers skip it, so it only has to be the
// same on every build (no process id, as a default name would have).
constexpr const char PAX_NAME_PREFIX[] = "PaxHeaders/";
constexpr unsigned PAX_HEADER_MODE = 0644;

// width - 1 octal digits, zero-padded, and a NUL; value fits (callers check).
void put_octal(unsigned char* field, std::size_t width, std::uint64_t value)
{
    field[width - 1] = '\0';
    for (std::size_t i = width - 1; i-- > 0;) {
        field[i] = static_cast<unsigned char>('0' + (value & 7));
        value >>= 3;
    }
}

// The ustar split of a name longer than the name field: prefix "/" name, at
// the leftmost "/" that leaves a name of at most TAR_NAME_LEN bytes (and not
// an empty one, so a directory's final "/" is no split point). Returns the
// prefix length, 0 when the name fits whole, -1 when no split fits.
long ustar_split(const char* name, std::size_t len)
{
    if (len <= TAR_NAME_LEN) return 0;
    for (std::size_t i = len - TAR_NAME_LEN - 1; i <= TAR_PREFIX_LEN && i + 1 < len; i++) {
        if (name[i] == '/') return static_cast<long>(i);
    }
    return -1;
}

// Appends the record "<length> key=value\n" at out; the length counts itself.
std::size_t put_record(unsigned char* out, const char* key, const char* value, std::size_t value_len)
{
    const std::size_t base = std::strlen(key) + value_len + 3;  // " ", "=", "\n"
    std::size_t len = base + 1;
    for (;;) {
        char digits[24];
        const std::size_t d = static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%zu", len));
        if (base + d == len) break;
        len = base + d;
    }
    const int head = std::snprintf(reinterpret_cast<char*>(out), len + 1, "%zu %s=", len, key);
    std::memcpy(out + head, value, value_len);
    out[len - 1] = '\n';
    return len;
}

void put_block(unsigned char* block, const char* name, std::size_t name_len, long prefix_len, char typeflag,
               unsigned mode, std::int64_t size, std::int64_t mtime, const char* linkname)
{
    std::memset(block, 0, TAR_BLOCK);
    if (prefix_len > 0) {
        const auto p = static_cast<std::size_t>(prefix_len);
        std::memcpy(block + PREFIX_AT, name, p);
        std::memcpy(block + NAME_AT, name + p + 1, name_len - p - 1);
    } else {
        std::memcpy(block + NAME_AT, name, name_len < TAR_NAME_LEN ? name_len : TAR_NAME_LEN);
    }
    put_octal(block + MODE_AT, ID_WIDTH, mode & 07777);
    put_octal(block + UID_AT, ID_WIDTH, 0);
    put_octal(block + GID_AT, ID_WIDTH, 0);
    put_octal(block + SIZE_AT, NUMBER_WIDTH, size >= 0 && size <= TAR_OCTAL11_MAX ? std::uint64_t(size) : 0);
    const std::int64_t t = mtime < 0 ? 0 : mtime > TAR_OCTAL11_MAX ? TAR_OCTAL11_MAX : mtime;
    put_octal(block + MTIME_AT, NUMBER_WIDTH, static_cast<std::uint64_t>(t));
    block[TYPEFLAG_AT] = static_cast<unsigned char>(typeflag);
    const std::size_t link_len = std::strlen(linkname);
    std::memcpy(block + LINKNAME_AT, linkname, link_len < TAR_NAME_LEN ? link_len : TAR_NAME_LEN);
    std::memcpy(block + MAGIC_AT, "ustar", 6);  // with its NUL
    std::memcpy(block + VERSION_AT, "00", 2);
    // uname and gname stay empty: the owner is 0/0 by number alone.
    put_octal(block + DEVMAJOR_AT, ID_WIDTH, 0);
    put_octal(block + DEVMINOR_AT, ID_WIDTH, 0);
    // The checksum is taken with its own field as blanks, then stored as six
    // octal digits, a NUL and a blank.
    std::memset(block + CHKSUM_AT, ' ', CHKSUM_WIDTH);
    unsigned sum = 0;
    for (std::size_t i = 0; i < TAR_BLOCK; i++) sum += block[i];
    put_octal(block + CHKSUM_AT, CHKSUM_WIDTH - 1, sum);
}

}  // namespace

std::size_t tar_header(const TarEntry& e, unsigned char* out)
{
    const std::size_t name_len = std::strlen(e.name);
    const std::size_t link_len = std::strlen(e.linkname);
    const long prefix_len = ustar_split(e.name, name_len);

    // The records go after the extended header's own block, which needs their length.
    std::size_t records = 0;
    unsigned char* const rec = out + TAR_BLOCK;
    char number[24];
    if (prefix_len < 0) records += put_record(rec + records, "path", e.name, name_len);
    if (link_len > TAR_NAME_LEN) records += put_record(rec + records, "linkpath", e.linkname, link_len);
    if (e.size < 0 || e.size > TAR_OCTAL11_MAX) {
        const int n = std::snprintf(number, sizeof number, "%lld", static_cast<long long>(e.size));
        records += put_record(rec + records, "size", number, static_cast<std::size_t>(n));
    }
    if (e.mtime < 0 || e.mtime > TAR_OCTAL11_MAX) {
        const int n = std::snprintf(number, sizeof number, "%lld", static_cast<long long>(e.mtime));
        records += put_record(rec + records, "mtime", number, static_cast<std::size_t>(n));
    }
    std::size_t at = 0;
    if (records != 0) {
        const std::size_t padded = round_up_block(records);
        std::memset(rec + records, 0, padded - records);
        // "PaxHeaders/" and the entry's last component, cut to fit the name field.
        const char* leaf = e.name + name_len;
        while (leaf > e.name && leaf[-1] == '/') leaf--;
        const char* leaf_end = leaf;
        while (leaf > e.name && leaf[-1] != '/') leaf--;
        char pax_name[TAR_NAME_LEN + 1];
        const int pax_len = std::snprintf(pax_name, sizeof pax_name, "%s%.*s", PAX_NAME_PREFIX,
                                          static_cast<int>(leaf_end - leaf), leaf);
        put_block(out, pax_name,
                  static_cast<std::size_t>(pax_len) < TAR_NAME_LEN ? std::size_t(pax_len) : TAR_NAME_LEN, 0,
                  TAR_PAX_HEADER, PAX_HEADER_MODE, static_cast<std::int64_t>(records), e.mtime, "");
        at = TAR_BLOCK + padded;
    }
    put_block(out + at, e.name, name_len, prefix_len > 0 ? prefix_len : 0, e.typeflag, e.mode, e.size,
              e.mtime, e.linkname);
    return at + TAR_BLOCK;
}

namespace {

// ---- the walk ----

void report(TarProblem what, int err = 0, mode_t mode = 0, std::int64_t size = 0)
{
    tar.problems++;
    tar.opt.report(TarReport{what, tar.shown, err, mode, size});
}

// The path for reports: the operand for the directory itself, else the
// operand (its final slashes dropped) joined with the entry's path below it.
void set_shown(const char* leaf = nullptr)
{
    const char* dir = tar.opt.dir;
    if (leaf == nullptr && std::strcmp(tar.name, "./") == 0) {
        std::snprintf(tar.shown, sizeof tar.shown, "%s", dir);
        return;
    }
    std::size_t dir_len = std::strlen(dir);
    while (dir_len > 1 && dir[dir_len - 1] == '/') dir_len--;
    std::size_t rel_len = std::strlen(tar.name + 2);
    if (rel_len > 0 && tar.name[2 + rel_len - 1] == '/' && leaf == nullptr) rel_len--;
    std::snprintf(tar.shown, sizeof tar.shown, "%.*s%s%.*s%s", static_cast<int>(dir_len), dir,
                  dir[dir_len - 1] == '/' ? "" : "/", static_cast<int>(rel_len), tar.name + 2,
                  leaf != nullptr ? leaf : "");
}

int compare_names(const void* a, const void* b)
{
    return std::strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

// The names in directory fd, each with a "/" after a directory's, sorted; null
// after a report when the directory cannot be read.
APLIST list_names(int fd)
{
    const int dir_fd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = dir_fd >= 0 ? fdopendir(dir_fd) : nullptr;
    if (d == nullptr) {
        const int e = errno;
        if (dir_fd >= 0) close(dir_fd);
        report(TarProblem::unreadable, e);
        return nullptr;
    }
    APLIST names = ap_create(16, std::free);
    int err = names == nullptr ? ENOMEM : 0;
    for (;;) {
        errno = 0;
        const dirent* de = err == 0 ? readdir(d) : nullptr;
        if (de == nullptr) {
            if (err == 0) err = errno;
            break;
        }
        const char* n = de->d_name;
        if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
        struct stat st;
        // One that cannot be looked at is listed as it is and reported when visited.
        const bool is_dir = fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        const std::size_t len = std::strlen(n);
        char* key = static_cast<char*>(std::malloc(len + 2));
        if (key == nullptr) {
            err = ENOMEM;
            break;
        }
        std::memcpy(key, n, len);
        key[len] = '/';
        key[len + (is_dir ? 1 : 0)] = '\0';
        if (ap_add_item(&names, key) != 0) {
            std::free(key);
            err = ENOMEM;
        }
    }
    closedir(d);
    if (err != 0) {
        ap_destroy(names);
        report(TarProblem::unreadable, err);
        return nullptr;
    }
    std::qsort(names, static_cast<std::size_t>(ap_len(names)), sizeof(void*), compare_names);
    return names;
}

// Enters directory fd, whose name (with its "/") is tar.name: lists it and
// makes it the deepest level. False after a report (fd closed).
bool push_level(int fd)
{
    APLIST names = list_names(fd);
    if (names == nullptr) {
        close(fd);
        return false;
    }
    tar.levels[tar.depth++] = tar_level{fd, names, 0, std::strlen(tar.name)};
    return true;
}

void pop_level()
{
    tar_level& l = tar.levels[--tar.depth];
    close(l.fd);
    ap_destroy(l.names);
    l = tar_level{-1, nullptr, 0, 0};
}

void end_walk()
{
    while (tar.depth > 0) pop_level();
}

// One entry of the walk: its name is in tar.name and its path in tar.shown.
struct Visit {
    int parent_fd;     // -1 for the directory itself
    const char* leaf;  // the name in parent_fd
    struct stat st;    // a directory's through its open descriptor
};

bool same_identity(const struct stat& st, dev_t dev, ino_t ino)
{
    return st.st_dev == dev && st.st_ino == ino;
}

// The next entry in byte order, or false at the end. Entries that cannot be
// looked at are reported and passed over; a directory is entered as it is
// returned, so its own entry comes before everything inside it.
bool walk_next(Visit& v, bool check_root)
{
    if (!tar.started) {
        tar.started = true;
        std::strcpy(tar.name, "./");
        set_shown();
        const int fd = open(tar.opt.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0 || fstat(fd, &v.st) != 0) {
            report(TarProblem::unreadable, errno);
            if (fd >= 0) close(fd);
            return false;
        }
        if (check_root && !same_identity(v.st, tar.opt.root_dev, tar.opt.root_ino)) {
            report(TarProblem::changed);
            close(fd);
            return false;
        }
        v.parent_fd = -1;
        v.leaf = ".";
        return push_level(fd);
    }
    char* const leaf = tar.leaf;
    while (tar.depth > 0) {
        tar_level& l = tar.levels[tar.depth - 1];
        const char* key = static_cast<const char*>(l.names[l.next]);
        if (key == nullptr) {
            pop_level();
            continue;
        }
        l.next++;
        tar.name[l.name_len] = '\0';
        std::size_t len = std::strlen(key);
        if (len > 0 && key[len - 1] == '/') len--;
        // Room for the name, a directory's "/" and the NUL.
        const bool fits = l.name_len + len + 1 < TAR_PATH_MAX;
        const std::size_t kept = fits || len <= TAR_PATH_MAX ? len : TAR_PATH_MAX;
        std::memcpy(leaf, key, kept);
        leaf[kept] = '\0';
        if (!fits) {
            set_shown(leaf);
            report(TarProblem::name_too_long);
            continue;
        }
        std::memcpy(tar.name + l.name_len, leaf, len + 1);
        set_shown();
        v.parent_fd = l.fd;
        v.leaf = leaf;
        if (fstatat(l.fd, leaf, &v.st, AT_SYMLINK_NOFOLLOW) != 0) {
            report(TarProblem::unreadable, errno);
            continue;
        }
        if (!S_ISDIR(v.st.st_mode)) return true;
        const int fd = openat(l.fd, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        if (fd < 0 || fstat(fd, &v.st) != 0) {
            report(TarProblem::unreadable, errno);
            if (fd >= 0) close(fd);
            continue;
        }
        std::strcat(tar.name, "/");
        if (push_level(fd)) return true;
    }
    return false;
}

void start_pass(const TarOptions& opt)
{
    end_walk();
    if (tar.in_use && tar.data_fd >= 0) close(tar.data_fd);
    ap_destroy(tar.links);
    std::memset(&tar, 0, sizeof tar);
    tar.opt = opt;
    tar.data_fd = -1;
    tar.in_use = true;
}

std::int64_t stored_mtime(const struct stat& st)
{
    const std::int64_t t = st.st_mtime;
    return tar.opt.mtime_max >= 0 && t > tar.opt.mtime_max ? tar.opt.mtime_max : t;
}

bool is_output(const struct stat& st)
{
    return tar.opt.output_is_file && same_identity(st, tar.opt.output_dev, tar.opt.output_ino);
}

// Opens the regular file v names, never following a link and never blocking
// on what may have become a FIFO; -1 after a report, and for the output.
int open_file(const Visit& v, struct stat& st)
{
    if (is_output(v.st)) {
        report(TarProblem::is_output);
        return -1;
    }
    const int fd = openat(v.parent_fd, v.leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 || fstat(fd, &st) != 0) {
        report(TarProblem::unreadable, errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        report(S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode) ? TarProblem::changed : TarProblem::special, 0,
               st.st_mode);
        close(fd);
        return -1;
    }
    return fd;
}

// The target of the symbolic link v names into tar.link; false after a report.
bool read_link(const Visit& v)
{
    const ssize_t n = readlinkat(v.parent_fd, v.leaf, tar.link, sizeof tar.link);
    if (n < 0) {
        report(TarProblem::unreadable, errno);
        return false;
    }
    if (static_cast<std::size_t>(n) >= sizeof tar.link) {
        report(TarProblem::link_too_long);
        return false;
    }
    tar.link[n] = '\0';
    return true;
}

// ---- hard links: regular files met again under another name ----

struct LinkKey {
    dev_t dev;
    ino_t ino;
};

// The name a file with this identity was first written under, or null.
const char* first_name(const struct stat& st)
{
    for (int i = 0; tar.links != nullptr && tar.links[i] != nullptr; i++) {
        LinkKey k;
        std::memcpy(&k, tar.links[i], sizeof k);
        if (k.dev == st.st_dev && k.ino == st.st_ino)
            return static_cast<const char*>(tar.links[i]) + sizeof k;
    }
    return nullptr;
}

// Remembers a file with several links as written under tar.name. Without
// memory the later names are stored as copies, which is still correct.
void remember_name(const struct stat& st)
{
    if (tar.links == nullptr) tar.links = ap_create(16, std::free);
    const std::size_t len = std::strlen(tar.name);
    char* rec = static_cast<char*>(std::malloc(sizeof(LinkKey) + len + 1));
    if (tar.links == nullptr || rec == nullptr) {
        std::free(rec);
        return;
    }
    const LinkKey k{st.st_dev, st.st_ino};
    std::memcpy(rec, &k, sizeof k);
    std::memcpy(rec + sizeof k, tar.name, len + 1);
    if (ap_add_item(&tar.links, rec) != 0) std::free(rec);
}

// Queues size bytes of file fd and the zeros up to the block boundary.
void start_data(int fd, std::int64_t size)
{
    if (size == 0) {
        close(fd);
        return;
    }
    tar.data_fd = fd;
    tar.data_left = size;
    const auto n = static_cast<std::size_t>(size);
    tar.pad_left = round_up_block(n) - n;
}

// Queues the headers (and the file data) of the next entry; false at the end.
bool queue_next_entry()
{
    Visit v;
    while (walk_next(v, true)) {
        // The directory itself gets no entry: unpacked into a directory the
        // run made private (0700), or one the person installing chose, it
        // must not take the source tree's mode, owner or time.
        if (v.parent_fd < 0) continue;
        TarEntry e{tar.name, "", TAR_DIRECTORY, static_cast<unsigned>(v.st.st_mode), 0, stored_mtime(v.st)};
        if (S_ISLNK(v.st.st_mode)) {
            if (!read_link(v)) continue;
            e.typeflag = TAR_SYMLINK;
            e.linkname = tar.link;
        } else if (S_ISREG(v.st.st_mode)) {
            struct stat st;
            const int fd = open_file(v, st);
            if (fd < 0) continue;
            e.mode = static_cast<unsigned>(st.st_mode);
            e.mtime = stored_mtime(st);
            const char* target = st.st_nlink > 1 ? first_name(st) : nullptr;
            if (target != nullptr) {
                close(fd);
                e.typeflag = TAR_HARD_LINK;
                e.linkname = target;
            } else {
                if (st.st_nlink > 1) remember_name(st);
                e.typeflag = TAR_REGULAR;
                e.size = st.st_size;
                start_data(fd, st.st_size);
            }
        } else if (!S_ISDIR(v.st.st_mode)) {
            report(TarProblem::special, 0, v.st.st_mode);
            continue;
        }
        tar.header_len = tar_header(e, tar.header);
        tar.header_at = 0;
        return true;
    }
    return false;
}

// Reads the current file's data into buf: up to want bytes, never past the
// size its header states. A file that ends early is reported and its missing
// bytes become zeros; one that goes on is reported when its size is reached.
std::size_t read_data(char* buf, std::size_t want)
{
    if (static_cast<std::int64_t>(want) > tar.data_left) want = static_cast<std::size_t>(tar.data_left);
    if (want > INT_MAX) want = INT_MAX;
    ssize_t n;
    do n = read(tar.data_fd, buf, want);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
        if (n < 0) {
            report(TarProblem::unreadable, errno);
        } else {
            report(TarProblem::shrank);
        }
        tar.pad_left += static_cast<std::size_t>(tar.data_left);
        tar.data_left = 0;
    } else {
        tar.data_left -= n;
    }
    if (tar.data_left == 0) {
        char extra;
        if (n > 0 && read(tar.data_fd, &extra, 1) == 1)
            report(TarProblem::grew, 0, 0, lseek(tar.data_fd, 0, SEEK_CUR) - 1);
        close(tar.data_fd);
        tar.data_fd = -1;
    }
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

int tar_check(TarOptions& opt, std::int64_t* stream_bytes)
{
    start_pass(opt);
    std::int64_t bytes = 2 * TAR_BLOCK;  // the end of the archive
    Visit v;
    while (walk_next(v, false)) {
        if (v.parent_fd < 0) {
            opt.root_dev = v.st.st_dev;
            opt.root_ino = v.st.st_ino;
            continue;
        }
        bytes += TAR_BLOCK;
        if (S_ISREG(v.st.st_mode)) {
            struct stat st;
            const int fd = open_file(v, st);
            if (fd < 0) continue;
            close(fd);
            bytes += static_cast<std::int64_t>(round_up_block(static_cast<std::size_t>(st.st_size)));
        } else if (S_ISLNK(v.st.st_mode)) {
            read_link(v);
        } else if (!S_ISDIR(v.st.st_mode)) {
            report(TarProblem::special, 0, v.st.st_mode);
        }
    }
    end_walk();
    *stream_bytes = bytes;
    return tar.problems;
}

int tar_open(const TarOptions& opt)
{
    start_pass(opt);
    return queue_next_entry() ? 0 : -1;
}

int tar_read(char* buf, unsigned size)
{
    std::size_t got = 0;
    while (got < size) {
        const std::size_t room = size - got;
        if (tar.header_at < tar.header_len) {
            std::size_t n = tar.header_len - tar.header_at;
            if (n > room) n = room;
            std::memcpy(buf + got, tar.header + tar.header_at, n);
            tar.header_at += n;
            got += n;
        } else if (tar.data_fd >= 0) {
            got += read_data(buf + got, room);
        } else if (tar.pad_left > 0) {
            const std::size_t n = tar.pad_left < room ? tar.pad_left : room;
            std::memset(buf + got, 0, n);
            tar.pad_left -= n;
            got += n;
        } else if (!tar.finished) {
            if (!queue_next_entry()) {
                tar.finished = true;
                tar.pad_left = 2 * TAR_BLOCK;  // two zero blocks end the archive
            }
        } else {
            break;
        }
    }
    return static_cast<int>(got);
}

int tar_close()
{
    const int problems = tar.problems;
    start_pass(tar.opt);
    return problems;
}
