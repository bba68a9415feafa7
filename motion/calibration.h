#pragma once

#include "motion/calibrationresult.h"
#include "motion/calibrationrun.h"
#include "vision/girdlereading.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

class Logs;
class MotionCore;
class Registry;

// The operator's calibration in service mode: measures the station's calibration values by
// moving (CalibrationRun), shows each beside the stored value, writes a report, and stores only
// what the operator accepts.
//
// It runs only with a host connected (the host moves the axes) and nothing else holding the
// axes; while it runs, host requests get BUSY. It belongs to the host connected when it started:
// its texts go to that host and, should the host leave, the run stops. Stop() ends it at once;
// the axes stay where they are and the log says so.
//
// Threads: the object lives on the main thread (Start, Stop, Accept, onGirdle); the run has its
// own thread, joined before the next start and on destruction.
// Locks: girdleMutex guards readings and readingSerial; girdleArrived is its condition.
// resultMutex guards last and accepted.
class Calibration : public QObject
{
    Q_OBJECT

public:
    Calibration(MotionCore* core, Logs* log, Registry* registry, QObject* parent = nullptr);
    ~Calibration() override;

    // The moves and sweeps of the next run (tests and benchmarks shorten them).
    void SetPlan(const CalibrationRun::Plan& next) { plan = next; }

    // False, with the reason logged and in *why, when it cannot start now.
    bool Start(QString* why = nullptr);
    // Ends the run at once; the axes stay where they are.
    void Stop();
    bool Running() const { return running; }

    CalibrationResult LastResult() const;
    // Stores the acceptable values of the last finished run (once); rewrites its report with
    // them. Returns the "KEY old -> new" lines (empty: nothing stored).
    QStringList Accept();

public slots:
    // Every girdle reading of the front camera (GridleAnalyser::NewMFGirdle).
    void onGirdle(GirdleReading reading);

signals:
    // A stage begins ("Calibration: rotation axis (A turns)").
    void Progress(QString text);
    // The run ended (complete or not); its values are in the result.
    void Finished(CalibrationResult result);

private:
    void work(quint64 session);
    void finish(const CalibrationResult& result);
    bool waitGirdle(const SettledCapture& rule, quint64 after, int limitMs, GirdleReading* reading, quint64* serial);

    MotionCore* core;
    Logs* log;
    Registry* registry;
    CalibrationRun::Plan plan;
    std::thread worker;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};

    mutable std::mutex girdleMutex;
    std::condition_variable girdleArrived;
    std::deque<std::pair<quint64, GirdleReading>> readings;   // the last few, with their numbers
    quint64 readingSerial = 0;

    mutable std::mutex resultMutex;
    CalibrationResult last;
    bool accepted = false;
};
