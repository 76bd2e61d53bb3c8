// gzip member writer (not built yet).
#include <cstdio>
#include "gzip.h"

int zip(int, int)
{
    std::fprintf(stderr, "%s: compression is not available in this build; use -a\n", progname);
    exit_code = 1;
    return 0;
}
