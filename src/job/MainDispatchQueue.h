// Stand-in for the platform's main dispatch queue: one queue for the whole
// process. Any thread may post a task without waiting; the tasks run, in the
// order posted, only on the thread that drains or runs the queue. The
// command-line program runs it in verbose mode, where the verbose log shows
// the job's events from it; a sequence posts its record there only for a
// delegate, and the command-line program sets none.
#pragma once

#include <functional>

class MainDispatchQueue {
public:
    // Appends the task and returns at once.
    static void async(std::function<void()> task);
    // Runs every pending task in order on the calling thread, including tasks
    // that those tasks post.
    static void drain();
    // Runs tasks on the calling thread as they are posted, waiting for them
    // without using the processor, until a task has called quit().
    static void run();
    // Called by a task: run() returns once this task is done.
    static void quit();
};
