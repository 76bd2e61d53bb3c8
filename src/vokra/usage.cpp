// The driver's state (one static object, its start values and setters), the
// version string, the two usage texts, and the --help and --version answers.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "mnttab.h"
#include "progress.h"
#include "vokra.h"

driver_state driver;

const char* const F_OEM = "QZ_VENDOR=";

// VOKRA_VERSION is the project's version, set by the build. Four blanks
// between version and date, one trailing blank; the rest of the 64 bytes are NUL.
const char scid[64] = "@(#) vokra " VOKRA_VERSION "    6/6/2001 ";

void start_driver_state()
{
    std::memset(&driver, 0, sizeof driver);
    driver.extract_pause_seconds = 2;
    driver.first_time = 1;
    driver.command_input = -1;
    driver.args_at = -1;
    driver.staging_parent_fd = -1;
    driver.command_terminal = -1;
}

void reset_driver_state()
{
    progress_abandon();
    reset_gzip_state();
    reset_mount_table_state();
    start_driver_state();
}

namespace {

// Whether text fits one of the 1024-byte buffers; if not, a message names it.
bool fits(const char* text, const char* what)
{
    if (std::strlen(text) < PREAMBLE_BUFSIZ) return true;
    print_stored(stderr, "%s: %s too long (at most %zu characters)\n", stream.progname, what,
                 PREAMBLE_BUFSIZ - 1);
    return false;
}

}  // namespace

int set_option_string(char opt, const char* arg)
{
    char* dst = opt == 'p'   ? driver.vokra_path
                : opt == 'C' ? driver.comment
                : opt == 'r' ? driver.run_program
                : opt == 'f' ? driver.pipe_program
                : opt == 't' ? driver.uncompress_dir
                : opt == 'T' ? driver.target_dir
                             : nullptr;
    char what[] = "argument of -?";
    what[sizeof what - 2] = opt;
    if (dst == nullptr || !fits(arg, opt == 'T' ? "argument of --target" : what)) return -1;
    std::strcpy(dst, arg);
    return 0;
}

int set_preamble(const char* features, const char* comment, const char* run_program, const char* pipe_program)
{
    const char* texts[] = {features, comment, run_program, pipe_program};
    char* bufs[] = {driver.features, driver.comment, driver.run_program, driver.pipe_program};
    for (const char* t : texts) {
        if (!fits(t, "preamble string")) return -1;
    }
    for (std::size_t i = 0; i < 4; i++) std::strcpy(bufs[i], texts[i]);
    return 0;
}

void set_extract_pause(unsigned seconds)
{
    driver.extract_pause_seconds = seconds;
}

void Usage(int is_compressed)
{
    std::fprintf(stderr, "Version: %s\n", scid);
    if (is_compressed) {
        std::fputs("\n", stderr);
        put_stored(stderr, driver.comment);  // the archive's own text: escaped on a terminal
        std::fputs("\n\n", stderr);
        print_stored(stderr, "Usage: %s [-hclnvtx]\n", stream.progname);
        std::fputs(
            "    -h: show this help\n"
            "    -u: use as utility to decompress archive specified on command-line\n"
            "    -l: list compression statistics\n"
            "    -c: extract to stdout instead of archive name\n"
            "    -x: extract only. do not deflate the archive\n"
            "    -n: do not run install command after deflating archive\n"
            "    -t: temp path for decompression if archive allows\n"
            "    -v: verbose output\n",
            stderr);
    } else {
        print_stored(stderr,
                     "Usage: %s [-huclva] [-p vokra_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
                     "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
                     "[-F feature_sting] <files...>\n",
                     stream.progname);
    }
}

// One line per option, on standard output, as --help answers. The stored
// comment is data, so on a terminal it is shown escaped like the listing.
void Help(int is_compressed)
{
    if (is_compressed) {
        print_stored(stdout, "Usage: %s [options] [-- args...]\n       %s -u [options] archive [-- args...]\n",
                     stream.progname, stream.progname);
        const char* shown = driver.comment[0] != '\0' ? driver.comment : "Self-Extracting archive file";
        put_stored(stdout, shown);
        std::fputs(
            "\n\n"
            "Extract the archive (or, with -u, the archive named), then run its install command.\n\n"
            "  -c          use the output name stdout instead of the stored name\n"
            "  -l          list the preamble and compression statistics; run nothing\n"
            "  -n          do not run the install command after extracting\n"
            "  -t dir      try dir first for the extraction directory, if the archive allows\n"
            "  -u          extract the archive named by the first operand instead\n"
            "  -v          verbose: name the output, ask before running the install command\n"
            "  -x          extract only: write the data to standard output, run nothing\n"
            "  --keep      leave the staging directory (%d) in place and say where it is\n"
            "  --quiet     print nothing on standard output or error unless the run fails\n"
            "  --target dir  make dir (and its missing parents) the staging directory %d; never removed\n"
            "  -- args...  give args to the install command as \"$1\" \"$2\"... (\"$@\")\n",
            stdout);
    } else {
        print_stored(stdout,
                     "Usage: %s [options] file... > archive\n       %s -u [options] archive [-- args...]\n"
                     "       %s -l [-v] archive...\n",
                     stream.progname, stream.progname, stream.progname);
        std::fputs(
            "Build a self-extracting archive of the files on standard output.\n\n"
            "  -a          store the payload uncompressed (feature NOCOMPR)\n"
            "  -p image    the executable image copied to the head of the archive\n"
            "  -C comment  the comment shown when the archive runs\n"
            "  -r command  the install command, run after the extract command\n"
            "  -f command  the extract command, reading the data on its standard input\n"
            "              (in both, %o is the output name, %p the current directory, %d a\n"
            "              private staging directory, each one word whatever the quoting)\n"
            "  -V dir      check the room on dir's filesystem first (feature VFYFS=dir)\n"
            "  -S subdir   the extraction directory below dir (feature FSSUB=subdir)\n"
            "  -O vendor   add the feature QZ_VENDOR=vendor\n"
            "  -F item     add a feature item, KEY=value or KEY\n"
            "  -u          utility mode: extract the archive named by the first operand\n"
            "  -l          list the archives named as operands; run nothing\n"
            "  -c          (after -u) use the output name stdout instead of the stored name\n"
            "  -x          (after -u) extract only: write the data to standard output\n"
            "  -n          (after -u) do not run the install command\n"
            "  -t dir      (after -u) try dir first for the extraction directory\n"
            "  --keep      (after -u) leave the staging directory (%d) in place\n"
            "  --quiet     (after -u) print nothing unless the run fails\n"
            "  --target dir  (after -u) make dir the staging directory %d; never removed\n"
            "  -- args...  (after -u and the archive) give args to the install command\n"
            "  -v          verbose output\n",
            stdout);
    }
    std::fputs(
        "  -h, -?      print the version and the short usage to standard error, status 1\n"
        "  --help      print this help and exit\n"
        "  --version   print the version and exit\n",
        stdout);
}

// "vokra <version>": the name and version that scid carries after its "@(#) ".
void Version()
{
    const char* name = scid + 5;
    const char* end = std::strstr(name, "  ");
    std::printf("%.*s\n", static_cast<int>(end != nullptr ? end - name : std::strlen(name)), name);
}
