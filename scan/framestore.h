#pragma once

#include <QString>

#include <opencv2/core.hpp>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Stores a scan's frames beside the scan's motion: each frame is encoded and written as a PNG
// (atomically: the host never sees half a file) on the store's own thread while the scan
// already turns to the next one, and only then reported to the host, in the order the frames
// were taken. After the first write that fails, nothing more is written or reported; the scan
// sees failed() before its next frame and ends with a storage failure.
//
// Threads: push(), failed() and finish() on the scan's thread; the writes and the reports on
// the store's thread, inside the request scope of the host that asked for the scan (its texts
// go to that host only).
// Locks: mutex guards queue, stopping, failure and writeUs; changed wakes the store's thread
// (new job, stop) and finish() (queue drained).
class FrameStore
{
public:
    struct Job
    {
        int index = 0;
        QString path;                  // the frame's file in the shared folder
        cv::Mat frame;
        std::function<void()> report;  // sends the frame's report to the host
    };

    // session: the host session whose request the reports belong to (0: the operator).
    explicit FrameStore(quint64 session);
    ~FrameStore();
    FrameStore(const FrameStore&) = delete;
    FrameStore& operator=(const FrameStore&) = delete;

    // Queues a frame; false (and nothing queued) once a write has failed.
    bool push(Job job);
    // True once a write has failed; detail names the file and the reason.
    bool failed(QString* detail = nullptr) const;
    // Waits until every queued frame is written and reported (or dropped after a failure); the
    // store takes more frames afterwards. True when every frame was stored.
    bool drain(QString* detail = nullptr);
    // Drains and ends the store's thread. True when every frame was stored.
    bool finish(QString* detail = nullptr);
    // Frames written and reported so far, and the time their writes took (microseconds).
    int stored() const;
    // The time each write took (microseconds), in the order the frames were pushed.
    std::vector<qint64> writeMicros() const;

private:
    void run(quint64 session);

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> queue;   // guarded by mutex
    bool busy = false;       // guarded by mutex: a job is being written
    bool stopping = false;   // guarded by mutex
    bool hasFailed = false;  // guarded by mutex
    QString failure;         // guarded by mutex
    int storedCount = 0;     // guarded by mutex
    std::vector<qint64> writeUs; // guarded by mutex
    std::thread worker;
};
