// Iterating over the mounted filesystems in mount-table order.
//
// The iterator's state is one static object, `mount_table`: the table file it
// reads, the stream open on it and the one record every lookup returns.
// reset_mount_table_state() returns it to the start of a process.
#pragma once

#include <cstdio>
#include <ctime>

struct ssmnttab {
    char mt_dev[128];     // mounted device or resource
    char mt_path[128];    // mount point
    char mt_fstype[32];   // filesystem type
    char mt_read_only;    // 1 when mounted with the "ro" option
    std::time_t mt_time;  // always 0
};

struct mount_table_state {
    const char* path;  // the table file: the system's unless ss_setmnttab chose another
    std::FILE* fp;     // the stream open on it, or null
    ssmnttab record;   // what every successful lookup overwrites and returns
};
extern mount_table_state mount_table;

// Closes any open stream, forgets a table set with ss_setmnttab and clears
// the record.
void reset_mount_table_state();

// Reads the table file at path from its first entry on (closing any open
// stream); null for the system's table. Tests point it at a table of their own.
void ss_setmnttab(const char* path);
ssmnttab* ss_getmntent();
void ss_endmntent();
ssmnttab* ss_getmntbyname(const char* name);
