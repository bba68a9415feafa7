#pragma once

// The real station binary in a working directory of its own, run the way an operator runs it:
// offscreen, over the simulated camera rig, listening for the host on port 5050, stopped with
// SIGTERM. Also the host-side helpers the end-to-end tests share.

#include "sim/host/hostsimulator.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>
#include <sys/types.h>

namespace e2e {

// The station always listens here; tests that start the binary hold the CTest resource lock
// "station_port_5050" so that no two of them run at once.
constexpr quint16 HostPort = 5050;

inline QString binary(const QString& name)
{
    return qEnvironmentVariable("VELTRAX_BIN_DIR") + QLatin1Char('/') + name;
}

inline QString sourceFile(const QString& relative)
{
    return qEnvironmentVariable("VELTRAX_SOURCE_DIR") + QLatin1Char('/') + relative;
}

// Prepares dir like the demo does: scripts/rig-settings writes Registry.dat binding the rig's
// three cameras and the shared folder dir/share; then the front camera's focal mark in the Top
// Large image is set as on a calibrated station (the front-camera alignment brings the stone's
// top edge to that row; at the default row 0 the stone would sit on the border of the view).
// Extra "KEY:VALUE" lines are appended. Empty on success, otherwise what went wrong.
inline QString prepareRigDirectory(const QString& dir, const QStringList& extra = {})
{
    QProcess script;
    script.setProcessChannelMode(QProcess::MergedChannels);
    script.start(QStringLiteral("bash"), {sourceFile(QStringLiteral("scripts/rig-settings")), dir});
    if (!script.waitForFinished(30000) || script.exitStatus() != QProcess::NormalExit || script.exitCode() != 0)
        return QStringLiteral("scripts/rig-settings failed: ") + QString::fromLocal8Bit(script.readAll());
    const QString path = QDir(dir).filePath(QStringLiteral("Registry.dat"));
    QByteArray settings = testsupport::readAll(path);
    if (!settings.contains("\nPOVMFFOH:"))
        settings += "POVMFFOH:250\n";
    for (const QString& line : extra)
        settings += line.toUtf8() + '\n';
    testsupport::writeAll(path, settings);
    return QString();
}

// Empty when the station could bind its port; otherwise a sentence saying who is in the way.
inline QString portProblem()
{
    QTcpServer probe;
    if (probe.listen(QHostAddress::LocalHost, HostPort))
        return QString();
    return QStringLiteral("port %1 is already in use (%2): another station or program holds it; stop it before "
                          "running the end-to-end tests")
        .arg(HostPort)
        .arg(probe.errorString());
}

// Records a station writes while it starts, in the order the window creates the components.
inline QStringList creationRecords()
{
    return {QStringLiteral("Registry Class imported successfully"),
            QStringLiteral("Listening "),
            QStringLiteral("Cameras Shared Memory imported successfully"),
            QStringLiteral("Top Large Camera imported successfully"),
            QStringLiteral("Marking Front Camera imported successfully"),
            QStringLiteral("Top Standard Camera imported successfully"),
            QStringLiteral("Top Stone Tracker imported successfully"),
            QStringLiteral("Motion Core imported successfully"),
            QStringLiteral("Gridle Stitcher imported successfully"),
            QStringLiteral("Gridle Analyser imported successfully")};
}

// The last component the window creates: once its record is there, start-up is complete.
inline QString startedRecord()
{
    return QStringLiteral("Gridle Analyser imported successfully");
}

// Records of an orderly shutdown, in the window's teardown order; the log ends with the last
// three.
inline QStringList shutdownRecords()
{
    return {QStringLiteral("Gridle Analyser Destruction"),
            QStringLiteral("Gridle Stitcher Destruction"),
            QStringLiteral("Motion Core Destruction"),
            QStringLiteral("Top Stone Tracker Destruction"),
            QStringLiteral("Top Standard Camera Destruction"),
            QStringLiteral("Marking Front Camera Destruction"),
            QStringLiteral("Top Large Camera Destruction"),
            QStringLiteral("Cameras Shared Memory Destruction"),
            QStringLiteral("Server Destruction"),
            QStringLiteral("Registry Component Destrution"),
            QStringLiteral("Log Component Destrution"),
            QStringLiteral("Exit")};
}

inline QStringList lastRecords()
{
    return shutdownRecords().mid(shutdownRecords().size() - 3);
}

// The first entry of expected (each a record prefix) not found in records after the previous
// one; empty when all are there in that order.
inline QString missingInOrder(const QStringList& records, const QStringList& expected)
{
    int at = 0;
    for (const QString& prefix : expected) {
        while (at < records.size() && !records.at(at).startsWith(prefix))
            ++at;
        if (at == records.size())
            return prefix;
        ++at;
    }
    return QString();
}

inline bool hasRecord(const QStringList& records, const QString& prefix)
{
    for (const QString& r : records)
        if (r.startsWith(prefix))
            return true;
    return false;
}

// A child that is killed when the test process dies, so that a test aborted half-way (its
// time-out, a crash) never leaves a station behind holding the port. SIGKILL, not SIGTERM: a
// station wedged by the fault the test caught may never get to handle a polite request.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

class StationProcess
{
public:
    explicit StationProcess(const QString& workDir)
        : dir(workDir)
    {
    }
    ~StationProcess()
    {
        // A test that failed half-way must not leave a station holding the port.
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }

