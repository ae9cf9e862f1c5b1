#include "MainDispatchQueue.h"

#include <deque>
#include <mutex>
#include <utility>

namespace {

struct Queue {
    std::mutex lock;
    std::deque<std::function<void()>> tasks;
};

Queue& mainQueue() {
    static Queue queue;
    return queue;
}

}  // namespace

void MainDispatchQueue::async(std::function<void()> task) {
    Queue& queue = mainQueue();
    std::lock_guard<std::mutex> guard(queue.lock);
    queue.tasks.push_back(std::move(task));
}

void MainDispatchQueue::drain() {
    Queue& queue = mainQueue();
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            if (queue.tasks.empty()) {
                return;
            }
            task = std::move(queue.tasks.front());
            queue.tasks.pop_front();
        }
        task();
    }
}
