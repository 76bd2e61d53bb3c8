// A directory as a POSIX tar stream (ustar headers, pax extended headers
// where ustar cannot hold a name, a link target, a size or a time), read in
// pieces like a file so that the compressor or the raw copy can take it.
//
// The tree is walked twice. The check pass looks at every entry and reports
// everything that cannot be packed (devices, FIFOs, sockets, unreadable
// entries, the output itself) before a byte of the archive is written; the
// write pass walks again and produces the stream as it is read. Each pass
// holds one descriptor and one sorted list of names per directory level it is
// in, never the whole tree. Nothing here prints: every problem goes to the
// reporter the caller gives, with the path it concerns.
//
// Entries are named "./" and "./" followed by the path below the directory,
// with a "/" after every directory's name, and they come out in the byte
// order of these names: a directory's entries are sorted by their names with
// that "/" appended, so "a-b" ("-" is 0x2D) precedes "a/" (0x2F) and with it
// everything inside "a". The order, the zero owner, the whole-second times
// and the absence of any other metadata make the stream a function of the
// tree's contents alone, whatever order its files were made in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "aplist.h"

// ---- tar format (POSIX pax/ustar) ----
constexpr std::size_t TAR_BLOCK = 512;
constexpr std::size_t TAR_NAME_LEN = 100;    // ustar name and linkname fields
constexpr std::size_t TAR_PREFIX_LEN = 155;  // ustar prefix field
// The 12-byte size and mtime fields hold 11 octal digits and a NUL: up to
// 8 GiB - 1 and the year 2242; beyond, a pax record carries the value.
constexpr std::int64_t TAR_OCTAL11_MAX = 077777777777;
constexpr char TAR_REGULAR = '0';
constexpr char TAR_HARD_LINK = '1';
constexpr char TAR_SYMLINK = '2';
constexpr char TAR_DIRECTORY = '5';
constexpr char TAR_PAX_HEADER = 'x';  // extended header for the entry after it

// Names and link targets inside the tree, the "./" included: longer ones are
// refused by the check pass, so the walk's buffers are fixed.
constexpr std::size_t TAR_PATH_MAX = 4096;
constexpr std::size_t TAR_MAX_DEPTH = TAR_PATH_MAX / 2;  // each level adds at least "x/"
// A pax header with path and linkpath records of TAR_PATH_MAX bytes, a size
// and an mtime record, and the ustar header after it.
constexpr std::size_t TAR_HEADER_MAX = 2 * TAR_BLOCK + 2 * TAR_PATH_MAX + 2 * TAR_BLOCK;

// One entry as its header describes it.
struct TarEntry {
    const char* name;      // "./..." as stored
    const char* linkname;  // hard link or symlink target, else ""
    char typeflag;
    unsigned mode;  // permission bits with setuid, setgid and sticky
    std::int64_t size;
    std::int64_t mtime;  // seconds since the epoch
};

// Writes the headers of `e` to `out` (TAR_HEADER_MAX bytes at least): a pax
// extended header when a field does not fit ustar, then the ustar header.
// Returns the number of bytes written, a multiple of TAR_BLOCK.
std::size_t tar_header(const TarEntry& e, unsigned char* out);

// ---- what the walk reports ----
enum class TarProblem {
    unreadable,     // a system call failed on the path: `err` says why
    special,        // a device, FIFO or socket: `mode` says which
    name_too_long,  // the entry's name is longer than TAR_PATH_MAX - 1
    link_too_long,  // the symbolic link's target is longer than TAR_PATH_MAX - 1
    is_output,      // the file the archive is being written to
    changed,        // was different when written than when checked; left out
    shrank,         // ended before its size: zeros fill the rest
    grew,           // longer than its size when read: the rest is left out
};
struct TarReport {
    TarProblem what;
    const char* path;  // the directory operand joined with the entry's path
    int err;
    mode_t mode;
    std::int64_t size;  // the size stored, for `grew`
};
using tar_reporter = void (*)(const TarReport& report);

struct TarOptions {
    const char* dir;         // the directory operand, as given
    std::int64_t mtime_max;  // later modification times are stored as this; -1: none
    bool output_is_file;     // a regular file receives the archive:
    dev_t output_dev;        // no entry may be that file
    ino_t output_ino;
    // The directory the check pass approved: the write pass packs no other.
    dev_t root_dev;
    ino_t root_ino;
    tar_reporter report;
};

// ---- the walk's state ----
struct tar_level {
    int fd;                // the directory, open
    APLIST names;          // its entries' names, sorted, "/" after a directory's
    int next;              // index of the next name to visit
    std::size_t name_len;  // length of the entry name up to this level's "/"
};
struct tarball_state {
    bool in_use;  // a pass has started since the reset: the descriptors below are real
    TarOptions opt;
    tar_level levels[TAR_MAX_DEPTH];
    std::size_t depth;
    bool started;
    char name[TAR_PATH_MAX + 1];          // the current entry's name, "./..."
    char leaf[TAR_PATH_MAX + 1];          // its name in its directory
    char link[TAR_PATH_MAX];              // its link target
    char shown[TAR_PATH_MAX + 1024 + 2];  // its path for reports
    int problems;                         // reports made by this pass
    // ---- the write pass's output, in the order it leaves ----
    unsigned char header[TAR_HEADER_MAX];
    std::size_t header_len, header_at;
    int data_fd;             // the regular file whose data follows, or -1
    std::int64_t data_left;  // its bytes still to come, as its header states
    std::size_t pad_left;    // zeros up to the block boundary, or the end blocks
    bool finished;           // the end-of-archive blocks are queued or gone
    APLIST links;            // regular files with more than one link, as written
};

// The check pass: every entry looked at and every problem reported. Returns
// the number of problems (0: the tree can be packed); sets opt.root_dev and
// opt.root_ino to the directory's identity, and *stream_bytes to about the
// size of the stream, for the progress line.
int tar_check(TarOptions& opt, std::int64_t* stream_bytes);
// The write pass: tar_open starts it (-1 after a report when the directory
// cannot be opened), tar_read hands out the next bytes as read(2) does
// (0 at the end), tar_close ends it and returns the number of problems
// reported while writing.
int tar_open(const TarOptions& opt);
int tar_read(char* buf, unsigned size);
int tar_close();
