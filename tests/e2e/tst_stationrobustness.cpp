#include "operatorsession.h"
#include "stationprocess.h"

#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// The station starts whatever it finds (no camera, an older settings file, a shared folder it
// cannot write, its port taken) and stops in order, promptly, whatever it is doing. The real
// binary is started offscreen and stopped with SIGTERM; the cases that need the operator's
// window (a stepped scan, cameras unplugged) run the window in this process.
class TestStationRobustness : public QObject
{
    Q_OBJECT

    // The stop must not wait for what never comes ("Next", a host that has stopped reading, whose
    // write limit is 30 s). It waits for at most the analyser's frame in progress, which runs
    // niced: with five busy processes on two cores that frame alone took 12 s under the sanitizer
    // build. How fast the station stops is printed with each case, not bounded here.
    static constexpr qint64 StopBoundMs = 20000;
    static constexpr int AnswerTimeoutMs = 120000;

    enum class HostCheck { None, Connects, SnapshotAndFrame, FrameWithoutSnapshot };
    enum class Activity { AlignmentWaitingForStatus, ScanWaitingForStatus, ScanRunning, VideoReaderStalled };

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
        qInfo().noquote() << QStringLiteral("%1: SIGTERM -> teardown began after %2 ms, log closed after %3 ms, process ended after %4 ms")
                                 .arg(what)
                                 .arg(station.msAfterSignal(QStringLiteral("Gridle Stitcher Destruction")))
                                 .arg(station.msAfterSignal(QStringLiteral("Exit")))
                                 .arg(stopMs);
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

    // A video connection that never reads, with a small receive window so that the station's
    // frames back up after a few requests. A plain socket: nothing on this side reads behind
    // the test's back.
    class StalledVideo
    {
    public:
        ~StalledVideo()
        {
            if (fd >= 0)
                ::close(fd);
        }
        bool open()
        {
            fd = ::socket(AF_INET, SOCK_STREAM, 0);
            const int receiveBuffer = 4096;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            sockaddr_in station{};
            station.sin_family = AF_INET;
            station.sin_port = htons(e2e::HostPort);
            station.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            return ::connect(fd, reinterpret_cast<sockaddr*>(&station), sizeof station) == 0;
        }
        int unread() const
        {
            int queued = 0;
            ::ioctl(fd, FIONREAD, &queued);
            return queued;
        }

