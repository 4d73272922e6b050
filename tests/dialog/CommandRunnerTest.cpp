// The command runner both views use: a command's logic on a worker thread, its Ui calls carried
// out on the window's thread, one at a time and in order, with failures crossing back.
#include "platform/common/CommandRunner.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::CommandRunner;

// A window thread without a window: it waits for the wake-up and records the input hold.
class BareLoop : public CommandRunner::EventLoop {
public:
    void Wake() override {
        const std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
        wake_.notify_all();
    }
    void WaitForWake() override {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return woken_; });
        woken_ = false;
    }
    void InputHeldChanged(bool held) override { holds.push_back(held); }
    std::vector<bool> holds;

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
};

TEST(CommandRunner, CallsRunOnTheWindowThreadInOrderAndFailuresCrossBack) {
    BareLoop loop;
    CommandRunner runner(loop);
    const std::thread::id window = std::this_thread::get_id();
    std::vector<std::string> log;
    bool heldDuringCall = true;
    bool nestedRanHere = false;
    runner.Run([&] {
        EXPECT_NE(std::this_thread::get_id(), window);
        const int answer = runner.Call([&] {
            EXPECT_EQ(std::this_thread::get_id(), window);
            heldDuringCall = runner.InputHeld();
            // A box the command shows runs the logic of what the user does in it at once.
            runner.Run([&] { nestedRanHere = std::this_thread::get_id() == window; });
            log.push_back("first");
            return 42;
        });
        log.push_back("answer " + std::to_string(answer));
        EXPECT_THROW(runner.Call([] { throw std::runtime_error("refused"); }), std::runtime_error);
        runner.Call([&] { log.push_back("after the failure"); });
    });
    EXPECT_EQ(log, (std::vector<std::string>{"first", "answer 42", "after the failure"}));
    EXPECT_FALSE(heldDuringCall);
    EXPECT_TRUE(nestedRanHere);
    EXPECT_FALSE(runner.Running());
    // Held while the command works, taken again for each call, and again at its end.
    EXPECT_EQ(loop.holds, (std::vector<bool>{true, false, true, false, true, false, true, false}));

    EXPECT_THROW(runner.Run([] { throw std::logic_error("broken"); }), std::logic_error);
    EXPECT_FALSE(runner.Running());
    // Off the window's thread a command runs where it is.
    std::thread other([&] { runner.Run([&] { EXPECT_NE(std::this_thread::get_id(), window); }); });
    other.join();
}

} // namespace
