#include "operatorsession.h"
#include "stationprocess.h"

#include <QCheckBox>
#include <QImage>
#include <QTcpSocket>

#include <sys/ioctl.h>

// The station starts whatever it finds (no camera, an older settings file, a shared folder it
// cannot write, its port taken) and stops in order, promptly, whatever it is doing. The real
// binary is started offscreen and stopped with SIGTERM; the cases that need the operator's
// window (a stepped scan, cameras unplugged) run the window in this process.
class TestStationRobustness : public QObject
{
    Q_OBJECT

    // "Stops within a second", with room for a loaded machine and the sanitizer build.
    static constexpr qint64 StopBoundMs = 5000;
    static constexpr int AnswerTimeoutMs = 120000;

    enum class HostCheck { None, Connects, SnapshotAndFrame, FrameWithoutSnapshot };
    enum class Activity { AlignmentWaitingForStatus, ScanWaitingForStatus, ScanRunning, HostStoppedReading };

    static QString expand(QString text, const QString& dir) { return text.replace(QStringLiteral("$DIR"), dir); }

    static QByteArray rigCameras()
    {
        return QByteArray("CAMTLID:") + rig::Rig::TopLargeSerial + "\nCAMMFID:" + rig::Rig::FrontSerial
            + "\nCAMTSID:" + rig::Rig::TopStandardSerial + "\n";
    }

    void checkOrderlyStop(e2e::StationProcess& station, const QString& what)
    {
        const qint64 stopMs = station.terminate(60000);
        QVERIFY2(stopMs >= 0, "the station did not end within 60 s of SIGTERM");
        qInfo().noquote() << QStringLiteral("%1: SIGTERM -> process ended in %2 ms").arg(what).arg(stopMs);
        QVERIFY2(station.exitedCleanly(), qPrintable(station.exitText()));
        QVERIFY2(stopMs <= StopBoundMs, qPrintable(QStringLiteral("stopping took %1 ms").arg(stopMs)));
        checkShutdownRecords(station.log());
    }

    static void checkShutdownRecords(const QStringList& records)
    {
        const QString missing = e2e::missingInOrder(records, e2e::shutdownRecords());
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("shutdown record \"%1\" missing or out of order").arg(missing)));
        QCOMPARE(records.mid(records.size() - 3), e2e::lastRecords());
    }

    // Sends RQI every few milliseconds without reading the video connection, until the frames
    // stop piling up in this side's receive queue: the station's writes are backed up then.
    static int fillVideoConnection(QTcpSocket& data, QTcpSocket& video, int timeoutMs)
    {
        QElapsedTimer clock, unchanged;
        clock.start();
        unchanged.start();
        int queued = -1;
        for (int tag = 100; clock.elapsed() < timeoutMs; ++tag) {
            data.write(QStringLiteral("%1:RQI;").arg(tag).toUtf8());
            data.flush();
            QTest::qWait(20);
            int now = 0;
            ::ioctl(int(video.socketDescriptor()), FIONREAD, &now);
            if (now != queued) {
                queued = now;
                unchanged.restart();
            } else if (queued > 0 && unchanged.elapsed() > 1000) {
                break;
            }
        }
        return queued;
    }

