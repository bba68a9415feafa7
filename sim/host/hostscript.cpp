#include "sim/host/hostscript.h"

#include "sim/host/hostsimulator.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QTextStream>

#include <cmath>
#include <functional>

namespace hostscript {

QString usage()
{
    return QStringLiteral(
        "usage: hostsim [--host ADDRESS] [--port N] [--speed UNITS_PER_S] [--transcript FILE]\n"
        "               [--frames-dir DIR] [--timeout SECONDS] [--connect-retry SECONDS]\n"
        "               [--shared-folder DIR] [--strict] [--quiet]\n"
        "               [--still-before-coords MS] [--late-movestat MS] ACTION...\n"
        "actions, played in order: --align --ralign --enaax --scan --snapshot --stream N\n"
        "                          --send TEXT --wait SECONDS --position AXIS=VALUE\n"
        "                          --expect-fail REASON (before a request: it must fail so)\n"
        "exit: 0 ok, 1 no answer, 2 protocol violation, 3 no connection, 4 bad file,\n"
        "      5 ALIGNFAIL, 6 ENAAXFAIL, 7 SCANFAIL, 8 SIFAIL (not expected), 64 usage\n");
}

namespace {

bool takeValue(const QStringList& args, int* i, QString* value, QString* error)
{
    if (*i + 1 >= args.size()) {
        *error = QStringLiteral("%1 needs a value").arg(args.at(*i));
        return false;
    }
    *value = args.at(++*i);
    return true;
}

bool takeNumber(const QStringList& args, int* i, double minimum, double* value, QString* error)
{
    QString text;
    if (!takeValue(args, i, &text, error))
        return false;
    bool ok = false;
    *value = text.toDouble(&ok);
    if (!ok || !std::isfinite(*value) || *value < minimum) {
        *error = QStringLiteral("%1: \"%2\" is not a number of at least %3").arg(args.at(*i - 1), text).arg(minimum);
        return false;
    }
    return true;
}

} // namespace

bool parseArguments(const QStringList& args, HostScriptOptions* options, QString* error)
{
    QString expectFail;   // for the next request
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        double number = 0;
        QString text;
        HostScriptAction action;
        action.expectFail = expectFail;
        const int actionsBefore = options->actions.size();
        if (arg == QLatin1String("--host")) {
            if (!takeValue(args, &i, &options->host, error))
                return false;
        } else if (arg == QLatin1String("--port")) {
            if (!takeNumber(args, &i, 1, &number, error))
                return false;
            if (number > 65535 || number != std::floor(number)) {
                *error = QStringLiteral("--port: %1 is not a port number").arg(number);
                return false;
            }
            options->port = quint16(number);
        } else if (arg == QLatin1String("--speed")) {
            if (!takeNumber(args, &i, 0, &options->speed, error))
                return false;
        } else if (arg == QLatin1String("--transcript")) {
            if (!takeValue(args, &i, &options->transcript, error))
                return false;
        } else if (arg == QLatin1String("--frames-dir")) {
            if (!takeValue(args, &i, &options->framesDir, error))
                return false;
        } else if (arg == QLatin1String("--shared-folder")) {
            if (!takeValue(args, &i, &options->sharedFolder, error))
                return false;
        } else if (arg == QLatin1String("--timeout")) {
            if (!takeNumber(args, &i, 0.001, &options->timeoutSeconds, error))
                return false;
        } else if (arg == QLatin1String("--connect-retry")) {
            if (!takeNumber(args, &i, 0, &options->connectRetrySeconds, error))
                return false;
        } else if (arg == QLatin1String("--still-before-coords") || arg == QLatin1String("--late-movestat")) {
            if (!takeNumber(args, &i, 0, &number, error))
                return false;
            if (number > 3600000) {
                *error = QStringLiteral("%1: %2 ms is more than an hour").arg(arg).arg(number);
                return false;
            }
            (arg == QLatin1String("--late-movestat") ? options->lateStatusMs : options->stillBeforeCoordsMs) = int(number);
        } else if (arg == QLatin1String("--strict")) {
            options->strict = true;
        } else if (arg == QLatin1String("--quiet")) {
            options->quiet = true;
        } else if (arg == QLatin1String("--expect-fail")) {
            if (!takeValue(args, &i, &expectFail, error))
                return false;
            continue;
        } else if (arg == QLatin1String("--position")) {
            QString assignment;
            if (!takeValue(args, &i, &assignment, error))
                return false;
            const QStringList parts = assignment.split(QLatin1Char('='));
            static const QString axes = QStringLiteral("XYZAF");
            bool ok = parts.size() == 2 && parts[0].size() == 1 && axes.contains(parts[0].toUpper());
            const double value = ok ? parts[1].toDouble(&ok) : 0;
            if (!ok) {
                *error = QStringLiteral("--position wants AXIS=VALUE (X, Y, Z, A or F), not \"%1\"").arg(assignment);
                return false;
            }
            action.kind = HostScriptAction::Position;
            action.axis = axes.indexOf(parts[0].toUpper());
            action.value = value;
            options->actions << action;
        } else if (arg == QLatin1String("--align")) {
            action.kind = HostScriptAction::Align;
            options->actions << action;
        } else if (arg == QLatin1String("--ralign")) {
            action.kind = HostScriptAction::RAlign;
            options->actions << action;
        } else if (arg == QLatin1String("--enaax")) {
            action.kind = HostScriptAction::EnaAx;
            options->actions << action;
        } else if (arg == QLatin1String("--scan")) {
            action.kind = HostScriptAction::Scan;
            options->actions << action;
        } else if (arg == QLatin1String("--snapshot")) {
            action.kind = HostScriptAction::Snapshot;
            options->actions << action;
        } else if (arg == QLatin1String("--stream")) {
            if (!takeNumber(args, &i, 1, &number, error))
                return false;
            action.kind = HostScriptAction::Stream;
            action.count = int(number);
            options->actions << action;
        } else if (arg == QLatin1String("--send")) {
            if (!takeValue(args, &i, &action.text, error))
                return false;
            action.kind = HostScriptAction::Send;
            options->actions << action;
        } else if (arg == QLatin1String("--wait")) {
            if (!takeNumber(args, &i, 0, &action.seconds, error))
                return false;
            action.kind = HostScriptAction::Wait;
            options->actions << action;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            *error = QString();
            return false;
        } else {
            *error = QStringLiteral("unknown argument \"%1\"").arg(arg);
            return false;
        }
        if (options->actions.size() > actionsBefore) {
            const HostScriptAction::Kind kind = options->actions.last().kind;
            if (kind == HostScriptAction::Align || kind == HostScriptAction::RAlign || kind == HostScriptAction::EnaAx
                || kind == HostScriptAction::Scan || kind == HostScriptAction::Snapshot)
                expectFail.clear();
        }
    }
    if (!expectFail.isEmpty()) {
        *error = QStringLiteral("--expect-fail %1 is not followed by a request").arg(expectFail);
        return false;
    }
    return true;
}

