// The interactive line rules: command word, argument text, and which
// command a typed word selects.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tarnctl.h"

namespace {

struct Split {
    std::optional<std::string> word, param;
    bool operator==(const Split &) const = default;
};

Split split(std::string line)
{
    char *param = nullptr;
    char *word = split_command_line(line.data(), &param);
    Split s;
    if (word)
        s.word = word;
    if (param)
        s.param = param;
    return s;
}

TEST(InteractiveLine, WordAndArgument)
{
    EXPECT_EQ(split("mreg 0x1801\n"), (Split{"mreg", "0x1801"}));
    // Inner blanks are kept, the argument starts right after the word's
    // delimiter.
    EXPECT_EQ(split("tab  smac 4\n"), (Split{"tab", " smac 4"}));
    EXPECT_EQ(split("\t  smac 4 1\t2\n"), (Split{"smac", "4 1\t2"}));
    EXPECT_EQ(split("cbus 1=H   \r\n"), (Split{"cbus", "1=H"}));
    // Tabs at the end stay.
    EXPECT_EQ(split("echo a\t\n"), (Split{"echo", "a\t"}));
}

TEST(InteractiveLine, NoArgument)
{
    EXPECT_EQ(split("ping\n"), (Split{"ping", std::nullopt}));
    EXPECT_EQ(split("ping"), (Split{"ping", std::nullopt}));
    EXPECT_EQ(split("ping\t"), (Split{"ping", std::nullopt}));
    // One trailing character after the delimiter is never cut away.
    EXPECT_EQ(split("ping \n"), (Split{"ping", "\n"}));
    EXPECT_EQ(split("ping   \n"), (Split{"ping", " "}));
}

TEST(InteractiveLine, BlankLines)
{
    for (const char *line : {"", "\n", "   \t \r\n", "\t"})
        EXPECT_EQ(split(line), Split{}) << line;
}

const char *selected(const char *typed)
{
    const cmd_entry *e = cmd_find_word(typed);
    return e ? e->word : "";
}

TEST(CommandWords, PrefixRule)
{
    EXPECT_STREQ(selected("EXIT"), "exit");
    EXPECT_STREQ(selected("ex"), "exit");
    EXPECT_STREQ(selected("exitnow"), "exit");
    EXPECT_STREQ(selected("e"), "");
    EXPECT_STREQ(selected("pingpong"), "ping");
    EXPECT_STREQ(selected("da"), "");
    EXPECT_STREQ(selected("dat"), "date");
    EXPECT_STREQ(selected("bl"), "");
    EXPECT_STREQ(selected("blv"), "blversion");
    EXPECT_STREQ(selected("BLS"), "blstring");
    EXPECT_STREQ(selected("ca"), "");
    EXPECT_STREQ(selected("can"), "can");
    // Two words, one command.
    EXPECT_EQ(cmd_find_word("eep"), cmd_find_word("e2p"));
    EXPECT_EQ(cmd_find_word("hdlc"), cmd_find_word("raw"));
    EXPECT_NE(cmd_find_word("eep"), nullptr);
    EXPECT_NE(cmd_find_word("raw"), nullptr);
}

} // namespace
