// The build's inputs: every operand checked before the first byte of the
// archive is written, then opened one at a time while its payload is appended.
//
// An input is read to its end, whatever it is: a regular file, a pipe (as
// from `<(tar -c dir)` or `/dev/stdin`), a socket, a device. Only a terminal
// is refused, since it has no end but the user's. A directory becomes a tar
// stream (tarball.h). Regular files and directories are only looked at in the
// check and opened again when their turn comes, so any number of them can be
// given whatever the descriptor limit; a pipe or a device cannot be opened
// twice to the same data, so it stays open from its check to its payload.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "progress.h"
#include "vokra.h"

namespace {

const char* special_kind(mode_t mode)
{
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "character device";
    if (S_ISBLK(mode)) return "block device";
    return "special file";
}

// Prints what the tar walk met, as "vokra: <path>: <what>".
void report_tar(const TarReport& r)
{
    progress_abandon();
    print_stored(stderr, "%s: ", stream.progname);
    put_stored(stderr, r.path);
    switch (r.what) {
        case TarProblem::unreadable:
            print_stored(stderr, ": %s\n", std::strerror(r.err));
            break;
        case TarProblem::special:
            print_stored(stderr, ": a %s cannot be packed\n", special_kind(r.mode));
            break;
        case TarProblem::name_too_long:
            print_stored(stderr, ": name too long to pack (at most %zu characters)\n", TAR_PATH_MAX - 1);
            break;
        case TarProblem::link_too_long:
            print_stored(stderr, ": link target too long to pack (at most %zu characters)\n",
                         TAR_PATH_MAX - 1);
            break;
        case TarProblem::is_output:
            std::fputs(": the input is also the output\n", stderr);
            break;
        case TarProblem::changed:
            std::fputs(": changed while the archive was written; left out\n", stderr);
            break;
        case TarProblem::shrank:
            std::fputs(": shrank while it was read; zeros stand for the missing bytes\n", stderr);
            break;
        case TarProblem::grew:
            print_stored(stderr, ": grew while it was read; only its first %lld bytes are stored\n",
                         static_cast<long long>(r.size));
            break;
    }
}

// SOURCE_DATE_EPOCH, the latest modification time stored: -1 when it is
// unset or empty, -2 after a message when it is no number of seconds.
std::int64_t source_date_epoch()
{
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || text[0] == '\0') return -1;
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(text, &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' || errno != 0) {
        print_stored(stderr, "%s: SOURCE_DATE_EPOCH is not a number of seconds: ", stream.progname);
        put_stored(stderr, text);
        std::fputs("\n", stderr);
        return -2;
    }
    return seconds;
}

// The tar walk's settings for directory `name`; false after a message.
bool tar_options(const char* name, TarOptions& opt)
{
    opt = TarOptions{};
    opt.dir = name;
    opt.mtime_max = source_date_epoch();
    if (opt.mtime_max == -2) return false;
    struct stat out;
    opt.output_is_file = fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode);
    opt.output_dev = out.st_dev;
    opt.output_ino = out.st_ino;
    opt.report = report_tar;
    return true;
}

// Opens the standard input or a /dev/fd name that open(2) cannot reopen (a
// socket): the descriptor it names, duplicated. -1 with errno otherwise.
int reopen_descriptor(const char* name)
{
    const int saved = errno;
    int n = -1;
    if (std::strcmp(name, "/dev/stdin") == 0) {
        n = 0;
    } else if (std::strncmp(name, "/dev/fd/", 8) == 0 && std::isdigit(static_cast<unsigned char>(name[8]))) {
        char* end = nullptr;
        const long v = std::strtol(name + 8, &end, 10);
        if (*end == '\0' && v <= INT_MAX) n = static_cast<int>(v);
    }
    const int fd = n >= 0 ? fcntl(n, F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0) errno = saved;
    return fd;
}

// Checks one operand that is no directory. Returns 1 when it can be read,
// 0 when it is left out (message printed), -1 when the build must stop.
int check_stream(const char* name, const struct stat& named, BuildInput& in, const struct stat* out)
{
    // A FIFO is opened as reading it would: waiting for its writer. Anything
    // else without blocking, and no terminal becomes ours.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | (S_ISFIFO(named.st_mode) ? 0 : O_NONBLOCK);
    int fd = open(name, flags);
    if (fd < 0 && errno == ENXIO) fd = reopen_descriptor(name);
    if (fd < 0) {
        perror_stored(name);
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        perror_stored(name);
        close(fd);
        return 0;
    }
    if (out != nullptr && st.st_dev == out->st_dev && st.st_ino == out->st_ino) {
        print_stored(stderr, "%s: %s: the input is also the output\n", stream.progname, name);
        close(fd);
        return -1;
    }
    if (isatty(fd)) {
        print_stored(stderr, "%s: %s: a terminal is not read as an input\n", stream.progname, name);
        close(fd);
        return 0;
    }
    in.dev = st.st_dev;
    in.ino = st.st_ino;
    in.size = S_ISREG(st.st_mode) ? st.st_size : -1;
    if (S_ISREG(st.st_mode)) {
        in.kind = BuildInput::file;
        close(fd);
        return 1;
    }
    if (S_ISDIR(st.st_mode)) {  // it became one since the look by name
        print_stored(stderr, "%s: %s: changed while it was checked; left out\n", stream.progname, name);
        close(fd);
        return 0;
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl != -1) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    in.kind = BuildInput::stream;
    in.fd = fd;
    return 1;
}