private slots:
    void cleanup() { e2e::destroyLeftoverComponents(); }

    void startsWhateverItFinds_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<bool>("takePort");
        QTest::addColumn<QStringList>("records");
        QTest::addColumn<int>("host");

        const QByteArray header("Veltrax:Registry\nVersion:1.0.0.1\n");
        QTest::newRow("no camera bound")
            << header + "PSHAREDFOLDER:$DIR/share\n" << false
            << QStringList{QStringLiteral("Can not Found Registry key:CAMTLID"), QStringLiteral("Can not Found Registry key:CAMMFID"),
                           QStringLiteral("Can not Found Registry key:CAMTSID")}
            << int(HostCheck::Connects);
        // Written by an earlier version: keys it no longer uses, keys it did not know yet
        // missing, a value that is not a number, Windows line ends from an edit by hand.
        QTest::newRow("settings from an older run")
            << QByteArray("Veltrax:Registry\r\nVersion:1.0.0.1\r\n") + rigCameras().replace("\n", "\r\n")
                   + "PSHAREDFOLDER:$DIR/share\r\nPGRIDLEPANORAMAW:4096\r\nPSTTCHMFCAPN:twenty\r\nCAMMFEXPT:\r\n\r\nPOVTLCHH:400"
            << false << QStringList{QStringLiteral("Registry Class imported successfully")} << int(HostCheck::SnapshotAndFrame);
        QTest::newRow("unwritable shared folder")
            << header + rigCameras() + "PSHAREDFOLDER:$DIR/blocked/share\n" << false
            << QStringList{QStringLiteral("Shared folder can not be created: $DIR/blocked/share")}
            << int(HostCheck::FrameWithoutSnapshot);
        QTest::newRow("port 5050 taken")
            << header + rigCameras() + "PSHAREDFOLDER:$DIR/share\n" << true
            << QStringList{QStringLiteral("TCP Server: Listening failed on ")} << int(HostCheck::None);
    }
    void startsWhateverItFinds()
    {
        QFETCH(QByteArray, settings);
        QFETCH(bool, takePort);
        QFETCH(QStringList, records);
        QFETCH(int, host);

        testsupport::WorkDir work;
        const QByteArray settingsFile = expand(QString::fromUtf8(settings), work.path()).toUtf8();
        testsupport::writeAll(work.file(QStringLiteral("Registry.dat")), settingsFile);
        // A regular file where the shared folder's parent should be: no one can create it.
        testsupport::writeAll(work.file(QStringLiteral("blocked")), "not a folder\n");

        QTcpServer occupant;
        if (takePort) {
            const QString problem = e2e::portProblem();
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QVERIFY(occupant.listen(QHostAddress::LocalHost, e2e::HostPort));
        }

        e2e::StationProcess station(work.path());
        QString problem;
        QVERIFY2(station.start(&problem, !takePort), qPrintable(problem));
        QVERIFY2(station.waitUntilStarted(60000), qPrintable(station.exitText()));
        for (const QString& record : records)
            QVERIFY2(e2e::hasRecord(station.log(), expand(record, work.path())), qPrintable(record));

        HostSimulator simulator;
        simulator.setStrict(true);
        if (HostCheck(host) != HostCheck::None) {
            QVERIFY2(e2e::connectHost(simulator, e2e::HostPort, 30000), qPrintable(simulator.lastSocketError()));
            QCOMPARE(simulator.texts().value(0), QStringLiteral("NCQ"));
        }
        if (HostCheck(host) == HostCheck::SnapshotAndFrame || HostCheck(host) == HostCheck::FrameWithoutSnapshot) {
            simulator.send(QStringLiteral("RQI"));
            QVERIFY2(simulator.waitForFrames(1, AnswerTimeoutMs), "RQI: no video frame");
            QVERIFY(!QImage::fromData(simulator.frames().value(0), "JPEG").isNull());
            simulator.send(QStringLiteral("QISI"));
        }
        if (HostCheck(host) == HostCheck::SnapshotAndFrame) {
            QVERIFY2(simulator.waitForText(QStringLiteral("SIDONE"), 0, AnswerTimeoutMs) >= 0, "QISI: no SIDONE");
            QVERIFY(!QImage(work.file(QStringLiteral("share/Cam2Snapshot.png"))).isNull());
        }
        if (HostCheck(host) == HostCheck::FrameWithoutSnapshot) {
            // The snapshot cannot be stored, so the host is not told it was.
            QVERIFY2(station.waitForRecord(QStringLiteral("Front snapshot request dropped"), AnswerTimeoutMs),
                     qPrintable(station.log().mid(station.log().size() - 10).join(QLatin1Char('\n'))));
            QCOMPARE(simulator.countOf(QStringLiteral("SIDONE")), 0);
        }
        QVERIFY2(simulator.violationCount() == 0, qPrintable(simulator.violations().join(QStringLiteral("; "))));
        simulator.disconnectFromStation();

        checkOrderlyStop(station, QString::fromLatin1(QTest::currentDataTag()));
        // Nothing is saved at shutdown and nothing the file held is lost.
        const QStringList after = QString::fromUtf8(testsupport::readAll(work.file(QStringLiteral("Registry.dat")))).split(QLatin1Char('\n'));
        for (QString line : QString::fromUtf8(settingsFile).split(QLatin1Char('\n'))) {
            line.remove(QLatin1Char('\r'));
            QVERIFY2(line.isEmpty() || after.contains(line) || after.contains(line + QLatin1Char('\r')), qPrintable(line));
        }
        if (takePort)
            QVERIFY(!occupant.hasPendingConnections());
    }

    void stopsPromptlyWhateverItDoes_data()
    {
        QTest::addColumn<int>("activity");
        QTest::newRow("alignment waiting for GMS") << int(Activity::AlignmentWaitingForStatus);
        QTest::newRow("scan waiting for GMS") << int(Activity::ScanWaitingForStatus);
        QTest::newRow("scan running") << int(Activity::ScanRunning);
        QTest::newRow("host stopped reading") << int(Activity::HostStoppedReading);
    }
    void stopsPromptlyWhateverItDoes()
    {
        QFETCH(int, activity);
        testsupport::WorkDir work;
        const QString prepared = e2e::prepareRigDirectory(work.path());
        QVERIFY2(prepared.isEmpty(), qPrintable(prepared));
        e2e::StationProcess station(work.path());
        QString problem;
        QVERIFY2(station.start(&problem), qPrintable(problem));
        QVERIFY2(station.waitUntilStarted(60000), qPrintable(station.exitText()));

        HostSimulator host;
        host.setSpeed(100);
        QTcpSocket data, video;
        switch (Activity(activity)) {
        case Activity::AlignmentWaitingForStatus:
        case Activity::ScanWaitingForStatus: {
            host.setAnswerStatusQueries(false);
            QVERIFY2(e2e::connectHost(host, e2e::HostPort, 30000), qPrintable(host.lastSocketError()));
            const bool align = Activity(activity) == Activity::AlignmentWaitingForStatus;
            const int from = host.messages().size();
            host.send(align ? QStringLiteral("BGALIGN") : QStringLiteral("BGSCAN"));
            const int answer = host.waitForText(align ? QStringLiteral("ALIGNBG") : QStringLiteral("SCANBG"), from, AnswerTimeoutMs);
            QVERIFY(answer >= 0);
            QVERIFY2(host.waitForText(QStringLiteral("GMS"), answer, AnswerTimeoutMs) >= 0, "no GMS");
            break;
        }
        case Activity::ScanRunning:
            QVERIFY2(e2e::connectHost(host, e2e::HostPort, 30000), qPrintable(host.lastSocketError()));
            host.send(QStringLiteral("BGSCAN"));
            QVERIFY2(host.waitUntil([&]() { return host.texts().indexOf(QRegularExpression(QStringLiteral("^IMGSCAP1COORDS"))) >= 0; },
                                    AnswerTimeoutMs),
                     "no second scan report");
            break;
        case Activity::HostStoppedReading: {
            data.connectToHost(QHostAddress::LocalHost, e2e::HostPort);
            QVERIFY(data.waitForConnected(30000));
            QVERIFY2(QTest::qWaitFor([&]() { return data.peek(256).contains(":NCQ;"); }, 30000), "no NCQ");
            // Qt takes no more than this from the kernel: beyond it the host has stopped reading.
            data.setReadBufferSize(1024);
            video.setReadBufferSize(1024);
            video.connectToHost(QHostAddress::LocalHost, e2e::HostPort);
            QVERIFY(video.waitForConnected(30000));
            const int queued = fillVideoConnection(data, video, 60000);
            qInfo().noquote() << QStringLiteral("host stopped reading with %1 bytes of video unread").arg(queued);
            QVERIFY(queued > 0);
            break;
        }
        }
        checkOrderlyStop(station, QString::fromLatin1(QTest::currentDataTag()));
    }

    // A stepped scan started by the operator waits for "Next" after every frame; closing the
    // window then ends it and tears everything down in order.
    void steppedScanStopsWithTheWindow()
    {
        testsupport::WorkDir work;
        const QString prepared = e2e::prepareRigDirectory(work.path());
        QVERIFY2(prepared.isEmpty(), qPrintable(prepared));
        e2e::OperatorSession session;
        QVERIFY(session.exposed);
        HostSimulator host;
        host.setSpeed(100);
        QVERIFY2(e2e::connectHost(host, session.hostPort(), 30000), qPrintable(host.lastSocketError()));

        const QString stepped = QStringLiteral("checkBoxMFGridleReconstructionStepped");
        QVERIFY(session.reveal(stepped));
        if (!session.find<QCheckBox>(stepped)->isChecked())
            QVERIFY(session.click(stepped));
        QVERIFY(session.find<QCheckBox>(stepped)->isChecked());
        QVERIFY(session.reveal(QStringLiteral("pushButtonStartGridleStitching")));
        QVERIFY(session.click(QStringLiteral("pushButtonStartGridleStitching")));
        QVERIFY2(host.waitUntil([&]() { return host.texts().indexOf(QRegularExpression(QStringLiteral("^IMGSCAP0COORDS"))) >= 0; },
                                AnswerTimeoutMs),
                 "no first scan report");
        QVERIFY(GridleStitcher::Existing() && GridleStitcher::Existing()->IsScanning());

        const qint64 closeMs = session.close();
        qInfo().noquote() << QStringLiteral("stepped scan waiting for Next: window closed in %1 ms").arg(closeMs);
        QVERIFY2(closeMs <= StopBoundMs, qPrintable(QStringLiteral("closing took %1 ms").arg(closeMs)));
        checkShutdownRecords(testsupport::logMessages(work.file(QStringLiteral("Logs.ini"))));
    }

    // The window opens even when nothing it needs is there.
    void windowOpensWhateverItFinds_data()
    {
        QTest::addColumn<bool>("cameras");
        QTest::addColumn<bool>("takePort");
        QTest::addColumn<QString>("record");
        QTest::newRow("no camera connected") << false << false << QStringLiteral("Listening ");
        QTest::newRow("host port taken") << true << true << QStringLiteral("TCP Server: Listening failed on ");
    }
    void windowOpensWhateverItFinds()
    {
        QFETCH(bool, cameras);
        QFETCH(bool, takePort);
        QFETCH(QString, record);
        testsupport::WorkDir work;
        const QString prepared = e2e::prepareRigDirectory(work.path());
        QVERIFY2(prepared.isEmpty(), qPrintable(prepared));
        QTcpServer occupant;
        if (takePort)
            QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));

        e2e::OperatorSession session(takePort ? occupant.serverPort() : 0, cameras);
        QVERIFY(session.exposed);
        QCOMPARE(session.window->windowTitle(), QStringLiteral("Veltrax Enhanced v_1.0.0.5"));
        QVERIFY2(e2e::hasRecord(testsupport::logMessages(work.file(QStringLiteral("Logs.ini"))), record), qPrintable(record));
        QCOMPARE(session.hostPort() == 0, takePort);

        const qint64 closeMs = session.close();
        QVERIFY2(closeMs <= StopBoundMs, qPrintable(QStringLiteral("closing took %1 ms").arg(closeMs)));
        checkShutdownRecords(testsupport::logMessages(work.file(QStringLiteral("Logs.ini"))));
    }
};

QTEST_MAIN(TestStationRobustness)
#include "tst_stationrobustness.moc"
