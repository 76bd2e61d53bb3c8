// Filesystem space: the megabyte arithmetic on numbers, then the same tests on
// real tmpfs filesystems of known size.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "fsinfo.h"
#include "mountns.h"
#include "testutil.h"

namespace {

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;

// Whole megabytes, rounded down, for the usual power-of-two fragment sizes.
TEST(FsMegs, RoundsFragmentsDownToWholeMegabytes)
{
    EXPECT_EQ(fs_megs(700, 4096), 2u);  // 256 fragments of 4096 bytes to the megabyte
    EXPECT_EQ(fs_megs(767, 4096), 2u);
    EXPECT_EQ(fs_megs(768, 4096), 3u);
    EXPECT_EQ(fs_megs(255, 4096), 0u);
    EXPECT_EQ(fs_megs(2048, 512), 1u);
    EXPECT_EQ(fs_megs(2047, 512), 0u);
    EXPECT_EQ(fs_megs(1024, 1024), 1u);
    EXPECT_EQ(fs_megs(128 * 5 + 127, 8192), 5u);
    EXPECT_EQ(fs_megs(0, 4096), 0u);
}

// A fragment size below 512 (0 included) counts as 512 bytes.
TEST(FsMegs, SmallFragmentSizesCountAs512)
{
    EXPECT_EQ(fs_megs(2048, 0), 1u);
    EXPECT_EQ(fs_megs(2048, 1), 1u);
    EXPECT_EQ(fs_megs(2048, 511), 1u);
    EXPECT_EQ(fs_megs(2047, 0), 0u);
    EXPECT_EQ(fs_megs(4096, 100), 2u);
}

// Fragments larger than a megabyte, where a fragments-per-megabyte count would
// be 0 and dividing by it would crash, give the true number of megabytes.
TEST(FsMegs, FragmentsLargerThanAMegabyteDoNotDivideByZero)
{
    EXPECT_EQ(fs_megs(1, 2 * MiB), 2u);
    EXPECT_EQ(fs_megs(3, 4 * MiB), 12u);
    EXPECT_EQ(fs_megs(1, MiB + MiB / 2), 1u);
    EXPECT_EQ(fs_megs(3, MiB + MiB / 2), 4u);
    EXPECT_EQ(fs_megs(0, 8 * MiB), 0u);
    EXPECT_EQ(fs_megs(5, std::uint64_t{1} << 44), 5u << 24);
}

// Products beyond 64 bits saturate rather than wrap to a small number.
TEST(FsMegs, HugeFiguresSaturateAndStayExactBelowTheLimit)
{
    EXPECT_EQ(fs_megs(UINT64_MAX, 512), UINT64_MAX / 2048);
    EXPECT_EQ(fs_megs(UINT64_MAX, 4096), UINT64_MAX / 256);
    EXPECT_EQ(fs_megs(UINT64_MAX, MiB), UINT64_MAX);
    EXPECT_EQ(fs_megs(UINT64_MAX, UINT64_MAX), UINT64_MAX);
    EXPECT_EQ(fs_megs(std::uint64_t{1} << 40, std::uint64_t{1} << 40), std::uint64_t{1} << 60);
    EXPECT_EQ(fs_megs(std::uint64_t{1} << 50, std::uint64_t{1} << 50), UINT64_MAX);
}

// 700 available fragments of 4096 bytes are 2 megabytes: enough for 2, not for 3.
TEST(FsJudge, SevenHundredFragmentsOf4096AreTwoMegabytes)
{
    const FsFigures fig{4096, 1000, 700};
    int avail_mb = -7;
    EXPECT_EQ(fs_judge(FS_MEGABYTES, 2, fig, &avail_mb), 1);
    EXPECT_EQ(avail_mb, 2);
    EXPECT_EQ(fs_judge(FS_MEGABYTES, 3, fig, &avail_mb), 0);
    EXPECT_EQ(avail_mb, 2);
    EXPECT_EQ(fs_judge(FS_MEGABYTES, 0, FsFigures{4096, 0, 0}, &avail_mb), 1);
    EXPECT_EQ(fs_judge(FS_MEGABYTES, 1, FsFigures{4096, 0, 0}, &avail_mb), 0);
}

// Percent mode compares the available share of all fragments, truncated.
TEST(FsJudge, PercentModeTruncatesTheShareAndTreatsAnEmptyFilesystemAsZero)
{
    int avail_mb = 0;
    EXPECT_EQ(fs_judge(FS_PERCENT, 70, FsFigures{4096, 1000, 700}, &avail_mb), 1);
    EXPECT_EQ(fs_judge(FS_PERCENT, 71, FsFigures{4096, 1000, 700}, &avail_mb), 0);
    EXPECT_EQ(fs_judge(FS_PERCENT, 33, FsFigures{4096, 3, 1}, &avail_mb), 1);
    EXPECT_EQ(fs_judge(FS_PERCENT, 34, FsFigures{4096, 3, 1}, &avail_mb), 0);
    EXPECT_EQ(fs_judge(FS_PERCENT, 0, FsFigures{4096, 0, 0}, &avail_mb), 1);
    EXPECT_EQ(fs_judge(FS_PERCENT, 1, FsFigures{4096, 0, 0}, &avail_mb), 0);
}

// An unknown mode gives -1 after storing the megabytes; a count beyond an int is capped.
TEST(FsJudge, UnknownModeAndHugeCounts)
{
    int avail_mb = 0;
    EXPECT_EQ(fs_judge(3, 0, FsFigures{4096, 1000, 700}, &avail_mb), -1);
    EXPECT_EQ(avail_mb, 2);
    EXPECT_EQ(fs_judge(FS_MEGABYTES, INT_MAX, FsFigures{MiB, UINT64_MAX, UINT64_MAX}, &avail_mb), 1);
    EXPECT_EQ(avail_mb, INT_MAX);
}

// A path that cannot be examined gives -1 and leaves both out-parameters alone.
TEST(FsInfo, MissingPathGivesMinusOneAndWritesNothing)
{
    testutil::TempDir tmp;
    int is_root = 42, avail_mb = 43;
    EXPECT_EQ(FsHasMegSpace(tmp.file("missing").c_str(), 1, &is_root, &avail_mb), -1);
    EXPECT_EQ(FsHasPrtSpace(tmp.file("missing").c_str(), 1, &is_root, &avail_mb), -1);
    EXPECT_EQ(fsinfo(FS_MEGABYTES, tmp.file("missing").c_str(), 1, &is_root, &avail_mb), -1);
    EXPECT_EQ(is_root, 42);
    EXPECT_EQ(avail_mb, 43);
    EXPECT_EQ(FsCompare(tmp.file("missing").c_str(), "/"), -1);
    EXPECT_EQ(FsCompare("/", tmp.file("missing").c_str()), -1);
    EXPECT_EQ(FsBlocksUsed(tmp.file("missing").c_str(), 512), 0.0);
    EXPECT_EQ(FsBlocksFree(tmp.file("missing").c_str(), 512), 0.0);
    EXPECT_EQ(FsIsWritable(tmp.file("missing").c_str()), 0);
}

// A real tmpfs of exactly 700 fragments reports 2 megabytes available, is not
// the root filesystem, and compares equal only with itself.
TEST(FsInfoMounted, TmpfsOf700FragmentsHasTwoMegabytes)
{
    REQUIRE_MOUNTS();
    testutil::TempDir tmp;
    const long page = sysconf(_SC_PAGESIZE);
    mountns::Tmpfs fs(tmp.file("fs"), "size=" + std::to_string(700 * page));
    ASSERT_EQ(fs.error(), "");
    struct statvfs st;
    ASSERT_EQ(statvfs(fs.dir().c_str(), &st), 0);
    ASSERT_EQ(st.f_bavail, 700u);
    ASSERT_EQ(st.f_frsize, static_cast<unsigned long>(page));
    const int expect = static_cast<int>((700 * page) >> 20);  // 2 with 4096-byte pages

    int is_root = -1, avail_mb = -1;
    EXPECT_EQ(FsHasMegSpace(fs.dir().c_str(), expect, &is_root, &avail_mb), 1);
    EXPECT_EQ(avail_mb, expect);
    EXPECT_EQ(is_root, 0);
    EXPECT_EQ(FsHasMegSpace(fs.dir().c_str(), expect + 1, &is_root, &avail_mb), 0);
    EXPECT_EQ(FsHasPrtSpace(fs.dir().c_str(), 100, &is_root, &avail_mb), 1);

    EXPECT_EQ(FsHasMegSpace("/", 1, &is_root, &avail_mb) >= 0, true);
    EXPECT_EQ(is_root, 1);

    mkdir((fs.dir() + "/sub").c_str(), 0755);
    EXPECT_EQ(FsCompare(fs.dir().c_str(), (fs.dir() + "/sub").c_str()), 1);
    EXPECT_EQ(FsCompare(fs.dir().c_str(), "/"), 0);
    EXPECT_EQ(FsCompare(fs.dir().c_str(), tmp.path().c_str()), 0);
}

// Used and free figures on a 16 MiB tmpfs holding 4 MiB of data.
TEST(FsInfoMounted, UsedAndFreeBlocksOfATmpfs)
{
    REQUIRE_MOUNTS();
    testutil::TempDir tmp;
    mountns::Tmpfs fs(tmp.file("fs"), "size=16m");
    ASSERT_EQ(fs.error(), "");
    testutil::write_file(fs.dir() + "/data", std::string(4 << 20, 'x'));
    EXPECT_DOUBLE_EQ(FsMegsUsed(fs.dir().c_str()), 4.0);
    EXPECT_DOUBLE_EQ(FsBlocksUsed(fs.dir().c_str(), 1024), 4096.0);
    EXPECT_DOUBLE_EQ(FsBlocksFree(fs.dir().c_str(), 1024), 12288.0);
    EXPECT_DOUBLE_EQ(FsBlocksFree(fs.dir().c_str(), 0), 0.0);  // no division by a zero unit
    EXPECT_DOUBLE_EQ(FsBlocksUsed(fs.dir().c_str(), -1), 0.0);
    int is_root = 0, avail_mb = 0;
    EXPECT_EQ(FsHasMegSpace(fs.dir().c_str(), 12, &is_root, &avail_mb), 1);
    EXPECT_EQ(avail_mb, 12);
    EXPECT_EQ(FsHasMegSpace(fs.dir().c_str(), 13, &is_root, &avail_mb), 0);
    EXPECT_EQ(FsHasPrtSpace(fs.dir().c_str(), 75, &is_root, &avail_mb), 1);
    EXPECT_EQ(FsHasPrtSpace(fs.dir().c_str(), 76, &is_root, &avail_mb), 0);
}

// FsIsWritable: a writable directory is, and its probe is gone afterwards; a
// directory without write bits and a read-only mount are not; a file that
// happens to carry a probe's name is somebody's and stays.
TEST(FsInfoMounted, IsWritableProbesAndLeavesNothingBehind)
{
    REQUIRE_MOUNTS();
    testutil::TempDir tmp;
    mountns::Tmpfs rw(tmp.file("rw"), "size=1m,mode=0777");
    mountns::Tmpfs ro(tmp.file("ro"), "size=1m,mode=0777", MS_RDONLY);
    ASSERT_EQ(rw.error(), "");
    ASSERT_EQ(ro.error(), "");
    EXPECT_EQ(FsIsWritable(rw.dir().c_str()), 1);
    EXPECT_EQ(testutil::sh("ls -A '" + rw.dir() + "'").out, "");
    EXPECT_EQ(FsIsWritable(ro.dir().c_str()), 0);

    mkdir(tmp.file("nowrite").c_str(), 0555);
    chmod(tmp.file("nowrite").c_str(), 0555);
    EXPECT_EQ(FsIsWritable(tmp.file("nowrite").c_str()), 0);

    const long now = static_cast<long>(std::time(nullptr));
    for (long t = now; t < now + 30; ++t)
        testutil::write_file(rw.dir() + "/" + std::to_string(t) + "._fst.", "mine");
    EXPECT_EQ(FsIsWritable(rw.dir().c_str()), 1);
    EXPECT_EQ(testutil::read_file(rw.dir() + "/" + std::to_string(now + 5) + "._fst."), "mine");
    EXPECT_EQ(testutil::sh("ls -A '" + rw.dir() + "' | wc -l").out, "30\n");
}

}  // namespace
