// The archive driver: option state, the archive image format, the feature
// string, the extraction and install run, the space check and the listing.
#pragma once

#include "gzip.h"

constexpr std::size_t PREAMBLE_BUFSIZ = 1024;  // each preamble string: 1023 chars + NUL
constexpr std::size_t FEATURE_ITEM_MAX = 256;  // composed feature items and lookups
constexpr std::size_t MARKER_LEN = 11;         // "vokra" "+magik", never stored whole
constexpr std::size_t EXPAND_BUFSIZ = 2048;    // an expanded command: 2047 chars + NUL
constexpr std::size_t SYMPATH_BUFSIZ = 512;    // the relocation link's path

// ---- option state and preamble buffers ----
extern char features[PREAMBLE_BUFSIZ];
extern char comment[PREAMBLE_BUFSIZ];
extern char run_program[PREAMBLE_BUFSIZ];
extern char pipe_program[PREAMBLE_BUFSIZ];
extern char vokra_path[PREAMBLE_BUFSIZ];
extern char uncompress_dir[PREAMBLE_BUFSIZ];
extern int extract_only;
extern int dont_run_program;
extern const char* const F_OEM;
extern const char scid[64];
extern long preamble_end;

// Seconds the extraction run pauses after the data is written, so a slow
// extract command has read everything before its input closes. Always 2 in
// the tool; in-process tests lower it.
extern unsigned extract_pause_seconds;

// Returns the driver's globals (and the stream layer's) to their start values.
void reset_driver_state();

// ---- usage ----
void Usage(int is_compressed);
void Help(int is_compressed);  // --help: standard output
void Version();                // --version: standard output

// ---- archive image ----
char* find_program(const char* ref);
const char* get_eop();
int build_preamble(const char* program, int fd);
int find_preamble(const char* program);

// ---- feature string ----
int add_feature(const char* f);  // 0, or -1 (message printed) when it does not fit
char* get_feature(const char* f);
int strtrim(char* s);

// ---- extraction and install run ----
int do_decompress(const char* program);
// A new heap block the caller frees, or null (message printed) when the
// expansion would not fit in EXPAND_BUFSIZ - 1 characters.
char* replace_program_parms(const char* pgm);
void export_features();

// ---- space check ----
int verify_fs(int min_mb, char* sym_path);
int mkdirp(const char* path, int mode);

// ---- listing ----
extern int first_time;                // 1 until the column header has been printed
extern const char* const methods[9];  // method names by gzip method number
void do_list(const char* path);
// Writes stored text to standard output: as stored, or with `escape` every
// byte outside printable ASCII (and the backslash) in C escapes.
void put_stored(const char* s, bool escape);
