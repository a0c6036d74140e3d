#include "monitor/service_thread.h"

#include <sys/eventfd.h>

void ServiceThread::start(std::function<void()> serve, std::function<void()> ended)
{
    serveFunction = std::move(serve);
    endedFunction = std::move(ended);
    wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake) {
        end();
        return;
    }
    try {
        thread = std::thread([this] { run(); });
    } catch (...) {
        end();
    }
}

bool ServiceThread::call(std::function<void()> work, std::chrono::steady_clock::duration bound)
{
    auto task = std::make_shared<Task>();
    task->work = std::move(work);
    {
        std::lock_guard lock(queueMutex);
        if (isStopping || hasEnded)
            return false;
        queue.push_back(task);
    }
    eventfd_write(wake.get(), 1);
    std::unique_lock lock(queueMutex);
    return answered.wait_for(lock, bound, [&] { return task->done; }) && task->ran;
}

void ServiceThread::stop()
{
    {
        std::lock_guard lock(queueMutex);
        isStopping = true;
    }
    if (wake)
        eventfd_write(wake.get(), 1);
    if (!thread.joinable())
        return;
    // Someone's handler may call exit() on our thread, which then runs the
    // static destructors here.
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

bool ServiceThread::runQueued()
{
    std::deque<std::shared_ptr<Task>> tasks;
    {
        std::lock_guard lock(queueMutex);
        if (isStopping)
            return false;
        tasks.swap(queue);
    }
    for (auto& task : tasks) {
        bool ran = false;
        try {
            task->work();
            ran = true;
        } catch (...) {
        }
        std::lock_guard lock(queueMutex);
        task->ran = ran;
        task->done = true;
        answered.notify_all();
    }
    return true;
}

bool ServiceThread::idle()
{
    std::lock_guard lock(queueMutex);
    return !isStopping && queue.empty();
}

void ServiceThread::answerQueued()
{
    std::lock_guard lock(queueMutex);
    for (auto& task : queue)
        task->done = true;
    queue.clear();
    answered.notify_all();
}

void ServiceThread::run()
{
    try {
        serveFunction();
    } catch (...) {
    }
    end();
}

void ServiceThread::end()
{
    {
        std::lock_guard lock(queueMutex);
        hasEnded = true;
        for (auto& task : queue)
            task->done = true;
        queue.clear();
        answered.notify_all();
    }
    if (endedFunction)
        endedFunction();
}
