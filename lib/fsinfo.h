// Free space and other statistics of the filesystem that holds a path.
#pragma once

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
