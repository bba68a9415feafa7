#pragma once

// A signal spy for signals emitted on another thread (a camera's newcapture(), the host link's
// requests, a worker's results). QSignalSpy connects directly, so it appends to its list in the
// emitting thread while the test reads that list in its own: a data race. This spy receives the
// signal queued, so every record is made and read in the test's thread; the arguments are
// copied when the signal is emitted. Records arrive while the test's thread processes events
// (wait(), waitForCount(), QTRY_* macros, QTest::qWait).

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTest>
#include <QVariant>

namespace testsupport {

class QueuedSignalSpy
{
public:
    template <typename Sender, typename Signal>
    QueuedSignalSpy(const Sender* sender, Signal signal)
    {
        QObject::connect(
            sender, signal, &receiver,
            [this](const auto&... args) { records.append(QVariantList{QVariant::fromValue(args)...}); },
            Qt::QueuedConnection);
    }
    QueuedSignalSpy(const QueuedSignalSpy&) = delete;
    QueuedSignalSpy& operator=(const QueuedSignalSpy&) = delete;

    int count() const { return records.size(); }
    const QVariantList& at(int index) const { return records.at(index); }
    void clear() { records.clear(); }

    // Processes events until `total` signals have been recorded. Each one may take up to
    // timeoutMs after the one before; false when one does not come in time.
    bool waitForCount(int total, int timeoutMs)
    {
        QElapsedTimer sinceLast;
        sinceLast.start();
        int seen = records.size();
        while (records.size() < total) {
            if (records.size() != seen) {
                seen = records.size();
                sinceLast.restart();
            }
            if (sinceLast.elapsed() > timeoutMs)
                return false;
            QTest::qWait(2);
        }
        return true;
    }

    // One more signal than recorded so far, within timeoutMs.
    bool wait(int timeoutMs = 5000) { return waitForCount(records.size() + 1, timeoutMs); }

private:
    QList<QVariantList> records;
    // Declared last so that it goes first: its connection ends before the records do.
    QObject receiver;
};

} // namespace testsupport
