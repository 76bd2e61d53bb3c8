// Splitting a text into fields at separators, with double quotes grouping and
// backslashes escaping; and deleting a character from a string.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "strdel.h"
#include "strsplit.h"

namespace {

std::vector<std::string> split(const char* text, const char* seps = ",")
{
    APLIST l = ap_strsplit(text, seps);
    EXPECT_NE(l, nullptr);
    std::vector<std::string> items;
    for (void** p = l; *p != nullptr; p++) items.emplace_back(static_cast<char*>(*p));
    EXPECT_EQ(ap_len(l), static_cast<int>(items.size()));
    ap_destroy(l);
    return items;
}

using V = std::vector<std::string>;

TEST(StrSplit, SeparatorsMakeFieldsButATrailingOneAddsNone)
{
    EXPECT_EQ(split("a,b"), (V{"a", "b"}));
    EXPECT_EQ(split("a,,b"), (V{"a", "", "b"}));
    EXPECT_EQ(split(",a"), (V{"", "a"}));
    EXPECT_EQ(split("a,"), (V{"a"}));
    EXPECT_EQ(split("a"), (V{"a"}));
}

TEST(StrSplit, EmptyOrMissingTextGivesAnEmptyListNotNull)
{
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        APLIST l = ap_strsplit(text, ",");
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(ap_len(l), 0);
        EXPECT_EQ(l[0], nullptr);
        ap_destroy(l);
    }
}

TEST(StrSplit, BackslashEscapesAndIsRemovedFromItsField)
{
    EXPECT_EQ(split("a\\,b,c"), (V{"a,b", "c"}));
    EXPECT_EQ(split("c,a\\,b"), (V{"c", "a,b"}));
    EXPECT_EQ(split("a\\\\b"), (V{"ab"}));
    EXPECT_EQ(split("ab\\"), (V{"ab"}));
    EXPECT_EQ(split("x\\y\"a,b"), (V{"xy\"a", "b"}));  // a quote after a backslash is ordinary
}

TEST(StrSplit, DoubleQuotesGroupAndRestartTheField)
{
    EXPECT_EQ(split("\"a,b\",c"), (V{"a,b", "c"}));
    EXPECT_EQ(split("\"a,b"), (V{"a,b"}));  // unterminated
    EXPECT_EQ(split("x\"a,b\""), (V{"a,b"}));
    EXPECT_EQ(split("\"\""), (V{""}));  // a closing quote at the end ends even an empty field
}

TEST(StrSplit, LaterQuotedFieldsGroupLikeTheFirst)
{
    EXPECT_EQ(split("\"a,b\",\"c,d\""), (V{"a,b", "c,d"}));
    EXPECT_EQ(split("k=\"1,2\",j=3"), (V{"1,2", "j=3"}));
    EXPECT_EQ(split("a\\,b,\"c,d\""), (V{"a,b", "c,d"}));  // the escape ended with its field
}

TEST(StrSplit, AnyCharacterOfTheSetSeparatesAndTheTextIsUntouched)
{
    const char text[] = "a b:c";
    EXPECT_EQ(split(text, " :"), (V{"a", "b", "c"}));
    EXPECT_STREQ(text, "a b:c");
}

TEST(StrSplit, ManyFieldsGrowTheList)
{
    std::string text;
    for (int i = 0; i < 100; i++) text += std::to_string(i) + ",";
    V items = split(text.c_str());
    ASSERT_EQ(items.size(), 100u);
    for (int i = 0; i < 100; i++) EXPECT_EQ(items[static_cast<std::size_t>(i)], std::to_string(i));
}

TEST(StrDel, RemovesEveryOccurrenceAndCountsThem)
{
    char s[] = "a-b-c";
    EXPECT_EQ(strdel(s, '-'), 2);
    EXPECT_STREQ(s, "abc");
    char none[] = "abc";
    EXPECT_EQ(strdel(none, '-'), 0);
    EXPECT_STREQ(none, "abc");
    char all[] = "---";
    EXPECT_EQ(strdel(all, '-'), 3);
    EXPECT_STREQ(all, "");
    char empty[] = "";
    EXPECT_EQ(strdel(empty, '-'), 0);
    EXPECT_EQ(strdel(nullptr, '-'), 0);
}

}  // namespace
