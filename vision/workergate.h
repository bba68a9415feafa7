#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>

#include <atomic>

namespace vision {

// Hands a camera's "new frame" announcements to a worker thread that processes one frame at a
// time. Announcements that arrive while the worker is busy are not queued: the worker clears
// the flag when it comes back to wait, then waits for the next announcement and takes the
// camera's newest frame. close() wakes a waiting worker at once.
//
// Threads: announce() and open()/close() come from the thread that owns the component (the
// main thread); waitForNext() from the worker. The two flags are atomics; wakeMutex guards
// nothing but the wait itself, so that an announcement made between the worker's flag test and
// its wait is never lost. The worker also re-tests both flags every millisecond.
class WorkerGate
{
public:
    void open() { run.store(true); }

    void close()
    {
        run.store(false);
        QMutexLocker locker(&wakeMutex);
        wake.wakeAll();
    }

    bool isOpen() const { return run.load(); }

    void announce()
    {
        pending.store(true);
        QMutexLocker locker(&wakeMutex);
        wake.wakeAll();
    }

    // Drops what was announced while the worker was busy, then waits for the next
    // announcement. False when the gate was closed.
    bool waitForNext()
    {
        pending.store(false);
        QMutexLocker locker(&wakeMutex);
        while (run.load() && !pending.load())
            wake.wait(&wakeMutex, 1);
        return run.load();
    }

private:
    std::atomic<bool> run{false};     // the worker loop may run (RunTraking / AnalyserRun)
    std::atomic<bool> pending{false}; // a frame was announced (NewTLCapture / NewMFCapture)
    QMutex wakeMutex;
    QWaitCondition wake;
};

} // namespace vision
