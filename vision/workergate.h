#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vision {

// Hands a camera's "new frame" announcements to a worker thread that processes one frame at a
// time. Announcements that arrive while the worker is busy are not queued: the worker clears
// the flag when it comes back to wait, then waits for the next announcement and takes the
// camera's newest frame. close() wakes a waiting worker at once.
//
// Threads: announce() and open()/close() come from the thread that owns the component (the
// main thread); waitForNext() from the worker. The two flags are atomics; wakeMutex guards
// nothing but the wait itself, so that an announcement made between the worker's flag test and
// its wait is never lost. The worker also re-tests both flags every millisecond. The mutex is a
// std::mutex so that ThreadSanitizer sees the hand-over (QMutex locks inside uninstrumented Qt).
class WorkerGate
{
public:
    void open() { run.store(true); }

    void close()
    {
        run.store(false);
        std::lock_guard<std::mutex> lock(wakeMutex);
        wake.notify_all();
    }

    bool isOpen() const { return run.load(); }

    void announce()
    {
        pending.store(true);
        std::lock_guard<std::mutex> lock(wakeMutex);
        wake.notify_all();
    }

    // Drops what was announced while the worker was busy, then waits for the next
    // announcement. False when the gate was closed.
    bool waitForNext()
    {
        pending.store(false);
        std::unique_lock<std::mutex> lock(wakeMutex);
        while (run.load() && !pending.load())
            wake.wait_for(lock, std::chrono::milliseconds(1));
        return run.load();
    }

private:
    std::atomic<bool> run{false};     // the worker loop may run (RunTraking / AnalyserRun)
    std::atomic<bool> pending{false}; // a frame was announced (NewTLCapture / NewMFCapture)
    std::mutex wakeMutex;
    std::condition_variable wake;
};

} // namespace vision
