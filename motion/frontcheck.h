#pragma once

#include "vision/girdlereading.h"

#include <QObject>
#include <QString>

#include <mutex>

class Logs;

// Checks each front alignment on the side view. The front alignment positions the stone from
// the top view alone; the front camera then shows whether the girdle really came to the middle
// row of its view (where the window draws its red cross) and is sharp. After an alignment, the
// girdle measured on the first front frame captured after the axes were still (plus the settle
// time, like the alignment's own measurements) is compared with that row: the offset of the
// band's centre in pixels and micrometres (+ when the band is below the middle), and the edge
// width. The result is logged ("Front check: ...") and announced; it changes no outcome for the
// host.
//
// Threads: Arm() comes from the alignment's thread, onGirdle() on the thread the object lives
// on (the main thread, queued from the analyser). mutex guards armed, freshFromUs and last.
class FrontCheck : public QObject
{
    Q_OBJECT

public:
    explicit FrontCheck(Logs* logging, QObject* parent = nullptr);

    struct Result
    {
        bool valid = false;     // a check has been made
        bool found = false;     // the girdle was measured
        double offsetPx = 0.0;  // band centre minus the middle row, + downwards
        double offsetUm = 0.0;
        double edgeWidthPx = -1.0;
        QString text;           // the log line
    };

    // The next reading of a frame captured at or after freshFromUs (steady clock, microseconds)
    // decides; from a camera that gives no capture time, the next reading. Replaces an armed
    // check that has not been decided yet.
    void Arm(qint64 freshFromUs);
    // Whether a check waits for its frame.
    bool Armed() const;
    Result Last() const;

    // "Front check: girdle centre +3.2 px (+4.1 µm) from the middle row, edge width 2.1 px", or
    // "Front check: no girdle (none in view)".
    static Result Evaluate(const GirdleReading& reading);

public slots:
    void onGirdle(GirdleReading reading);

signals:
    void Checked(bool found, QString text);

private:
    Logs* logging = nullptr;
    mutable std::mutex mutex;
    bool armed = false;     // guarded by mutex
    qint64 freshFromUs = -1; // guarded by mutex
    Result last;            // guarded by mutex
};
