// The command runner both views share: a command of the main dialog (a button, a key, the system
// menu) runs its logic on a worker thread while the window's thread keeps the windows alive
// (painted, movable, answering the desktop) and holds user input off; every Ui call the logic
// makes meanwhile is handed to the window's thread and carried out there, one at a time, while
// the logic waits for it. So the dialog logic still runs on one thread at a time, in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace platform {

// Marks the window's thread busy while a platform call made there waits for a slow service with
// the window's events running (udisks2 over D-Bus, whose format takes minutes): the view starts no
// other platform call meanwhile (no device-change poll in the middle of another call).
class BusyWhileWaiting {
public:
    BusyWhileWaiting() { ++count_; }
    ~BusyWhileWaiting() { --count_; }
    BusyWhileWaiting(const BusyWhileWaiting&) = delete;
    BusyWhileWaiting& operator=(const BusyWhileWaiting&) = delete;
    static bool Active() { return count_.load() > 0; }

private:
    static inline std::atomic<int> count_{0};
};

class CommandRunner {
public:
    // What the view's window thread offers the runner.
    class EventLoop {
    public:
        virtual ~EventLoop() = default;
        // From any thread: makes a WaitForWake running (or the next one to run) return.
        virtual void Wake() = 0;
        // On the window's thread: processes the window's events, all but user input to the
        // program's windows, until Wake is called.
        virtual void WaitForWake() = 0;
        // On the window's thread: user input is now held off (a command is busy) or taken again
        // (the command asks something through a Ui call, or has ended).
        virtual void InputHeldChanged(bool /*held*/) {}
    };

    // Made on the window's thread, which it serves.
    explicit CommandRunner(EventLoop& loop);
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    bool OnWindowThread() const { return std::this_thread::get_id() == windowThread_; }
    // A command is running (also while it waits for a Ui call). Window's thread only.
    bool Running() const { return running_; }
    // A command is running and not waiting for a Ui call: no input may reach the logic.
    bool InputHeld() const { return running_ && callDepth_ == 0; }

    // Runs a command on a worker thread and returns when it has ended, having carried out its Ui
    // calls meanwhile; an exception it throws is thrown again here. Off the window's thread, or
    // inside a command (a device change or a click in a box the command shows), the command runs
    // at once on the calling thread.
    void Run(const std::function<void()>& command);

    // Carries out f on the window's thread while the calling thread waits, and gives its result;
    // an exception f throws is thrown again on the calling thread. On the window's thread f runs
    // at once.
    template <class F> auto Call(F&& f) -> std::invoke_result_t<F&> {
        using Result = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<Result>) {
            CallOnWindowThread(f);
        } else {
            std::optional<Result> result;
            CallOnWindowThread([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }

private:
    void CallOnWindowThread(const std::function<void()>& call);

    EventLoop& loop_;
    const std::thread::id windowThread_;
    bool running_ = false;
    int callDepth_ = 0;
    // Handed over between the command's thread and the window's thread.
    std::mutex mutex_;
    std::condition_variable answered_;
    const std::function<void()>* pending_ = nullptr;
    bool pendingDone_ = false;
    std::exception_ptr pendingFailure_;
    bool commandEnded_ = false;
};

} // namespace platform