    private:
        int fd = -1;
    };

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
        // The first front frame answers the requests pending since start-up; the host may see
        // it when it connected early, so every answer is counted from its own request on.
        int asked = 0;
        if (HostCheck(host) == HostCheck::SnapshotAndFrame || HostCheck(host) == HostCheck::FrameWithoutSnapshot) {
            const int frames = simulator.frameCount();
            simulator.send(QStringLiteral("RQI"));
            QVERIFY2(simulator.waitForFrames(frames + 1, AnswerTimeoutMs), qPrintable("RQI: no video frame; " + station.exitText()));
            QVERIFY(!QImage::fromData(simulator.frames().value(frames), "JPEG").isNull());
            if (HostCheck(host) == HostCheck::FrameWithoutSnapshot)
                QVERIFY2(station.waitForRecord(QStringLiteral("Front snapshot not stored"), AnswerTimeoutMs), qPrintable(station.exitText()));
            asked = simulator.messages().size();
            simulator.send(QStringLiteral("QISI"));
        }
        if (HostCheck(host) == HostCheck::SnapshotAndFrame) {
            QVERIFY2(simulator.waitForText(QStringLiteral("SIDONE"), asked, AnswerTimeoutMs) >= 0, qPrintable("QISI: no SIDONE; " + station.exitText()));
            QVERIFY(!QImage(work.file(QStringLiteral("share/Cam2Snapshot.png"))).isNull());
        }
        if (HostCheck(host) == HostCheck::FrameWithoutSnapshot) {
            // The snapshot cannot be stored: the host is told so, not that it was (the request
            // pending since start-up has been given up the same way).
            QVERIFY2(simulator.waitForText(QStringLiteral("SIFAIL:STORAGE"), asked, AnswerTimeoutMs) >= 0,
                     qPrintable("QISI: no SIFAIL; " + station.exitText()));
            QVERIFY(station.log().filter(QRegularExpression(QStringLiteral("^Front snapshot not stored"))).size() >= 2);
            QCOMPARE(simulator.countOf(QStringLiteral("SIDONE"), asked), 0);
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
        QTest::newRow("video reader stalled during an alignment") << int(Activity::VideoReaderStalled);
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
        StalledVideo stalled;
        QTimer frameRequests;
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
            QVERIFY2(host.waitForText(QStringLiteral("GMS"), answer, AnswerTimeoutMs) >= 0, qPrintable("no GMS; " + station.exitText()));
            break;
        }
        case Activity::ScanRunning:
            QVERIFY2(e2e::connectHost(host, e2e::HostPort, 30000), qPrintable(host.lastSocketError()));
            // As a host does: the stone is brought in front of the front camera (and measured)
            // before the scan.
            host.send(QStringLiteral("BGRALIGN"));
            QVERIFY2(host.waitForText(QStringLiteral("ALIGNEND"), 0, AnswerTimeoutMs) >= 0, qPrintable("no ALIGNEND; " + station.exitText()));
            host.send(QStringLiteral("BGSCAN"));
            QVERIFY2(host.waitUntil([&]() { return e2e::indexStartingWith(host.texts(), QStringLiteral("IMGSCAP1COORDS")) >= 0; },
                                    AnswerTimeoutMs),
                     qPrintable("no second scan report; " + station.exitText()));
            break;
        case Activity::VideoReaderStalled: {
            // The host's video connection stops reading while the host asks for frames at 30/s
            // and aligns: the frames back up and are dropped, and the GMS the alignment waits
            // on are not held behind them.
            host.setOpenVideo(false);
            QVERIFY2(e2e::connectHost(host, e2e::HostPort, 30000), qPrintable(host.lastSocketError()));
            QVERIFY(stalled.open());
            QVERIFY2(station.waitForRecord(QStringLiteral("New Video connection from "), 30000), qPrintable(station.exitText()));
            QObject::connect(&frameRequests, &QTimer::timeout, [&host]() { host.send(QStringLiteral("RQI")); });
            frameRequests.start(33);
            QVERIFY2(QTest::qWaitFor([&]() { return !station.log().filter(QStringLiteral("has not taken the previous frame")).isEmpty(); },
                                     AnswerTimeoutMs),
                     qPrintable("no frame dropped; " + station.exitText()));
            const int from = host.messages().size();
            host.send(QStringLiteral("BGRALIGN"));
            int end = -1;
            host.waitUntil([&]() {
                const QStringList texts = host.texts();
                for (int i = from; i < texts.size() && end < 0; ++i)
                    if (texts.at(i) == QLatin1String("ALIGNEND") || texts.at(i).startsWith(QLatin1String("ALIGNFAIL:")))
                        end = i;
                return end >= 0;
            },
                           AnswerTimeoutMs);
            QVERIFY2(end >= 0, qPrintable("no alignment outcome; " + station.exitText()));
            QCOMPARE(host.texts().at(end), QStringLiteral("ALIGNEND"));
            // The data link still answers at once what is asked.
            host.send(QStringLiteral("QISI"));
            QVERIFY2(host.waitForText(QStringLiteral("SIDONE"), end, AnswerTimeoutMs) >= 0, qPrintable("no SIDONE; " + station.exitText()));
            QVERIFY(host.failures().isEmpty());
            // The dropped frames were counted, not logged one by one: their summary follows
            // once the requests stop.
            frameRequests.stop();
            const QString summary = QStringLiteral("TCP Server: Video frame dropped: the host has not taken the previous one (repeated ");
            QVERIFY2(QTest::qWaitFor([&]() { return e2e::hasRecord(station.log(), summary); }, AnswerTimeoutMs),
                     qPrintable("no summary of the dropped frames; " + station.exitText()));
            qInfo().noquote() << QStringLiteral("video reader stalled: ALIGNEND after %1 GMS, %2 bytes unread on the video connection; %3")
                                     .arg(host.statusQueries())
                                     .arg(stalled.unread())
                                     .arg(station.log().filter(summary).join(QStringLiteral(" | ")));
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

        // The operator starts the scan once the stone is measured (its diameter is shown).
        auto* diameter = session.find<QLabel>(QStringLiteral("labelStoneDiameterCamTopL"));
        QVERIFY(diameter);
        QTRY_VERIFY_WITH_TIMEOUT(diameter->text().section(QLatin1Char(' '), 0, 0).toDouble() > 0, AnswerTimeoutMs);

        const QString stepped = QStringLiteral("checkBoxMFGridleReconstructionStepped");
        QVERIFY(session.reveal(stepped));
        if (!session.find<QCheckBox>(stepped)->isChecked())
            QVERIFY(session.click(stepped));
        QVERIFY(session.find<QCheckBox>(stepped)->isChecked());
        QVERIFY(session.reveal(QStringLiteral("pushButtonStartGridleStitching")));
        QVERIFY(session.click(QStringLiteral("pushButtonStartGridleStitching")));
        QVERIFY2(host.waitUntil([&]() { return e2e::indexStartingWith(host.texts(), QStringLiteral("IMGSCAP0COORDS")) >= 0; },
                                AnswerTimeoutMs),
                 qPrintable("no first scan report; last log records: " + testsupport::logMessages().mid(qMax(0, testsupport::logMessages().size() - 12)).join(QStringLiteral(" | "))));
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
