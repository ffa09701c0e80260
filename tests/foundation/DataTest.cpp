#include <gtest/gtest.h>

#include "foundation/Data.h"

TEST(DataRecord, GraphTimeRoundsHalfAwayFromZeroToMilliseconds) {
    // 29.97 fps frame starts: 333667 * n in 100-ns units.
    const std::pair<int64_t, int64_t> cases[] = {{5000, 1},          {4999, 0},     {-5000, -1},    {-4999, 0},
                                                 {333667, 33},       {667334, 67},  {1001001, 100}, {400000000, 40000}};
    for (auto [t, ms] : cases) EXPECT_EQ(BS::GraphTimeToMs(t), ms) << t;
}
