#include <gtest/gtest.h>

#include "foundation/Data.h"

TEST(DataRecord, CreateSetsDefaultsAndReleaseAcceptsNull) {
    BS::DataPtr d(BS::data_t::Create(16, true, 10, 20, NO_TIME));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size_actual, 16);
    EXPECT_EQ(d->size_max, 16);
    EXPECT_TRUE(d->config);
    EXPECT_EQ(d->frame_type, FRAME_UNKNOWN);
    EXPECT_EQ(d->duration, 0);
    EXPECT_EQ(d->bts, NO_TIME);
    BS::data_t::Release(nullptr);
    BS::data_t* bare = BS::data_t::Create(0, false, NO_TIME, NO_TIME, NO_TIME);
    ASSERT_TRUE(bare);
    delete[] bare->data;
    bare->data = nullptr;  // a record whose payload is already gone frees only itself
    BS::data_t::Release(bare);
}

TEST(DataRecord, GraphTimeRoundsHalfAwayFromZero) {
    EXPECT_EQ(BS::GraphTimeToMs(-5000), -1);
    EXPECT_EQ(BS::GraphTimeToMs(5000), 1);
    EXPECT_EQ(BS::GraphTimeToMs(4999), 0);
    EXPECT_EQ(BS::GraphTimeToMs(-4999), 0);
    EXPECT_EQ(BS::GraphTimeToMs(400000000), 40000);
}
