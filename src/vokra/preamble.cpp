// The archive image layout: executable image, the 11-byte marker, four
// NUL-terminated preamble strings, then the payload; and opening the files
// that hold them: regular files only, close-on-exec, never found by a search.
//
// The marker delimits image from preamble, so the running executable must not
// contain it anywhere, or a plain build would look like an archive and an
// archive would find its preamble in the wrong place. get_eop() therefore
// keeps only a transformed copy and decodes it at run time.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vokra.h"

namespace {

constexpr unsigned char EOP_KEY = 0xA5;

// The marker, each byte XOR EOP_KEY. The key is read through a volatile at
// run time, so no optimizer can fold the decoded bytes back into a constant.
constexpr std::array<unsigned char, MARKER_LEN> eop_encoded = [] {
    constexpr char plain[] = {'v', 'o', 'k', 'r', 'a', '+', 'm', 'a', 'g', 'i', 'k'};
    std::array<unsigned char, MARKER_LEN> e{};
    for (std::size_t i = 0; i < MARKER_LEN; i++) e[i] = static_cast<unsigned char>(plain[i] ^ EOP_KEY);
    return e;
}();
volatile unsigned char eop_key = EOP_KEY;

// Writes all n bytes, resuming after partial writes; -1 on failure.
int write_all(int fd, const char* p, std::size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

// Reads one NUL-terminated preamble string a byte at a time into buf.
// Returns 0 when it ended with its NUL or at end of file (buf then holds what
// was read), -1 when it is longer than buf can hold.
int read_preamble_string(int fd, char* buf)
{
    for (std::size_t i = 0; i < PREAMBLE_BUFSIZ; i++) {
        char c;
        if (read(fd, &c, 1) != 1) {
            buf[i] = '\0';
            return 0;
        }
        buf[i] = c;
        if (c == '\0') return 0;
    }
    buf[PREAMBLE_BUFSIZ - 1] = '\0';
    return -1;
}

// Reads fd from where it stands to the end of the file or the first marker.
// Returns the offset just after the marker, counted from where the scan
// began, or -1 when there is none.
//
// The match counter and the consumed count survive from one read to the
// next, so a marker split across two reads is found. Restarting at marker
// byte 0 on a mismatch is exact because no proper prefix of the marker is
// also a suffix of a partial match (its first byte occurs only once).
off_t scan_for_marker(int fd)
{
    const char* eop = get_eop();
    std::array<char, 8192> buf;
    std::size_t matched = 0;
    off_t consumed = 0;
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size() - 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        for (ssize_t i = 0; i < n; i++) {
            if (matched == 0) {
                // Outside a partial match only the marker's first byte
                // matters: skipping to it took the scan of the image from
                // 3.3 million instructions per extraction to a few thousand.
                const void* first = std::memchr(buf.data() + i, eop[0], static_cast<std::size_t>(n - i));
                if (first == nullptr) break;
                i = static_cast<const char*>(first) - buf.data();
            }
            if (buf[static_cast<std::size_t>(i)] != eop[matched]) {
                matched = 0;
                if (buf[static_cast<std::size_t>(i)] != eop[0]) continue;
            }
            if (++matched == MARKER_LEN) return consumed + i + 1;
        }
        consumed += n;
    }
}

// The own name stands for the own image: opened again for every look at it
// (the mode check, the extraction, the listing, the build's copy), through
// the same path, so each sees the file the kernel executed.
int open_image(const char* program)
{
    if (driver.own_name == nullptr || program != driver.own_name) return open_regular(program, true);
    return driver.own_image != nullptr ? open_regular(driver.own_image, true) : -1;  // start-up has said why
}

}  // namespace

UniqueFd::~UniqueFd()
{
    if (fd_ >= 0) close(fd_);
}

