#include "MainDispatchQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace {

struct Queue {
    std::mutex lock;
    std::condition_variable posted;
    std::deque<std::function<void()>> tasks;
    bool quitting = false;  // touched only by the thread that runs the tasks
};

Queue& mainQueue()
{
    static Queue queue;
    return queue;
}

// Takes the next task, waiting for one when asked to; empty when there is none.
std::function<void()> nextTask(bool fWait)
{
    Queue& queue = mainQueue();
    std::unique_lock<std::mutex> guard(queue.lock);
    if (fWait) {
        queue.posted.wait(guard, [&queue] { return !queue.tasks.empty(); });
    }
    if (queue.tasks.empty()) {
        return {};
    }
    std::function<void()> task = std::move(queue.tasks.front());
    queue.tasks.pop_front();
    return task;
}

}  // namespace

void MainDispatchQueue::async(std::function<void()> task)
{
    Queue& queue = mainQueue();
    {
        std::lock_guard<std::mutex> guard(queue.lock);
        queue.tasks.push_back(std::move(task));
    }
    queue.posted.notify_one();
}

void MainDispatchQueue::drain()
{
    while (std::function<void()> task = nextTask(false)) {
        task();
    }
}

void MainDispatchQueue::run()
{
    Queue& queue = mainQueue();
    queue.quitting = false;
    while (!queue.quitting) {
        nextTask(true)();
    }
}

void MainDispatchQueue::quit() { mainQueue().quitting = true; }
