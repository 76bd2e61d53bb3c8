// Iterating over the mounted filesystems in mount-table order.
#pragma once

#include <ctime>

struct ssmnttab {
    char mt_dev[128];     // mounted device or resource
    char mt_path[128];    // mount point
    char mt_fstype[32];   // filesystem type
    char mt_read_only;    // 1 when mounted with the "ro" option
    std::time_t mt_time;  // always 0
};

// The mount table the iterator reads: the system's by default. Tests point it
// at a table file of their own; change it only while no iteration is open.
extern const char* mnttab_path;

ssmnttab* ss_getmntent();
void ss_endmntent();
ssmnttab* ss_getmntbyname(const char* name);
