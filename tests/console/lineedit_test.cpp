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

} // namespace
