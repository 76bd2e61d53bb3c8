// The feature string: appending items, the unanchored first-match lookup with
// its trimming rule, and trimming trailing white space.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "vokra.h"

namespace {

class FeatureTest : public ::testing::Test {
protected:
    void SetUp() override { reset_driver_state(); }
    void set(const char* s) { set_preamble(s, "", "", ""); }
};

TEST_F(FeatureTest, AddJoinsItemsWithSingleCommas)
{
    EXPECT_EQ(add_feature("A=1"), 0);
    EXPECT_STREQ(driver.features, "A=1");
    EXPECT_EQ(add_feature("B"), 0);
    EXPECT_STREQ(driver.features, "A=1,B");
}

TEST_F(FeatureTest, AddRefusesAnItemThatWouldOverflowTheString)
{
    std::string big(1021, 'x');
    ASSERT_EQ(add_feature(big.c_str()), 0);
    EXPECT_EQ(add_feature("y"), 0);  // 1021 + "," + 1 = 1023: fits exactly
    EXPECT_EQ(std::strlen(driver.features), 1023u);
    std::string before = driver.features;
    testing::internal::CaptureStderr();
    EXPECT_EQ(add_feature("z"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vokra: feature string too long (at most 1023 characters): z\n");
    EXPECT_EQ(before, driver.features);  // unchanged, never cut
}

TEST_F(FeatureTest, LookupReturnsTheItemFromItsKey)
{
    set("VFYFS=/tmp,FSSUB=qz,QZ_VENDOR=Acme,NAME=data.tar");
    EXPECT_STREQ(get_feature("VFYFS="), "VFYFS=/tmp");
    EXPECT_STREQ(get_feature("FSSUB="), "FSSUB=qz");
    EXPECT_STREQ(get_feature("NAME="), "NAME=data.tar");
    EXPECT_EQ(get_feature("NOCOMPR"), nullptr);
}

TEST_F(FeatureTest, OnlyAnItemClosedByACommaIsTrimmed)
{
    set("VFYFS=/tmp ,FSSUB=qz");
    EXPECT_STREQ(get_feature("VFYFS="), "VFYFS=/tmp");
    set("FSSUB=qz,VFYFS=/tmp ");
    EXPECT_STREQ(get_feature("VFYFS="), "VFYFS=/tmp ");
}

TEST_F(FeatureTest, TheSearchIsNotAnchoredAndTheFirstMatchWins)
{
    set("FSNAME=a,NAME=b");
    EXPECT_STREQ(get_feature("NAME="), "NAME=a");
    set("NAME=NOCOMPR.tar");
    EXPECT_STREQ(get_feature("NOCOMPR"), "NOCOMPR.tar");
    set("K=1,K=2");
    EXPECT_STREQ(get_feature("K="), "K=1");
}

TEST_F(FeatureTest, ALongItemIsCutTo255Characters)
{
    std::string item = "LONG=" + std::string(400, 'v');
    set((item + ",X").c_str());
    const char* r = get_feature("LONG=");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r), item.substr(0, 255));
}

TEST(StrTrim, RemovesTrailingWhiteSpaceOnly)
{
    char s[] = "  a b \t\r\n ";
    EXPECT_EQ(strtrim(s), 5);
    EXPECT_STREQ(s, "  a b");
    char blank[] = " \n";
    EXPECT_EQ(strtrim(blank), 0);
    EXPECT_STREQ(blank, "");
    char empty[] = "";
    EXPECT_EQ(strtrim(empty), 0);
    char other[] = "a\v";  // vertical tab is not among the trimmed characters
    EXPECT_EQ(strtrim(other), 2);
}

}  // namespace
