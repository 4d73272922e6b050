#include "platform/common/CommandRunner.h"

namespace platform {

CommandRunner::CommandRunner(EventLoop& loop) : loop_(loop), windowThread_(std::this_thread::get_id()) {}

void CommandRunner::Run(const std::function<void()>& command) {
    if (running_ || !OnWindowThread()) {
        command();
        return;
    }
    running_ = true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        commandEnded_ = false;
    }
    loop_.InputHeldChanged(true);
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            command();
        } catch (...) {
            failure = std::current_exception();
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            commandEnded_ = true;
        }
        loop_.Wake();
    });
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (pending_ != nullptr && !pendingDone_) {
            const std::function<void()>& call = *pending_;
            lock.unlock();
            ++callDepth_;
            loop_.InputHeldChanged(false);
            std::exception_ptr callFailure;
            try {
                call();
            } catch (...) {
                callFailure = std::current_exception();
            }
            --callDepth_;
            loop_.InputHeldChanged(true);
            lock.lock();
            pendingFailure_ = callFailure;
            pendingDone_ = true;
            answered_.notify_all();
            continue;
        }
        if (commandEnded_) {
            break;
        }
        lock.unlock();
        loop_.WaitForWake();
    }
    worker.join();
    running_ = false;
    loop_.InputHeldChanged(false);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void CommandRunner::CallOnWindowThread(const std::function<void()>& call) {
    if (OnWindowThread()) {
        call();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    pending_ = &call;
    pendingDone_ = false;
    pendingFailure_ = nullptr;
    lock.unlock();
    loop_.Wake();
    lock.lock();
    answered_.wait(lock, [this] { return pendingDone_; });
    pending_ = nullptr;
    const std::exception_ptr failure = std::exchange(pendingFailure_, nullptr);
    lock.unlock();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

} // namespace platform
