#pragma once

#include "motion/alignmenttargets.h"
#include "motion/motionoutcome.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class Logs;

// One motion request at a time. The host's alignment requests (ENAAX, BGALIGN, BGRALIGN) wait
// in a queue, each with the data connection that asked, and are served one at a time in the
// order ENAAX, BGALIGN, BGRALIGN, each kind first come first served. A scan starts only when no
// alignment runs or waits; an alignment asked for while a scan runs is refused with BUSY (it
// would move the stone between the scan's frames). A request's end or failure message is sent
// only after the station is free again, so the host may send its next request the moment it
// hears the outcome.
//
// Threads: requests arrive on the main thread; the loop serves them on its own thread; the scan
// begins and ends on its thread.
// Locks: loopMutex guards requests, alignmentActive, scanActive and calibrationActive, and is the condition mutex
// of loopWake (wakes the loop early). The sessions of the command being delivered and of the
// last BGSCAN belong to the main thread and take no lock.
class RequestArbiter
{
public:
    struct Hooks
    {
        // Sends a text to the calling thread's request (RequestScope) host.
        std::function<void(const QString&)> send;
        // Shows an outcome to the operator.
        std::function<void(bool, const QString&)> outcomeShown;
        // True when the calling thread's request belongs to a host that has left.
        std::function<bool()> ownerGone;
    };
    using Align = std::function<void(alignment::Kind, alignment::Outcome*)>;

    RequestArbiter(Logs& log, Hooks hooks);

    // Main thread: the host data connection of the command whose signals follow, taken once by
    // the request it starts (a request slot called by anyone else belongs to no host: 0).
    void setCommandSession(quint64 session) { commandSession = session; }
    quint64 lastCommandSession() const { return commandSession; }
    quint64 takeCommandSession();
    // Main thread: the session of the BGSCAN being delivered (0 once taken or for the operator).
    void setScanRequestSession(quint64 session) { scanSession = session; }
    quint64 takeScanRequestSession();

    // Queues an alignment request of the command being delivered, or refuses it with BUSY
    // while a scan runs.
    void enqueue(alignment::Kind kind);
    int pendingRequests() const;

    // False when the scan must wait its turn: a scan, a calibration, an alignment or a queued
    // request.
    bool beginScan();
    void endScan();
    // The operator's calibration holds the axes like a scan: false when anything else holds them
    // or waits; while it runs, host requests are refused with BUSY.
    bool beginCalibration();
    void endCalibration();
    bool calibrating() const;

    // Serves the next request, if any and no scan runs, on the calling thread: runs align under
    // the request's scope, frees the station, then tells the host. False when there was none.
    bool serveNext(const Align& align);
    // Runs an operator's alignment unless a scan runs (then false, nothing run).
    bool runUnlessScanning(const std::function<void()>& align);

    // Waits up to pauseMs, or until a request can be served or wake() is called.
    void waitForWork(unsigned long pauseMs, const std::atomic<bool>& closing);
    void wake();

private:
    struct PendingRequest
    {
        alignment::Kind kind;
        quint64 session;
    };
    void setAlignmentActive(bool active);
    // Sends the end or failure message of a host request and shows the outcome.
    void finishRequest(alignment::Kind kind, quint64 session, const alignment::Outcome& outcome);

    Logs& log;
    Hooks hooks;

    quint64 commandSession = 0;   // main thread
    quint64 scanSession = 0;      // main thread

    mutable std::mutex loopMutex;
    std::condition_variable loopWake;
    std::deque<PendingRequest> requests;
    bool alignmentActive = false;   // a request's or the operator's alignment runs
    bool scanActive = false;
    bool calibrationActive = false;
};
