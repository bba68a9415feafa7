// The host simulator against the real server (the two independent sides of the link must
// agree), against a deliberately faulty station (the simulator must catch each fault), and
// its command-line front end.
#include "core/logs.h"
#include "hostlink/veltraxserver.h"
#include "sim/host/hostscript.h"
#include "sim/host/hostsimulator.h"
#include "testsupport.h"

#include <QBuffer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

QByteArray jpegBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(QColor(120, 80, 40));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes;
}

QString coordsText(double x, double y, double z, double a, double f)
{
    return QStringLiteral("NewCoord(%1,%2,%3,%4,%5)").arg(x).arg(y).arg(z).arg(a).arg(f);
}

// A station that says exactly what a test tells it to, on the data and video connections.
class FakeStation : public QObject
{
public:
    FakeStation()
    {
        listener.listen(QHostAddress::LocalHost, 0);
        connect(&listener, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket* socket = listener.nextPendingConnection()) {
                if (!dataSocket) {
                    dataSocket = socket;
                    socket->write(dataGreeting);
                } else {
                    videoSocket = socket;
                    socket->write(videoBytes);
                }
            }
        });
    }
    quint16 port() const { return listener.serverPort(); }
    QByteArray dataGreeting;
    QByteArray videoBytes;
    QTcpServer listener;
    QTcpSocket* dataSocket = nullptr;
    QTcpSocket* videoSocket = nullptr;
};

} // namespace

class TestHostSim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectsDataThenVideoAndReportsPositions();
    void executesMoves_data();
    void executesMoves();
    void reportsMotionWhileMoving_data();
    void reportsMotionWhileMoving();
    void reportsTheEndBeforeSayingStill();
    void adversarialTiming_data();
    void adversarialTiming();
    void requestsAreTaggedAndAnswered();
    void videoFramesCheckedAndSaved();
    void imageMessagesSizedByTheirBmpHeader();
    void catchesStationFaults_data();
    void catchesStationFaults();
    void catchesBadVideoHeader();

    void scriptArguments_data();
    void scriptArguments();
    void commandLineConversation();
    void commandLineExitsNonZeroOnViolation();
    void commandLineSnapshotFailure();
    void commandLineWaitsForAStartingStation();

private:
    void startServer();
    void addResponder();
    QString hostsimPath() const;
    bool runHostsim(QProcess& process, const QStringList& arguments, int timeoutMs);

    std::unique_ptr<testsupport::WorkDir> workDir;
    VeltraxServer* server = nullptr;
    QStringList events;
};

void TestHostSim::init()
{
    workDir.reset(new testsupport::WorkDir);
    VeltraxServer::SetListenEndpoint(QHostAddress(QHostAddress::LocalHost), 0);
    server = nullptr;
    events.clear();
}

void TestHostSim::cleanup()
{
    VeltraxServer::Destroy();
    Logs::Destroy();
    server = nullptr;
    workDir.reset();
}

void TestHostSim::startServer()
{
    server = VeltraxServer::AccessMemory();
    connect(server, &VeltraxServer::NewCoord, this,
            [this](double x, double y, double z, double a, double f) { events << coordsText(x, y, z, a, f); });
    connect(server, &VeltraxServer::NewMotionStatus, this,
            [this](int m, int a, int f) { events << QStringLiteral("NewMotionStatus(%1,%2,%3)").arg(m).arg(a).arg(f); });
}

