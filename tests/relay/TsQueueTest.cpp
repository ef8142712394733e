#include "relay/TsQueue.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct CountedFree {
    int* freed = nullptr;
    void operator()(int* p) const
    {
        if (freed) ++*freed;
        delete p;
    }
};
using CountedPtr = std::unique_ptr<int, CountedFree>;

}  // namespace

// The rule for a consumer that falls behind: deep at half the limits (the
// producer pauses), emptied past them (only the newest data counts), and
// nothing it held is leaked either way.
TEST(TsQueue, DeepAtHalfEmptiedPastTheLimits)
{
    int freed = 0;
    {
        CTsQueue<CountedPtr> byCount(size_t{1} << 30);
        for (size_t i = 0; i < kQueueLimit / 2; ++i) byCount.PushBack(CountedPtr(new int(int(i)), {&freed}), 188);
        EXPECT_FALSE(byCount.Deep());
        byCount.PushBack(CountedPtr(new int(0), {&freed}), 188);
        EXPECT_TRUE(byCount.Deep());
        while (byCount.size() <= kQueueLimit) byCount.PushBack(CountedPtr(new int(0), {&freed}), 188);
        EXPECT_TRUE(byCount.Overfull());
        byCount.PushBack(CountedPtr(new int(7), {&freed}), 188);
        EXPECT_EQ(byCount.size(), 1u);
        EXPECT_EQ(byCount.bytes(), 188u);
        EXPECT_EQ(static_cast<size_t>(freed), kQueueLimit + 1);
        EXPECT_EQ(*byCount.PopFront(), 7);
        EXPECT_TRUE(byCount.empty());
        EXPECT_FALSE(byCount.PopFront());
    }
    freed = 0;
    {
        CTsQueue<CountedPtr> byBytes(1000);
        byBytes.PushBack(CountedPtr(new int(1), {&freed}), 500);
        EXPECT_FALSE(byBytes.Deep());
        byBytes.PushBack(CountedPtr(new int(2), {&freed}), 1);
        EXPECT_TRUE(byBytes.Deep());
        EXPECT_FALSE(byBytes.Overfull());
        byBytes.PushBack(CountedPtr(new int(3), {&freed}), 600);
        EXPECT_TRUE(byBytes.Overfull());
        byBytes.PushBack(CountedPtr(new int(4), {&freed}), 10);
        EXPECT_EQ(byBytes.size(), 1u);
        EXPECT_EQ(freed, 3);
    }
    EXPECT_EQ(freed, 4);  // what the queue still held went with it
}
