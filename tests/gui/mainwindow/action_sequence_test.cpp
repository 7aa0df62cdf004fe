#include "action_sequence.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tavro::gui::model {
namespace {

TEST(ActionSequence, TextReadsBackAsTheSameSequenceAndMalformedTextIsRefused) {
    const Sequence sequence{"mosaic", {{"AddState"}, {"Tiles", 3}, {"DragHeight", 0, 2}, {"Select", 12, 0}}};
    const std::string text = format(sequence);
    EXPECT_EQ(text, "mosaic: AddState Tiles(3) DragHeight(0,2) Select(12)");
    EXPECT_EQ(parse(text), sequence);
    EXPECT_EQ(parse("single:"), (Sequence{"single", {}}));
    for (const char* bad : {"no mode here", ": Add", "single: Add(", "single: Add(x)", "single: Add(1;2)", "single: (1)"})
        EXPECT_FALSE(parse(bad).has_value()) << bad;
}

TEST(ActionSequence, OneSeedDrawsOneSequenceOfTheGivenKindsAndRanges) {
    const std::vector<ActionKind> kinds{{"A", 1}, {"B", 3, 1, 4}, {"C", 1, 2, 2}};
    std::mt19937_64 first(5), second(5);
    const Sequence drawn = generate(first, "single", 200, kinds);
    EXPECT_EQ(drawn, generate(second, "single", 200, kinds));
    ASSERT_EQ(drawn.actions.size(), 200u);
    int bs = 0;
    for (const Action& action : drawn.actions) {
        const auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const ActionKind& k) { return k.name == action.name; });
        ASSERT_NE(kind, kinds.end());
        EXPECT_TRUE(action.a >= 0 && action.a < kind->range && (kind->arity >= 1 || action.a == 0));
        EXPECT_TRUE(action.b >= 0 && action.b < kind->range && (kind->arity >= 2 || action.b == 0));
        bs += action.name == "B" ? 1 : 0;
    }
    EXPECT_GT(bs, 80) << "B is drawn three times as often as A or C";
}

// A fault that needs "Add" then "Reopen" later, with any number in the add: shrinking leaves just those two, numbers
// lowered, and never a sequence failing another check.
TEST(ActionSequence, ShrinkingKeepsTheFewestActionsThatFailTheSameCheck) {
    const Runner run = [](const Sequence& sequence) -> std::string {
        bool added = false;
        for (const Action& action : sequence.actions) {
            if (action.name == "Other")
                return "[other] something else";
            added = added || action.name == "Add";
            if (added && action.name == "Reopen")
                return "[lost] reopened without it";
        }
        return {};
    };
    std::vector<Action> actions;
    for (int i = 0; i < 14; ++i)
        actions.push_back({i == 3 ? "Add" : i == 11 ? "Reopen" : "Noise", i % 4, 1});
    actions.insert(actions.begin() + 12, Action{"Other"});
    const Sequence failing{"single", actions};
    const std::string failure = run(failing);
    ASSERT_EQ(failureTag(failure), "[lost]");
    const Shrunk shrunk = shrink(failing, failure, run, 200);
    EXPECT_EQ(shrunk.sequence, (Sequence{"single", {{"Add"}, {"Reopen"}}}));
    EXPECT_EQ(failureTag(shrunk.failure), "[lost]");
    EXPECT_LE(shrunk.runs, 200);
    EXPECT_EQ(shrink(failing, failure, run, 3).runs, 3) << "the budget bounds the runs";
}

}  // namespace
}  // namespace tavro::gui::model
