// The archive driver: its state (one struct, `driver`), the archive image
// format, the feature string, the extraction and install run, the space check
// and the listing.
#pragma once

#include <csignal>
#include <sys/types.h>

#include "escape.h"
#include "gzip.h"
#include "rmtree.h"
#include "tarball.h"

constexpr std::size_t PREAMBLE_BUFSIZ = 1024;  // each preamble string: 1023 chars + NUL
constexpr std::size_t FEATURE_ITEM_MAX = 256;  // composed feature items and lookups
constexpr std::size_t MARKER_LEN = 11;         // "vokra" "+magik", never stored whole
constexpr std::size_t EXPAND_BUFSIZ = 2048;    // an expanded command: 2047 chars + NUL
constexpr std::size_t SYMPATH_BUFSIZ = 512;    // the relocation link's path
constexpr std::size_t STAGING_BUFSIZ = 1024;   // the staging directory's path (%d)
constexpr std::size_t FS_BUFSIZ = 128;         // the space check's VFYFS value: 127 characters

// One part of the feature string as the build added it, at features[start]
// for len characters: an item composed by an option or from the input's name
// (one_item), or the items of one -F argument. label names it in messages;
// null shows the text itself.
struct FeatureSource {
    std::size_t start, len;
    const char* label;
    bool one_item;
};

// ---- the driver's state ----
// Everything the driver changes while it runs, in one static object: the
// option flags and preamble buffers that every road reads, the own file's
// names, the build's record of the feature string's parts, the listing's
// header flag, the buffers behind the lookups that return a static result,
// and what the signal handler and the fatal exit must reach of a running
// extraction. One object, fixed in size and zero-initialised, so it takes no
// room in the executable nor in the archives that copy it; the few members
// that do not start at 0 are set by start_driver_state(), main's first step.
struct driver_state {
    // ---- option flags and preamble buffers ----
    int extract_only;      // -x
    int dont_run_program;  // -n
    int keep_staging;      // --keep: the staging directory (%d) stays after the run
    int quiet;             // --quiet: nothing on standard output or error unless something fails
    long preamble_end;     // file offset of the first payload byte, set by find_preamble
    // The name main was started under (argv[0]). find_preamble and
    // build_preamble given this very pointer open own_image, the file the
    // kernel executed, not a file found by that name; messages still show the name.
    const char* own_name;
    const char* own_image;  // null when the own file could not be located
    // Seconds the extraction run pauses after the data is written, so a slow
    // extract command has read everything before its input closes. Always 2
    // in the tool; in-process tests lower it with set_extract_pause.
    unsigned extract_pause_seconds;
    int first_time;  // 1 until the listing's column header has been printed
    // The status the build and list roads end with: 1 once an input could not
    // be read whole or a listing failed, 0 after a raw copy.
    int exit_code;
    char features[PREAMBLE_BUFSIZ];
    char comment[PREAMBLE_BUFSIZ];
    char run_program[PREAMBLE_BUFSIZ];
    char pipe_program[PREAMBLE_BUFSIZ];
    char vokra_path[PREAMBLE_BUFSIZ];
    char uncompress_dir[PREAMBLE_BUFSIZ];
    char target_dir[PREAMBLE_BUFSIZ];  // --target: %d is this directory, made if missing, never removed
    // The command line with its options first; it lives until exit, and a
    // leak checker finds it here after argv itself is dead.
    char** arranged_argv;
    // Where the words after the command line's "--" start in arranged_argv
    // (-1 for none), and those of them the install command gets as "$@".
    int args_at;
    char** install_args;
    int install_argc;

    // ---- the build's feature string, part by part ----
    // Every part takes at least its comma, so there are fewer than
    // PREAMBLE_BUFSIZ of them.
    FeatureSource feature_sources[PREAMBLE_BUFSIZ];
    std::size_t feature_source_count;

    // ---- static results, each valid until the next call ----
    char found_program[PREAMBLE_BUFSIZ + 1];   // find_program's
    char own_image_path[PREAMBLE_BUFSIZ + 1];  // find_own_image's, without a self link
    char feature_item[FEATURE_ITEM_MAX];       // get_feature's
    char eop[MARKER_LEN];                      // get_eop's
    char relocation_target[SYMPATH_BUFSIZ];    // what verify_fs's relocation link points to; empty for none
    char staging_path[STAGING_BUFSIZ];         // %d: the run's staging directory; empty for none