// Plays the station's side of each request the way the motion core, the scan and the front
// camera do: acknowledgement first (the server's own reply), then status queries, moves and
// the end message.
void TestHostSim::addResponder()
{
    auto pendingEnd = std::make_shared<QString>();
    connect(server, &VeltraxServer::StartAutoAlignement, server, [this, pendingEnd]() {
        *pendingEnd = QStringLiteral("ALIGNEND");
        server->Send(QStringLiteral("MOVEX1:Y2:Z3:"));
        server->Send(QStringLiteral("GMS"));
    });
    connect(server, &VeltraxServer::StartMFAutoAlignement, server, [this, pendingEnd]() {
        *pendingEnd = QStringLiteral("ALIGNEND");
        server->Send(QStringLiteral("MOVEX0.5:Y1.5:"));
        server->Send(QStringLiteral("MOVEF0.25:"));
        server->Send(QStringLiteral("GMS"));
    });
    connect(server, &VeltraxServer::EngageAutoXAlign, server, [this, pendingEnd]() {
        *pendingEnd = QStringLiteral("ENAAXEND");
        server->Send(QStringLiteral("GMS"));
    });
    connect(server, &VeltraxServer::NewMotionStatus, server, [this, pendingEnd](int m, int a, int f) {
        if (m == 1 || a == 1 || f == 1) {
            server->Send(QStringLiteral("GMS"));
        } else if (!pendingEnd->isEmpty()) {
            server->Send(*pendingEnd);
            pendingEnd->clear();
        }
    });
    connect(server, &VeltraxServer::StartAutoScan, server, [this]() {
        for (int i = 0; i < 3; ++i) {
            server->Send(QStringLiteral("IMGSCAP%1COORDS10.5&7.2&%2#1.27#-1.68#5#36").arg(i).arg(i * 36));
            if (i + 1 < 3)
                server->Send(QStringLiteral("INCA36"));
        }
        QImage frame(40, 30, QImage::Format_RGB888);
        frame.fill(QColor(59, 59, 59));
        server->Send(QStringLiteral("IMGCAP3COORDS10.5&7.2&108"), frame);
        server->Send(QStringLiteral("SCANEND"));
    });
    connect(server, &VeltraxServer::SavingImageRequest, server, [this]() { server->ValidateImageSavingRequest(); });
    connect(server, &VeltraxServer::StramRequest, server, [this]() { server->FluxWrite(jpegBytes(64, 48)); });
}

QString TestHostSim::hostsimPath() const
{
    return qEnvironmentVariable("VELTRAX_BIN_DIR") + QStringLiteral("/hostsim");
}

// The server lives in this thread, so the event loop must run while the process does.
bool TestHostSim::runHostsim(QProcess& process, const QStringList& arguments, int timeoutMs)
{
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(hostsimPath(), arguments);
    if (!process.waitForStarted(10000))
        return false;
    QElapsedTimer waited;
    waited.start();
    while (process.state() != QProcess::NotRunning && waited.elapsed() < timeoutMs)
        QTest::qWait(10);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        return false;
    }
    return true;
}

void TestHostSim::connectsDataThenVideoAndReportsPositions()
{
    startServer();
    HostSimulator sim;
    sim.setPosition(HostSimulator::A, 90);
    sim.connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
    QVERIFY(sim.waitForReady(5000));
    QTRY_VERIFY_WITH_TIMEOUT(server->HasVideoConnection(), 5000);
    QVERIFY(server->HasDataConnection());
    QTRY_COMPARE_WITH_TIMEOUT(events, QStringList{coordsText(0, 0, 0, 90, 0)}, 5000);
    QCOMPARE(sim.texts(), QStringList{"NCQ"});
    QCOMPARE(sim.violationCount(), 0);
    const QStringList transcript = sim.transcriptLines();
    QVERIFY(transcript.filter(QStringLiteral(" << 1:NCQ;")).size() == 1);
    QVERIFY(transcript.filter(QStringLiteral(" >> 1:COORDS0:0:0:90:0;")).size() == 1);
    QVERIFY(transcript.filter(QStringLiteral("video connection open")).size() == 1);
}

void TestHostSim::executesMoves_data()
{
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QList<double>>("position");

    QTest::newRow("five axes") << QStringList{"MOVEX1:Y2:Z3:A45:F0.5:"} << QList<double>{1, 2, 3, 45, 0.5};
    QTest::newRow("one axis with colon") << QStringList{"MOVEX12:"} << QList<double>{12, 0, 0, 0, 0};
    QTest::newRow("increments add up") << QStringList{"INCA7.5", "INCA7.5", "INCZ-0.2"} << QList<double>{0, 0, -0.2, 15, 0};
    QTest::newRow("exponent form") << QStringList{"INCF-1e-05", "MOVEY1.23457e+06:"} << QList<double>{0, 1234570, 0, 0, -1e-05};
    QTest::newRow("move then increment") << QStringList{"MOVEX1:Y2:", "INCX0.5"} << QList<double>{1.5, 2, 0, 0, 0};
}

