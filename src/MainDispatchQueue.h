// Stand-in for the platform's main dispatch queue: one queue for the whole
// process. Any thread may post a task without waiting; the tasks run, in the
// order posted, only on the thread that drains the queue. The command-line
// program never drains it, so its pending tasks are destroyed unrun at exit.
#pragma once

#include <functional>

class MainDispatchQueue {
public:
    // Appends the task and returns at once.
    static void async(std::function<void()> task);
    // Runs every pending task in order on the calling thread, including tasks
    // that those tasks post.
    static void drain();
};
