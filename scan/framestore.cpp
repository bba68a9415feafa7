#include "scan/framestore.h"

#include "camera/sharedfolder.h"
#include "motion/requestscope.h"

#include <QElapsedTimer>

FrameStore::FrameStore(quint64 session)
    : worker([this, session] { run(session); })
{
}

FrameStore::~FrameStore()
{
    finish();
}

bool FrameStore::push(Job job)
{
    {
        std::lock_guard<std::mutex> queueLock(mutex);
        if (hasFailed || stopping)
            return false;
        queue.push_back(std::move(job));
    }
    changed.notify_all();
    return true;
}

bool FrameStore::failed(QString* detail) const
{
    std::lock_guard<std::mutex> queueLock(mutex);
    if (detail)
        *detail = failure;
    return hasFailed;
}

bool FrameStore::drain(QString* detail)
{
    {
        std::unique_lock<std::mutex> queueLock(mutex);
        changed.wait(queueLock, [this] { return queue.empty() && !busy; });
    }
    return !failed(detail);
}

bool FrameStore::finish(QString* detail)
{
    drain();
    {
        std::lock_guard<std::mutex> queueLock(mutex);
        stopping = true;
    }
    changed.notify_all();
    if (worker.joinable())
        worker.join();
    return !failed(detail);
}

int FrameStore::stored() const
{
    std::lock_guard<std::mutex> queueLock(mutex);
    return storedCount;
}

std::vector<qint64> FrameStore::writeMicros() const
{
    std::lock_guard<std::mutex> queueLock(mutex);
    return writeUs;
}

void FrameStore::run(quint64 session)
{
    const RequestScope scope(session);
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> queueLock(mutex);
            changed.wait(queueLock, [this] { return stopping || !queue.empty(); });
            if (queue.empty())
                return;
            job = std::move(queue.front());
            queue.pop_front();
            busy = true;
        }
        QElapsedTimer clock;
        clock.start();
        QString error;
        const bool written = !job.frame.empty() && WritePngAtomically(job.path, job.frame, &error);
        const qint64 took = clock.nsecsElapsed() / 1000;
        // A frame is reported only once it is on the disk whole: the host reads the file.
        if (written && job.report)
            job.report();
        {
            std::lock_guard<std::mutex> queueLock(mutex);
            writeUs.push_back(took);
            if (written) {
                ++storedCount;
            } else {
                hasFailed = true;
                failure = QStringLiteral("could not write ") + job.path + QStringLiteral(": ")
                          + (job.frame.empty() ? QStringLiteral("no frame") : error);
                queue.clear(); // nothing after a lost frame is stored or reported
            }
            busy = false;
        }
        changed.notify_all();
    }
}