void TestHostSim::executesMoves()
{
    QFETCH(QStringList, commands);
    QFETCH(QList<double>, position);

    startServer();
    HostSimulator sim;
    sim.connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
    QVERIFY(sim.waitForReady(5000));
    for (const QString& command : commands)
        server->Send(command);
    const QString end = coordsText(position[0], position[1], position[2], position[3], position[4]);
    QTRY_VERIFY_WITH_TIMEOUT(!events.isEmpty() && events.last() == end, 5000);
    // Each motion is reported at its start and at its end, plus once after connecting.
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 1 + 2 * commands.size(), 5000);
    for (int axis = 0; axis < HostSimulator::AxisCount; ++axis)
        QCOMPARE(sim.position(HostSimulator::Axis(axis)), position[axis]);
    QCOMPARE(sim.moveCommands(), commands.size());
    QCOMPARE(sim.violationCount(), 0);
}

void TestHostSim::reportsMotionWhileMoving_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("whileMoving");
    QTest::addColumn<QString>("end");

    QTest::newRow("X is master") << "MOVEX2:" << "NewMotionStatus(1,0,0)" << coordsText(2, 0, 0, 0, 0);
    QTest::newRow("Z is master") << "INCZ-2" << "NewMotionStatus(1,0,0)" << coordsText(0, 0, -2, 0, 0);
    QTest::newRow("A") << "INCA2" << "NewMotionStatus(0,1,0)" << coordsText(0, 0, 0, 2, 0);
    QTest::newRow("F") << "MOVEF2:" << "NewMotionStatus(0,0,1)" << coordsText(0, 0, 0, 0, 2);
    QTest::newRow("all") << "MOVEX1:Y2:Z1:A1:F1:" << "NewMotionStatus(1,1,1)" << coordsText(1, 2, 1, 1, 1);
}

void TestHostSim::reportsMotionWhileMoving()
{
    QFETCH(QString, command);
    QFETCH(QString, whileMoving);
    QFETCH(QString, end);

    startServer();
    HostSimulator sim;
    sim.setSpeed(2); // two units per second: a move of 2 takes a second
    sim.connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
    QVERIFY(sim.waitForReady(5000));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 1, 5000);

    server->Send(command);
    server->Send(QStringLiteral("GMS"));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 3, 5000);
    QCOMPARE(events.at(1), coordsText(0, 0, 0, 0, 0)); // the start of the motion
    QCOMPARE(events.at(2), whileMoving);
    QVERIFY(sim.anyMoving());

    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 4, 10000);
    QCOMPARE(events.at(3), end);
    server->Send(QStringLiteral("GMS"));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 5, 5000);
    QCOMPARE(events.at(4), QStringLiteral("NewMotionStatus(0,0,0)"));
    QCOMPARE(sim.violationCount(), 0);
}

// The station takes the positions it was last told as where a still stone stands: a host
// whose own end-of-motion report is late must still send the final COORDS before it answers
// "GMS" with "still".
void TestHostSim::reportsTheEndBeforeSayingStill()
{
    startServer();
    HostSimulator sim;
    sim.setSpeed(20);
    sim.setEndReportLag(600000);
    sim.connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
    QVERIFY(sim.waitForReady(5000));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 1, 5000);

    server->Send(QStringLiteral("MOVEX2:Y1:"));
    const QString still = QStringLiteral("NewMotionStatus(0,0,0)");
    QElapsedTimer waited;
    waited.start();
    while (!events.contains(still) && waited.elapsed() < 10000) {
        server->Send(QStringLiteral("GMS"));
        const int before = events.size();
        QTRY_VERIFY_WITH_TIMEOUT(events.size() > before, 5000);
    }
    const int stillAt = events.indexOf(still);
    QVERIFY2(stillAt > 0, qPrintable(events.join(' ')));
    QCOMPARE(events.at(stillAt - 1), coordsText(2, 1, 0, 0, 0));
    QCOMPARE(events.filter(QStringLiteral("NewCoord")).size(), 3); // on connecting, at the start, at the end
    QCOMPARE(sim.violationCount(), 0);
}

