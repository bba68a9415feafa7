#include "motion/requestarbiter.h"

#include "core/logs.h"
#include "hostlink/hostmessages.h"
#include "motion/requestscope.h"

#include <chrono>

using alignment::Kind;
using alignment::Outcome;

namespace {

const char* endMessage(Kind kind)
{
    return kind == Kind::InscriptionX ? hostmessages::XAlignEnd : hostmessages::AlignEnd;
}

QString failMessage(Kind kind, hostmessages::FailReason reason)
{
    return kind == Kind::InscriptionX ? hostmessages::XAlignFail(reason) : hostmessages::AlignFail(reason);
}

int requestRank(Kind kind)
{
    switch (kind) {
    case Kind::InscriptionX: return 0;
    case Kind::Inscription: return 1;
    case Kind::Panorama: return 2;
    }
    return 3;
}

quint64 take(quint64& session)
{
    const quint64 taken = session;
    session = 0;
    return taken;
}

} // namespace

RequestArbiter::RequestArbiter(Logs& log, Hooks hooks)
    : log(log)
    , hooks(std::move(hooks))
{
}

quint64 RequestArbiter::takeCommandSession()
{
    return take(commandSession);
}

quint64 RequestArbiter::takeScanRequestSession()
{
    return take(scanSession);
}

void RequestArbiter::enqueue(Kind kind)
{
    const quint64 session = takeCommandSession();
    bool calibration = false;
    {
        std::lock_guard<std::mutex> loopLock(loopMutex);
        calibration = calibrationActive;
        if (!scanActive && !calibrationActive) {
            requests.push_back({kind, session});
            loopWake.notify_all();
            return;
        }
    }
    // An alignment in the middle of a scan would move the stone between its frames, in the
    // middle of a calibration between its measurements.
    finishRequest(kind, session,
                  Outcome{Outcome::Failed, hostmessages::FailReason::Busy,
                          calibration ? QStringLiteral("a calibration is running") : QStringLiteral("a scan is running")});
}

int RequestArbiter::pendingRequests() const
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    return static_cast<int>(requests.size());
}

bool RequestArbiter::beginScan()
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    if (scanActive || calibrationActive || alignmentActive || !requests.empty())
        return false;
    scanActive = true;
    return true;
}

bool RequestArbiter::beginCalibration()
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    if (scanActive || calibrationActive || alignmentActive || !requests.empty())
        return false;
    calibrationActive = true;
    return true;
}

void RequestArbiter::endCalibration()
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    calibrationActive = false;
    loopWake.notify_all();
}

bool RequestArbiter::calibrating() const
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    return calibrationActive;
}

void RequestArbiter::endScan()
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    scanActive = false;
    loopWake.notify_all();
}

void RequestArbiter::setAlignmentActive(bool active)
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    alignmentActive = active;
}

bool RequestArbiter::runUnlessScanning(const std::function<void()>& align)
{
    {
        std::lock_guard<std::mutex> loopLock(loopMutex);
        if (scanActive || calibrationActive)
            return false;
        alignmentActive = true;
    }
    align();
    setAlignmentActive(false);
    return true;
}

bool RequestArbiter::serveNext(const Align& align)
{
    PendingRequest request{Kind::Inscription, 0};
    {
        std::lock_guard<std::mutex> loopLock(loopMutex);
        if (requests.empty() || scanActive || calibrationActive)
            return false;
        auto next = requests.begin();
        for (auto it = requests.begin(); it != requests.end(); ++it) {
            if (requestRank(it->kind) < requestRank(next->kind))
                next = it;
        }
        request = *next;
        requests.erase(next);
        alignmentActive = true;
    }
    // Frees the station however the alignment ends (an exception included).
    struct ActiveReset
    {
        RequestArbiter* arbiter;
        bool held = true;
        void release()
        {
            if (held)
                arbiter->setAlignmentActive(false);
            held = false;
        }
        ~ActiveReset() { release(); }
    } activeReset{this};

    const RequestScope scope(request.session);
    if (hooks.ownerGone()) {
        log.udebug(QStringLiteral("Motion Core: alignment ") + alignment::KindName(request.kind)
                   + QStringLiteral(" asked by a host that has left, not run"));
        return true;
    }
    Outcome outcome;
    align(request.kind, &outcome);
    // The station is free before the host hears the outcome: a host may send its next request
    // (a scan, say) the moment the outcome arrives.
    activeReset.release();
    finishRequest(request.kind, request.session, outcome);
    return true;
}

void RequestArbiter::waitForWork(unsigned long pauseMs, const std::atomic<bool>& closing)
{
    std::unique_lock<std::mutex> loopLock(loopMutex);
    const bool requestPending = !requests.empty() && !scanActive && !calibrationActive;
    if (!closing && !requestPending)
        loopWake.wait_for(loopLock, std::chrono::milliseconds(pauseMs));
}

void RequestArbiter::wake()
{
    std::lock_guard<std::mutex> loopLock(loopMutex);
    loopWake.notify_all();
}

void RequestArbiter::finishRequest(Kind kind, quint64 session, const Outcome& outcome)
{
    const RequestScope scope(session);
    const QString name = alignment::KindName(kind);
    switch (outcome.state) {
    case Outcome::Done:
        // The alignment has shown its outcome with its residual.
        hooks.send(QString::fromLatin1(endMessage(kind)));
        break;
    case Outcome::Failed: {
        const QString message = failMessage(kind, outcome.reason);
        log.udebug(QStringLiteral("Motion Core: alignment ") + name + QStringLiteral(" failed, ") + message
                   + QStringLiteral(": ") + hostmessages::ReasonText(outcome.reason)
                   + (outcome.detail.isEmpty() ? QString() : QStringLiteral(" (") + outcome.detail + QLatin1Char(')')));
        hooks.send(message);
        hooks.outcomeShown(false, QStringLiteral("Alignment ") + name + QStringLiteral(" failed: ")
                                      + hostmessages::ReasonWord(outcome.reason) + QStringLiteral(" (")
                                      + hostmessages::ReasonText(outcome.reason) + QLatin1Char(')'));
        break;
    }
    case Outcome::Interrupted:
        log.udebug(QStringLiteral("Motion Core: alignment interrupted, ") + QLatin1String(endMessage(kind))
                   + QStringLiteral(" not sent"));
        hooks.outcomeShown(false, QStringLiteral("Alignment ") + name + QStringLiteral(" interrupted"));
        break;
    }
}
