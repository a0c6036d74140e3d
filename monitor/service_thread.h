#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "support/file_descriptor.h"

// A thread of our own that owns a connection no other thread may touch, and
// runs the tasks callers queue for it. A caller waits for its task with a
// bound, so a stuck connection never holds up the program; a task the
// thread will not run is answered at once as not run.
//
// The thread's own loop (the path's serve function) decides when to run the
// queue and sleeps on wakeDescriptor() beside its connection; queueing a
// task or stopping writes to it.
class ServiceThread {
public:
    ServiceThread() = default;
    ServiceThread(const ServiceThread&) = delete;
    ServiceThread& operator=(const ServiceThread&) = delete;
    ~ServiceThread() { stop(); }

    // Starts the thread running `serve`. When `serve` returns (or throws),
    // or the thread cannot start, the service ends: queued tasks are
    // answered as not run, later ones are refused, and `ended` is called.
    void start(std::function<void()> serve, std::function<void()> ended);

    // Runs `task` on the thread; false if it did not run within `bound`.
    bool call(std::function<void()> task, std::chrono::steady_clock::duration bound);

    // Refuses tasks from now on and wakes the thread; waits for it to end,
    // unless called on the thread itself.
    void stop();

    bool ended() const { return hasEnded.load(); }
    bool stopping() const { return isStopping.load(); }
    // For the thread's own loop and the waits inside its tasks.
    const std::atomic<bool>& stoppingFlag() const { return isStopping; }
    int wakeDescriptor() const { return wake.get(); }

    // On the thread: runs the tasks queued so far; false once stopping,
    // when the loop should end.
    bool runQueued();
    // On the thread: whether nothing is queued and the loop may sleep.
    bool idle();
    // On the thread: answers every queued task as not run, so that no
    // caller waits on what follows (such as a hand-over on stop).
    void answerQueued();

private:
    struct Task {
        std::function<void()> work;
        bool ran = false;
        bool done = false;
    };

    void run();
    void end();

    FileDescriptor wake;
    std::mutex queueMutex;
    std::condition_variable answered;
    std::deque<std::shared_ptr<Task>> queue;
    std::atomic<bool> isStopping{false};
    std::atomic<bool> hasEnded{false};
    std::function<void()> serveFunction;
    std::function<void()> endedFunction;
    std::thread thread;
};

// A service thread whose tasks act on the connection that lives on it.
template <typename Connection>
class ConnectionThread : public ServiceThread {
public:
    // Runs `work` on the connection; false if it did not run within `bound`.
    bool call(std::function<void(Connection&)> work, std::chrono::steady_clock::duration bound)
    {
        return ServiceThread::call([this, work = std::move(work)] { work(*connection); }, bound);
    }

    // On the thread, before running tasks: the connection they act on.
    void serveOn(Connection& ours) { connection = &ours; }

private:
    Connection* connection = nullptr;  // touched on the thread only
};