// Hosts the station must not trust blindly: one that says "still" before its final COORDS,
// one that answers GMS late with the status it had when asked.
void TestHostSim::adversarialTiming_data()
{
    QTest::addColumn<bool>("lateStatus");
    QTest::newRow("still before the final COORDS") << false;
    QTest::newRow("MOVESTAT late") << true;
}

void TestHostSim::adversarialTiming()
{
    QFETCH(bool, lateStatus);
    startServer();
    HostSimulator sim;
    if (lateStatus)
        sim.setStatusAnswerDelay(300);
    else
        sim.setStillBeforeCoords(300);
    sim.connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
    QVERIFY(sim.waitForReady(5000));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 1, 5000);

    const QString end = coordsText(2, 1, 0, 0, 0);
    const QString still = QStringLiteral("NewMotionStatus(0,0,0)");
    if (lateStatus) {
        // Asked before the (instant) move, answered after the move's COORDS: still, as it was.
        server->Send(QStringLiteral("GMS"));
        server->Send(QStringLiteral("MOVEX2:Y1:"));
        QTRY_VERIFY_WITH_TIMEOUT(events.contains(still), 5000);
        QVERIFY2(events.indexOf(end) >= 0 && events.indexOf(end) < events.indexOf(still), qPrintable(events.join(' ')));
    } else {
        server->Send(QStringLiteral("MOVEX2:Y1:"));
        server->Send(QStringLiteral("GMS"));
        QTRY_VERIFY_WITH_TIMEOUT(events.contains(still), 5000);
        QVERIFY2(!events.contains(end), qPrintable(events.join(' ')));
        QTRY_VERIFY_WITH_TIMEOUT(events.contains(end), 5000);
    }
    QCOMPARE(sim.violationCount(), 0);
}

