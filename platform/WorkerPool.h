// A small pool of worker threads made once for the whole program, for work that splits
// into independent pieces: skinning a mesh in chunks every frame, decoding a model's
// textures at open time.
//
// run() hands out the pieces to the workers and to the calling thread, and returns when
// every piece is done. It never allocates, so it may be called every frame. When the
// pool is already busy with another caller's work (a nested call, or a second thread),
// the caller does all its pieces itself instead of waiting, so run() never deadlocks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
public:
    // A piece of work: task in [0, taskCount), user passed through unchanged.
    using TaskFunction = void (*)(uint32_t task, void* user);

    // threads counts the caller: 1 makes no worker thread at all.
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs fn(0..taskCount-1, user) on at most maxThreads threads (the caller included; 0
    // means all of them) and returns when all are done. Pieces may run in any order.
    void run(uint32_t taskCount, TaskFunction fn, void* user, unsigned maxThreads = 0);

    // The caller plus the worker threads.
    unsigned threadCount() const { return static_cast<unsigned>(workers_.size()) + 1; }

private:
    void workerLoop(unsigned index);
    void takeTasks();

    std::vector<std::thread> workers_;
    std::mutex dispatch_;  // one run() at a time uses the workers
    std::mutex state_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    // The job being run; written under state_ before generation_ moves on.
    TaskFunction fn_ = nullptr;
    void* user_ = nullptr;
    uint32_t taskCount_ = 0;
    unsigned joining_ = 0;  // workers asked to take part in the current job
    std::atomic<uint32_t> nextTask_{0};
    std::atomic<uint64_t> generation_{0};
    std::atomic<unsigned> busyWorkers_{0};
    bool stopping_ = false;
};

// The program's pool: hardware threads (at most 8), or PAVONIX_THREADS when set to a
// number from 1 up. Made on first use and joined at exit.
WorkerPool& sharedWorkerPool();

// Threads skinning may use: PAVONIX_SKIN_THREADS when set to a number from 1 up (1 is the
// single-threaded path, for debugging), else every thread of the shared pool. Read once.
unsigned skinningThreads();

// Overrides that choice from now on (0 goes back to it), so tests and benchmarks can put
// the single-threaded and the parallel path side by side in one process.
void setSkinningThreads(unsigned threads);
