#include "vision/workergate.h"

#include <QtTest>

#include <atomic>

namespace {
// A worker shaped like the tracker's loop; each "frame" blocks until the test releases it.
class Worker : public QThread
{
public:
    explicit Worker(vision::WorkerGate& gate)
        : gate(gate)
    {
    }
    std::atomic<int> processed{0};
    // Set as run() returns. Read after wait(): Qt's finish/wait hand-shake is invisible to
    // ThreadSanitizer, this flag makes the loop's last use of the gate visibly precede the
    // test's next use of that memory (the next case's gate).
    std::atomic<bool> loopEnded{false};
    QSemaphore release;

protected:
    void run() override
    {
        while (gate.waitForNext()) {
            ++processed;
            release.acquire();
        }
        loopEnded.store(true);
    }

private:
    vision::WorkerGate& gate;
};
// An announcement made before the worker reached its wait is dropped like one made while it
// was busy, so announce the way a camera does: again each millisecond until taken.
bool announceUntilProcessed(vision::WorkerGate& gate, Worker& worker, int count)
{
    for (int i = 0; i < 5000 && worker.processed.load() < count; ++i) {
        gate.announce();
        QTest::qWait(1);
    }
    return worker.processed.load() == count;
}
} // namespace

class TestWorkerGate : public QObject
{
    Q_OBJECT

private slots:
    void announcementsWhileBusyAreDropped()
    {
        vision::WorkerGate gate;
        gate.open();
        Worker worker(gate);
        worker.start();
        QVERIFY(announceUntilProcessed(gate, worker, 1));
        for (int i = 0; i < 5; ++i)
            gate.announce(); // while the first frame is being processed
        worker.release.release();
        // Observation window for the absence of a second run.
        QTest::qWait(100);
        QCOMPARE(worker.processed.load(), 1);
        QVERIFY(announceUntilProcessed(gate, worker, 2));
        worker.release.release();
        gate.close();
        QVERIFY(worker.wait(5000));
        QVERIFY(worker.loopEnded.load());
    }

    void closeAfterAFrameEndsTheLoop()
    {
        vision::WorkerGate gate;
        gate.open();
        Worker worker(gate);
        worker.start();
        QVERIFY(announceUntilProcessed(gate, worker, 1));
        gate.close(); // while the frame is in progress
        QVERIFY(!worker.wait(50));
        worker.release.release();
        QVERIFY(worker.wait(5000));
        QVERIFY(worker.loopEnded.load());
        QCOMPARE(worker.processed.load(), 1);
    }
};

QTEST_GUILESS_MAIN(TestWorkerGate)
#include "tst_workergate.moc"