void TestHostSim::requestsAreTaggedAndAnswered()
{
    startServer();
    QStringList requests;
    connect(server, &VeltraxServer::StartAutoAlignement, this, [&]() { requests << "align"; });
    connect(server, &VeltraxServer::StartAutoScan, this, [&]() { requests << "scan"; });
    HostSimulator sim;
    sim.connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
    QVERIFY(sim.waitForReady(5000));
    QCOMPARE(sim.send(QStringLiteral("BGALIGN")), 2); // tag 1 went with the first COORDS
    QVERIFY(sim.waitForText(QStringLiteral("ALIGNBG"), 0, 5000) >= 0);
    QCOMPARE(sim.send(QStringLiteral("BGSCAN")), 3);
    QVERIFY(sim.waitForText(QStringLiteral("SCANBG"), 0, 5000) >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(requests, (QStringList{"align", "scan"}), 5000);
    QCOMPARE(sim.texts(), (QStringList{"NCQ", "ALIGNBG", "SCANBG"}));
    QCOMPARE(sim.transcriptLines().filter(QStringLiteral(" >> 2:BGALIGN;")).size(), 1);
    QCOMPARE(sim.transcriptLines().filter(QStringLiteral(" << 2:ALIGNBG;")).size(), 1);
    QCOMPARE(sim.violationCount(), 0);
}

void TestHostSim::videoFramesCheckedAndSaved()
{
    startServer();
    HostSimulator sim;
    sim.setFramesDir(workDir->file(QStringLiteral("frames")));
    sim.connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
    QVERIFY(sim.waitForReady(5000));
    QTRY_VERIFY_WITH_TIMEOUT(server->HasVideoConnection(), 5000);

    const QByteArray jpeg = jpegBytes(320, 240);
    server->FluxWrite(jpeg);
    server->FluxWrite(QByteArray());
    QVERIFY(sim.waitForFrames(2, 5000));
    QCOMPARE(testsupport::readAll(workDir->file(QStringLiteral("frames/frame_0001.jpg"))), jpeg);
    QCOMPARE(sim.frames().at(1), QByteArray());
    QCOMPARE(sim.violationCount(), 0);
    QCOMPARE(sim.notes(), QStringList{"video frame 2 is empty"});

    server->FluxWrite(QByteArray("not a jpeg"));
    QVERIFY(sim.waitForFrames(3, 5000));
    QCOMPARE(sim.violations(), QStringList{"video frame 3 (10 bytes) is not a complete JPEG file"});
}

void TestHostSim::imageMessagesSizedByTheirBmpHeader()
{
    startServer();
    HostSimulator sim;
    sim.connectToStation(QStringLiteral("127.0.0.1"), server->ListenPort());
    QVERIFY(sim.waitForReady(5000));

    QImage image(50, 20, QImage::Format_RGB888);
    image.fill(QColor(59, 59, 59)); // full of ";" bytes
    server->Send(QStringLiteral("IMGCAP3COORDS1&2&3"), image);
    server->Send(QStringLiteral("SCANEND"));
    QVERIFY(sim.waitForText(QStringLiteral("SCANEND"), 0, 5000) >= 0);
    QCOMPARE(sim.imageCount(), 1);
    const HostSimulator::Message& message = sim.messages().at(1);
    QCOMPARE(message.text, QStringLiteral("IMGCAP3COORDS1&2&3"));
    QCOMPARE(message.bmp, testsupport::readAll(QStringLiteral("test.bmp")));
    QCOMPARE(sim.violationCount(), 0);
}

void TestHostSim::catchesStationFaults_data()
{
    QTest::addColumn<QByteArray>("stationSays");
    QTest::addColumn<QString>("violation");
    QTest::addColumn<bool>("ownRequestsOnly");   // only motion this connection asked for

    QTest::newRow("number skipped") << QByteArray("1:NCQ;3:GMS;") << "sequence number 3 where 2 was due" << false;
    QTest::newRow("wrap to zero") << QByteArray("1001:NCQ;0:GMS;") << "sequence number 0 outside 1..1001" << false;
    QTest::newRow("no number") << QByteArray("1:NCQ;GMS;") << "message does not start with a sequence number: \"GMS;\"" << false;
    QTest::newRow("first is not NCQ") << QByteArray("1:GMS;") << "first message on the data connection is \"GMS\", not NCQ" << false;
    QTest::newRow("move without colon") << QByteArray("1:NCQ;2:MOVEX1;") << "malformed move \"MOVEX1\"" << false;
    QTest::newRow("move axis twice") << QByteArray("1:NCQ;2:MOVEX1:X2:;") << "malformed move \"MOVEX1:X2:\"" << false;
    QTest::newRow("increment of unknown axis") << QByteArray("1:NCQ;2:INCQ5;") << "malformed increment \"INCQ5\"" << false;
    QTest::newRow("increment not a number") << QByteArray("1:NCQ;2:INCA1,5;") << "malformed increment \"INCA1,5\"" << false;
    QTest::newRow("scan report short") << QByteArray("1:NCQ;2:IMGSCAP1COORDS1&2;") << "malformed scan report \"IMGSCAP1COORDS1&2\"" << false;
    QTest::newRow("image report without image") << QByteArray("1:NCQ;2:IMGCAP1COORDS1&2&3;")
                                                << "IMGCAP report without an image: \"IMGCAP1COORDS1&2&3\"" << false;
    QTest::newRow("image without BMP") << QByteArray("1:NCQ;2:IMGCAP1COORDS1&2&3->PNG...;") << "image message 2 does not carry a BMP file" << false;
    QTest::newRow("image not closed") << QByteArray("1:NCQ;2:IMGCAP1COORDS1&2&3->BM") + QByteArray("\x1E\x00\x00\x00", 4) + QByteArray(24, 'p') + "x;"
                                      << "image message 2 is not followed by \";\" after its 30 BMP bytes" << false;
    QTest::newRow("move nobody asked for") << QByteArray("1:NCQ;2:MOVEX1:;") << "\"MOVEX1:\" belongs to no request of this connection" << true;
    QTest::newRow("GMS nobody asked for") << QByteArray("1:NCQ;2:GMS;") << "\"GMS\" belongs to no request of this connection" << true;
    QTest::newRow("end nobody asked for") << QByteArray("1:NCQ;2:ALIGNEND;") << "\"ALIGNEND\" belongs to no request of this connection" << true;
    QTest::newRow("failure nobody asked for") << QByteArray("1:NCQ;2:SCANFAIL:NOSTONE;")
                                             << "\"SCANFAIL:NOSTONE\" belongs to no request of this connection" << true;
    QTest::newRow("report nobody asked for") << QByteArray("1:NCQ;2:IMGSCAP0COORDS1&2&3#1#2#3#4;")
                                            << "\"IMGSCAP0COORDS1&2&3#1#2#3#4\" belongs to no request of this connection" << true;
}

void TestHostSim::catchesStationFaults()
{
    QFETCH(QByteArray, stationSays);
    QFETCH(QString, violation);
    QFETCH(bool, ownRequestsOnly);

    FakeStation station;
    station.dataGreeting = stationSays;
    HostSimulator sim;
    sim.setOwnRequestsOnly(ownRequestsOnly);
    sim.connectToStation(QStringLiteral("127.0.0.1"), station.port());
    QVERIFY(sim.waitUntil([&]() { return sim.violationCount() > 0; }, 5000));
    QCOMPARE(sim.violations().first(), violation);
    QVERIFY(sim.transcriptLines().filter(QStringLiteral("PROTOCOL VIOLATION: ") + violation).size() == 1);
}

void TestHostSim::catchesBadVideoHeader()
{
    FakeStation station;
    station.dataGreeting = "1:NCQ;";
    // "-SIZE-" in one-byte characters instead of UTF-16.
    station.videoBytes = QByteArray("-SIZE-\0\0\0\0\0\0\x04\0\0\0abcd", 20);
    HostSimulator sim;
    sim.connectToStation(QStringLiteral("127.0.0.1"), station.port());
    QVERIFY(sim.waitUntil([&]() { return sim.violationCount() > 0; }, 5000));
    QCOMPARE(sim.violations(), QStringList{"video frame 1 does not start with the \"-SIZE-\" header"});
    QCOMPARE(sim.frameCount(), 0);
}

void TestHostSim::scriptArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("actions");

    QTest::newRow("full script") << QStringList{"--port", "5050", "--speed", "5", "--align", "--enaax", "--ralign", "--scan",
                                                "--snapshot", "--stream", "3", "--transcript", "t.txt", "--frames-dir", "d",
                                                "--timeout", "120"}
                                 << true << "0,2,1,3,4,5x3";
    QTest::newRow("send and wait") << QStringList{"--send", "APPX1", "--wait", "0.5", "--connect-retry", "10"} << true << "6,7";
    QTest::newRow("no actions") << QStringList{"--port", "6000"} << true << "";
    QTest::newRow("unknown option") << QStringList{"--dance"} << false << "";
    QTest::newRow("port missing value") << QStringList{"--port"} << false << "";
    QTest::newRow("port not a number") << QStringList{"--port", "abc"} << false << "";
    QTest::newRow("port too large") << QStringList{"--port", "70000"} << false << "";
    QTest::newRow("negative speed") << QStringList{"--speed", "-1"} << false << "";
    QTest::newRow("stream zero") << QStringList{"--stream", "0"} << false << "";
    QTest::newRow("failure round") << QStringList{"--position", "X=60", "--expect-fail", "NOSTONE", "--align", "--position", "x=0", "--align"}
                                   << true << "8,0,8,0";
    QTest::newRow("position without axis") << QStringList{"--position", "60"} << false << "";
    QTest::newRow("expected snapshot failure") << QStringList{"--expect-fail", "STORAGE", "--snapshot", "--snapshot"} << true << "4,4";
    QTest::newRow("adversarial host") << QStringList{"--still-before-coords", "300", "--late-movestat", "1200", "--align"}
                                      << true << "0";
    QTest::newRow("late answer without delay") << QStringList{"--late-movestat"} << false << "";
    QTest::newRow("negative delay") << QStringList{"--still-before-coords", "-5"} << false << "";
    QTest::newRow("expected failure of nothing") << QStringList{"--align", "--expect-fail", "NOSTONE"} << false << "";
}

