#pragma once

#include "hostlink/hostmessages.h"
#include "motion/alignmenttargets.h"

#include <QString>
#include <QtGlobal>

namespace alignment {

// How an alignment, a wait or a scan step ended: done, failed with a reason (the host is
// told), or interrupted (stop, shutdown, or the host that asked has left: nobody to tell).
struct Outcome
{
    enum State { Done, Failed, Interrupted };
    State state = Interrupted;
    hostmessages::FailReason reason = hostmessages::FailReason::NoStone;
    QString detail;   // for the log and the window
    bool ok() const { return state == Done; }
    bool failed() const { return state == Failed; }
};

// Where the time of an alignment went (microseconds).
struct Timing
{
    Kind kind = Kind::Inscription;
    qint64 totalUs = 0;
    qint64 motionWaitUs = 0;    // waiting for MOVESTAT to report the end of motion
    qint64 trackerWaitUs = 0;   // waiting for a tracker result after the motion
    int statusQueries = 0;      // GMS exchanges
    qint64 ownWorkUs() const { return totalUs - motionWaitUs - trackerWaitUs; }
};

// Rounded milliseconds of a duration in microseconds, as the log lines give them.
QString Millis(qint64 microseconds);

} // namespace alignment
