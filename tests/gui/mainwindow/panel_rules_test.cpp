#include "gui/mainwindow/panel_rules.h"

#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

namespace tavro::gui {
namespace {

class OddWindowSize : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(OddWindowSize, EvenSizesGrowByOneUnlessThatPassesTheMaximum) {
    const auto [typed, kept] = GetParam();
    EXPECT_EQ(oddWindowSize(typed, 256), kept);
}

INSTANTIATE_TEST_SUITE_P(Typed, OddWindowSize,
                         ::testing::Values(std::tuple{60, 61}, std::tuple{61, 61}, std::tuple{5, 5},
                                           std::tuple{254, 255}, std::tuple{256, 255}));

TEST(GpuChoices, OneDeviceByNameAndSizeSeveralBehindAllGpus) {
    GpuInfo device;
    device.deviceId = 0;
    device.name = "Tavro2D CPU device";
    device.totalMB = 8192;
    const GpuChoices one = gpuChoices({device});
    ASSERT_EQ(one.items.size(), 1u);
    EXPECT_EQ(one.items[0].text, QStringLiteral("Tavro2D CPU device (8192 MB)"));
    EXPECT_EQ(one.current, 0);

    GpuInfo second = device;
    second.deviceId = 1;
    GpuInfo third = device;
    third.deviceId = 2;
    const GpuChoices three = gpuChoices({device, second, third});
    ASSERT_EQ(three.items.size(), 4u);
    EXPECT_EQ(three.items[0].text, QStringLiteral("All GPUs (3 devices)"));
    EXPECT_EQ(three.items[0].data, kAllGpusChoice);
    EXPECT_EQ(three.items[3].data, 2);
    EXPECT_EQ(three.current, 1);  // the first device, not all of them
}

// Every move a list model can report, on five rows: the data ends in the
// order of an explicit take-and-insert, and rowAfterMove follows each row.
TEST(RowMove, DataAndTrackedRowsFollowEveryBlockMove) {
    for (int first = 0; first < 5; ++first)
        for (int last = first; last < 5; ++last)
            for (int destination = 0; destination <= 5; ++destination) {
                std::vector<int> before(5);
                std::iota(before.begin(), before.end(), 0);
                std::vector<int> expected(before);
                std::vector<int> block(expected.begin() + first, expected.begin() + last + 1);
                expected.erase(expected.begin() + first, expected.begin() + last + 1);
                const int insertAt = destination > last ? destination - (last - first + 1)
                                     : destination >= first ? first
                                                            : destination;
                expected.insert(expected.begin() + insertAt, block.begin(), block.end());

                std::vector<int> moved(before);
                ASSERT_TRUE(applyRowMove(moved, first, last, destination));
                EXPECT_EQ(moved, expected) << first << ".." << last << " -> " << destination;
                for (int row = 0; row < 5; ++row)
                    EXPECT_EQ(moved[static_cast<size_t>(rowAfterMove(row, first, last, destination))], before[row]);
            }
    std::vector<int> two{0, 1};
    EXPECT_FALSE(applyRowMove(two, 1, 2, 0));
    EXPECT_FALSE(applyRowMove(two, 0, 0, 3));
    EXPECT_EQ(two, (std::vector<int>{0, 1}));
}

TEST(ListButtonStates, FollowCountCurrentRowAndSelection) {
    struct Case {
        int count, row;
        bool selected, needsSelection;
        bool remove, up, down, clear;
    };
    const Case cases[] = {
        {0, -1, false, false, false, false, false, false},  // empty list
        {1, 0, true, true, true, false, false, true},       // one tile, selected
        {3, 1, true, true, true, true, true, true},         // middle of many
        {3, 2, true, true, true, true, false, true},         // last of many
        {3, 1, false, true, false, false, false, true},      // tiles move only when selected
        {3, 0, false, false, false, false, true, true},      // the image list moves its current row
    };
    for (const Case& c : cases) {
        const ListButtonStates states = listButtonStates(c.count, c.row, c.selected, c.needsSelection);
        EXPECT_EQ(states.remove, c.remove) << c.count << " " << c.row;
        EXPECT_EQ(states.moveUp, c.up) << c.count << " " << c.row;
        EXPECT_EQ(states.moveDown, c.down) << c.count << " " << c.row;
        EXPECT_EQ(states.clear, c.clear) << c.count << " " << c.row;
    }
}

}  // namespace
}  // namespace tavro::gui
