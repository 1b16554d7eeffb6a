#include "platform/WorkerPool.h"

#include <algorithm>
#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PAVONIX_CPU_RELAX() _mm_pause()
#else
#define PAVONIX_CPU_RELAX() std::this_thread::yield()
#endif

namespace {

// A frame's skinning is a fraction of a millisecond, so a worker that just finished one
// polls a little before sleeping: being woken through the kernel costs tens of
// microseconds, a real share of the work. About 20 to 50 microseconds of pause
// instructions.
constexpr int kSpinRounds = 2000;

constexpr unsigned kMaxPoolThreads = 8;

// A positive whole number from the environment, or 0 when unset or not one.
unsigned threadsFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    if (!text || !*text) return 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1) return 0;
    return static_cast<unsigned>(std::min<long>(value, 64));
}

}  // namespace

WorkerPool::WorkerPool(unsigned threads) {
    const unsigned workers = threads > 1 ? threads - 1 : 0;
    workers_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back(&WorkerPool::workerLoop, this, i);
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(state_);
        stopping_ = true;
        generation_.fetch_add(1);
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void WorkerPool::takeTasks() {
    for (;;) {
        const uint32_t task = nextTask_.fetch_add(1, std::memory_order_relaxed);
        if (task >= taskCount_) return;
        fn_(task, user_);
    }
}

void WorkerPool::run(uint32_t taskCount, TaskFunction fn, void* user, unsigned maxThreads) {
    if (taskCount == 0) return;
    const unsigned limit = maxThreads == 0 ? threadCount() : std::min(maxThreads, threadCount());
    const unsigned helpers = std::min<unsigned>(limit - 1, taskCount - 1);
    std::unique_lock<std::mutex> turn(dispatch_, std::try_to_lock);
    if (helpers == 0 || !turn.owns_lock()) {
        for (uint32_t t = 0; t < taskCount; ++t) fn(t, user);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(state_);
        fn_ = fn;
        user_ = user;
        taskCount_ = taskCount;
        joining_ = helpers;
        nextTask_.store(0, std::memory_order_relaxed);
        busyWorkers_.store(helpers, std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    takeTasks();
    for (int i = 0; i < kSpinRounds && busyWorkers_.load(std::memory_order_acquire) != 0; ++i) PAVONIX_CPU_RELAX();
    if (busyWorkers_.load(std::memory_order_acquire) != 0) {
        std::unique_lock<std::mutex> lock(state_);
        finished_.wait(lock, [this] { return busyWorkers_.load(std::memory_order_acquire) == 0; });
    }
}

void WorkerPool::workerLoop(unsigned index) {
    uint64_t seen = 0;
    for (;;) {
        for (int i = 0; i < kSpinRounds && generation_.load(std::memory_order_acquire) == seen; ++i)
            PAVONIX_CPU_RELAX();
        bool join;
        {
            std::unique_lock<std::mutex> lock(state_);
            wake_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
            if (stopping_) return;
            seen = generation_.load(std::memory_order_relaxed);
            // A worker that slept through a job it was not asked into may wake into a
            // later one; only the job's own count of helpers takes part, and only those
            // are waited for.
            join = index < joining_;
        }
        if (!join) continue;
        takeTasks();
        if (busyWorkers_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(state_);
            finished_.notify_one();
        }
    }
}

WorkerPool& sharedWorkerPool() {
    // A cache of threads: started once on first use rather than for every batch of work.
    static WorkerPool pool([] {
        unsigned n = threadsFromEnvironment("PAVONIX_THREADS");
        if (n == 0) n = std::max(1u, std::min(kMaxPoolThreads, std::thread::hardware_concurrency()));
        return n;
    }());
    return pool;
}

namespace {
std::atomic<unsigned> g_skinningOverride{0};
}

unsigned skinningThreads() {
    const unsigned chosen = g_skinningOverride.load(std::memory_order_relaxed);
    if (chosen) return chosen;
    // A cache, not state: the environment and the pool's size are read once and never
    // change during a run; setSkinningThreads overrides it without touching it.
    static const unsigned threads = [] {
        const unsigned n = threadsFromEnvironment("PAVONIX_SKIN_THREADS");
        return n ? n : sharedWorkerPool().threadCount();
    }();
    return threads;
}

void setSkinningThreads(unsigned threads) { g_skinningOverride.store(threads, std::memory_order_relaxed); }
