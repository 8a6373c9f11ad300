// Completion candidates of the terminal line editor.
#include <gtest/gtest.h>

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
        {{}, "zz", {}},
        {{"can"}, "", {"show", "speed", "dump", "reset", "reinit", "calc", "mode", "log", "bridge"}},
        {{"can"}, "re", {"reset", "reinit"}},
        {{"CAN", "du"}, "o", {"on", "off"}},
        {{"can", "mode"}, "", {"show", "normal", "listen"}},
        {{"can", "log"}, "", {"off"}},
        {{"can", "bridge"}, "", {"off"}},
        {{"can", "d"}, "", {}}, // one letter selects no sub-command
        {{"e2p"}, "", {"read", "write", "clear"}},
        {{"sniff"}, "", {}},
        {{"sniff", "3"}, "r", {"rx", "rxtx"}},
        {{"version"}, "", {}},
        {{"nosuch"}, "", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.before) + " " + c.partial);
        EXPECT_EQ(lineedit_candidates(c.before, c.partial), c.want);
    }
}

TEST(LineEditCompletion, ListIsSortedInWholeWords)
{
    const Words can = {"show", "speed", "dump", "reset", "reinit", "calc", "mode", "log"};
    // Columns of 6 characters and a gap of 2: three fit in 22, the last
    // needing no gap; in 21 only two do.
    EXPECT_EQ(lineedit_layout(can, 21), "calc    dump\nlog     mode\nreinit  reset\nshow    speed\n");
    EXPECT_EQ(lineedit_layout(can, 22), "calc    dump    log\nmode    reinit  reset\nshow    speed\n");
    EXPECT_EQ(lineedit_layout(can, 5), "calc\ndump\nlog\nmode\nreinit\nreset\nshow\nspeed\n");
    EXPECT_EQ(lineedit_layout({"on", "off"}, 80), "off  on\n");
}

} // namespace
