// The logger queue: order, count, and the exception of a pop on empty.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "log/log_queue.h"

TEST(LogQueue, PopsInPushOrderAndCounts) {
    Queue<std::unique_ptr<std::string>> queue;
    EXPECT_EQ(0u, queue.count());
    queue.push(std::make_unique<std::string>("a"));
    queue.push(std::make_unique<std::string>("b"));
    EXPECT_EQ(2u, queue.count());
    EXPECT_EQ("a", *queue.pop());
    EXPECT_EQ(1u, queue.count());
    EXPECT_EQ("b", *queue.pop());
    EXPECT_EQ(0u, queue.count());
}

TEST(LogQueue, PopOnEmptyThrowsReadEmptyQueue) {
    Queue<int> queue;
    try {
        queue.pop();
        FAIL() << "pop on an empty queue returned";
    } catch (const Queue<int>::ReadEmptyQueue& e) {
        EXPECT_STREQ("read empty queue", e.what());
    }
    queue.push(1);
    EXPECT_EQ(1, queue.pop());
    EXPECT_THROW(queue.pop(), std::exception);
    EXPECT_EQ(0u, queue.count());
}
