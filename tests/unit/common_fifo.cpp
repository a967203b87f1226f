#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/fifo.h"

using common::Fifo;

namespace {

std::vector<int> contents(const Fifo<int> &q) {
    return std::vector<int>(q.begin(), q.end());
}

}  // namespace

// Entries come out in the order they went in, however pushes and pops interleave, and the newest
// stays reachable at the back while older ones are taken from the front.
TEST(Fifo, KeepsOrderAcrossPushesAndPops) {
    Fifo<int> q;
    EXPECT_TRUE(q.empty());
    q.push_back(1);
    q.emplace_back(2);
    q.push_back(3);
    q.pop_front();
    EXPECT_EQ(q.front(), 2);
    EXPECT_EQ(q.back(), 3);
    q.back() = 30;
    q.pop_back();
    q.push_back(4);
    EXPECT_EQ(contents(q), (std::vector<int>{2, 4}));
    q.pop_front();
    q.pop_front();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.size(), 0u);
    q.push_back(5);
    EXPECT_EQ(q.front(), 5);
    EXPECT_EQ(q.back(), 5);
}

// A long pipeline, taken from the front while it still grows at the back: nothing is lost or
// reordered when the taken part is given back.
TEST(Fifo, LongPipelineStaysInOrder) {
    Fifo<int> q;
    int next = 0, expected = 0;
    for (int round = 0; round < 500; ++round) {
        q.push_back(next++);
        q.push_back(next++);
        ASSERT_EQ(q.front(), expected);
        q.pop_front();
        ++expected;
        ASSERT_EQ(q.size(), std::size_t(next - expected));
        ASSERT_EQ(q.back(), next - 1);
    }
    while (!q.empty()) {
        ASSERT_EQ(q.front(), expected++);
        q.pop_front();
    }
    EXPECT_EQ(expected, next);
}

// What an entry holds goes when the entry is taken, not when the queue next empties.
TEST(Fifo, TakenEntryIsFreedAtOnce) {
    Fifo<std::shared_ptr<int>> q;
    auto first = std::make_shared<int>(1);
    std::weak_ptr<int> watch = first;
    q.push_back(std::move(first));
    q.push_back(std::make_shared<int>(2));
    q.pop_front();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(*q.front(), 2);
}
