// Completion candidates of the terminal line editor, and where its history
// file goes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lineedit.h"

namespace {

using Words = std::vector<std::string>;

TEST(LineEditCompletion, CommandWordsAndFixedSubWords)
{
    struct {
        Words before;
        std::string partial;
        Words want;
    } cases[] = {
        {{}, "blv", {"blversion"}},
        {{}, "BL", {"blversion", "blstring"}},
        {{}, "e", {"exit", "eep", "e2p", "echo"}},
        {{}, "r", {"reset", "raw"}},
        {{}, "zz", {}},
        {{"can"}, "", {"show", "speed", "dump", "reset", "reinit", "calc", "mode", "log"}},
        {{"can"}, "re", {"reset", "reinit"}},
        {{"CAN", "du"}, "o", {"on", "off"}},
        {{"can", "mode"}, "", {"show", "normal", "listen"}},
        {{"can", "log"}, "", {"off"}},
        {{"can", "speed"}, "", {}},
        {{"can", "d"}, "", {}}, // one letter selects no sub-command
        {{"e2p"}, "", {"read", "write", "clear"}},
        {{"wu"}, "t", {"trigger"}},
        {{"power"}, "o", {"on", "off"}},
        {{"sniff"}, "", {}},
        {{"sniff", "3"}, "r", {"rx", "rxtx"}},
        {{"cfg"}, "", {"read", "write"}},
        {{"tab"}, "", {"smac", "vlan", "dmac", "mib"}},
        {{"test"}, "", {"mdio"}},
        {{"cbus"}, "", {"all"}},
        {{"version"}, "", {}},
        {{"nosuch"}, "", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.before) + " " + c.partial);
        EXPECT_EQ(lineedit_candidates(c.before, c.partial), c.want);
    }
}

TEST(LineEditHistory, FileUnderTheStateFolder)
{
    const char *home = getenv("HOME");
    const char *state = getenv("XDG_STATE_HOME");
    const std::string saved_home = home ? home : "", saved_state = state ? state : "";

    setenv("HOME", "/home/u", 1);
    setenv("XDG_STATE_HOME", "/var/st", 1);
    EXPECT_EQ(lineedit_history_path(), "/var/st/tarnctl/history");
    setenv("XDG_STATE_HOME", "", 1); // empty or relative: not set
    EXPECT_EQ(lineedit_history_path(), "/home/u/.local/state/tarnctl/history");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(lineedit_history_path(), "/home/u/.local/state/tarnctl/history");
    unsetenv("HOME");
    EXPECT_EQ(lineedit_history_path(), "");

    home ? setenv("HOME", saved_home.c_str(), 1) : unsetenv("HOME");
    state ? setenv("XDG_STATE_HOME", saved_state.c_str(), 1) : unsetenv("XDG_STATE_HOME");
}

} // namespace
