#pragma once

// The host simulator's script: a list of requests played against a running station, each
// waiting for its expected answers, with one summary line per exchange.
//
//   --align          BGALIGN   -> ALIGNBG, then ALIGNEND
//   --ralign         BGRALIGN  -> ALIGNBG, then ALIGNEND
//   --enaax          ENAAX     -> ENAAXEND
//   --scan           BGSCAN    -> SCANBG, the frame reports, then SCANEND
//   --snapshot       QISI      -> SIDONE (or SIFAIL:REASON)
//   --stream N       N times RQI -> one video frame each
//   --send TEXT      TEXT as a command, no answer awaited
//   --wait SECONDS   keep serving the station (GMS, moves) for a while
//   --position AXIS=VALUE  put an axis (X, Y, Z, A, F) there at once and report COORDS
//   --expect-fail REASON   the next align/ralign/enaax/scan/snapshot must fail with that
//                    reason (ALIGNFAIL:REASON, ENAAXFAIL:REASON, SCANFAIL:REASON then SCANEND,
//                    SIFAIL:REASON)
//
// Options: --host ADDRESS (127.0.0.1), --port N (5050), --speed UNITS_PER_S (0 = instant),
// --transcript FILE, --frames-dir DIR, --timeout SECONDS per action (120),
// --connect-retry SECONDS (keep trying to connect that long), --strict (unknown station
// messages, and motion, GMS, outcomes and reports for no request of this connection, count as
// violations), --quiet (no summary lines), --shared-folder DIR (the folder
// the station shares with the host: after SCANEND every reported frame img_NN.png, after
// SIDONE the snapshot Cam2Snapshot.png, is read back from it and decoded, as the host does),
// --still-before-coords MS (answer GMS "still" as soon as the axes stop, send their final
// COORDS only MS later), --late-movestat MS (answer each GMS MS late, with the status at the
// question).
// Video frames are decoded too; their size is in the summary.
//
// Exit codes: 0 all answered and no violation; 1 an answer did not come in time (or an
// expected failure did not come); 2 protocol violation; 3 could not connect; 4 a file or frame
// the station announced could not be read or decoded; 5 an alignment failed (ALIGNFAIL),
// 6 ENAAXFAIL, 7 a scan failed (SCANFAIL), 8 a snapshot failed (SIFAIL), each when not
// expected; 64 bad arguments.

#include <QList>
#include <QString>
#include <QStringList>

class HostSimulator;
class QTextStream;

struct HostScriptAction
{
    enum Kind { Align, RAlign, EnaAx, Scan, Snapshot, Stream, Send, Wait, Position };
    Kind kind = Align;
    int count = 1;        // Stream
    double seconds = 0;   // Wait
    int axis = 0;         // Position: HostSimulator::Axis
    double value = 0;     // Position
    QString text;         // Send
    QString expectFail;   // Align, RAlign, EnaAx, Scan, Snapshot: the failure reason expected
};

struct HostScriptOptions
{
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 5050;
    double speed = 0;
    QString transcript;
    QString framesDir;
    QString sharedFolder;
    double timeoutSeconds = 120;
    double connectRetrySeconds = 0;
    bool strict = false;
    bool quiet = false;
    int stillBeforeCoordsMs = 0;
    int lateStatusMs = 0;
    QList<HostScriptAction> actions;
};

namespace hostscript {

enum ExitCode {
    Ok = 0,
    NoAnswer = 1,
    Violation = 2,
    NoConnection = 3,
    BadFile = 4,
    AlignFailed = 5,
    XAlignFailed = 6,
    ScanFailed = 7,
    SnapshotFailed = 8,
    Usage = 64
};

// Parses the command line (without the program name). False with a message on bad input.
bool parseArguments(const QStringList& arguments, HostScriptOptions* options, QString* error);
QString usage();

// Connects, plays the actions in order, disconnects. Summary lines go to out.
// Needs a QCoreApplication; runs its own event loops.
int run(const HostScriptOptions& options, QTextStream& out);

} // namespace hostscript