void TestHostSim::scriptArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    QFETCH(QString, actions);

    HostScriptOptions options;
    QString error;
    QCOMPARE(hostscript::parseArguments(arguments, &options, &error), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QStringList kinds;
    for (const HostScriptAction& action : options.actions)
        kinds << QString::number(action.kind) + (action.count > 1 ? QStringLiteral("x%1").arg(action.count) : QString());
    QCOMPARE(kinds.join(QLatin1Char(',')), actions);
    const int late = arguments.indexOf("--late-movestat");
    QCOMPARE(options.lateStatusMs, late >= 0 ? arguments.at(late + 1).toInt() : 0);
    const int early = arguments.indexOf("--still-before-coords");
    QCOMPARE(options.stillBeforeCoordsMs, early >= 0 ? arguments.at(early + 1).toInt() : 0);
}

void TestHostSim::commandLineConversation()
{
    startServer();
    addResponder();
    QProcess process;
    const QString transcript = workDir->file(QStringLiteral("transcript.txt"));
    const QString frames = workDir->file(QStringLiteral("frames"));
    QVERIFY(runHostsim(process,
                       {"--port", QString::number(server->ListenPort()), "--speed", "20", "--align", "--enaax", "--ralign",
                        "--scan", "--snapshot", "--stream", "2", "--transcript", transcript, "--frames-dir", frames,
                        "--timeout", "30"},
                       60000));
    const QString output = QString::fromUtf8(process.readAll());
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, qPrintable(output));

    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList starts{"connect: 127.0.0.1:", "align: BGALIGN -> ALIGNBG ", "enaax: ENAAX -> ENAAXEND ", "ralign: BGRALIGN -> ALIGNBG ",
                             "scan: BGSCAN -> SCANBG ", "snapshot: QISI -> SIDONE ", "stream 1/2: RQI -> frame 1 (",
                             "stream 2/2: RQI -> frame 2 (", "hostsim: "};
    QCOMPARE(lines.size(), starts.size());
    for (int i = 0; i < starts.size(); ++i)
        QVERIFY2(lines.at(i).startsWith(starts.at(i)), qPrintable(lines.at(i)));
    QVERIFY2(lines.at(4).contains(QLatin1String("3 frame reports, 1 images")), qPrintable(lines.at(4)));
    QVERIFY2(lines.last().contains(QLatin1String(", 2 video frames (")), qPrintable(lines.last()));
    QVERIFY2(lines.last().endsWith(QLatin1String(", 1 images, 0 violations")), qPrintable(lines.last()));

    // The transcript shows every exchange, both ways.
    const QString text = QString::fromUtf8(testsupport::readAll(transcript));
    for (const QString& expected : {QStringLiteral(" >> 2:BGALIGN;"), QStringLiteral(" << 2:ALIGNBG;"), QStringLiteral(" << 3:MOVEX1:Y2:Z3:;"),
                                    QStringLiteral(" << 4:GMS;"), QStringLiteral(":ALIGNEND;"), QStringLiteral(":ENAAX;"), QStringLiteral(":ENAAXEND;"),
                                    QStringLiteral(":BGSCAN;"), QStringLiteral(":SCANBG;"), QStringLiteral(":IMGSCAP2COORDS10.5&7.2&72#1.27#-1.68#5#36;"),
                                    QStringLiteral(":IMGCAP3COORDS10.5&7.2&108-> [BMP "), QStringLiteral(":SCANEND;"), QStringLiteral(":QISI;"),
                                    QStringLiteral(":SIDONE;"), QStringLiteral(":RQI;"), QStringLiteral(" <V frame 2: header -SIZE- ")})
        QVERIFY2(text.contains(expected), qPrintable(expected + QStringLiteral("\n") + text));
    QVERIFY(QFileInfo::exists(frames + QStringLiteral("/frame_0001.jpg")));
    QVERIFY(QFileInfo::exists(frames + QStringLiteral("/frame_0002.jpg")));
    QVERIFY(QFileInfo::exists(frames + QStringLiteral("/image_0001.bmp")));
}

