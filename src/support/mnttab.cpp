// Iterating over the mounted filesystems in mount-table order.
//
// Every platform difference sits in the one block below: which file holds the
// table, the entry type the C library reads it into, and how an entry's fields
// and options are reached. The rest of the file sees only `SYSTEM_TABLE`,
// `Table` and the `mnt_entry` type.
#include "mnttab.h"

#include <cstdio>
#include <cstring>

#if defined(__sun)
// Solaris: getmntent(FILE*, struct mnttab*) over "/etc/mnttab"; it returns 0
// for an entry, -1 at the end of the table and a positive value for a
// malformed entry.
#include <sys/mnttab.h>

namespace {
constexpr const char* SYSTEM_TABLE = "/etc/mnttab";
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

namespace {
constexpr const char* SYSTEM_TABLE = "/proc/self/mounts";
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

mount_table_state mount_table = {SYSTEM_TABLE, nullptr, {}};

namespace {

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
    ssmnttab& r = mount_table.record;
    copy_field(r.mt_dev, Table::special(entry));
    copy_field(r.mt_path, Table::mountp(entry));
    copy_field(r.mt_fstype, Table::fstype(entry));
    r.mt_read_only = Table::read_only(entry) ? 1 : 0;
    r.mt_time = 0;
    return &r;
}

ssmnttab* ss_getmntent()
{
    if (mount_table.fp == nullptr) {
        mount_table.fp = Table::open(mount_table.path);
        if (mount_table.fp == nullptr) return nullptr;
    }
    mnt_entry buf;
    mnt_entry* entry = Table::next(mount_table.fp, &buf);
    return entry != nullptr ? mt_copy(entry) : nullptr;
}

void ss_endmntent()
{
    if (mount_table.fp != nullptr) Table::close(mount_table.fp);
    mount_table.fp = nullptr;
}

void ss_setmnttab(const char* path)
{
    ss_endmntent();
    mount_table.path = path != nullptr ? path : SYSTEM_TABLE;
}

void reset_mount_table_state()
{
    ss_setmnttab(nullptr);
    mount_table.record = ssmnttab{};
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