int open_regular(const char* path, bool is_image)
{
    // O_NONBLOCK lets the open of a FIFO without a writer return at once, so
    // that fstat can refuse it; O_NOCTTY keeps a terminal from becoming ours.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (is_image && (errno == ENOENT || errno == ENOTDIR)) {
            print_stored(stderr, "%s: unable to find vokra to build preamble\n", path);
        } else {
            perror_stored(path);
        }
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        perror_stored(path);
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        print_stored(stderr, "%s: %s: not a regular file\n", stream.progname, path);
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool same_file(int fd_a, int fd_b)
{
    struct stat a, b;
    return fstat(fd_a, &a) == 0 && fstat(fd_b, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The own file's last fallback, where the system offers no link to it nor a
// record of the executed path. A name that contains a "/" names the file
// directly, as in the shell. A bare name is looked up on PATH only, never in
// the current directory: root running "vokra" in another user's directory
// must not take that user's file for its own image. So, unlike a shell, an
// empty PATH element, "." and every other relative element are passed over:
// each would mean a directory reached from wherever the run happens to stand.
char* find_program(const char* ref)
{
    auto& result = driver.found_program;
    std::size_t ref_len = std::strlen(ref);
    if (std::strchr(ref, '/') != nullptr) {
        if (access(ref, X_OK) != 0 || ref_len >= sizeof result) return const_cast<char*>(ref);
        std::memcpy(result, ref, ref_len + 1);
        return result;
    }

    const char* path = std::getenv("PATH");
    if (path == nullptr || ref[0] == '\0') return nullptr;
    const char* elem = path;
    for (;;) {
        const char* end = std::strchr(elem, ':');
        std::size_t elem_len = end != nullptr ? static_cast<std::size_t>(end - elem) : std::strlen(elem);
        // An element too long to form "element/name" in the buffer is skipped.
        if (elem[0] == '/' && elem_len + 1 + ref_len < sizeof result) {
            std::memcpy(result, elem, elem_len);
            result[elem_len] = '/';
            std::memcpy(result + elem_len + 1, ref, ref_len + 1);
            if (access(result, X_OK) == 0) return result;
        }
        if (end == nullptr) return nullptr;
        elem = end + 1;
    }
}

const char* get_eop()
{
    for (std::size_t i = 0; i < MARKER_LEN; i++) driver.eop[i] = static_cast<char>(eop_encoded[i] ^ eop_key);
    return driver.eop;
}

int build_preamble(const char* program, int fd)
{
    UniqueFd in(open_image(program));
    if (in.get() < 0) return -1;
    if (same_file(in.get(), fd)) {
        print_stored(stderr, "%s: %s: the image is also the output\n", stream.progname, program);
        return -1;
    }
    struct stat st;
    if (fstat(in.get(), &st) != 0) {
        perror_stored(program);
        return -1;
    }
    // An image that holds the marker would hide the new preamble behind its
    // own: the archive would run the old commands on the old payload.
    if (scan_for_marker(in.get()) >= 0) {
        print_stored(stderr, "%s: %s: the image is already an archive; use a plain vokra executable\n",
                     stream.progname, program);
        return -1;
    }
    if (lseek(in.get(), 0, SEEK_SET) != 0) {
        perror_stored(program);
        return -1;
    }

    // The image is copied in pieces, never held whole. It is the file's size
    // when it was examined; a file that shrank since gives a shorter image
    // rather than a failure.
    std::array<char, 8192> buf;
    off_t left = st.st_size;
    int rc = 0;
    while (left > 0 && rc == 0) {
        const std::size_t want =
            left < static_cast<off_t>(buf.size()) ? static_cast<std::size_t>(left) : buf.size();
        ssize_t r = read(in.get(), buf.data(), want);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            perror_stored(program);
            return -1;
        }
        if (r == 0) break;
        rc = write_all(fd, buf.data(), static_cast<std::size_t>(r));
        left -= r;
    }
    if (rc == 0) rc = write_all(fd, get_eop(), MARKER_LEN);
    for (const char* s : {driver.features, driver.comment, driver.run_program, driver.pipe_program}) {
        if (rc == 0) rc = write_all(fd, s, std::strlen(s) + 1);
    }
    if (rc != 0) {
        perror_stored(stream.ofname);
        return -1;
    }
    return 0;
}

int find_preamble(const char* program)
{
    int fd = open_image(program);
    if (fd < 0) return -1;
    off_t after_marker = scan_for_marker(fd);
    if (after_marker < 0 || lseek(fd, after_marker, SEEK_SET) != after_marker) {
        close(fd);
        return -1;
    }

    for (char* s : {driver.features, driver.comment, driver.run_program, driver.pipe_program}) {
        if (read_preamble_string(fd, s) != 0) {
            print_stored(stderr, "%s: not a valid archive: preamble string longer than %zu characters\n",
                         program, PREAMBLE_BUFSIZ - 1);
            for (char* t : {driver.features, driver.comment, driver.run_program, driver.pipe_program})
                std::memset(t, 0, PREAMBLE_BUFSIZ);
            close(fd);
            return -1;
        }
    }
    driver.preamble_end = static_cast<long>(lseek(fd, 0, SEEK_CUR));
    return fd;
}
