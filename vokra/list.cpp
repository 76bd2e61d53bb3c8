// Listing (not built yet).
#include "vokra.h"

void do_list(const char*) { exit_code = 1; }
