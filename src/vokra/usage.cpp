// The option state shared by the driver (flags, preamble buffers, version
// string), the two usage texts, and the --help and --version answers.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

#include "vokra.h"

char features[PREAMBLE_BUFSIZ];
char comment[PREAMBLE_BUFSIZ];
char run_program[PREAMBLE_BUFSIZ];
char pipe_program[PREAMBLE_BUFSIZ];
char vokra_path[PREAMBLE_BUFSIZ];
char uncompress_dir[PREAMBLE_BUFSIZ];
int extract_only;
int dont_run_program;

const char* const F_OEM = "QZ_VENDOR=";

// Four blanks between version and date, one trailing blank; the rest of the
// 64 bytes are NUL.
const char scid[64] = "@(#) vokra 1.2.1    6/6/2001 ";

unsigned extract_pause_seconds = 2;

void reset_driver_state()
{
    reset_gzip_state();
    for (char* buf : {features, comment, run_program, pipe_program, vokra_path, uncompress_dir}) {
        std::memset(buf, 0, PREAMBLE_BUFSIZ);
    }
    extract_only = 0;
    dont_run_program = 0;
    preamble_end = 0;
    extract_pause_seconds = 2;
}

void Usage(int is_compressed)
{
    std::fprintf(stderr, "Version: %s\n", scid);
    if (is_compressed) {
        std::fputs("\n", stderr);
        put_stored(stderr, comment);  // the archive's own text: escaped on a terminal
        std::fputs("\n\n", stderr);
        std::fprintf(stderr, "Usage: %s [-hclnvtx]\n", stream.progname);
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
        std::fprintf(stderr,
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
        std::printf("Usage: %s [options]\n       %s -u [options] archive\n", stream.progname,
                    stream.progname);
        const char* shown = comment[0] != '\0' ? comment : "Self-Extracting archive file";
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
            "  -x          extract only: write the data to standard output, run nothing\n",
            stdout);
    } else {
        std::printf(
            "Usage: %s [options] file... > archive\n       %s -u [options] archive\n"
            "       %s -l [-v] archive...\n",
            stream.progname, stream.progname, stream.progname);
        std::fputs(
            "Build a self-extracting archive of the files on standard output.\n\n"
            "  -a          store the payload uncompressed (feature NOCOMPR)\n"
            "  -p image    the executable image copied to the head of the archive\n"
            "  -C comment  the comment shown when the archive runs\n"
            "  -r command  the install command, run after the extract command\n"
            "  -f command  the extract command, reading the data on its standard input\n"
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
            "  -v          verbose output\n",
            stdout);
    }
    std::fputs(
        "  -h, -?      print the version and the short usage to standard error, status 1\n"
        "  --help      print this help and exit\n"
        "  --version   print the version and exit\n",
        stdout);
}

// "vokra 1.2.1": the name and version that scid carries after its "@(#) ".
void Version()
{
    const char* name = scid + 5;
    const char* end = std::strstr(name, "  ");
    std::printf("%.*s\n", static_cast<int>(end != nullptr ? end - name : std::strlen(name)), name);
}
