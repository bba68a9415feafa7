// MotionCore against the station's real server over loopback, with the host simulator as the
// host. Tracker results are injected the way the tracker delivers them (a slot call on the main
// thread); a small "virtual stone" computes them from the host's true axis positions, so the
// alignments run closed-loop.

#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "sim/host/hostsimulator.h"
#include "sim/rig/rig.h"
#include "stationteardown.h"
#include "virtualstone.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>

namespace {

// Runs a blocking call on a thread of its own; the test's main thread keeps its event loop.
class Worker
{
public:
    template <class F>
    explicit Worker(F f)
        : thread([this, f]() {
            result = f();
            done = true;
        })
    {
    }
    ~Worker()
    {
        if (thread.joinable())
            thread.join();
    }
    std::atomic<bool> done{false};
    std::atomic<bool> result{false};

private:
    std::thread thread;
};

int indexOfPrefix(const QStringList& texts, const QString& prefix, int from = 0)
{
    for (int i = from; i < texts.size(); ++i) {
        if (texts.at(i).startsWith(prefix))
            return i;
    }
    return -1;
}

} // namespace

class TestMotionCore : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    MotionCore* core = nullptr;
    std::unique_ptr<HostSimulator> host;
    VirtualStone stone;
    QTimer tracker;

    void feedTracker(bool on)
    {
        if (on)
            tracker.start();
        else
            tracker.stop();
    }
    QStringList hostTexts() const { return host->texts(); }
    bool waitForHost(const QString& text, int from = 0) { return host->waitForText(text, from, 10000) >= 0; }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        rig::Rig::instance().reset();   // cameras present but not bound: the tracker stays idle
        Logs::AccessMemory();
        Registry::AccessMemory();
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        VeltraxServer* server = VeltraxServer::AccessMemory();
        QVERIFY(server->ListenPort() != 0);
        core = MotionCore::AccessMemory();
        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setStrict(true);
        host->connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
        QVERIFY(host->waitForReady(10000));
        stone = VirtualStone();
        tracker.setInterval(10);
        connect(&tracker, &QTimer::timeout, this, [this]() { stone.deliver(core, host->position(HostSimulator::X)); });
    }

    void cleanup()
    {
        tracker.stop();
        tracker.disconnect();
        if (host)
            QCOMPARE(host->violations(), QStringList());
        host.reset();
        teardown::DestroyStation();
        core = nullptr;
        work.reset();
    }

    void startupAndShutdownLog()
    {
        QStringList log = testsupport::logMessages();
        QVERIFY(log.contains("Loading Motion Core..."));
        QVERIFY(log.contains("Motion Core imported successfully"));
        MotionCore::Destroy();
        log = testsupport::logMessages();
        QCOMPARE(log.filter("Motion Core Destruction").size(), 1);
    }

    // The texts themselves are tested in tst_hostmessages; here they must arrive as sent.
    void commandsReachTheHost_data()
    {
        QTest::addColumn<int>("op");
        QTest::addColumn<QString>("text");
        QTest::newRow("IncrementZ") << 0 << "INCZ-1e-05";
        QTest::newRow("MoveTo") << 1 << "MOVEX1:Y2:Z3:A45:F0.5:";
        QTest::newRow("operator text unchanged") << 2 << "HELLO 1";
    }
    void commandsReachTheHost()
    {
        QFETCH(int, op);
        QFETCH(QString, text);
        host->setStrict(false);
        const int before = host->messages().size();
        switch (op) {
        case 0: core->IncrementZ(-0.00001); break;
        case 1: core->MoveTo(1, 2, 3, 45, 0.5); break;
        case 2: core->TessarixCommand(QStringLiteral("HELLO 1")); break;
        }
        QVERIFY(host->waitForText(text, before, 10000) >= 0);
        QCOMPARE(host->messages().size(), before + 1);
    }

    void nonFiniteMoveIsNotSent()
    {
        const int before = host->messages().size();
        core->MoveXYZTo(1, std::nan(""), 3);
        core->MoveXTo(2);
        QVERIFY(waitForHost("MOVEX2:", before));
        QCOMPARE(host->messages().size(), before + 1);
        QVERIFY(testsupport::logMessages().contains(
            "Motion Core: MOVEX..:Y..:Z..: not sent, a value is not a finite number"));
    }

    void blockingIsMoving_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("moving");
        QTest::newRow("rotation moving") << "MOVESTAT0:1:0" << true;
        QTest::newRow("master moving") << "MOVESTAT1:0:0" << true;
        QTest::newRow("focus moving") << "MOVESTAT0:0:1" << true;
        QTest::newRow("nothing moving") << "MOVESTAT0:0:0" << false;
        QTest::newRow("2 is not moving") << "MOVESTAT2:2:2" << false;
    }
    void blockingIsMoving()
    {
        QFETCH(QString, status);
        QFETCH(bool, moving);
        host->setAnswerStatusQueries(false);
        const int before = host->messages().size();
        Worker query([this]() { return core->Blocking_IsMoving(); });
        QVERIFY(waitForHost("GMS", before));
        QVERIFY(!query.done);
        host->send(status);
        QVERIFY(host->waitUntil([&]() { return query.done.load(); }, 10000));
        QCOMPARE(query.result.load(), moving);
    }

    // Every GMS gets one MOVESTAT: an answer to a query that was given up, arriving late, is not
    // taken for the answer to the next one.
    void lateStatusDoesNotEndTheNextWait()
    {
        host->setAnswerStatusQueries(false);
        std::atomic<bool> giveUp{false};
        int from = host->messages().size();
        {
            Worker abandoned([&]() { return core->Blocking_IsMoving([&]() { return giveUp.load(); }); });
            QVERIFY(waitForHost("GMS", from));
            giveUp = true;
            QVERIFY(host->waitUntil([&]() { return abandoned.done.load(); }, 10000));
            QCOMPARE(abandoned.result.load(), false);
        }
        from = host->messages().size();
        Worker next([this]() { return core->Blocking_IsMoving(); });
        host->send("MOVESTAT0:1:0");   // the late answer to the first query: moving
        QVERIFY(waitForHost("GMS", from));
        host->send("MOVESTAT0:0:0");   // the answer to this one: still
        QVERIFY(host->waitUntil([&]() { return next.done.load(); }, 10000));
        QCOMPARE(next.result.load(), false);
    }

    // A request that cannot be completed ends with its failure message and no move; the same
    // host is served normally right after.
    void failedRequestIsAnsweredAndTheNextServed_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("failure");
        QTest::newRow("no stone") << "BGALIGN" << "no stone" << "ALIGNFAIL:NOSTONE";
        QTest::newRow("no stone, front") << "BGRALIGN" << "no stone" << "ALIGNFAIL:NOSTONE";
        QTest::newRow("no stone, X only") << "ENAAX" << "no stone" << "ENAAXFAIL:NOSTONE";
        QTest::newRow("no tracker result") << "BGALIGN" << "no results" << "ALIGNFAIL:CAMERA";
        QTest::newRow("pixel size 1e9") << "BGALIGN" << "pixel size" << "ALIGNFAIL:SETTINGS";
        QTest::newRow("centre line far outside") << "BGALIGN" << "mark" << "ALIGNFAIL:SETTINGS";
        // (COORDS fields that are not finite numbers already read as 0.)
        QTest::newRow("X reported 1e308") << "BGALIGN" << "coords 1e308" << "ALIGNFAIL:RANGE";
        QTest::newRow("X reported -1e300, X only") << "ENAAX" << "coords -1e300" << "ENAAXFAIL:RANGE";
        QTest::newRow("Y reported 1e308, X only") << "ENAAX" << "coords y 1e308" << "ENAAXFAIL:RANGE";
        QTest::newRow("host silent") << "BGALIGN" << "silent" << "ALIGNFAIL:HOST";
    }
    void failedRequestIsAnsweredAndTheNextServed()
    {
        QFETCH(QString, command);
        QFETCH(QString, fault);
        QFETCH(QString, failure);
        host->setOwnRequestsOnly(true);
        core->MeasurementWaitMs = 300;
        core->StatusAnswerWaitMs = 300;
        const double pixelSize = core->TLPixelSize;
        const int centreLine = core->OverlayTLCenterH;
        stone.visible = fault != "no stone";
        if (fault != "no results")
            feedTracker(true);
        if (fault == "pixel size")
            core->TLPixelSize = 1e9;
        if (fault == "mark")
            core->OverlayTLCenterH = 100000;
        if (fault == "silent")
            host->setAnswerStatusQueries(false);
        if (fault.startsWith("coords")) {
            const QString value = fault.section(' ', -1);
            host->send(fault.contains(" y ") ? "COORDS1:" + value + ":0:0:0" : "COORDS" + value + ":0:0:0:0");
            QTRY_VERIFY_WITH_TIMEOUT(std::fabs(core->GetXPos()) >= 1e300 || std::fabs(core->GetYPos()) >= 1e300, 10000);
        }
        const QString end = command == "ENAAX" ? "ENAAXEND" : "ALIGNEND";
        int from = host->messages().size();
        host->send(command);
        QVERIFY(waitForHost(failure, from));
        const QStringList texts = hostTexts().mid(from);
        QCOMPARE(texts.filter(QRegularExpression("^(MOVE|INC)")), QStringList());
        QCOMPARE(texts.count(end), 0);
        const QString reason = failure.section(':', 1);
        QVERIFY2(!testsupport::logMessages().filter(QRegularExpression("failed.*" + reason)).isEmpty(),
                 qPrintable(testsupport::logMessages().join('\n')));

        // Put right, and the same host is served again.
        core->TLPixelSize = pixelSize;
        core->OverlayTLCenterH = centreLine;
        stone.visible = true;
        feedTracker(true);
        host->setAnswerStatusQueries(true);
        host->reportCoords();
        QTRY_VERIFY_WITH_TIMEOUT(std::fabs(core->GetXPos()) < 1e300 && std::fabs(core->GetYPos()) < 1e300, 10000);
        from = host->messages().size();
        host->send(command);
        QVERIFY(waitForHost(end, from));
        QCOMPARE(hostTexts().mid(from).filter(QRegularExpression("FAIL")), QStringList());
    }

    // The stone slips by 0.1 (about 4 TL pixels) at the end of every motion: the alignment
    // corrects the earlier slips, the last one stays. Beyond the limit the host hears a failure,
    // not an end message.
    void residualDecidesTheOutcome_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<double>("limitUm");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("inscription") << "BGALIGN" << 51.2 << "ALIGNFAIL:RESIDUAL";
        QTest::newRow("X only") << "ENAAX" << 51.2 << "ENAAXFAIL:RESIDUAL";
        QTest::newRow("front camera") << "BGRALIGN" << 51.2 << "ALIGNFAIL:RESIDUAL";
        QTest::newRow("within a larger limit") << "BGALIGN" << 200.0 << "ALIGNEND";
    }
    void residualDecidesTheOutcome()
    {
        QFETCH(QString, command);
        QFETCH(double, limitUm);
        QFETCH(QString, outcome);
        host->setOwnRequestsOnly(true);
        core->ResidualLimitUm = limitUm;
        connect(host.get(), &HostSimulator::motionFinished, this, [this]() { stone.onLineAtX += 0.1; });
        feedTracker(true);
        const int from = host->messages().size();
        host->send(command);
        const QString word = command == "ENAAX" ? "ENAAX" : "ALIGN";
        QVERIFY(host->waitUntil([&]() { return !hostTexts().mid(from).filter(QRegularExpression("^" + word + "(END|FAIL)")).isEmpty(); },
                                20000));
        disconnect(host.get(), &HostSimulator::motionFinished, this, nullptr);
        const QStringList texts = hostTexts().mid(from);
        QCOMPARE(texts.last(), outcome);
        QCOMPARE(texts.filter(QRegularExpression("^MOVEX")).size(), 2);
        const QStringList log = testsupport::logMessages();
        QVERIFY(!log.filter(QRegularExpression("^Residual after .* alignment: X [37]\\.[89]\\d px \\(0\\.[12]\\)")).isEmpty());
        QCOMPARE(log.filter(QRegularExpression("failed: RESIDUAL, residual X .* exceeds 51\\.2 \u00b5m$")).size(),
                 outcome.endsWith("RESIDUAL") ? 1 : 0);
    }

    // A request belongs to the host that made it: when that host leaves while the request waits
    // for a stone, nothing of it reaches the next host, who is then served normally.
    void requestOfAHostThatLeftStaysWithIt()
    {
        core->MeasurementWaitMs = 60000;
        stone.visible = false;
        feedTracker(true);
        int from = host->messages().size();
        host->send("BGALIGN");
        QVERIFY(waitForHost("GMS", from));
        host->disconnectFromStation();

        HostSimulator next;
        next.setOpenVideo(false);
        next.setStrict(true);
        next.setOwnRequestsOnly(true);
        next.connectToStation(QStringLiteral("127.0.0.1"), VeltraxServer::AccessMemory()->ListenPort());
        QVERIFY(next.waitForReady(10000));
        next.reportCoords();
        // The stone now follows the axes of the host that moves them.
        tracker.disconnect();
        connect(&tracker, &QTimer::timeout, this, [this, &next]() { stone.deliver(core, next.position(HostSimulator::X)); });
        stone.visible = true;
        next.waitUntil([]() { return false; }, 1000);   // anything the first host's request sends
        QCOMPARE(next.texts(), QStringList{"NCQ"});
        QTRY_VERIFY_WITH_TIMEOUT(core->PendingRequests() == 0, 10000);

        from = next.messages().size();
        next.send("BGALIGN");
        QVERIFY(next.waitForText("ALIGNEND", from, 20000) >= 0);
        QCOMPARE(next.violations(), QStringList());
        tracker.stop();
        tracker.disconnect();
        next.disconnectFromStation();
    }

    void stopConditionEndsTheWait()
    {
        host->setAnswerStatusQueries(false);
        std::atomic<bool> stop{false};
        const int from = host->messages().size();
        Worker query([&]() { return core->Blocking_IsMoving([&]() { return stop.load(); }); });
        QVERIFY(waitForHost("GMS", from));
        stop = true;
        QVERIFY(host->waitUntil([&]() { return query.done.load(); }, 10000));
        QCOMPARE(query.result.load(), false);
    }

    void mainThreadCallDoesNotWait()
    {
        QCOMPARE(core->Blocking_IsMoving(), false);
        QVERIFY(testsupport::logMessages().contains(
            "Motion Core: Blocking_IsMoving called on the main thread, not waiting"));
    }

    void targetsFromOneMeasurement()
    {
        QSignalSpy inscription(core, &MotionCore::StoneCentredCoordinatesInscription);
        QSignalSpy panorama(core, &MotionCore::StoneCentredCoordinatesPanorama);
        core->RefreshCurrentPositions(10.0, 1, 2, 3, 4);
        // Centre 20 rows below the line (200), radii of 300 px.
        core->RefreshTLTracker(400, 220, 700, 220, 400, -80);
        QCOMPARE(inscription.size(), 1);
        QCOMPARE(panorama.size(), 1);
        QCOMPARE(QString::number(inscription.at(0).at(0).toDouble(), 'g', 6), QString("10.512"));
        QCOMPARE(QString::number(inscription.at(0).at(2).toDouble(), 'g', 6), QString("7.76256"));
        QCOMPARE(QString::number(core->GetStoneDiameter(), 'g', 6), QString("15.36"));

        // No stone: nothing changes, nothing is announced.
        core->RefreshTLTracker(-1, -1, -1, -1, -1, -1);
        QCOMPARE(inscription.size(), 1);
        QCOMPARE(QString::number(core->LastTargets().inscriptionX, 'g', 6), QString("10.512"));
        QCOMPARE(QString::number(core->GetStoneDiameter(), 'g', 6), QString("15.36"));

        // Front targets from elsewhere (the scan's run-out) pass the alignment's own checks
        // before they are sent: the measured ones do, a jump beyond the view or NaN does not.
        const alignment::Targets t = core->LastTargets();
        QCOMPARE(core->CheckFrontTargets(t.panoramaX, t.panoramaY, t.panoramaZII), QString());
        QVERIFY(core->CheckFrontTargets(t.panoramaX + 1000, t.panoramaY, t.panoramaZII).contains("longer than the view spans"));
        QVERIFY(!core->CheckFrontTargets(t.panoramaX, std::nan(""), t.panoramaZII).isEmpty());
    }

    // A result without a stone does not release an alignment that waits for a measurement: its
    // move carries the targets of the next result with a stone.
    void noStoneDoesNotReleaseAWaitingAlignment()
    {
        core->RefreshCurrentPositions(0, 0, 0, 0, 0);
        core->RefreshTLTracker(400, 300, 700, 300, 400, 0);   // X target 0.0256 * 100 = 2.56
        QCOMPARE(QString::number(core->LastTargets().inscriptionX, 'g', 6), QString("2.56"));
        const int from = host->messages().size();
        Worker align([this]() { return core->AlignForInscription(1); });
        QVERIFY(waitForHost("GMS", from));
        QTest::qWait(50);   // the answer reaches the alignment, which then waits for a measurement
        core->RefreshTLTracker(-1, -1, -1, -1, -1, -1);
        QTest::qWait(50);   // room for a wrongly released alignment to send its move
        QCOMPARE(indexOfPrefix(hostTexts(), "MOVE", from), -1);
        // The first results after a motion may show the stone where it was: the alignment moves
        // by the last of the ResultsAfterMotion it waits for.
        for (int stale = 1; stale < MotionCore::ResultsAfterMotion; ++stale)
            core->RefreshTLTracker(400, 240, 700, 240, 400, -60);
        core->RefreshTLTracker(400, 250, 700, 250, 400, -50);  // X target 0.0256 * 50 = 1.28
        // After its move the alignment measures where the stone stands: on the line.
        QVERIFY(host->waitUntil([&]() { return indexOfPrefix(hostTexts(), "MOVE", from) >= 0; }, 10000));
        QVERIFY(host->waitUntil([&]() {
            core->RefreshTLTracker(400, 200, 700, 200, 400, -100);
            return align.done.load();
        }, 10000));
        QVERIFY(align.result);
        const QStringList texts = hostTexts();
        const int move = indexOfPrefix(texts, "MOVE", from);
        QVERIFY(move >= 0);
        QVERIFY2(texts.at(move).startsWith("MOVEX1.28:"), qPrintable(texts.at(move)));
    }

    void fullAlignmentConversation()
    {
        host->setPosition(HostSimulator::X, 1.0);
        host->setPosition(HostSimulator::Y, 3.0);
        host->setSpeed(20);
        host->reportCoords();
        QSignalSpy residual(core, &MotionCore::AlignmentResidual);
        feedTracker(true);
        const int from = host->messages().size();
        host->send("BGALIGN");
        QVERIFY(waitForHost("ALIGNBG", from));
        QVERIFY(waitForHost("ALIGNEND", from));
        const QStringList texts = hostTexts().mid(from);
        // One move when it landed within the tolerance, two otherwise, as the log says.
        const int moves = testsupport::alignmentMoves(testsupport::logMessages(), "inscription");
        QVERIFY2(moves == 1 || moves == 2, qPrintable(QString::number(moves)));
        QCOMPARE(texts.filter(QRegularExpression("^MOVEX.*:Y.*:Z.*:$")).size(), moves);
        QCOMPARE(texts.first(), QString("ALIGNBG"));
        QCOMPARE(texts.last(), QString("ALIGNEND"));
        QCOMPARE(texts.at(texts.size() - 2), QString("GMS"));
        // The stone stands on the line; Y went to its calibrated position.
        QVERIFY(std::fabs(host->position(HostSimulator::X) - stone.onLineAtX) < 1e-4);
        const alignment::Targets t = core->LastTargets();
        QVERIFY(std::fabs(host->position(HostSimulator::Y) - t.inscriptionY) < 1e-4);
        QVERIFY(std::fabs(host->position(HostSimulator::Z) - t.inscriptionZ) < 1e-4);

        QTRY_VERIFY_WITH_TIMEOUT(residual.size() >= 1, 10000);
        QVERIFY2(residual.first().first().toString().startsWith("X 0.00 px"),
                 qPrintable(residual.first().first().toString()));
        QVERIFY(core->LastResidual().valid);
        QVERIFY(std::fabs(core->LastResidual().xPixels) < 0.01);
        QVERIFY(!testsupport::logMessages().filter(QRegularExpression("^Residual after inscription alignment: X ")).isEmpty());
    }

    void panoramaAlignmentLogsItsWaits()
    {
        host->setSpeed(50);
        feedTracker(true);
        const int from = host->messages().size();
        host->send("BGRALIGN");
        QVERIFY(waitForHost("ALIGNEND", from));
        const QStringList texts = hostTexts().mid(from);
        const QStringList log = testsupport::logMessages();
        const int moves = testsupport::alignmentMoves(log, "panorama");
        QVERIFY2(moves == 1 || moves == 2, qPrintable(QString::number(moves)));
        QCOMPARE(texts.filter(QRegularExpression("^MOVEX.*:Y.*:$")).size(), moves);
        QCOMPARE(texts.filter(QRegularExpression("^MOVEF.*:$")).size(), moves);
        // Each iteration waits for the motion, then the measurement; a measurement that landed
        // moves no more.
        QStringList expected = {"Iteration Camera 2: 1 Waiting for Motion Complete>", "ms", "---------------",
                                "Iteration Camera 2: 1 Waiting for New Capture & Image Processing>", "ms",
                                "Iteration Camera 2: 1 Waiting for XYX\u00b2>",
                                "Iteration Camera 2: 2 Waiting for Motion Complete>", "ms", "---------------",
                                "Iteration Camera 2: 2 Waiting for New Capture & Image Processing>", "ms"};
        if (moves == 2)
            expected << "Iteration Camera 2: 2 Waiting for XYX\u00b2>"
                     << "Iteration Camera 2: 3 Waiting for Motion Complete>" << "ms";
        int at = log.indexOf(expected.first());
        QVERIFY(at >= 0);
        for (const QString& line : expected) {
            QVERIFY2(at < log.size(), qPrintable(line));
            if (line == "ms")
                QVERIFY2(QRegularExpression("^\\d+ms$").match(log.at(at)).hasMatch(), qPrintable(log.at(at)));
            else
                QCOMPARE(log.at(at), line);
            ++at;
        }
    }

    void xAlignmentKeepsY()
    {
        host->setPosition(HostSimulator::Y, 3.25);
        host->reportCoords();
        feedTracker(true);
        QTRY_COMPARE_WITH_TIMEOUT(core->GetYPos(), 3.25, 10000);
        const int from = host->messages().size();
        host->send("ENAAX");
        QVERIFY(waitForHost("ENAAXEND", from));
        const QStringList moves = hostTexts().mid(from).filter(QRegularExpression("^MOVE"));
        const int sent = testsupport::alignmentMoves(testsupport::logMessages(), "inscription X");
        QVERIFY2(sent == 1 || sent == 2, qPrintable(QString::number(sent)));
        QCOMPARE(moves.size(), sent);
        for (const QString& move : moves)
            QVERIFY2(QRegularExpression("^MOVEX[^:]+:Y3\\.25:Z[^:]+:$").match(move).hasMatch(), qPrintable(move));
        QCOMPARE(host->position(HostSimulator::Y), 3.25);
        QCOMPARE(hostTexts().mid(from).count("ALIGNEND"), 0);
    }

    // The loop is held in a switch-driven alignment (rotation with the inscription switch on,
    // host silent); meanwhile "BGALIGN" and then "ENAAX" arrive. The X alignment is served
    // first; the rotation's alignment sends no end message.
    void pendingRequestsAreServedByPriority()
    {
        host->setAnswerStatusQueries(false);
        feedTracker(true);
        core->EngageAutoAlignForInscription = true;
        int from = host->messages().size();
        host->setPosition(HostSimulator::A, 36);
        host->reportCoords();
        QVERIFY(waitForHost("GMS", from));
        host->send("BGALIGN");
        host->send("ENAAX");
        QVERIFY(waitForHost("ALIGNBG", from));
        QTRY_COMPARE_WITH_TIMEOUT(core->GetAPos(), 36.0, 10000);
        core->EngageAutoAlignForInscription = false;
        host->setAnswerStatusQueries(true);
        host->send("MOVESTAT0:0:0");
        QVERIFY(waitForHost("ALIGNEND", from));
        const QStringList texts = hostTexts().mid(from);
        const int xEnd = texts.indexOf("ENAAXEND");
        const int fullEnd = texts.indexOf("ALIGNEND");
        QVERIFY(xEnd >= 0);
        QVERIFY(fullEnd > xEnd);
        QCOMPARE(texts.count("ENAAXEND"), 1);
        QCOMPARE(texts.count("ALIGNEND"), 1);
        // Rotation alignment, X alignment, then the full alignment after ENAAXEND: each at most
        // two moves (none once the stone stands within the tolerance), as their log lines say.
        const QStringList log = testsupport::logMessages();
        QCOMPARE(texts.filter(QRegularExpression("^MOVEX")).size(),
                 testsupport::alignmentMoves(log, "inscription") + testsupport::alignmentMoves(log, "inscription X"));
        const int afterX = texts.mid(xEnd).filter(QRegularExpression("^MOVEX")).size();
        QVERIFY2(afterX <= 2, qPrintable(QString::number(afterX)));
        QVERIFY(testsupport::alignmentMoves(log, "inscription") >= 0);
    }

    void rotationWithSwitchAlignsWithoutEndMessage_data()
    {
        QTest::addColumn<bool>("panorama");
        QTest::newRow("inscription switch") << false;
        QTest::newRow("panorama switch") << true;
    }
    void rotationWithSwitchAlignsWithoutEndMessage()
    {
        QFETCH(bool, panorama);
        feedTracker(true);
        if (panorama)
            core->EngageAutoAlignForPanorama = true;
        else
            core->EngageAutoAlignForInscription = true;
        const int from = host->messages().size();
        host->setPosition(HostSimulator::A, 72);
        host->reportCoords();
        const QString done = panorama ? "Alignment panorama done in " : "Alignment inscription done in ";
        QTRY_VERIFY_WITH_TIMEOUT(!testsupport::logMessages().filter(done).isEmpty(), 10000);
        core->EngageAutoAlignForInscription = false;
        core->EngageAutoAlignForPanorama = false;
        // Any end message of the rotation's alignment would come before this one.
        const int probe = host->messages().size();
        host->send("ENAAX");
        QVERIFY(waitForHost("ENAAXEND", probe));
        const QStringList texts = hostTexts().mid(from);
        QCOMPARE(texts.count("ALIGNEND"), 0);
        QCOMPARE(texts.count("ENAAXEND"), 1);
        QCOMPARE(texts.indexOf("ENAAXEND"), texts.size() - 1);
        const QStringList log = testsupport::logMessages();
        const int moves = panorama ? testsupport::alignmentMoves(log, "panorama")
                                   : testsupport::alignmentMoves(log, "inscription")
                                         + testsupport::alignmentMoves(log, "inscription X");
        // The rotation's alignment moves; the X alignment after it may find the stone in place.
        QVERIFY(moves >= 1);
        QCOMPARE(texts.filter(QRegularExpression(panorama ? "^MOVEF" : "^MOVEX.*:Z")).size(), moves);
    }

    void shutdownDuringStatusWait()
    {
        host->setAnswerStatusQueries(false);
        const int from = host->messages().size();
        host->send("BGALIGN");
        QVERIFY(waitForHost("GMS", from));
        QElapsedTimer clock;
        clock.start();
        MotionCore::Destroy();
        core = nullptr;
        // Ends at once; the generous bound only tells a hang from a prompt end.
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        const QStringList log = testsupport::logMessages();
        QVERIFY(log.contains("Motion Core: alignment interrupted, ALIGNEND not sent"));
        QCOMPARE(log.filter("Motion Core Destruction").size(), 1);
        QTest::qWait(20);
        QCOMPARE(hostTexts().mid(from).count("ALIGNEND"), 0);
    }

    void parameters_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("loaded");   // the member's value as the settings write it
        QTest::newRow("TL pixel size") << "PMTLPXS" << "12.8" << "12.8";
        QTest::newRow("centre line") << "POVTLLOH" << "321" << "321";
        QTest::newRow("crown") << "PROUNDSTLCR" << "16" << "16";
        QTest::newRow("MF pixel size") << "PMMFPXS" << "1.5" << "1.5";
        QTest::newRow("not a number keeps the default") << "PMTLPXS" << "NAN" << "25.6";
        QTest::newRow("infinite focus keeps the default") << "PZFTLPOS" << "INF" << "15";
        QTest::newRow("position tolerance") << "PMALPOSTOL" << "0.005" << "0.005";
        QTest::newRow("residual limit") << "PMALRESMAX" << "80" << "80";
        QTest::newRow("residual limit 0 keeps two pixels") << "PMALRESMAX" << "0" << "51.2";
        QTest::newRow("missing key") << "" << "" << "";
    }
    void parameters()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, loaded);
        Registry* registry = Registry::AccessMemory();
        if (!key.isEmpty())
            registry->SetKey(key, stored);
        core->LoadTLMotionParameters();
        core->LoadMFMotionParameters();
        if (key == "PMTLPXS")
            QCOMPARE(QString::number(core->TLPixelSize, 'g', 6), loaded);
        else if (key == "POVTLLOH")
            QCOMPARE(QString::number(core->OverlayTLCenterH), loaded);
        else if (key == "PROUNDSTLCR")
            QCOMPARE(QString::number(core->RoundCrownPercent, 'g', 6), loaded);
        else if (key == "PMMFPXS")
            QCOMPARE(QString::number(core->MFPixelSize, 'g', 6), loaded);
        else if (key == "PZFTLPOS")
            QCOMPARE(QString::number(core->TLZFocusPosition, 'g', 6), loaded);
        else if (key == "PMALPOSTOL")
            QCOMPARE(QString::number(core->PositionTolerance, 'g', 6), loaded);
        else if (key == "PMALRESMAX")
            QCOMPARE(QString::number(core->ResidualLimitUm, 'g', 6), loaded);
        else {
            QCOMPARE(core->OverlayTLCenterH.load(), 200);
            QCOMPARE(core->OverlayTLCenterCirclesNumber.load(), 5);
            QCOMPARE(core->MFPixelDeg.load(), 0.041707);
        }
        if (key == "PMALRESMAX" && stored == "0")
            QVERIFY(testsupport::logMessages().contains("Motion Core: setting PMALRESMAX 0 is outside 0.1 to 100000, using 51.2"));
        if (stored == "NAN" || stored == "INF")
            QVERIFY(!testsupport::logMessages().filter("Motion Core: setting " + key + " is not a finite number").isEmpty());
    }

    void saveWritesEveryKey()
    {
        core->TLPixelSize = 25.123456789;
        core->OverlayTLFocalX = 640;
        core->MFPixelDeg = 0.05;
        core->SaveTLMotionParameter();
        core->SaveMFMotionParameter();
        Registry* registry = Registry::AccessMemory();
        QVERIFY(registry->SaveReg());
        const QByteArray file = testsupport::readAll("Registry.dat");
        QVERIFY(file.contains("PMTLPXS:25.1235\n"));
        QVERIFY(file.contains("POVTLFOH:640\n"));
        QVERIFY(file.contains("PMMFPXD:0.05\n"));
        const QStringList keys = {"POVTLLOH", "POVTLLOV", "POVTLCON", "POVTLCOD", "POVTLFOH", "POVTLFOV", "PMTLPXS",
                                  "PZFTLPOS", "PYOFFSTLPOS", "PROUNDSTLCR", "PROUNDSTLGR", "POVMFLOH", "POVMFLOV",
                                  "POVMFFOH", "POVMFFOV", "PXIIFMFPOS", "PZIIOFFSMFPOS", "PMMFPXS", "PMMFPXD",
                                  "PMALPOSTOL", "PMALRESMAX"};
        for (const QString& key : keys)
            QVERIFY2(file.contains("\n" + key.toLatin1() + ":"), qPrintable(key));
    }
};

QTEST_MAIN(TestMotionCore)
#include "tst_motioncore.moc"
