// Free space and other statistics of the filesystem that holds a path.
//
// The space test counts only the fragments free to an ordinary process
// (f_bavail, not f_bfree), in fragment units (f_frsize, not the preferred
// f_bsize), and rounds down to whole megabytes before comparing. The arithmetic
// is done in 64-bit bytes rather than as fragments per megabyte, so fragments
// larger than a megabyte (where that count would be 0) cannot divide by zero.
#include "fsinfo.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t MIN_FRAGMENT = 512;

std::uint64_t fragment_size(std::uint64_t frsize)
{
    return frsize < MIN_FRAGMENT ? MIN_FRAGMENT : frsize;
}

FsFigures figures(const struct statvfs& st)
{
    return FsFigures{static_cast<std::uint64_t>(st.f_frsize), static_cast<std::uint64_t>(st.f_blocks),
                     static_cast<std::uint64_t>(st.f_bavail)};
}

// 1 when both statistics describe the same filesystem. Some Linux filesystem
// types report an f_fsid of 0, so when both ids are 0 the device numbers decide.
int same_fs(const char* p1, const struct statvfs& s1, const char* p2, const struct statvfs& s2)
{
    if (s1.f_fsid != s2.f_fsid) return 0;
    if (s1.f_fsid != 0) return 1;
    struct stat d1, d2;
    if (stat(p1, &d1) != 0 || stat(p2, &d2) != 0) return 1;
    return d1.st_dev == d2.st_dev ? 1 : 0;
}

}  // namespace

std::uint64_t fs_megs(std::uint64_t fragments, std::uint64_t frsize)
{
    // fragments * unit / 2^20, exactly and without a 128-bit product: with
    // a = ah*2^20 + al and b = bh*2^20 + bl the quotient is
    // ah*b + al*bh + floor(al*bl / 2^20), and al*bl stays below 2^40.
    constexpr std::uint64_t low_mask = (std::uint64_t{1} << 20) - 1;
    const std::uint64_t unit = fragment_size(frsize);
    const std::uint64_t ah = fragments >> 20, al = fragments & low_mask;
    const std::uint64_t bh = unit >> 20, bl = unit & low_mask;
    auto mul = [](std::uint64_t x, std::uint64_t y) {
        return x != 0 && y > UINT64_MAX / x ? UINT64_MAX : x * y;
    };
    auto add = [](std::uint64_t x, std::uint64_t y) { return x > UINT64_MAX - y ? UINT64_MAX : x + y; };
    return add(add(mul(ah, unit), mul(al, bh)), (al * bl) >> 20);
}

int fs_judge(int mode, int min, const FsFigures& fig, int* avail_mb)
{
    const std::uint64_t megs = fs_megs(fig.bavail, fig.frsize);
    *avail_mb = megs > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(megs);
    if (mode == FS_MEGABYTES) return *avail_mb >= min ? 1 : 0;
    if (mode == FS_PERCENT) {
        int pct = 0;
        if (fig.blocks != 0) {
            pct = static_cast<int>(static_cast<float>(fig.bavail) / static_cast<float>(fig.blocks) * 100.0f);
        }
        return min <= pct ? 1 : 0;
    }
    return -1;
}

int fsinfo(int mode, const char* path, int min, int* is_root, int* avail_mb)
{
    struct statvfs st;
    if (statvfs(path, &st) != 0) return -1;
    struct statvfs root;
    *is_root = statvfs("/", &root) == 0 ? same_fs(path, st, "/", root) : 0;
    return fs_judge(mode, min, figures(st), avail_mb);
}

int FsHasMegSpace(const char* path, int min_mb, int* is_root, int* avail_mb)
{
    return fsinfo(FS_MEGABYTES, path, min_mb, is_root, avail_mb);
}

int FsHasPrtSpace(const char* path, int min_pct, int* is_root, int* avail_mb)
{
    return fsinfo(FS_PERCENT, path, min_pct, is_root, avail_mb);
}

int FsCompare(const char* path1, const char* path2)
{
    struct statvfs s1, s2;
    if (statvfs(path1, &s1) != 0 || statvfs(path2, &s2) != 0) return -1;
    return same_fs(path1, s1, path2, s2);
}

double FsBlocksUsed(const char* path, int unit)
{
    struct statvfs st;
    if (unit <= 0 || statvfs(path, &st) != 0) return 0.0;
    const double used = st.f_blocks > st.f_bfree ? static_cast<double>(st.f_blocks - st.f_bfree) : 0.0;
    return used * static_cast<double>(fragment_size(st.f_frsize)) / unit;
}

double FsMegsUsed(const char* path)
{
    return FsBlocksUsed(path, 512) / 2048;
}

double FsBlocksFree(const char* path, int unit)
{
    struct statvfs st;
    if (unit <= 0 || statvfs(path, &st) != 0) return 0.0;
    return static_cast<double>(st.f_bfree) * static_cast<double>(fragment_size(st.f_frsize)) / unit;
}

int FsIsWritable(const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return 0;
    char probe[4096];
    const int n =
        std::snprintf(probe, sizeof probe, "%s/%ld._fst.", path, static_cast<long>(std::time(nullptr)));
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof probe) return 0;
    // O_EXCL: a file of that name that is already there is somebody else's and
    // stays; only a probe this call created is removed.
    const int fd = open(probe, O_WRONLY | O_CREAT | O_EXCL, 0777);
    if (fd < 0) return errno == EROFS ? 0 : 1;
    close(fd);
    unlink(probe);
    return 1;
}