namespace {

QString ms(qint64 nanoseconds)
{
    return QString::number(nanoseconds / 1.0e6, 'f', 1) + QStringLiteral(" ms");
}

class Runner
{
public:
    Runner(const HostScriptOptions& options, HostSimulator& sim, QTextStream& out)
        : options(options), sim(sim), out(out), timeoutMs(int(options.timeoutSeconds * 1000))
    {
    }

    void say(const QString& line)
    {
        if (!options.quiet) {
            out << line << '\n';
            out.flush();
        }
    }

    // Waits for the condition; a protocol violation or the end of the data connection ends
    // the wait at once, since the answer can then no longer be trusted or come.
    bool waitFor(const std::function<bool()>& condition, int ms)
    {
        sim.waitUntil([&]() { return condition() || sim.violationCount() > 0 || !sim.isDataConnected(); }, ms);
        return condition();
    }

    int waitForText(const QString& text, int from, int ms)
    {
        int found = -1;
        waitFor([&]() {
            for (int i = qMax(0, from); i < sim.messages().size(); ++i) {
                if (sim.messages().at(i).text == text) {
                    found = i;
                    return true;
                }
            }
            return false;
        },
                ms);
        return found;
    }

    // Sends a request and waits for its acknowledgement (when it has one), then for its outcome:
    // the end text or a failure (failPrefix + reason). A failed scan's SCANEND is waited for too,
    // except after BUSY (a refused scan gets no SCANEND). *failure is the failure text, if any.
    bool request(const QString& command, const QString& ack, const QString& endText, const QString& failPrefix,
                 QList<qint64>* times, QString* missing, QString* failure)
    {
        const int from = sim.messageCount();
        QElapsedTimer started;
        started.start();
        sim.send(command);
        int at = from;
        auto remaining = [&]() { return int(qMax<qint64>(1, timeoutMs - started.elapsed())); };
        if (!ack.isEmpty()) {
            const int index = waitForText(ack, at, remaining());
            if (index < 0) {
                *missing = ack;
                return false;
            }
            times->append(started.nsecsElapsed());
            at = index + 1;
        }
        int found = -1;
        waitFor([&]() {
            for (int i = at; i < sim.messages().size(); ++i) {
                const QString& text = sim.messages().at(i).text;
                if (text == endText || text.startsWith(failPrefix)) {
                    found = i;
                    return true;
                }
            }
            return false;
        },
                remaining());
        if (found < 0) {
            *missing = endText;
            return false;
        }
        times->append(started.nsecsElapsed());
        const QString text = sim.messages().at(found).text;
        if (text == endText)
            return true;
        *failure = text;
        if (endText == QLatin1String("SCANEND") && text != QLatin1String("SCANFAIL:BUSY")) {
            if (waitForText(endText, found + 1, remaining()) < 0) {
                *missing = endText;
                return false;
            }
            times->last() = started.nsecsElapsed();
        }
        return true;
    }

