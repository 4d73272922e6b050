#include "platform/host/BackgroundCloser.h"

#include <system_error>
#include <unistd.h>

namespace platform::host {

BackgroundCloser::BackgroundCloser(std::size_t threads) : most_(threads == 0 ? 1 : threads) {}

BackgroundCloser::~BackgroundCloser() {
    Wait();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& t : threads_) {
        t.join();
    }
}

void BackgroundCloser::Close(int fd) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Each descriptor waiting here is still open: beyond a few, the caller waits for room, so that
    // a quick writer of small files never runs the process out of descriptors.
    room_.wait(lock, [this] { return queue_.size() < most_; });
    queue_.push_back(fd);
    if (idle_ < queue_.size() && threads_.size() < most_) {
        try {
            threads_.emplace_back([this] { Serve(); });
        } catch (const std::system_error&) {
            // No thread to be had: the threads there are (or this one) close it.
            if (threads_.empty()) {
                queue_.pop_back();
                lock.unlock();
                (void)::close(fd);
                return;
            }
        }
    }
    lock.unlock();
    work_.notify_one();
}

void BackgroundCloser::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return queue_.empty() && closing_ == 0; });
}

void BackgroundCloser::Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (queue_.empty()) {
            return; // stopping, and nothing is left
        }
        const int fd = queue_.front();
        queue_.pop_front();
        ++closing_;
        lock.unlock();
        room_.notify_one();
        (void)::close(fd);
        lock.lock();
        --closing_;
        if (queue_.empty() && closing_ == 0) {
            done_.notify_all();
        }
    }
}

} // namespace platform::host
