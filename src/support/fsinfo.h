// Free space and other statistics of the filesystem that holds a path.
#pragma once

#include <cstdint>

constexpr int FS_PERCENT = 1;
constexpr int FS_MEGABYTES = 2;

int fsinfo(int mode, const char* path, int min, int* is_root, int* avail_mb);
int FsHasMegSpace(const char* path, int min_mb, int* is_root, int* avail_mb);
int FsHasPrtSpace(const char* path, int min_pct, int* is_root, int* avail_mb);
int FsCompare(const char* path1, const char* path2);
double FsBlocksUsed(const char* path, int unit);
double FsMegsUsed(const char* path);
double FsBlocksFree(const char* path, int unit);
int FsIsWritable(const char* path);

// The figures of one filesystem that the space tests read, as statvfs gives them.
struct FsFigures {
    std::uint64_t frsize;  // bytes per fragment
    std::uint64_t blocks;  // fragments in all
    std::uint64_t bavail;  // fragments free to a process without privileges
};

// Whole megabytes (2^20 bytes) in `fragments` fragments of `frsize` bytes, a
// size below 512 counting as 512; saturates instead of wrapping.
std::uint64_t fs_megs(std::uint64_t fragments, std::uint64_t frsize);

// fsinfo's decision on figures already read: stores the available megabytes
// (capped at INT_MAX) and returns 1 when `min` is met, 0 when not, -1 for an
// unknown mode.
int fs_judge(int mode, int min, const FsFigures& fig, int* avail_mb);