    // ---- the running extraction: what the run must undo ----
    // One owner for everything a run makes and must take back on every way
    // out (the normal end, a fatal stream error, a terminating signal): the
    // run writes these and its one clean-up (clean_up_run, which the signal
    // handler and the fatal exit call too) reads them, so each is volatile
    // and one word: the handler sees a value the run stored, never one held
    // back in a register or half written.
    // The relocation link of the current run, or null, recorded once the
    // space check has made it; the process group of the command now running
    // (its leader's pid; 0 when none), kept until no process of it is left;
    // while the extract command is fed, the pipe's write end (-1 when none);
    // the terminal while it is handed to the command's group (-1 when not);
    // while the extract command runs, `extracting`; `interrupted` once a
    // signal was passed on. The space check records the link in one step
    // with its making.
    char* volatile relocation_link;
    volatile pid_t command_group;
    volatile int command_input;
    volatile int command_terminal;
    volatile std::sig_atomic_t extracting;
    volatile std::sig_atomic_t interrupted;
    // The staging directory made for this run (%d), while the run must
    // remove it: `staging_armed` is set last, once the rest is in place, so
    // a clean-up that sees it set finds the parent's descriptor and the
    // directory's name and identity; the walk's work area is its own.
    volatile std::sig_atomic_t staging_armed;
    volatile std::sig_atomic_t staging_kept;   // left in place by --keep
    volatile std::sig_atomic_t staging_error;  // errno of a removal that left something
    int staging_parent_fd;
    const char* staging_name;  // in staging_path
    dev_t staging_dev;
    ino_t staging_ino;
    TreeWalk staging_walk;

    // ---- a directory operand's tar stream, while it is checked or written ----
    tarball_state tarball;

    // The archive read by the run or the listing: its descriptor, at the
    // first payload byte once the preamble is loaded.
    int archive;

    // ---- the terminal: the progress line (progress.h) and escaping (escape.h) ----
    zoff_t progress_done;  // bytes of the current step done so far
    // progress_done at which the clock is next read; PROGRESS_OFF while no
    // line shows, but 0 at the start: the first count then finds no line
    // showing and switches the check off.
    zoff_t progress_next;
    const char* step_name;  // null until a step starts
    zoff_t step_total;
    zoff_t step_first;  // progress_done when the step started, for the rate
    std::int64_t started_ns;
    std::int64_t drawn_ns;
    std::size_t drawn_len;  // length of the line on screen, to blank a longer one
    // Read by progress_abandon(), which a signal handler may call: volatile
    // and one word, so the handler sees what the run stored.
    volatile std::sig_atomic_t showing;
    // Whether text from outside is escaped for a UTF-8 terminal: main sets
    // it from the locale; off, every byte from 0x80 up is escaped.
    bool text_utf8;
};
extern driver_state driver;

extern const char* const F_OEM;
extern const char scid[64];

// The driver's own state at its start values, the layers below untouched:
// main's first step, where those still hold theirs.
void start_driver_state();
// start_driver_state() and the reset of every layer below (gzip, stream,
// mount table): where an in-process test starts.
void reset_driver_state();
inline void set_exit_code(int code)
{
    driver.exit_code = code;
}

// Sets the buffer of a string option (-p, -C, -r, -f, -t, 'T' for --target) as the command line
// does: 0, or -1 after a message when arg does not fit (nothing changed).
int set_option_string(char opt, const char* arg);
// Sets the four preamble strings as find_preamble loads them from an archive:
// 0, or -1 after a message when one does not fit (nothing changed).
int set_preamble(const char* features, const char* comment, const char* run_program,
                 const char* pipe_program);
// The extraction run's pause after the data (see extract_pause_seconds).
void set_extract_pause(unsigned seconds);

// ---- usage ----
void Usage(int is_compressed);
void Help(int is_compressed);  // --help: standard output
void Version();                // --version: standard output

// ---- archive image ----
// The path that opens the file the kernel executed for this process, the
// same file every time; null after a message when it cannot be had.
const char* find_own_image(const char* argv0);
// Opens path read-only and close-on-exec when it is a regular file, without
// blocking on a FIFO or a device. -1 after a message otherwise: for an image,
// a missing file is "unable to find vokra to build preamble".
int open_regular(const char* path, bool is_image);
bool same_file(int fd_a, int fd_b);
char* find_program(const char* ref);
const char* get_eop();
int build_preamble(const char* program, int fd);
int find_preamble(const char* program);

// Closes a descriptor when it goes out of scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// ---- the build's inputs ----
// One operand as the build's check found it, before the archive is written.
struct BuildInput {
    enum Kind : unsigned char { left_out, file, stream, directory } kind;
    int fd;             // a stream's descriptor, open from its check on; else -1
    dev_t dev;          // what was checked: a file or directory is written
    ino_t ino;          // only while it is still the same one
    std::int64_t size;  // the bytes expected, for the progress line; -1 unknown
};
// Checks every operand before anything is written (every tree of a directory
// operand entry by entry). An operand that cannot be read is reported and
// left out; returns how many can be written, or -1 after the messages when
// nothing may be: a tree holds what cannot be packed, or an input is the output.
int check_inputs(char** names, int count, BuildInput* inputs);
// Appends operand `name`'s payload to standard output: compressed, or raw.
// False after a message when the payload is missing or incomplete.
bool append_payload(const char* name, BuildInput& in, bool raw);
// When `operand` is a directory, puts the name of its tar payload (its last
// component and ".tar") into `name` and returns true.
bool directory_payload_name(const char* operand, char* name, std::size_t size);