    // The exit code of a request's outcome: Ok when it ended as expected (its end, or the
    // failure asked for with --expect-fail).
    int judge(const HostScriptAction& action, const QString& failure, int failedCode, const QString& name)
    {
        if (action.expectFail.isEmpty())
            return failure.isEmpty() ? int(Ok) : failedCode;
        const QString wanted = action.expectFail.toUpper();
        if (failure.section(QLatin1Char(':'), 1) == wanted)
            return Ok;
        say(QStringLiteral("%1: expected failure %2, got %3").arg(name, wanted, failure.isEmpty() ? QStringLiteral("success") : failure));
        return NoAnswer;
    }

    // Reads a file the station announced from the shared folder and decodes it, as the host
    // does; one summary line. A file missing, older than the request or not decodable marks
    // the run as failed.
    void readBack(const QString& name, const QDateTime& notBefore)
    {
        const QString path = QDir(options.sharedFolder).filePath(name);
        const QFileInfo info(path);
        QString problem;
        QImage image;
        if (!info.exists()) {
            problem = QStringLiteral("missing");
        } else if (notBefore.isValid() && info.lastModified() < notBefore) {
            problem = QStringLiteral("not rewritten since the request (last written %1)").arg(info.lastModified().toString(Qt::ISODateWithMs));
        } else {
            QImageReader reader(path);
            image = reader.read();
            if (image.isNull())
                problem = QStringLiteral("does not decode: ") + reader.errorString();
        }
        if (!problem.isEmpty()) {
            badFile = true;
            say(QStringLiteral("  %1: %2").arg(name, problem));
            return;
        }
        say(QStringLiteral("  %1: %2 bytes, %3x%4").arg(name).arg(info.size()).arg(image.width()).arg(image.height()));
    }

