// Iterating over the mounted filesystems in mount-table order.
//
// Every platform difference sits in the one block below: which file holds the
// table, the entry type the C library reads it into, and how an entry's fields
// and options are reached. The rest of the file sees only `Table` and the
// `mnt_entry` type.
#include "mnttab.h"

#include <cstdio>
#include <cstring>

#if defined(__sun)
// Solaris: getmntent(FILE*, struct mnttab*) over "/etc/mnttab"; it returns 0
// for an entry, -1 at the end of the table and a positive value for a
// malformed entry.
#include <sys/mnttab.h>

const char* mnttab_path = "/etc/mnttab";

namespace {
using mnt_entry = struct mnttab;
struct Table {
    static FILE* open(const char* path) { return std::fopen(path, "r"); }
    static void close(FILE* fp) { std::fclose(fp); }
    static mnt_entry* next(FILE* fp, mnt_entry* buf) { return getmntent(fp, buf) == 0 ? buf : nullptr; }
    static const char* special(mnt_entry* e) { return e->mnt_special; }
    static const char* mountp(mnt_entry* e) { return e->mnt_mountp; }
    static const char* fstype(mnt_entry* e) { return e->mnt_fstype; }
    static bool read_only(mnt_entry* e) { return hasmntopt(e, const_cast<char*>("ro")) != nullptr; }
};
}  // namespace

#else
// Linux and the other systems with <mntent.h>: setmntent/getmntent/hasmntopt
// over the calling process's own view of the mounts.
#include <mntent.h>

const char* mnttab_path = "/proc/self/mounts";

namespace {
using mnt_entry = struct mntent;
struct Table {
    static FILE* open(const char* path) { return setmntent(path, "r"); }
    static void close(FILE* fp) { endmntent(fp); }
    // getmntent keeps the strings in a buffer of its own, so the caller's is
    // not needed. glibc turns a line without mount point or type into an entry
    // with empty fields; like the Solaris reader's malformed entry, it ends the
    // iteration.
    static mnt_entry* next(FILE* fp, mnt_entry*)
    {
        mnt_entry* e = getmntent(fp);
        return e != nullptr && (e->mnt_dir[0] == '\0' || e->mnt_type[0] == '\0') ? nullptr : e;
    }
    static const char* special(mnt_entry* e) { return e->mnt_fsname; }
    static const char* mountp(mnt_entry* e) { return e->mnt_dir; }
    static const char* fstype(mnt_entry* e) { return e->mnt_type; }
    static bool read_only(mnt_entry* e) { return hasmntopt(e, "ro") != nullptr; }
};
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

// Copies one platform entry into the shared record, every text cut to its field.
ssmnttab* mt_copy(mnt_entry* entry)
{
    copy_field(mnt_record.mt_dev, Table::special(entry));
    copy_field(mnt_record.mt_path, Table::mountp(entry));
    copy_field(mnt_record.mt_fstype, Table::fstype(entry));
    mnt_record.mt_read_only = Table::read_only(entry) ? 1 : 0;
    mnt_record.mt_time = 0;
    return &mnt_record;
}

ssmnttab* ss_getmntent()
{
    if (mnt_fp == nullptr) {
        mnt_fp = Table::open(mnttab_path);
        if (mnt_fp == nullptr) return nullptr;
    }
    mnt_entry buf;
    mnt_entry* entry = Table::next(mnt_fp, &buf);
    return entry != nullptr ? mt_copy(entry) : nullptr;
}

void ss_endmntent()
{
    if (mnt_fp != nullptr) Table::close(mnt_fp);
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
