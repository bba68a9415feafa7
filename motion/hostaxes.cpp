#include "motion/hostaxes.h"

#include "core/logs.h"
#include "hostlink/veltraxserver.h"
#include "motion/commandedposition.h"
#include "motion/motionsettings.h"
#include "motion/requestscope.h"

#include <QElapsedTimer>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <chrono>

using hostmessages::Number;

namespace {

// A silent host is reported at this interval while a status query waits (it keeps waiting).
constexpr qint64 SilentHostReportMs = 5000;
// How long a status query waits for late answers to earlier unanswered GMS before asking.
constexpr int LateAnswerGraceMs = 1000;
// Pause between GMS while the host says "still" but its COORDS do not show the commanded
// position yet (it reports them when the motion ends, possibly after its status).
constexpr unsigned long MisplacedQueryPauseMs = 5;

// When the calling thread's last motion wait heard the axes still, and the moves it sent since
// (alignments and scans only).
thread_local qint64 threadStillUs = -1;
thread_local CommandedPosition threadCommanded;

} // namespace

HostAxes::HostAxes(Logs& log, VeltraxServer* server, const MotionSettings& settings, const QObject& home,
                   const std::atomic<bool>& closing, Send send)
    : log(log)
    , server(server)
    , settings(settings)
    , home(home)
    , closing(closing)
    , sendText(std::move(send))
{
}

qint64 HostAxes::lastStillUs()
{
    return threadStillUs;
}

qint64 HostAxes::nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool HostAxes::ownerGone() const
{
    const quint64 owner = RequestScope::Current();
    return owner != 0 && (!server || server->HostSession() != owner);
}

bool HostAxes::closingOrStopped(const std::function<bool()>& stop) const
{
    return closing || (stop && stop());
}

bool HostAxes::stopRequested(const std::function<bool()>& stop) const
{
    return closingOrStopped(stop) || ownerGone();
}