    // Starts the binary. With checkPort, a port held by someone else fails at once with a
    // clear reason instead of a host that waits for nothing.
    bool start(QString* why, bool checkPort = true)
    {
        if (checkPort) {
            *why = portProblem();
            if (!why->isEmpty())
                return false;
        }
        recordsBefore = log().size();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(outputFile());
        process.start(binary(QStringLiteral("veltrax-station")), QStringList());
        if (!process.waitForStarted(30000)) {
            *why = QStringLiteral("veltrax-station did not start: ") + process.errorString();
            return false;
        }
        return true;
    }

    // Waits for a record of this run that starts with prefix; false when the time is up or the
    // station has ended.
    bool waitForRecord(const QString& prefix, int timeoutMs)
    {
        return QTest::qWaitFor([&]() { return hasRecord(log(), prefix) || !running(); }, timeoutMs)
            && hasRecord(log(), prefix);
    }
    bool waitUntilListening(int timeoutMs) { return waitForRecord(QStringLiteral("Listening "), timeoutMs); }
    bool waitUntilStarted(int timeoutMs) { return waitForRecord(startedRecord(), timeoutMs); }
    // The front camera answers a snapshot and a stream request with its first frame; with no
    // host yet, the acknowledgement is dropped. Waiting for that keeps a host that connects
    // afterwards from receiving an "SIDONE" it did not ask for.
    bool waitUntilFirstFrontFrame(int timeoutMs)
    {
        return waitUntilStarted(timeoutMs)
            && waitForRecord(QStringLiteral("TCP Server: No host connected: \"SIDONE\""), timeoutMs);
    }

    // SIGTERM, then waits for the process to end. Milliseconds from the signal to the end of
    // the process, -1 when it did not end within timeoutMs (it is killed then).
    qint64 terminate(int timeoutMs)
    {
        if (process.state() == QProcess::NotRunning)
            return -1;
        QElapsedTimer clock;
        clock.start();
        signalledAt = QDateTime::currentDateTime();
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished(10000);
            return -1;
        }
        return clock.elapsed();
    }

    bool running() const { return process.state() != QProcess::NotRunning; }
    bool exitedCleanly() const
    {
        return process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    // Milliseconds from the SIGTERM to the first record of this run that starts with prefix and
    // was written after it (log time stamps have millisecond resolution); -1 when there is none.
    qint64 msAfterSignal(const QString& prefix) const
    {
        static const QRegularExpression line(QStringLiteral("^ Log:\\[(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\[(\\d+)\\]\\]: (.*)$"));
        const QList<QByteArray> lines = testsupport::readAll(QDir(dir).filePath(QStringLiteral("Logs.ini"))).split('\n');
        for (const QByteArray& raw : lines) {
            const QRegularExpressionMatch m = line.match(QString::fromLocal8Bit(raw));
            if (!m.hasMatch() || !m.captured(3).startsWith(prefix))
                continue;
            const QDateTime at = QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss")).addMSecs(m.captured(2).toInt());
            const qint64 ms = signalledAt.msecsTo(at);
            if (ms >= -1)
                return qMax<qint64>(0, ms);
        }
        return -1;
    }

    // The records this run wrote to Logs.ini.
    QStringList log() const
    {
        const QStringList all = testsupport::logMessages(QDir(dir).filePath(QStringLiteral("Logs.ini")));
        return all.mid(qMin(recordsBefore, all.size()));
    }

    QString outputFile() const { return QDir(dir).filePath(QStringLiteral("station-output.txt")); }
    // The end of what the process wrote to stdout and stderr (sanitizer reports land there).
    QString outputTail() const
    {
        const QByteArray all = testsupport::readAll(outputFile());
        return QString::fromLocal8Bit(all.right(4000));
    }
    // What to show when a check fails: how the process stands and the last log records.
    QString exitText() const
    {
        QString state = QStringLiteral("still running");
        if (process.state() == QProcess::NotRunning)
            state = QStringLiteral("ended, %1, code %2")
                        .arg(process.exitStatus() == QProcess::NormalExit ? QStringLiteral("normal exit") : QStringLiteral("crashed"))
                        .arg(process.exitCode());
        const QStringList records = log();
        QString text = QStringLiteral("station %1; last log records:\n  %2").arg(state, records.mid(qMax(0, records.size() - 12)).join(QStringLiteral("\n  ")));
        if (process.state() == QProcess::NotRunning && process.exitCode() != 0)
            text += QStringLiteral("\noutput:\n") + outputTail();
        return text;
    }

    QString dir;
    ChildProcess process;
    int recordsBefore = 0;
    QDateTime signalledAt;
};

// Connects the simulator as the host (data, then video) and waits for "NCQ".
inline bool connectHost(HostSimulator& host, quint16 port, int timeoutMs)
{
    host.connectToStation(QStringLiteral("127.0.0.1"), port);
    return host.waitForReady(timeoutMs);
}

// Index of the first text at or after from that starts with prefix, -1 when there is none.
inline int indexStartingWith(const QStringList& texts, const QString& prefix, int from = 0)
{
    for (int i = qMax(0, from); i < texts.size(); ++i)
        if (texts.at(i).startsWith(prefix))
            return i;
    return -1;
}

// The station's texts with the motion traffic (status queries, moves) left out and each scan
// report cut to "IMGSCAP<index>": the milestones of a conversation, in order.
inline QStringList milestones(const QStringList& texts)
{
    static const QRegularExpression report(QStringLiteral("^(IMGSCAP\\d+)COORDS"));
    QStringList out;
    for (const QString& t : texts) {
        if (t == QLatin1String("GMS") || t.startsWith(QLatin1String("MOVE")) || t.startsWith(QLatin1String("INC")))
            continue;
        const QRegularExpressionMatch m = report.match(t);
        out << (m.hasMatch() ? m.captured(1) : t);
    }
    return out;
}

} // namespace e2e
