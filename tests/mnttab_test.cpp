// The mount-table iterator over table files of known content, and over the
// process's real table inside a private mount namespace.
#include <gtest/gtest.h>

#include <string>

#include "mnttab.h"
#include "mountns.h"
#include "testutil.h"

namespace {

class MntTab : public ::testing::Test {
protected:
    void TearDown() override { reset_mount_table_state(); }
    void use_table(const std::string& content)
    {
        testutil::write_file(tmp_.file("mnttab"), content);
        table_ = tmp_.file("mnttab");
        ss_setmnttab(table_.c_str());
    }
    testutil::TempDir tmp_;
    std::string table_;
};

// The system's table is read by default.
TEST_F(MntTab, DefaultsToTheSystemTable)
{
#if defined(__sun)
    EXPECT_STREQ(mount_table.path, "/etc/mnttab");
#else
    EXPECT_STREQ(mount_table.path, "/proc/self/mounts");
#endif
    ASSERT_NE(ss_getmntbyname("/"), nullptr);
    EXPECT_STREQ(ss_getmntbyname("/")->mt_path, "/");
}

// Entries come in table order with their fields, the "ro" option is recognised
// as a whole option only, and the mount time is always 0.
TEST_F(MntTab, EntriesInTableOrderWithReadOnlyFlag)
{
    use_table(mountns::table_line("/dev/a", "/x", "ufs", "rw,largefiles") +
              mountns::table_line("/dev/b", "/y", "tmpfs", "ro,nosuid") +
              mountns::table_line("swap", "/tmp", "tmpfs", "nosuid,ro") +
              mountns::table_line("/dev/c", "/z", "ext4", "errors=remount-ro,rootcontext=x"));
    struct Want {
        const char* dev;
        const char* path;
        const char* type;
        char ro;
    };
    const Want want[] = {{"/dev/a", "/x", "ufs", 0},
                         {"/dev/b", "/y", "tmpfs", 1},
                         {"swap", "/tmp", "tmpfs", 1},
                         {"/dev/c", "/z", "ext4", 0}};
    for (const Want& w : want) {
        ssmnttab* m = ss_getmntent();
        ASSERT_NE(m, nullptr) << w.path;
        EXPECT_STREQ(m->mt_dev, w.dev);
        EXPECT_STREQ(m->mt_path, w.path);
        EXPECT_STREQ(m->mt_fstype, w.type);
        EXPECT_EQ(m->mt_read_only, w.ro) << w.path;
        EXPECT_EQ(m->mt_time, 0);
    }
    EXPECT_EQ(ss_getmntent(), nullptr);
    EXPECT_EQ(ss_getmntent(), nullptr);  // stays at the end until restarted
}

// Every lookup overwrites one shared record; ss_endmntent restarts the table.
TEST_F(MntTab, OneSharedRecordAndRestart)
{
    use_table(mountns::table_line("a", "/one", "tmpfs", "rw") +
              mountns::table_line("b", "/two", "tmpfs", "rw"));
    ssmnttab* first = ss_getmntent();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->mt_path, "/one");
    ssmnttab* second = ss_getmntent();
    EXPECT_EQ(second, first);
    EXPECT_STREQ(first->mt_path, "/two");
    ss_endmntent();
    ss_endmntent();  // closing twice is harmless
    ASSERT_NE(ss_getmntent(), nullptr);
    EXPECT_STREQ(first->mt_path, "/one");
}

// Over-long fields are cut to their field with a NUL: 127, 127 and 31 characters.
TEST_F(MntTab, LongFieldsAreCutToFit)
{
    const std::string dev(200, 'd'), path = "/" + std::string(140, 'p'), type(40, 't');
    const std::string path127 = "/" + std::string(126, 'p');
    use_table(mountns::table_line(dev, path, type, "rw") + mountns::table_line("x", path127, "tmpfs", "rw"));
    ssmnttab* m = ss_getmntent();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(m->mt_dev), dev.substr(0, 127));
    EXPECT_EQ(std::string(m->mt_path), path.substr(0, 127));
    EXPECT_EQ(std::string(m->mt_fstype), type.substr(0, 31));
    m = ss_getmntent();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(m->mt_path), path127);
}

// Escaped blanks in a mount point come back as blanks.
TEST_F(MntTab, EscapedBlanksAreDecoded)
{
    use_table(mountns::table_line("tmpfs", "/mnt/a b\tc", "tmpfs", "rw"));
    ssmnttab* m = ss_getmntent();
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->mt_path, "/mnt/a b\tc");
}

// A line without mount point or type ends the iteration there; a table that
// cannot be opened reads as empty.
TEST_F(MntTab, MalformedEntryEndsIterationAndMissingTableIsEmpty)
{
    use_table(mountns::table_line("a", "/one", "tmpfs", "rw") + "lonely\n" +
              mountns::table_line("b", "/two", "tmpfs", "rw"));
    ASSERT_NE(ss_getmntent(), nullptr);
    EXPECT_EQ(ss_getmntent(), nullptr);

    ss_endmntent();
    const std::string missing = tmp_.file("no-such-table");
    ss_setmnttab(missing.c_str());
    EXPECT_EQ(ss_getmntent(), nullptr);
    EXPECT_EQ(ss_getmntbyname("/"), nullptr);
}

// ss_getmntbyname finds an entry by device or by mount point, from the start
// of the table whatever was read before, and leaves no stream open.
TEST_F(MntTab, GetByNameMatchesDeviceOrMountPoint)
{
    use_table(mountns::table_line("/dev/a", "/x", "ufs", "rw") +
              mountns::table_line("/dev/b", "/y", "ufs", "ro") +
              mountns::table_line("/dev/c", "/dev/a", "ufs", "rw"));
    ASSERT_NE(ss_getmntent(), nullptr);
    ASSERT_NE(ss_getmntent(), nullptr);
    ssmnttab* m = ss_getmntbyname("/x");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->mt_dev, "/dev/a");
    m = ss_getmntbyname("/dev/b");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->mt_path, "/y");
    EXPECT_EQ(m->mt_read_only, 1);
    m = ss_getmntbyname("/dev/a");  // the first entry matching either field
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->mt_path, "/x");
    EXPECT_EQ(ss_getmntbyname("/nowhere"), nullptr);
    ASSERT_NE(ss_getmntent(), nullptr);  // the iteration starts over
    EXPECT_STREQ(ss_getmntent()->mt_path, "/y");
}

// In a private namespace the real table lists new mounts in mount order, with
// a read-only mount flagged and a mount point with a blank decoded.
TEST_F(MntTab, RealTableShowsMountsInOrder)
{
    REQUIRE_MOUNTS();
    testutil::TempDir tmp;
    mountns::Tmpfs a(tmp.file("a"), "size=1m");
    mountns::Tmpfs b(tmp.file("b c"), "size=1m", MS_RDONLY);
    ASSERT_EQ(a.error(), "");
    ASSERT_EQ(b.error(), "");
    ss_endmntent();
    int seen = 0;
    while (ssmnttab* m = ss_getmntent()) {
        if (m->mt_path == a.dir()) {
            EXPECT_EQ(seen, 0);
            EXPECT_STREQ(m->mt_fstype, "tmpfs");
            EXPECT_EQ(m->mt_read_only, 0);
            seen = 1;
        } else if (m->mt_path == b.dir()) {
            EXPECT_EQ(seen, 1);
            EXPECT_EQ(m->mt_read_only, 1);
            seen = 2;
        }
    }
    EXPECT_EQ(seen, 2);
}

}  // namespace