void TestHostSim::commandLineExitsNonZeroOnViolation()
{
    FakeStation station;
    station.dataGreeting = "1:NCQ;3:SIDONE;";
    QProcess process;
    QVERIFY(runHostsim(process, {"--port", QString::number(station.port()), "--snapshot", "--timeout", "5"}, 30000));
    const QString output = QString::fromUtf8(process.readAll());
    QCOMPARE(process.exitCode(), int(hostscript::Violation));
    QVERIFY2(output.contains(QLatin1String("hostsim: protocol violation: sequence number 3 where 2 was due")), qPrintable(output));
    // The wait for SIDONE ends with the violation rather than running into the time-out.
    QVERIFY2(output.contains(QLatin1String("snapshot: QISI -> no SIDONE (protocol violation)")), qPrintable(output));

    // Nobody listening: the connection failure has its own code.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    QProcess lonely;
    QVERIFY(runHostsim(lonely, {"--port", QString::number(port), "--align"}, 30000));
    QCOMPARE(lonely.exitCode(), int(hostscript::NoConnection));

    QProcess confused;
    QVERIFY(runHostsim(confused, {"--bogus"}, 30000));
    QCOMPARE(confused.exitCode(), int(hostscript::Usage));
}

// A snapshot the station cannot store ends with SIFAIL: its own exit status, or success when
// the failure was expected.
void TestHostSim::commandLineSnapshotFailure()
{
    startServer();
    connect(server, &VeltraxServer::SavingImageRequest, server, [this]() { server->ReportImageSavingFailure(); });
    const QString port = QString::number(server->ListenPort());
    QProcess failed;
    QVERIFY(runHostsim(failed, {"--port", port, "--strict", "--snapshot", "--timeout", "30"}, 60000));
    const QString output = QString::fromUtf8(failed.readAll());
    QVERIFY2(failed.exitCode() == int(hostscript::SnapshotFailed), qPrintable(output));
    QVERIFY2(output.contains(QLatin1String("snapshot: QISI -> SIFAIL:STORAGE ")), qPrintable(output));

    QProcess expected;
    QVERIFY(runHostsim(expected, {"--port", port, "--strict", "--expect-fail", "STORAGE", "--snapshot", "--timeout", "30"}, 60000));
    QVERIFY2(expected.exitCode() == 0, qPrintable(QString::fromUtf8(expected.readAll())));
}

void TestHostSim::commandLineWaitsForAStartingStation()
{
    // Find a free port, then start the station on it only after hostsim is already trying.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(hostsimPath(), {"--port", QString::number(port), "--connect-retry", "30", "--send", "APPX1"});
    QVERIFY(process.waitForStarted(10000));
    QTest::qWait(300); // let it fail a first attempt; the outcome does not depend on this delay
    VeltraxServer::SetListenEndpoint(QHostAddress(QHostAddress::LocalHost), port);
    startServer();
    QVERIFY(server->IsListening());
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 60000);
    const QString output = QString::fromUtf8(process.readAll());
    QVERIFY2(process.exitCode() == 0, qPrintable(output));
    QVERIFY2(output.startsWith(QStringLiteral("connect: 127.0.0.1:%1 -> NCQ").arg(port)), qPrintable(output));
    QVERIFY(output.contains(QLatin1String("send: APPX1")));
}

QTEST_GUILESS_MAIN(TestHostSim)
#include "tst_hostsim.moc"
