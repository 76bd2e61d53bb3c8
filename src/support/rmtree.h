// Removing a directory tree through descriptors: never following a link,
// never leaving the tree's filesystem, nothing outside the tree touched.
#pragma once

#include <cstddef>
#include <sys/types.h>

constexpr std::size_t TREE_MAX_DEPTH = 128;    // directories open at once, the tree's top included
constexpr std::size_t TREE_NAME_MAX = 256;     // one entry's name and its NUL
constexpr std::size_t TREE_DIRENT_BUF = 1024;  // entries read from a directory at a time

// One directory open in the walk: where its entries are read, and what it
// must still be when it is removed from its parent.
struct TreeLevel {
    int fd;
    dev_t dev;
    ino_t ino;
    void* stream;  // where the platform reads entries through a DIR
    std::size_t at, len;
    char name[TREE_NAME_MAX];
    alignas(8) char buf[TREE_DIRENT_BUF];
};

// The walk's work area, owned by the caller: the walk allocates nothing, so
// it may run in a signal handler (on Linux, where entries are read with
// getdents64 into these buffers).
struct TreeWalk {
    TreeLevel levels[TREE_MAX_DEPTH];
};

// Removes directory `name` of parent_fd with everything in it, while it still
// is the directory (dev, ino). Links are removed, not followed; a directory
// on another filesystem, one deeper than TREE_MAX_DEPTH, or an entry that
// changes while it is looked at stays, with what holds it. Returns 0 when the
// tree is gone, else -1 with errno set by the first failure (EXDEV for a
// mount point, ELOOP for too deep, ESTALE for a directory that changed).
int remove_tree(int parent_fd, const char* name, dev_t dev, ino_t ino, TreeWalk& walk);