// ---- feature string ----
int add_feature(const char* f);  // 0, or -1 (message printed) when it does not fit
char* get_feature(const char* f);
int strtrim(char* s);
// 0 when the feature string reads back as the sources meant it, and no run of
// the archive would refuse its space-check settings; else -1 after a message.
int check_features(const FeatureSource* sources, std::size_t count);

// ---- extraction and install run ----
int do_decompress(const char* program);

// ---- the codec's input, output and results (codec_io.cpp) ----
// A descriptor's reads, each counted on the progress line.
source progress_source(int fd);
// What a directory operand's tar stream hands out, counted the same way.
source tar_source();
// The message of a failed codec call, after the progress line ends: a data
// error names the input, a read the input, a write the output.
void report_codec_failure(const codec_result& r);
// After get_method: the -v notes on the header, then the message of a header
// that was refused. Returns whether the header was read.
bool header_read(const codec_result& r);
// The extract command an archive without a stored one runs (and lists):
// a tar payload's unpacks into the staging directory %d.
const char* default_extract_command();
// The command template pgm with %o, %p and %d each written as one literal
// word for /bin/sh (expand.cpp): a new heap block the caller frees, or null
// (message printed) when the expansion would not fit in EXPAND_BUFSIZ - 1
// characters or a value cannot be quoted where it stands.
char* replace_program_parms(const char* pgm);
// Whether pgm uses the placeholder %<placeholder>, read as the expansion
// reads it ("%%d" is no use of %d).
bool command_uses(const char* pgm, char placeholder);
void export_features();
// Reads one whole line of standard input as an answer at a prompt: its first
// size - 1 characters, without the newline, go into answer, and the rest of
// an over-long line is read and dropped. Returns 0, or -1 at end of input (or
// on a read error) before any character.
int read_answer_line(char* answer, std::size_t size);

// ---- staging directory (%d) ----
// Makes the run's staging directory (or the --target directory) and puts its
// path in staging_path: 0, or -1 after a message.
int make_staging();
// The run's clean-up: removes the staging directory made by make_staging,
// if any, with everything in it, or with --keep leaves it. 0 when it is gone
// or kept, else -1 with errno set (and noted for report_staging). Prints
// nothing and makes only async-signal-safe calls (on Linux), so a signal
// handler may call it.
int remove_staging();
// After the clean-up of a run that ends normally: names a kept staging
// directory on standard error (not under --quiet), and reports one that could
// not be removed: 0, or -1 after that message.
int report_staging();

// ---- space check ----
int verify_fs(int min_mb, char* sym_path);

// The directories one mkdirp call went through, each held by a descriptor
// (the base first), and which of them it made, so that a path given up can
// be taken back without touching anything the run did not create.
class MadeDirs {
public:
    MadeDirs() = default;
    ~MadeDirs();
    MadeDirs(const MadeDirs&) = delete;
    MadeDirs& operator=(const MadeDirs&) = delete;
    int fd() const { return depth_ > 0 ? fds_[depth_ - 1] : -1; }
    void remove_made();  // deepest first; each only while it is still the one made

private:
    friend int mkdirp(const char* path, std::size_t base_len, int mode, MadeDirs& dirs);
    static constexpr std::size_t PATH_MAX_LEN = 254;  // paths of up to 254 characters
    static constexpr std::size_t MAX_DEPTH = PATH_MAX_LEN / 2 + 1;
    int fds_[MAX_DEPTH] = {};
    std::size_t name_at_[MAX_DEPTH] = {};  // each directory's name in names_
    bool made_[MAX_DEPTH] = {};
    char names_[PATH_MAX_LEN + 1] = {};  // the path, its parts NUL-terminated
    std::size_t depth_ = 0;
};
// Makes the directories of absolute `path` below its first base_len
// characters, each with exactly `mode`; 0 when all of them stand afterwards as
// directories that no other user can change, -1 after a message otherwise.
int mkdirp(const char* path, std::size_t base_len, int mode, MadeDirs& dirs);

// ---- listing ----
extern const char* const methods[9];  // method names by gzip method number
void do_list(const char* path);
// The compression ratio of a listing line, " 12.3%", in tenths of a percent.
void display_ratio(zoff_t num, zoff_t den, FILE* file);
// Messages show text from an archive, a file name or the environment through
// put_stored, print_stored and perror_stored (escape.h, below the driver).
