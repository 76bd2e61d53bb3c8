// Iterating over the mounted filesystems in mount-table order.
//
// Every platform difference sits in the one block below: which file holds the
// table, the entry type the C library reads it into, and how an entry's fields
// and options are reached. The rest of the file only sees table_open,
// table_next, table_close and mt_copy.
#include "mnttab.h"

#include <cstdio>
#include <cstring>

#if defined(__sun)
// Solaris: getmntent(FILE*, struct mnttab*) over "/etc/mnttab"; 0 is an entry,
// -1 the end of the table, a positive value a malformed entry.
#include <sys/mnttab.h>

const char* mnttab_path = "/etc/mnttab";

namespace {
using mnt_entry = struct mnttab;
FILE* table_open(const char* path)
{
    return std::fopen(path, "r");
}
void table_close(FILE* fp)
{
    std::fclose(fp);
}
mnt_entry* table_next(FILE* fp, mnt_entry* buf)
{
    return getmntent(fp, buf) == 0 ? buf : nullptr;
}
const char* entry_special(mnt_entry* e)
{
    return e->mnt_special;
}
const char* entry_mountp(mnt_entry* e)
{
    return e->mnt_mountp;
}
const char* entry_fstype(mnt_entry* e)
{
    return e->mnt_fstype;
}
bool entry_read_only(mnt_entry* e)
{
    return hasmntopt(e, const_cast<char*>("ro")) != nullptr;
}
}  // namespace

#else
// Linux and the other systems with <mntent.h>: setmntent/getmntent/hasmntopt,
// over the calling process's own view of the mounts.
#include <mntent.h>

const char* mnttab_path = "/proc/self/mounts";

namespace {
using mnt_entry = struct mntent;
FILE* table_open(const char* path)
{
    return setmntent(path, "r");
}
void table_close(FILE* fp)
{
    endmntent(fp);
}
// getmntent keeps the strings in a buffer of its own; nothing reads them after
// mt_copy has taken them over, so the caller's buffer is not needed.
mnt_entry* table_next(FILE* fp, mnt_entry*)
{
    return getmntent(fp);
}
const char* entry_special(mnt_entry* e)
{
    return e->mnt_fsname;
}
const char* entry_mountp(mnt_entry* e)
{
    return e->mnt_dir;
}
const char* entry_fstype(mnt_entry* e)
{
    return e->mnt_type;
}
bool entry_read_only(mnt_entry* e)
{
    return hasmntopt(e, "ro") != nullptr;
}
}  // namespace
#endif

namespace {

FILE* mnt_fp;         // the open table, or null
ssmnttab mnt_record;  // what every successful lookup returns

// Copies src into a fixed field, cut to fit with its NUL.
template <std::size_t N>
void copy_field(char (&dst)[N], const char* src)
{
    std::size_t n = src != nullptr ? std::strlen(src) : 0;
    if (n > N - 1) n = N - 1;
    if (n > 0) std::memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

ssmnttab* mt_copy(mnt_entry* entry)
{
    copy_field(mnt_record.mt_dev, entry_special(entry));
    copy_field(mnt_record.mt_path, entry_mountp(entry));
    copy_field(mnt_record.mt_fstype, entry_fstype(entry));
    mnt_record.mt_read_only = entry_read_only(entry) ? 1 : 0;
    mnt_record.mt_time = 0;
    return &mnt_record;
}

ssmnttab* ss_getmntent()
{
    if (mnt_fp == nullptr) {
        mnt_fp = table_open(mnttab_path);
        if (mnt_fp == nullptr) return nullptr;
    }
    mnt_entry buf;
    mnt_entry* entry = table_next(mnt_fp, &buf);
    return entry != nullptr ? mt_copy(entry) : nullptr;
}

void ss_endmntent()
{
    if (mnt_fp != nullptr) table_close(mnt_fp);
    mnt_fp = nullptr;
}

ssmnttab* ss_getmntbyname(const char* name)
{
    ss_endmntent();
    ssmnttab* found = nullptr;
    while (ssmnttab* m = ss_getmntent()) {
        if (std::strcmp(m->mt_dev, name) == 0 || std::strcmp(m->mt_path, name) == 0) {
            found = m;
            break;
        }
    }
    ss_endmntent();
    return found;
}