    int play(const HostScriptAction& action)
    {
        QList<qint64> times;
        QString missing;
        const int gmsBefore = sim.statusQueries();
        const int movesBefore = sim.moveCommands();
        auto motionText = [&]() {
            return QStringLiteral("%1 GMS, %2 moves").arg(sim.statusQueries() - gmsBefore).arg(sim.moveCommands() - movesBefore);
        };
        auto noAnswer = [&](const QString& name, const QString& command) {
            QString why = QStringLiteral("within %1 s").arg(options.timeoutSeconds);
            if (sim.violationCount() > 0)
                why = QStringLiteral("(protocol violation)");
            else if (!sim.isDataConnected())
                why = QStringLiteral("(data connection closed)");
            say(QStringLiteral("%1: %2 -> no %3 %4 (%5)").arg(name, command, missing, why, motionText()));
            return NoAnswer;
        };

        switch (action.kind) {
        case HostScriptAction::Align:
        case HostScriptAction::RAlign: {
            const QString name = action.kind == HostScriptAction::Align ? QStringLiteral("align") : QStringLiteral("ralign");
            const QString command = action.kind == HostScriptAction::Align ? QStringLiteral("BGALIGN") : QStringLiteral("BGRALIGN");
            QString failure;
            if (!request(command, QStringLiteral("ALIGNBG"), QStringLiteral("ALIGNEND"), QStringLiteral("ALIGNFAIL:"), &times,
                         &missing, &failure))
                return noAnswer(name, command);
            say(QStringLiteral("%1: %2 -> ALIGNBG %3, %4 %5 (%6)")
                    .arg(name, command, ms(times[0]), failure.isEmpty() ? QStringLiteral("ALIGNEND") : failure, ms(times[1]),
                         motionText()));
            return judge(action, failure, AlignFailed, name);
        }
        case HostScriptAction::EnaAx: {
            QString failure;
            if (!request(QStringLiteral("ENAAX"), QString(), QStringLiteral("ENAAXEND"), QStringLiteral("ENAAXFAIL:"), &times,
                         &missing, &failure))
                return noAnswer(QStringLiteral("enaax"), QStringLiteral("ENAAX"));
            say(QStringLiteral("enaax: ENAAX -> %1 %2 (%3)")
                    .arg(failure.isEmpty() ? QStringLiteral("ENAAXEND") : failure, ms(times[0]), motionText()));
            return judge(action, failure, XAlignFailed, QStringLiteral("enaax"));
        }
        case HostScriptAction::Scan: {
            const int imagesBefore = sim.imageCount();
            const int from = sim.messageCount();
            // File times have a coarse clock: allow for it when comparing.
            const QDateTime scanStarted = QDateTime::currentDateTime().addMSecs(-100);
            QString failure;
            if (!request(QStringLiteral("BGSCAN"), QStringLiteral("SCANBG"), QStringLiteral("SCANEND"), QStringLiteral("SCANFAIL:"),
                         &times, &missing, &failure))
                return noAnswer(QStringLiteral("scan"), QStringLiteral("BGSCAN"));
            int reports = 0;
            for (int i = from; i < sim.messages().size(); ++i)
                if (sim.messages().at(i).text.startsWith(QLatin1String("IMGSCAP")))
                    ++reports;
            say(QStringLiteral("scan: BGSCAN -> SCANBG %1, %2 frame reports, %3 images, %4SCANEND %5 (%6)")
                    .arg(ms(times[0]))
                    .arg(reports)
                    .arg(sim.imageCount() - imagesBefore)
                    .arg(failure.isEmpty() ? QString() : failure + QStringLiteral(", "), ms(times[1]), motionText()));
            if (!options.sharedFolder.isEmpty()) {
                static const QRegularExpression report(QStringLiteral("^IMGSCAP(\\d+)COORDS"));
                for (int i = from; i < sim.messages().size(); ++i) {
                    const QRegularExpressionMatch m = report.match(sim.messages().at(i).text);
                    if (m.hasMatch())
                        readBack(QStringLiteral("img_%1.png").arg(m.captured(1).toInt(), 2, 10, QLatin1Char('0')), scanStarted);
                }
            }
            return judge(action, failure, ScanFailed, QStringLiteral("scan"));
        }
        case HostScriptAction::Position: {
            const auto axis = HostSimulator::Axis(action.axis);
            sim.setPosition(axis, action.value);
            sim.reportCoords();
            // The station needs a few frames to see the stone where the axis now puts it.
            sim.waitUntil([]() { return false; }, 300);
            say(QStringLiteral("position: %1 = %2, COORDS reported").arg(HostSimulator::axisName(axis)).arg(action.value));
            return Ok;
        }
        case HostScriptAction::Snapshot: {
            const QDateTime asked = QDateTime::currentDateTime().addMSecs(-100);
            QString failure;
            if (!request(QStringLiteral("QISI"), QString(), QStringLiteral("SIDONE"), QStringLiteral("SIFAIL:"), &times, &missing,
                         &failure))
                return noAnswer(QStringLiteral("snapshot"), QStringLiteral("QISI"));
            say(QStringLiteral("snapshot: QISI -> %1 %2").arg(failure.isEmpty() ? QStringLiteral("SIDONE") : failure, ms(times[0])));
            if (failure.isEmpty() && !options.sharedFolder.isEmpty())
                readBack(QStringLiteral("Cam2Snapshot.png"), asked);
            return judge(action, failure, SnapshotFailed, QStringLiteral("snapshot"));
        }
        case HostScriptAction::Stream:
            for (int n = 1; n <= action.count; ++n) {
                const int framesBefore = sim.frameCount();
                QElapsedTimer started;
                started.start();
                sim.send(QStringLiteral("RQI"));
                if (!waitFor([&]() { return sim.frameCount() > framesBefore; }, timeoutMs)) {
                    say(QStringLiteral("stream %1/%2: RQI -> no video frame (%3)")
                            .arg(n)
                            .arg(action.count)
                            .arg(sim.violationCount() > 0 ? QStringLiteral("protocol violation")
                                                          : QStringLiteral("waited %1 s").arg(options.timeoutSeconds)));
                    return NoAnswer;
                }
                const qint64 took = started.nsecsElapsed();
                const QList<QByteArray> frames = sim.frames();
                const QByteArray payload = frames.isEmpty() ? QByteArray() : frames.last();
                const QImage image = QImage::fromData(payload, "JPEG");
                if (image.isNull())
                    badFile = true;
                say(QStringLiteral("stream %1/%2: RQI -> frame %3 (%4 bytes, %5) %6")
                        .arg(n)
                        .arg(action.count)
                        .arg(sim.frameCount())
                        .arg(payload.size())
                        .arg(image.isNull() ? QStringLiteral("does not decode as JPEG")
                                            : QStringLiteral("%1x%2 JPEG").arg(image.width()).arg(image.height()))
                        .arg(ms(took)));
            }
            return Ok;
        case HostScriptAction::Send:
            sim.send(action.text);
            say(QStringLiteral("send: %1").arg(action.text));
            return Ok;
        case HostScriptAction::Wait: {
            QElapsedTimer started;
            started.start();
            const int waitMs = int(action.seconds * 1000);
            sim.waitUntil([&]() { return started.elapsed() >= waitMs || !sim.isDataConnected(); }, waitMs + 100);
            say(QStringLiteral("wait: %1 s served (%2)").arg(action.seconds).arg(motionText()));
            return Ok;
        }
        }
        return Ok;
    }

