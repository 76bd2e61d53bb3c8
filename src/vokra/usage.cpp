// The option state shared by the driver (flags, preamble buffers, version
// string) and the two usage texts.
#include <cstdio>
#include <cstring>
#include <initializer_list>

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
        std::fprintf(stderr, "\n%s\n\n", comment);
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
