// gzip member reader (not built yet).
#include <cstdio>
#include "gzip.h"

int get_method(int)
{
    std::fprintf(stderr, "%s: can only handle GZIP compression method\n", progname);
    exit_code = 1;
    return -1;
}

int unzip(int, int) { error("decompression is not available in this build"); }
