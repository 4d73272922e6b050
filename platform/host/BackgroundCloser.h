// Closes descriptors on threads of its own, for closes that wait without anything to report.
//
// vfat mounted with "flush" (udisks2 mounts every card so) starts the write-back of a file
// written through a descriptor when that descriptor is released, and then sleeps a tenth of a
// second in the kernel whatever is left to write. One close after another, a card of two
// thousand files spends nearly four minutes asleep: far longer than its reader takes for the
// data. Here the closes overlap, so the card is written as fast as its reader takes it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::host {

class BackgroundCloser {
public:
    explicit BackgroundCloser(std::size_t threads);
    // Waits for every close, then ends the threads.
    ~BackgroundCloser();
    BackgroundCloser(const BackgroundCloser&) = delete;
    BackgroundCloser& operator=(const BackgroundCloser&) = delete;

    // Takes fd over and closes it. The closes begin in the order they were handed over, so the
    // write-back each one starts does too. Only for a close whose result is of no interest. Waits
    // while as many descriptors as there are threads wait to be closed already.
    void Close(int fd);
    // Returns once every descriptor handed over so far is closed.
    void Wait();

private:
    void Serve();

    const std::size_t most_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::condition_variable room_;
    std::deque<int> queue_;
    std::size_t idle_ = 0;
    std::size_t closing_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_; // started as needed, most_ at most
};

} // namespace platform::host
