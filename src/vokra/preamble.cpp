// The archive image layout: executable image, the 11-byte marker, four
// NUL-terminated preamble strings, then the payload; and locating the program.
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

long preamble_end;

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

}  // namespace

// A name that contains a "/" names the file directly, as in the shell; only a
// bare name is looked up on PATH.
char* find_program(const char* ref)
{
    static char result[PREAMBLE_BUFSIZ + 1];
    std::size_t ref_len = std::strlen(ref);
    if (access(ref, X_OK) == 0) {
        if (ref_len >= sizeof result) return const_cast<char*>(ref);
        std::memcpy(result, ref, ref_len + 1);
        return result;
    }
    if (ref[0] == '.' || std::strchr(ref, '/') != nullptr) return const_cast<char*>(ref);

    const char* path = std::getenv("PATH");
    if (path == nullptr) return nullptr;
    const char* elem = path;
    for (;;) {
        const char* end = std::strchr(elem, ':');
        std::size_t elem_len = end != nullptr ? static_cast<std::size_t>(end - elem) : std::strlen(elem);
        // An element too long to form "element/name" in the buffer is skipped.
        if (elem_len + 1 + ref_len < sizeof result) {
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
    static char eop[MARKER_LEN];
    for (std::size_t i = 0; i < MARKER_LEN; i++) eop[i] = static_cast<char>(eop_encoded[i] ^ eop_key);
    return eop;
}

int build_preamble(const char* program, int fd)
{
    const char* path = find_program(program);
    if (path == nullptr) {
        std::fprintf(stderr, "%s: unable to find vokra to build preamble\n", program);
        return -1;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        std::perror(path);
        return -1;
    }
    int in = open(path, O_RDONLY);
    if (in < 0) {
        std::perror(path);
        return -1;
    }
    std::size_t size = static_cast<std::size_t>(st.st_size);
    char* image = static_cast<char*>(std::malloc(size + 1));
    if (image == nullptr) {
        std::perror(path);
        close(in);
        return -1;
    }
    // The image is read whole; a short read (the file shrank) leaves a shorter
    // image rather than uninitialised bytes.
    std::size_t got = 0;
    while (got < size) {
        ssize_t r = read(in, image + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            std::perror(path);
            std::free(image);
            close(in);
            return -1;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    close(in);

    int rc = write_all(fd, image, got);
    std::free(image);
    if (rc == 0) rc = write_all(fd, get_eop(), MARKER_LEN);
    for (const char* s : {features, comment, run_program, pipe_program}) {
        if (rc == 0) rc = write_all(fd, s, std::strlen(s) + 1);
    }
    if (rc != 0) {
        std::perror(stream.ofname);
        return -1;
    }
    return 0;
}

int find_preamble(const char* program)
{
    const char* path = find_program(program);
    if (path == nullptr) {
        std::fprintf(stderr, "%s: unable to find vokra to build preamble\n", program);
        return -1;
    }
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        std::perror(path);
        return -1;
    }

    // The match counter and the consumed count survive from one read to the
    // next, so a marker split across two reads is found. Restarting at marker
    // byte 0 on a mismatch is exact because no proper prefix of the marker is
    // also a suffix of a partial match (its first byte occurs only once).
    const char* eop = get_eop();
    std::array<char, 8192> buf;
    std::size_t matched = 0;
    off_t consumed = 0;
    off_t after_marker = -1;
    while (after_marker < 0) {
        ssize_t n = read(fd, buf.data(), buf.size() - 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; i++) {
            if (buf[static_cast<std::size_t>(i)] != eop[matched]) {
                matched = 0;
                if (buf[static_cast<std::size_t>(i)] != eop[0]) continue;
            }
            if (++matched == MARKER_LEN) {
                after_marker = consumed + i + 1;
                break;
            }
        }
        consumed += n;
    }
    if (after_marker < 0 || lseek(fd, after_marker, SEEK_SET) != after_marker) {
        close(fd);
        return -1;
    }

    for (char* s : {features, comment, run_program, pipe_program}) {
        if (read_preamble_string(fd, s) != 0) {
            std::fprintf(stderr, "%s: not a valid archive: preamble string longer than %zu characters\n",
                         program, PREAMBLE_BUFSIZ - 1);
            for (char* t : {features, comment, run_program, pipe_program}) std::memset(t, 0, PREAMBLE_BUFSIZ);
            close(fd);
            return -1;
        }
    }
    preamble_end = static_cast<long>(lseek(fd, 0, SEEK_CUR));
    return fd;
}