void HostAxes::wake()
{
    std::lock_guard<std::mutex> statusLock(statusMutex);
    statusArrived.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Positions and moves

void HostAxes::endQuiet()
{
    std::lock_guard<std::mutex> quietLock(quietMutex);
    quietSinceUs = -1;
}

void HostAxes::textSent(const QString& text)
{
    if (text.startsWith(QLatin1String("MOVE")) || text.startsWith(QLatin1String("INC")))
        endQuiet();
}

void HostAxes::setPositions(double x, double y, double z, double a, double zii)
{
    {
        std::lock_guard<std::mutex> quietLock(quietMutex);
        const alignment::AxisPositions& q = quietAt;
        if (quietSinceUs >= 0 && (x != q.x || y != q.y || z != q.z || a != q.a || zii != q.zii))
            quietSinceUs = -1;
    }
    xPos = x;
    yPos = y;
    zPos = z;
    aPos = a;
    ziiPos = zii;
}

alignment::AxisPositions HostAxes::positions() const
{
    return {xPos, yPos, zPos, aPos, ziiPos};
}

bool HostAxes::send(const QString& text, const char* what)
{
    if (text.isEmpty()) {
        log.udebug(QStringLiteral("Motion Core: ") + QLatin1String(what)
                   + QStringLiteral(" not sent, a value is not a finite number"));
        return false;
    }
    sendText(text);
    return true;
}

// The operator's jogs and the window's buttons run on the main thread and wait for nothing.
void HostAxes::commandedTo(Axis axis, double position)
{
    if (QThread::currentThread() != home.thread())
        threadCommanded.moveTo(axis, position);
}


namespace {
const char* incrementName(hostmessages::Axis axis)
{
    switch (axis) {
    case hostmessages::Axis::X: return "INCX";
    case hostmessages::Axis::Y: return "INCY";
    case hostmessages::Axis::Z: return "INCZ";
    case hostmessages::Axis::A: return "INCA";
    case hostmessages::Axis::ZII: return "INCF";
    }
    return "INC";
}
const char* moveName(hostmessages::Axis axis)
{
    switch (axis) {
    case hostmessages::Axis::X: return "MOVEX";
    case hostmessages::Axis::Y: return "MOVEY";
    case hostmessages::Axis::Z: return "MOVEZ";
    case hostmessages::Axis::A: return "MOVEA";
    case hostmessages::Axis::ZII: return "MOVEF";
    }
    return "MOVE";
}
} // namespace

// A relative move is recorded from where the axes stood before it was sent: a fast host may
// report the end of the motion before the step is recorded, and the step must not be added to
// where it already took them.
void HostAxes::increment(Axis axis, double distance)
{
    const alignment::AxisPositions before = positions();
    if (send(hostmessages::Increment(axis, distance), incrementName(axis))
        && QThread::currentThread() != home.thread())
        threadCommanded.moveBy(axis, distance, before);
}

void HostAxes::moveTo(Axis axis, double position)
{
    if (send(hostmessages::MoveTo(axis, position), moveName(axis)))
        commandedTo(axis, position);
}

void HostAxes::moveXY(double x, double y)
{
    if (!send(hostmessages::MoveXY(x, y), "MOVEX..:Y..:"))
        return;
    commandedTo(Axis::X, x);
    commandedTo(Axis::Y, y);
}

void HostAxes::moveXYZ(double x, double y, double z)
{
    if (!send(hostmessages::MoveXYZ(x, y, z), "MOVEX..:Y..:Z..:"))
        return;
    commandedTo(Axis::X, x);
    commandedTo(Axis::Y, y);
    commandedTo(Axis::Z, z);
}

void HostAxes::moveAll(double x, double y, double z, double a, double f)
{
    if (!send(hostmessages::MoveXYZAF(x, y, z, a, f), "MOVEX..:Y..:Z..:A..:F..:"))
        return;
    commandedTo(Axis::X, x);
    commandedTo(Axis::Y, y);
    commandedTo(Axis::Z, z);
    commandedTo(Axis::A, a);
    commandedTo(Axis::ZII, f);
}

// ---------------------------------------------------------------------------------------------
// The GMS/MOVESTAT exchange

quint64 HostAxes::ask(quint64 session, const std::function<bool()>& stop)
{
    std::unique_lock<std::mutex> statusLock(statusMutex);
    if (statusSession != session) {
        statusSession = session;
        statusAsked = 0;
        statusAnswered = 0;
    }
    // Answers to questions nobody waits for any more (an earlier wait that ended without its
    // answer) are still on their way: this question's answer is the next after them.
    if (statusAnswered > statusAsked)
        statusAnswered = statusAsked;   // answers nobody asked for
    if (statusAsked > statusAnswered) {
        // An earlier wait ended without its answer. If that answer is only late, it must not be
        // taken for the answer to this question: give it a moment to arrive and drop it. An
        // answer that never comes is forgotten after that moment.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(LateAnswerGraceMs);
        while (statusAnswered < statusAsked && std::chrono::steady_clock::now() < until && !closingOrStopped(stop))
            statusArrived.wait_for(statusLock, std::chrono::milliseconds(1));
        statusAnswered = statusAsked;
    }
    masterStatus = -1;
    aStatus = -1;
    ziiStatus = -1;
    return ++statusAsked;
}

HostAxes::MotionStatus HostAxes::queryMotionStatus(const std::function<bool()>& stop)
{
    if (QThread::currentThread() == home.thread()) {
        // The MOVESTAT answer is stored by a slot of this thread: waiting here could never end.
        log.udebug(QStringLiteral("Motion Core: Blocking_IsMoving called on the main thread, not waiting"));
        return MotionStatus::NoAnswer;
    }
    // Only the host that receives "GMS" can answer it: without one, or once it has gone, the
    // answer never comes (a host that connects later never saw the question). A request's
    // question goes to the host that made the request, or to nobody.
    const quint64 owner = RequestScope::Current();
    const quint64 session = owner != 0 ? owner : (server ? server->HostSession() : 0);
    if (session == 0 || !server || server->HostSession() != session) {
        log.udebug(QStringLiteral("Motion Core: no host connected to answer GMS, motion wait abandoned"));
        return MotionStatus::NoAnswer;
    }
    const quint64 ticket = ask(session, stop);
    sendText(QString::fromLatin1(hostmessages::StatusQuery));

    QElapsedTimer silence;
    silence.start();
    qint64 nextReport = SilentHostReportMs;
    const qint64 limit = std::max(1, static_cast<int>(settings.StatusAnswerWaitMs));
    std::unique_lock<std::mutex> statusLock(statusMutex);
    for (;;) {
        if (statusSession == session && statusAnswered >= ticket) {
            const bool moving = masterStatus == 1 || aStatus == 1 || ziiStatus == 1;
            return moving ? MotionStatus::Moving : MotionStatus::Still;
        }
        statusArrived.wait_for(statusLock, std::chrono::milliseconds(1));
        if (closingOrStopped(stop))
            return MotionStatus::NoAnswer;
        if (server->HostSession() != session) {
            statusLock.unlock();
            log.udebug(QStringLiteral("Motion Core: the host left without answering GMS, motion wait abandoned"));
            return MotionStatus::NoAnswer;
        }
        const qint64 waited = silence.elapsed();
        if (waited >= limit) {
            statusLock.unlock();
            log.udebug(QStringLiteral("Motion Core: no MOVESTAT answer to GMS within ") + QString::number(limit)
                       + QStringLiteral(" ms, motion wait failed"));
            return MotionStatus::TimedOut;
        }
        if (waited >= nextReport) {
            statusLock.unlock();
            log.udebug(QStringLiteral("Motion Core: no MOVESTAT answer to GMS for ") + QString::number(nextReport)
                       + QStringLiteral(" ms, still waiting"));
            nextReport += SilentHostReportMs;
            statusLock.lock();
        }
    }
}

void HostAxes::setMotionStatus(int master, int a, int zii, quint64 commandSession)
{
    std::lock_guard<std::mutex> statusLock(statusMutex);
    // An answer left over from a host that has gone belongs to no question of the current one.
    if (commandSession != 0 && commandSession != statusSession && statusSession != 0)
        return;
    masterStatus = master;
    aStatus = a;
    ziiStatus = zii;
    if (master == 1 || a == 1 || zii == 1)
        endQuiet();
    ++statusAnswered;
    statusArrived.notify_all();
}

bool HostAxes::waitMotionEnd(const std::function<bool()>& stop, alignment::Timing* timing, alignment::Outcome* outcome)
{
    using alignment::Outcome;
    QElapsedTimer waited;
    waited.start();
    // Taken whatever the end of this wait: a later wait never holds the axes to an older move.
    const CommandedPosition commanded = threadCommanded;
    threadCommanded.clear();
    // "Still" is not enough: the host may say it before its final COORDS, and a late MOVESTAT
    // may answer an earlier GMS. The motion has ended where the station looks only once the
    // reported positions are the commanded ones.
    QElapsedTimer misplaced;
    Outcome result;
    while (!stopRequested(stop)) {
        if (timing)
            ++timing->statusQueries;
        const MotionStatus status = queryMotionStatus(stop);
        if (status == MotionStatus::Still) {
            const double tolerance = settings.PositionTolerance;
            const QString misplacement = commanded.mismatch(positions(), tolerance);
            if (misplacement.isEmpty()) {
                const qint64 now = nowUs();
                const quint64 session = server ? server->HostSession() : 0;
                const alignment::AxisPositions here = positions();
                std::lock_guard<std::mutex> quietLock(quietMutex);
                const bool quiet = quietSinceUs >= 0 && quietSession == session && here.x == quietAt.x
                                   && here.y == quietAt.y && here.z == quietAt.z && here.a == quietAt.a
                                   && here.zii == quietAt.zii;
                if (!quiet) {
                    quietSinceUs = now;
                    quietAt = here;
                    quietSession = session;
                }
                threadStillUs = quietSinceUs;
                result.state = Outcome::Done;
                break;
            }
            const qint64 limitMs = std::max(1, static_cast<int>(settings.StatusAnswerWaitMs));
            if (!misplaced.isValid()) {
                misplaced.start();
            } else if (misplaced.elapsed() >= limitMs) {
                log.udebug(QStringLiteral("Motion Core: the host reports the axes still but ") + misplacement
                           + QStringLiteral(" (tolerance ") + Number(tolerance) + QStringLiteral(") for ")
                           + QString::number(limitMs) + QStringLiteral(" ms, motion wait failed"));
                result = {Outcome::Failed, hostmessages::FailReason::Host, misplacement};
                break;
            }
            QThread::msleep(MisplacedQueryPauseMs);
            continue;
        }
        if (status == MotionStatus::TimedOut) {
            result = {Outcome::Failed, hostmessages::FailReason::Host, QStringLiteral("no MOVESTAT answer to GMS")};
            break;
        }
        if (status == MotionStatus::NoAnswer)
            break;
        QThread::msleep(1);
    }
    if (timing)
        timing->motionWaitUs += waited.nsecsElapsed() / 1000;
    if (outcome)
        *outcome = result;
    return result.ok();
}