    const HostScriptOptions& options;
    HostSimulator& sim;
    QTextStream& out;
    int timeoutMs;
    bool badFile = false;   // a file or frame the station announced could not be read
};

} // namespace

int run(const HostScriptOptions& options, QTextStream& out)
{
    HostSimulator sim;
    sim.setSpeed(options.speed);
    sim.setStillBeforeCoords(options.stillBeforeCoordsMs);
    sim.setStatusAnswerDelay(options.lateStatusMs);
    sim.setStrict(options.strict);
    sim.setOwnRequestsOnly(options.strict);
    if (!options.framesDir.isEmpty())
        sim.setFramesDir(options.framesDir);
    if (!options.transcript.isEmpty() && !sim.setTranscriptFile(options.transcript)) {
        out << "hostsim: cannot write the transcript " << options.transcript << '\n';
        return Usage;
    }
    Runner runner(options, sim, out);

    // The station may still be starting: retry until the retry time has passed.
    QElapsedTimer connecting;
    connecting.start();
    const qint64 retryMs = qint64(options.connectRetrySeconds * 1000);
    for (;;) {
        sim.connectToStation(options.host, options.port);
        const int budget = int(qMax<qint64>(2000, qMin<qint64>(10000, options.timeoutSeconds * 1000)));
        if (sim.waitUntil([&]() { return sim.isReady() || !sim.lastSocketError().isEmpty(); }, budget) && sim.isReady())
            break;
        if (connecting.elapsed() >= retryMs) {
            const QString reason = sim.lastSocketError().isEmpty() ? QStringLiteral("no NCQ") : sim.lastSocketError();
            out << "hostsim: cannot connect to " << options.host << ':' << options.port << ": " << reason << '\n';
            out.flush();
            return NoConnection;
        }
        sim.waitUntil([]() { return false; }, 200);
    }
    runner.say(QStringLiteral("connect: %1:%2 -> NCQ, video connected (%3 ms)").arg(options.host).arg(options.port).arg(connecting.elapsed()));

    int result = Ok;
    for (const HostScriptAction& action : options.actions) {
        result = runner.play(action);
        if (result != Ok || sim.violationCount() > 0 || !sim.isDataConnected())
            break;
    }
    // Let a motion in progress finish and report, so the transcript ends cleanly.
    sim.waitUntil([&]() { return !sim.anyMoving(); }, 2000);
    sim.waitUntil([]() { return false; }, 50);
    const bool stillConnected = sim.isDataConnected();
    sim.disconnectFromStation();

    if (result == Ok && !stillConnected && !options.actions.isEmpty()) {
        runner.say(QStringLiteral("hostsim: the station closed the data connection"));
        result = NoAnswer;
    }
    for (const QString& violation : sim.violations())
        out << "hostsim: protocol violation: " << violation << '\n';
    runner.say(QStringLiteral("hostsim: %1 messages, %2 video frames (%3 bytes), %4 images, %5 violations")
                   .arg(sim.messageCount())
                   .arg(sim.frameCount())
                   .arg(sim.frameBytes())
                   .arg(sim.imageCount())
                   .arg(sim.violationCount()));
    out.flush();
    if (sim.violationCount() > 0)
        return Violation;
    if (result == Ok && runner.badFile)
        return BadFile;
    return result;
}

} // namespace hostscript
