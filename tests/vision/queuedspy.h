#pragma once

// A signal spy for signals emitted on worker threads. QSignalSpy records in the emitting thread
// while the test reads it on the main thread; this one receives the signal queued, so every
// record is made and read on the main thread. Handles signals with no argument, two doubles or
// six doubles (the camera's, the analyser's and the tracker's).

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTest>
#include <QVariant>

class QueuedSpy : public QObject
{
    Q_OBJECT

public:
    QueuedSpy(QObject* sender, const char* signal)
    {
        const QByteArray signature(signal);
        const char* slot = signature.count(',') == 5 ? SLOT(six(double, double, double, double, double, double))
                           : signature.count(',') == 1 ? SLOT(two(double, double))
                                                        : SLOT(none());
        connect(sender, signal, this, slot, Qt::QueuedConnection);
    }

    int count() const { return calls.size(); }
    const QVariantList& last() const { return calls.last(); }
    QList<QVariantList> calls;

    // Waits for one more signal than had arrived; false after timeoutMs.
    bool wait(int timeoutMs)
    {
        const int before = calls.size();
        QElapsedTimer clock;
        clock.start();
        while (calls.size() == before && clock.elapsed() < timeoutMs)
            QTest::qWait(2);
        return calls.size() > before;
    }

private slots:
    void none() { calls.append(QVariantList()); }
    void two(double a, double b) { calls.append({a, b}); }
    void six(double a, double b, double c, double d, double e, double f) { calls.append({a, b, c, d, e, f}); }
};
