#pragma once

#include "hostlink/hostmessages.h"
#include "motion/alignmenttargets.h"
#include "motion/motionoutcome.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

class Logs;
class MotionSettings;
class QObject;
class VeltraxServer;

// The host's axes as the station sees them: the positions the host reports (COORDS), the
// GMS/MOVESTAT exchange, the move texts, and the confirmation that a motion has ended where it
// was commanded. The host owns X, Y, Z, A (rotation, degrees) and ZII (the front camera's focus
// axis, F in commands); the station only asks it to move.
//
// Threads: positions and MOVESTAT answers arrive on the main thread (slots of MotionCore); the
// waits run on the alignment loop's and the scan's threads, never on the main thread, which
// delivers the answers they wait for. The moves sent on a thread other than the main one
// (alignments, scans) are remembered per thread for that thread's next motion wait; the
// operator's jogs on the main thread wait for nothing.
//
// Locks: statusMutex guards masterStatus, aStatus, ziiStatus, statusSession, statusAsked and
// statusAnswered; statusArrived is its condition (woken when MOVESTAT is stored). It is a
// std::mutex rather than a QMutex so that ThreadSanitizer sees the locking. Positions are
// std::atomic, each read and written whole.
class HostAxes
{
public:
    using Axis = hostmessages::Axis;
    using Send = std::function<void(const QString&)>;
    enum class MotionStatus { Moving, Still, NoAnswer, TimedOut };

    // home: the object whose thread delivers the host's answers (the main thread); closing: set
    // when the station shuts down; send: a text to the host of the calling thread's request.
    HostAxes(Logs& log, VeltraxServer* server, const MotionSettings& settings, const QObject& home,
             const std::atomic<bool>& closing, Send send);

    // COORDS from the host (main thread).
    void setPositions(double x, double y, double z, double a, double zii);
    alignment::AxisPositions positions() const;
    double x() const { return xPos; }
    double y() const { return yPos; }
    double z() const { return zPos; }
    double a() const { return aPos; }
    double zii() const { return ziiPos; }

    // MOVESTAT from the host (main thread); commandSession is the data connection it came on
    // (0 when not known): an answer from a host that has gone answers nobody's question.
    void setMotionStatus(int master, int a, int zii, quint64 commandSession);

    // Move texts. Each is sent only when every value is finite (otherwise logged, nothing sent)
    // and, off the main thread, recorded for the thread's next waitMotionEnd.
    void increment(Axis axis, double distance);
    void moveTo(Axis axis, double position);
    void moveXY(double x, double y);
    void moveXYZ(double x, double y, double z);
    void moveAll(double x, double y, double z, double a, double f);

    // Asks the host "GMS" once and waits for its own MOVESTAT answer: the three outcomes of
    // the answer told apart (TimedOut: none within StatusAnswerWaitMs, logged; NoAnswer: stop,
    // shutdown, no host, the host gone, or called on the main thread, logged).
    MotionStatus queryMotionStatus(const std::function<bool()>& stop);

    // Asks for the motion status until no axis moves and the moves this thread sent since its
    // last wait are reported at their commanded positions within PositionTolerance. True then;
    // false when interrupted (stop, shutdown, the asking host gone) or failed (HOST: no answer
    // to a GMS within StatusAnswerWaitMs, or the commanded positions not reported within
    // StatusAnswerWaitMs of the first "still"). Adds its queries and waiting time to timing.
    bool waitMotionEnd(const std::function<bool()>& stop, alignment::Timing* timing, alignment::Outcome* outcome);

    // True when the station closes, stop() says so, or the calling thread's request belongs to
    // a host that has left.
    bool stopRequested(const std::function<bool()>& stop) const;
    bool ownerGone() const;
    // Ends the waits at shutdown.
    void wake();

    // Every text the station sends the host passes here (MotionCore::TessarixCommand): a move
    // ends the axes' quiet (see lastStillUs).
    void textSent(const QString& text);

    // Since when the calling thread's last waitMotionEnd knows the axes still where they
    // stand (steady clock, microseconds; -1 before any): when it heard them still. When
    // nothing has moved them since an earlier wait heard them still there (no move sent by
    // anyone, no other position reported, no "moving" status, the same host), that earlier
    // moment: a frame captured after it shows them where they stand, and waiting for a newer
    // one would only wait for the camera.
    static qint64 lastStillUs();
    // Steady-clock microseconds, the clock of frame capture times.
    static qint64 nowUs();

private:
    bool send(const QString& text, const char* what);
    void commandedTo(Axis axis, double position);
    bool closingOrStopped(const std::function<bool()>& stop) const;
    // The ticket of this query's GMS, once earlier unanswered questions are settled.
    quint64 ask(quint64 session, const std::function<bool()>& stop);

    Logs& log;
    VeltraxServer* server;
    const MotionSettings& settings;
    const QObject& home;
    const std::atomic<bool>& closing;
    Send sendText;

    std::atomic<double> xPos{0}, yPos{0}, zPos{0}, aPos{0}, ziiPos{0};

    std::mutex statusMutex;
    std::condition_variable statusArrived;
    int masterStatus = 0;   // 1 moving, other values not moving, -1 query pending
    int aStatus = 0;
    int ziiStatus = 0;
    // GMS questions asked of and answers received from the host of statusSession: a query waits
    // for the answer to its own question, so a late answer to an earlier one cannot end it.
    quint64 statusSession = 0;
    quint64 statusAsked = 0;
    quint64 statusAnswered = 0;

    // The axes' quiet: since when (steady clock µs, -1: not quiet) they have stood at quietAt
    // for the host of quietSession. Guarded by quietMutex.
    std::mutex quietMutex;
    qint64 quietSinceUs = -1;
    alignment::AxisPositions quietAt;
    quint64 quietSession = 0;
    void endQuiet();
};
