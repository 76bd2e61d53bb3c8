// Removing a directory tree through descriptors: everything inside goes,
// links are removed and never followed, and nothing outside the tree (its
// links' targets, a filesystem mounted inside, a tree swapped in) is touched.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "mountns.h"
#include "rmtree.h"
#include "testutil.h"

namespace {

using testutil::TempDir;
using testutil::write_file;

TreeWalk walk;  // large: one for the whole test program

bool exists(const std::string& p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

void make_dir(const std::string& p)
{
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0) << p;
}

// Removes top/tree through top's descriptor, as it is at the call: the result
// and errno.
std::pair<int, int> remove(const std::string& top, const char* name = "tree")
{
    int parent = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    struct stat st {};
    lstat((top + "/" + name).c_str(), &st);
    errno = 0;
    int r = remove_tree(parent, name, st.st_dev, st.st_ino, walk);
    int e = errno;
    close(parent);
    return {r, r == 0 ? 0 : e};
}

TEST(RemoveTree, EverythingInsideGoesAndNothingOutside)
{
    struct Case {
        const char* what;
        void (*plant)(const std::string& tree, const std::string& outside);
        int result, error;
        bool tree_gone;
    };
    auto nothing = [](const std::string&, const std::string&) {};
    for (const Case& c : {
             Case{"an empty directory", nothing, 0, 0, true},
             Case{"files, directories, a FIFO",
                  [](const std::string&t, const std::string&) {
                      write_file(t + "/f", "x");
                      make_dir(t + "/a");
                      make_dir(t + "/a/b");
                      write_file(t + "/a/b/g", "y");
                      ASSERT_EQ(mkfifo((t + "/a/p").c_str(), 0600), 0);
                  },
                  0, 0, true},
             Case{"links to a directory and a file outside",
                  [](const std::string&t, const std::string&o) {
                      ASSERT_EQ(symlink(o.c_str(), (t + "/dir").c_str()), 0);
                      ASSERT_EQ(symlink((o + "/keep").c_str(), (t + "/file").c_str()), 0);
                      make_dir(t + "/sub");
                      ASSERT_EQ(symlink("../../outside", (t + "/sub/up").c_str()), 0);
                      ASSERT_EQ(link((o + "/keep").c_str(), (t + "/hard").c_str()), 0);
                  },
                  0, 0, true},
             Case{"a directory it cannot empty stays, the rest goes",
                  [](const std::string&t, const std::string&) {
                      std::string deep = t;
                      for (std::size_t i = 0; i < TREE_MAX_DEPTH + 3; i++) {
                          deep += "/d";
                          make_dir(deep);
                      }
                      write_file(t + "/f", "x");
                  },
                  -1, ELOOP, false},
         }) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string tree = dir.file("tree"), outside = dir.file("outside");
        make_dir(tree);
        make_dir(outside);
        write_file(outside + "/keep", "keep");
        make_dir(outside + "/sub");
        c.plant(tree, outside);
        auto [r, e] = remove(dir.path());
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(e, c.error);
        EXPECT_EQ(exists(tree), !c.tree_gone);
        EXPECT_EQ(testutil::read_file(outside + "/keep"), "keep");
        EXPECT_TRUE(exists(outside + "/sub"));
        if (!c.tree_gone) {
            EXPECT_FALSE(exists(tree + "/f"));
        }
        testutil::sh("chmod -R u+w '" + dir.path() + "'");
    }
}

// The name no longer holds the directory the caller identified: a link to
// another tree, or another directory, put in its place. Nothing is removed.
TEST(RemoveTree, ATreeSwappedInIsNotTouched)
{
    TempDir dir;
    make_dir(dir.file("tree"));
    struct stat mine {};
    ASSERT_EQ(lstat(dir.file("tree").c_str(), &mine), 0);
    make_dir(dir.file("other"));
    write_file(dir.file("other/keep"), "keep");
    for (bool as_link : {true, false}) {
        SCOPED_TRACE(as_link ? "a link" : "another directory");
        ASSERT_EQ(rename(dir.file("tree").c_str(), dir.file("moved").c_str()), 0);
        if (as_link) {
            ASSERT_EQ(symlink("other", dir.file("tree").c_str()), 0);
        } else {
            ASSERT_EQ(rename(dir.file("other").c_str(), dir.file("tree").c_str()), 0);
        }
        int parent = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
        errno = 0;
        EXPECT_EQ(remove_tree(parent, "tree", mine.st_dev, mine.st_ino, walk), -1);
        EXPECT_EQ(errno, as_link ? ENOTDIR : ESTALE);  // O_DIRECTORY | O_NOFOLLOW on a link
        close(parent);
        EXPECT_EQ(testutil::read_file(dir.file(as_link ? "other/keep" : "tree/keep")), "keep");
        if (as_link) {
            ASSERT_EQ(unlink(dir.file("tree").c_str()), 0);
        } else {
            ASSERT_EQ(rename(dir.file("tree").c_str(), dir.file("other").c_str()), 0);
        }
        ASSERT_EQ(rename(dir.file("moved").c_str(), dir.file("tree").c_str()), 0);
    }
}

TEST(RemoveTree, AFilesystemMountedInsideIsNotCrossed)
{
    REQUIRE_MOUNTS();
    TempDir dir;
    make_dir(dir.file("tree"));
    write_file(dir.file("tree/f"), "x");
    mountns::Tmpfs fs(dir.file("tree/mnt"), "size=1m");
    ASSERT_EQ(fs.error(), "");
    write_file(dir.file("tree/mnt/keep"), "keep");
    auto [r, e] = remove(dir.path());
    EXPECT_EQ(r, -1);
    EXPECT_EQ(e, EXDEV);
    EXPECT_EQ(testutil::read_file(dir.file("tree/mnt/keep")), "keep");
    EXPECT_FALSE(exists(dir.file("tree/f")));
}

}  // namespace
