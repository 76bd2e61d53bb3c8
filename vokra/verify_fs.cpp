// Space check before extraction (not built yet: everything fits).
#include "vokra.h"

int verify_fs(int, char* sym_path)
{
    sym_path[0] = '\0';
    return 0;
}

int mkdirp(const char*, int) { return -1; }