// Appends one payload from `in` to the archive on standard output. A write
// that fails ends the build (the archive is unusable), as does a failed read
// of a raw payload; a failed read while compressing ends that member at the
// bytes read, and the build goes on to end with status 1.
void append_from(const source& in, bool raw)
{
    codec_result r;
    if (raw) {
        zoff_t total;
        r = copy_raw(in, fd_sink(STDOUT_FILENO), total);
    } else {
        r = zip(in, fd_sink(STDOUT_FILENO));
    }
    if (!failed(r)) {
        if (raw) {
            set_exit_code(0);
        } else {
            progress_end();
        }
        return;
    }
    report_codec_failure(r);
    if (raw || r.status != codec_status::read_failed) std::exit(1);
    set_exit_code(1);
}

bool append_directory(const char* name, const BuildInput& in, bool raw)
{
    TarOptions opt;
    if (!tar_options(name, opt)) return false;
    opt.root_dev = in.dev;
    opt.root_ino = in.ino;
    if (tar_open(opt) != 0) {
        tar_close();
        return false;
    }
    char stored[PREAMBLE_BUFSIZ];
    if (!directory_payload_name(name, stored, sizeof stored))
        std::snprintf(stored, sizeof stored, "%s", name);
    set_ifname(stored);
    if (!raw) progress_start("compressing", in.size, 0);
    append_from(tar_source(), raw);
    return tar_close() == 0;
}

}  // namespace

bool directory_payload_name(const char* operand, char* name, std::size_t size)
{
    struct stat st;
    if (stat(operand, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    std::size_t end = std::strlen(operand);
    while (end > 1 && operand[end - 1] == '/') end--;
    std::size_t start = end;
    while (start > 0 && operand[start - 1] != '/') start--;
    const char* last = operand + start;
    std::size_t len = end - start;
    // ".", ".." and "/" say nothing: the directory's own name does.
    char* real = nullptr;
    if (len == 0 || (last[0] == '.' && (len == 1 || (len == 2 && last[1] == '.'))) || last[0] == '/') {
        real = realpath(operand, nullptr);
        const char* slash = real != nullptr ? std::strrchr(real, '/') : nullptr;
        last = slash != nullptr && slash[1] != '\0' ? slash + 1 : "root";
        len = std::strlen(last);
    }
    std::snprintf(name, size, "%.*s.tar", static_cast<int>(len), last);
    std::free(real);
    return true;
}

int check_inputs(char** names, int count, BuildInput* inputs)
{
    struct stat out_st;
    const struct stat* out = fstat(STDOUT_FILENO, &out_st) == 0 ? &out_st : nullptr;
    int usable = 0;
    bool refused = false;
    for (int i = 0; i < count; i++) {
        BuildInput& in = inputs[i];
        in = BuildInput{BuildInput::left_out, -1, 0, 0, -1};
        struct stat named;
        if (stat(names[i], &named) != 0) {
            perror_stored(names[i]);
            continue;
        }
        if (S_ISDIR(named.st_mode)) {
            TarOptions opt;
            std::int64_t bytes = 0;
            if (!tar_options(names[i], opt) || tar_check(opt, &bytes) != 0) {
                refused = true;  // every problem of every tree is shown, then nothing written
                continue;
            }
            in = BuildInput{BuildInput::directory, -1, opt.root_dev, opt.root_ino, bytes};
            usable++;
            continue;
        }
        const int r = check_stream(names[i], named, in, out);
        if (r < 0) return -1;
        usable += r;
    }
    return refused ? -1 : usable;
}

bool append_payload(const char* name, BuildInput& in, bool raw)
{
    if (in.kind == BuildInput::directory) return append_directory(name, in, raw);
    if (in.kind == BuildInput::file) {
        // The file checked, and no other: one renamed over it since is not read.
        in.fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat st;
        if (in.fd < 0) {
            perror_stored(name);
            return false;
        }
        if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != in.dev || st.st_ino != in.ino) {
            print_stored(stderr, "%s: %s: changed while the archive was written; left out\n", stream.progname,
                         name);
            close(in.fd);
            return false;
        }
        in.size = st.st_size;
    }
    set_ifname(name);
    if (!raw && in.size >= 0) progress_start("compressing", in.size, 0);
    append_from(progress_source(in.fd), raw);
    close(in.fd);
    in.fd = -1;
    return true;
}
