// The real server over real loopback sockets; the host side is a plain QTcpSocket, so the
// bytes on the wire are checked exactly.
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/hostprotocol.h"
#include "hostlink/veltraxserver.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <thread>

namespace {

// Every signal of the server as one line, in the order they reach the main thread.
class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(VeltraxServer* server)
    {
        connect(server, &VeltraxServer::NewCoord, this, [this](double x, double y, double z, double a, double f) {
            events << QStringLiteral("NewCoord(%1,%2,%3,%4,%5)").arg(x).arg(y).arg(z).arg(a).arg(f);
        });
        connect(server, &VeltraxServer::NewMotionStatus, this, [this](int m, int a, int f) {
            events << QStringLiteral("NewMotionStatus(%1,%2,%3)").arg(m).arg(a).arg(f);
        });
        connect(server, &VeltraxServer::StartAutoAlignement, this, [this](bool b) {
            events << QStringLiteral("StartAutoAlignement(%1)").arg(b ? "true" : "false");
        });
        connect(server, &VeltraxServer::StartMFAutoAlignement, this, [this](bool b) {
            events << QStringLiteral("StartMFAutoAlignement(%1)").arg(b ? "true" : "false");
        });
        connect(server, &VeltraxServer::StartAutoScan, this, [this]() { events << QStringLiteral("StartAutoScan()"); });
        connect(server, &VeltraxServer::EngageAutoXAlign, this, [this]() { events << QStringLiteral("EngageAutoXAlign()"); });
        connect(server, &VeltraxServer::SavingImageRequest, this, [this]() { events << QStringLiteral("SavingImageRequest()"); });
        connect(server, &VeltraxServer::StramRequest, this, [this]() { events << QStringLiteral("StramRequest()"); });
    }
    QStringList events;
};

// The host's end of one connection.
class Peer
{
public:
    bool connectTo(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(5000);
    }
    QByteArray& pull()
    {
        in += socket.readAll();
        return in;
    }
    void write(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    QTcpSocket socket;
    QByteArray in;
};

// Records matching text, each counted with the repeats its summary reports.
int recordsOf(const QString& text)
{
    static const QRegularExpression repeated(QStringLiteral(" \\(repeated (\\d+) times in [\\d.]+ s\\)$"));
    int count = 0;
    for (const QString& record : testsupport::logMessages().filter(text)) {
        const auto match = repeated.match(record);
        count += match.hasMatch() ? match.captured(1).toInt() : 1;
    }
    return count;
}

// Settings the server reads at start, through the settings store.
void writeSettings(const QByteArray& lines)
{
    QFile file(QStringLiteral("Registry.dat"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("Veltrax:Registry\nVersion:1.0.0.1\n" + lines);
}

} // namespace

class TestVeltraxServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listensAndGreetsTheDataConnection();
    void commands_data();
    void commands();
    void framingOverTheWire_data();
    void framingOverTheWire();
    void messageSplitOverReads();
    void numberingWrapsAfter1001();
    void droppedWithoutHostUsesUpNumbers();
    void videoHeaderBytes_data();
    void videoHeaderBytes();
    void twoFramesEachWithItsHeader();
    void imageMessageBytes();
    void snapshotAcknowledgedFromAnotherThread();
    void thirdConnectionWaitsUntilDataEnds();
    void waitingConnectionWhosePeerLeftIsDiscarded();
    void reconnection();
    void hostReconnectingAtOnceIsANewHost();
    void untaggedHeadDiscarded();
    void receiveTextClearedWhenDataEnds();
    void receiveTextIsCapped();
    void portTakenKeepsRunningWithoutListener();
    void hostThatStopsReadingCannotFreezeTeardown();
    void hostThatPausesReadingGetsEverythingInOrder();
    void hostileInputKeepsTheLogSmall_data();
    void hostileInputKeepsTheLogSmall();
    void floodIsReadWithinTheBound();
    void whoMayConnect_data();
    void whoMayConnect();
    void idleFirstConnectionGivesWayToTheHost();

private:
    VeltraxServer* start();
    bool connectData(Peer& peer, const QByteArray& expectedGreeting = "1:NCQ;");
    bool connectVideo(Peer& peer);

    std::unique_ptr<testsupport::WorkDir> workDir;
    VeltraxServer* server = nullptr;
};

void TestVeltraxServer::init()
{
    workDir.reset(new testsupport::WorkDir);
    VeltraxServer::SetListenEndpoint(QHostAddress(QHostAddress::LocalHost), 0);
    VeltraxServer::SetWriteTimeout(VeltraxServer::DefaultWriteTimeoutMs);
    server = nullptr;
}

void TestVeltraxServer::cleanup()
{
    VeltraxServer::Destroy();
    VeltraxServer::SetIdleHandOver(VeltraxServer::IdleDataHandOverMs);
    Registry::Destroy();
    Logs::Destroy();
    server = nullptr;
    workDir.reset();
}

VeltraxServer* TestVeltraxServer::start()
{
    server = VeltraxServer::AccessMemory();
    return server;
}

bool TestVeltraxServer::connectData(Peer& peer, const QByteArray& expectedGreeting)
{
    if (!peer.connectTo(server->ListenPort()))
        return false;
    QElapsedTimer waited;
    waited.start();
    while (peer.pull().size() < expectedGreeting.size() && waited.elapsed() < 5000)
        QTest::qWait(5);
    if (peer.in != expectedGreeting) {
        qWarning() << "greeting" << peer.in << "expected" << expectedGreeting;
        return false;
    }
    peer.in.clear();
    return true;
}

bool TestVeltraxServer::connectVideo(Peer& peer)
{
    if (!peer.connectTo(server->ListenPort()))
        return false;
    QElapsedTimer waited;
    waited.start();
    while (!server->HasVideoConnection() && waited.elapsed() < 5000)
        QTest::qWait(5);
    return server->HasVideoConnection();
}

void TestVeltraxServer::listensAndGreetsTheDataConnection()
{
    start();
    QVERIFY(server->IsListening());
    const quint16 port = server->ListenPort();
    QVERIFY(port != 0);
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("Listening 127.0.0.1 : %1").arg(port)));

    Peer host;
    QVERIFY(connectData(host, "1:NCQ;"));
    QVERIFY(server->HasDataConnection());
    QVERIFY(!server->HasVideoConnection());
    const QString expected = QStringLiteral("New Data connection from [127.0.0.1:%1]").arg(host.socket.localPort());
    QTRY_VERIFY(testsupport::logMessages().contains(expected));
}

void TestVeltraxServer::commands_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("COORDS") << QByteArray("5:COORDS1.5:2:3:4:5.25;") << QStringList{"NewCoord(1.5,2,3,4,5.25)"} << QByteArray() << QString();
    QTest::newRow("COORDS four fields") << QByteArray("5:COORDS1:2:3:4;") << QStringList{} << QByteArray()
                                        << "TCP Server: COORDS with fewer than five fields ignored: \"COORDS1:2:3:4\"";
    QTest::newRow("COORDS six fields") << QByteArray("5:COORDS1:2:3:4:5:6;") << QStringList{"NewCoord(1,2,3,4,5)"} << QByteArray() << QString();
    QTest::newRow("COORDS leading colon") << QByteArray("5:COORDS:1:2:3:4:5;") << QStringList{"NewCoord(0,1,2,3,4)"} << QByteArray()
                                          << "TCP Server: 1 field(s) that are not numbers read as 0 in \"COORDS:1:2:3:4:5\"";
    QTest::newRow("BGALIGN") << QByteArray("1:BGALIGN;") << QStringList{"StartAutoAlignement(false)"} << QByteArray("2:ALIGNBG;") << QString();
    QTest::newRow("B GALIGN") << QByteArray("3:B GALIGN;") << QStringList{"StartAutoAlignement(false)"} << QByteArray("2:ALIGNBG;") << QString();
    QTest::newRow("BGRALIGN") << QByteArray("1:BGRALIGN;") << QStringList{"StartMFAutoAlignement(false)"} << QByteArray("2:ALIGNBG;") << QString();
    QTest::newRow("BGSCAN") << QByteArray("1:BGSCAN;") << QStringList{"StartAutoScan()"} << QByteArray("2:SCANBG;") << QString();
    QTest::newRow("APPX") << QByteArray("1:APPX12.5:3;") << QStringList{} << QByteArray() << QString();
    QTest::newRow("MOVESTAT") << QByteArray("9:MOVESTAT0:1:0;") << QStringList{"NewMotionStatus(0,1,0)"} << QByteArray() << QString();
    QTest::newRow("MOVESTAT two fields") << QByteArray("9:MOVESTAT0:1;") << QStringList{} << QByteArray()
                                         << "TCP Server: MOVESTAT without exactly three fields ignored: \"MOVESTAT0:1\"";
    QTest::newRow("ENAAX") << QByteArray("1:ENAAX;") << QStringList{"EngageAutoXAlign()"} << QByteArray() << QString();
    QTest::newRow("QISI") << QByteArray("1:QISI;") << QStringList{"SavingImageRequest()"} << QByteArray() << QString();
    QTest::newRow("RQI") << QByteArray("1:RQI;") << QStringList{"StramRequest()"} << QByteArray() << QString();
    QTest::newRow("unknown") << QByteArray("1:HOME X;") << QStringList{} << QByteArray() << "CMD TO ADD HOMEX";
    QTest::newRow("unknown with escape and bad byte") << QByteArray("1:CLS\x1b[2J\xff\xe2\x9c;") << QStringList{} << QByteArray()
                                                      << "CMD TO ADD CLS\\x1b[2J\\xff\\xe2\\x9c";
}

void TestVeltraxServer::commands()
{
    QFETCH(QByteArray, message);
    QFETCH(QStringList, events);
    QFETCH(QByteArray, reply);
    QFETCH(QString, logLine);

    start();
    Recorder recorder(server);
    Peer host;
    QVERIFY(connectData(host));

    // A BGSCAN behind every row marks the end of the row's effects.
    host.write(message + "77:BGSCAN;");
    const QByteArray expected = reply + QByteArray::number(reply.isEmpty() ? 2 : 3) + ":SCANBG;";
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), expected, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, events + QStringList{"StartAutoScan()"}, 5000);
    if (!logLine.isEmpty())
        QVERIFY2(testsupport::logMessages().contains(logLine), qPrintable(testsupport::logMessages().join('\n')));
}

void TestVeltraxServer::framingOverTheWire_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QByteArray>("replies");

    QTest::newRow("two messages in one read") << QByteArray("7:BGALIGN;8:RQI;") << QStringList{"StartAutoAlignement(false)", "StramRequest()"}
                                              << QByteArray("2:ALIGNBG;");
    QTest::newRow("line ends between messages") << QByteArray("1:QISI;\r\n2:BGSCAN;\r\n") << QStringList{"SavingImageRequest()", "StartAutoScan()"}
                                                << QByteArray("2:SCANBG;");
    QTest::newRow("spaces removed") << QByteArray("3:B GALIGN;4: MOVESTAT 1 : 0 : 1 ;")
                                    << QStringList{"StartAutoAlignement(false)", "NewMotionStatus(1,0,1)"} << QByteArray("2:ALIGNBG;");
    QTest::newRow("three in order") << QByteArray("1:COORDS1:2:3:4:5;2:BGSCAN;3:COORDS6:7:8:9:10;")
                                    << QStringList{"NewCoord(1,2,3,4,5)", "StartAutoScan()", "NewCoord(6,7,8,9,10)"} << QByteArray("2:SCANBG;");
}

void TestVeltraxServer::framingOverTheWire()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, events);
    QFETCH(QByteArray, replies);

    start();
    Recorder recorder(server);
    Peer host;
    QVERIFY(connectData(host));
    host.write(bytes);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, events, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), replies, 5000);
}

void TestVeltraxServer::messageSplitOverReads()
{
    start();
    Recorder recorder(server);
    Peer host;
    QVERIFY(connectData(host));
    host.write("1:BGAL");
    QTRY_COMPARE_WITH_TIMEOUT(server->PendingReceiveSize(), 6, 5000);
    QVERIFY(recorder.events.isEmpty());
    host.write("IGN;");
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, QStringList{"StartAutoAlignement(false)"}, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), QByteArray("2:ALIGNBG;"), 5000);
    QCOMPARE(server->PendingReceiveSize(), 0);
}

void TestVeltraxServer::numberingWrapsAfter1001()
{
    start();
    Peer host;
    QVERIFY(connectData(host)); // NCQ took 1
    QByteArray expected;
    for (int i = 0; i < 1002; ++i) {
        server->Send(QStringLiteral("GMS"));
        expected += QByteArray::number(i < 1000 ? i + 2 : i - 999) + ":GMS;";
    }
    QTRY_COMPARE_WITH_TIMEOUT(host.pull().size(), expected.size(), 5000);
    QCOMPARE(host.in, expected);
    QVERIFY(host.in.contains("1001:GMS;1:GMS;2:GMS;"));
}

void TestVeltraxServer::droppedWithoutHostUsesUpNumbers()
{
    start();
    server->Send(QStringLiteral("MOVEX1:"));
    server->Send(QStringLiteral("GMS"));
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("TCP Server: No host connected: \"MOVEX1:\" and later messages are dropped")));
    Peer host;
    QVERIFY(connectData(host, "3:NCQ;"));
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("TCP Server: 2 messages were dropped while no host was connected")));
    server->Send(QStringLiteral("INCA7.5"));
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), QByteArray("4:INCA7.5;"), 5000);
}

void TestVeltraxServer::videoHeaderBytes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("header");
    const QByteArray marker("\x2D\x00\x53\x00\x49\x00\x5A\x00\x45\x00\x2D\x00", 12);
    QTest::newRow("40000 bytes") << 40000 << marker + QByteArray("\x40\x9C\x00\x00", 4);
    QTest::newRow("empty") << 0 << marker + QByteArray("\x00\x00\x00\x00", 4);
}

void TestVeltraxServer::videoHeaderBytes()
{
    QFETCH(int, size);
    QFETCH(QByteArray, header);

    start();
    Peer host;
    Peer video;
    QVERIFY(connectData(host));
    QVERIFY(connectVideo(video));
    QByteArray payload(size, '\0');
    for (int i = 0; i < size; ++i)
        payload[i] = char(i * 7 + 3);
    server->FluxWrite(payload);
    QTRY_COMPARE_WITH_TIMEOUT(video.pull().size(), 16 + size, 5000);
    QCOMPARE(video.in.left(16), header);
    QCOMPARE(video.in.mid(16), payload);
    QVERIFY(host.pull().isEmpty()); // nothing on the data connection
}

void TestVeltraxServer::twoFramesEachWithItsHeader()
{
    start();
    Recorder recorder(server);
    Peer host;
    Peer video;
    QVERIFY(connectData(host));
    QVERIFY(connectVideo(video));
    // The camera answers each RQI with one frame.
    connect(server, &VeltraxServer::StramRequest, server, [this]() {
        static int n = 0;
        server->FluxWrite(QByteArray(100 + n++, 'j'));
    });
    host.write("1:RQI;2:RQI;");
    QTRY_COMPARE_WITH_TIMEOUT(video.pull().size(), 16 + 100 + 16 + 101, 5000);
    QCOMPARE(video.in.mid(12, 4), QByteArray("\x64\x00\x00\x00", 4));
    QCOMPARE(video.in.mid(16 + 100, 12), video.in.left(12));
    QCOMPARE(video.in.mid(16 + 100 + 12, 4), QByteArray("\x65\x00\x00\x00", 4));
}

void TestVeltraxServer::imageMessageBytes()
{
    start();
    Peer host;
    QVERIFY(connectData(host));
    QByteArray before;
    for (int i = 2; i <= 11; ++i) {
        server->Send(QStringLiteral("GMS"));
        before += QByteArray::number(i) + ":GMS;";
    }
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), before, 5000);
    host.in.clear();

    QImage image(64, 48, QImage::Format_RGB888);
    image.fill(QColor(59, 10, 200));
    server->Send(QStringLiteral("IMGCAP3COORDS1&2&3"), image);

    const QByteArray bmp = testsupport::readAll(QStringLiteral("test.bmp"));
    QVERIFY(bmp.startsWith("BM"));
    QCOMPARE(int(qFromLittleEndian<quint32>(bmp.constData() + 2)), bmp.size());
    const QByteArray prefix("12:IMGCAP3COORDS1&2&3->");
    QTRY_COMPARE_WITH_TIMEOUT(host.pull().size(), prefix.size() + bmp.size() + 1, 5000);
    QVERIFY(host.in.startsWith(prefix + "BM"));
    QCOMPARE(host.in.mid(prefix.size(), bmp.size()), bmp);
    QCOMPARE(host.in.back(), ';');

    // The next text message carries the next number.
    host.in.clear();
    server->Send(QStringLiteral("SCANEND"));
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), QByteArray("13:SCANEND;"), 5000);
}

void TestVeltraxServer::snapshotAcknowledgedFromAnotherThread()
{
    start();
    Peer host;
    QVERIFY(connectData(host));
    std::thread camera([this]() { server->ValidateImageSavingRequest(); });
    camera.join();
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), QByteArray("2:SIDONE;"), 5000);
}

void TestVeltraxServer::thirdConnectionWaitsUntilDataEnds()
{
    start();
    Peer host;
    Peer video;
    QVERIFY(connectData(host));
    QVERIFY(connectVideo(video));

    Peer third;
    QVERIFY(third.connectTo(server->ListenPort())); // the kernel completes the handshake
    // The video connection ends: its role is still taken until the data connection ends.
    video.socket.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages().contains(QStringLiteral("Tessarix VStream Disconnected")), 5000);
    server->Send(QStringLiteral("GMS"));
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), QByteArray("2:GMS;"), 5000);
    QVERIFY(third.pull().isEmpty());
    QCOMPARE(testsupport::logMessages().filter(QStringLiteral("New ")).size(), 2);

    host.socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(third.pull(), QByteArray("3:NCQ;"), 5000);
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("Tessarix Data Disconnected")));
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("New Data connection from [127.0.0.1:%1]").arg(third.socket.localPort())));
    QVERIFY(server->HasDataConnection());
}

void TestVeltraxServer::waitingConnectionWhosePeerLeftIsDiscarded()
{
    start();
    Peer host;
    Peer video;
    QVERIFY(connectData(host));
    QVERIFY(connectVideo(video));

    Peer gone;
    QVERIFY(gone.connectTo(server->ListenPort()));
    const quint16 gonePort = gone.socket.localPort();
    gone.socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(gone.socket.state(), QAbstractSocket::UnconnectedState, 5000);
    Peer next;
    QVERIFY(next.connectTo(server->ListenPort()));

    host.socket.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(next.pull(), QByteArray("2:NCQ;"), 5000);
    const QStringList log = testsupport::logMessages();
    QVERIFY2(log.contains(QStringLiteral("TCP Server: Waiting connection from [127.0.0.1:%1] discarded: its peer has already closed it").arg(gonePort)),
             qPrintable(log.join('\n')));
    QVERIFY(log.contains(QStringLiteral("New Data connection from [127.0.0.1:%1]").arg(next.socket.localPort())));

    // The served host is a full data connection: commands work and video follows.
    Recorder recorder(server);
    next.write("1:BGSCAN;");
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, QStringList{"StartAutoScan()"}, 5000);
    Peer nextVideo;
    QVERIFY(connectVideo(nextVideo));
}

void TestVeltraxServer::reconnection()
{
    start();
    Recorder recorder(server);
    for (int round = 0; round < 3; ++round) {
        Peer host;
        Peer video;
        QVERIFY(connectData(host, QByteArray::number(round + 1) + ":NCQ;"));
        QVERIFY(connectVideo(video));
        server->FluxWrite(QByteArray(10, 'v'));
        QTRY_COMPARE_WITH_TIMEOUT(video.pull().size(), 26, 5000);
        host.write("1:ENAAX;");
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), round + 1, 5000);
        host.socket.disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(!server->HasDataConnection() && !server->HasVideoConnection(), 5000);
        // The station closed the video connection together with the data connection.
        QTRY_COMPARE_WITH_TIMEOUT(video.socket.state(), QAbstractSocket::UnconnectedState, 5000);
    }
    QCOMPARE(testsupport::logMessages().filter(QStringLiteral("New Video connection from")).size(), 3);
    QCOMPARE(testsupport::logMessages().count(QStringLiteral("Tessarix Data Disconnected")), 3);
}

// A host restarting closes its data connection and connects again before the station has
// handled the close: the new connection is the new host's data connection, greeted with "NCQ",
// not the old host's video connection.
void TestVeltraxServer::hostReconnectingAtOnceIsANewHost()
{
    start();
    Recorder recorder(server);
    std::unique_ptr<Peer> host(new Peer);
    QVERIFY(connectData(*host));
    for (int round = 0; round < 5; ++round) {
        // (With a video connection open the new connection would wait in the listener's
        // queue until the close is handled; without one it takes the first free role.)
        host->socket.disconnectFromHost();
        QVERIFY(host->socket.state() == QAbstractSocket::UnconnectedState || host->socket.waitForDisconnected(5000));
        // No event processed in between: the station sees the close and the new connection
        // at the same time.
        std::unique_ptr<Peer> next(new Peer);
        QVERIFY(connectData(*next, QByteArray::number(round + 2) + ":NCQ;"));
        next->write("1:ENAAX;");
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), round + 1, 5000);
        host = std::move(next);
    }
    QCOMPARE(testsupport::logMessages().count(QStringLiteral("Tessarix Data Disconnected")), 5);
}

void TestVeltraxServer::untaggedHeadDiscarded()
{
    start();
    Recorder recorder(server);
    Peer host;
    QVERIFY(connectData(host));
    host.write("RQI;1:BGALIGN;");
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), QByteArray("2:ALIGNBG;"), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, QStringList{"StartAutoAlignement(false)"}, 5000);
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("TCP Server: Message without tag discarded: \"RQI\"")));
}

void TestVeltraxServer::receiveTextClearedWhenDataEnds()
{
    start();
    Recorder recorder(server);
    {
        Peer host;
        QVERIFY(connectData(host));
        // A complete message just before the close is still served; the unfinished one is not.
        host.write("1:BGSCAN;2:BGAL");
        host.socket.disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages().contains(QStringLiteral("Tessarix Data Disconnected")), 5000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, QStringList{"StartAutoScan()"}, 5000);
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("TCP Server: Unfinished message of 6 characters discarded at disconnection")));
    QCOMPARE(server->PendingReceiveSize(), 0);

    Peer next;
    QVERIFY(connectData(next, "3:NCQ;"));
    next.write("IGN;3:RQI;");
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList{"StartAutoScan()", "StramRequest()"}), 5000);
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("TCP Server: Message without tag discarded: \"IGN\"")));
}

void TestVeltraxServer::receiveTextIsCapped()
{
    start();
    Recorder recorder(server);
    Peer host;
    QVERIFY(connectData(host));
    const int runaway = hostprotocol::DefaultReceiveCap + 100 * 1024;
    host.write(QByteArray(runaway, 'x'));
    int largest = 0;
    QTRY_VERIFY_WITH_TIMEOUT((largest = qMax(largest, server->PendingReceiveSize()),
                              testsupport::logMessages().contains(QStringLiteral(
                                  "TCP Server: Receive text overflow: more than 1048576 characters without ';', dropped up to the next ';'"))),
                             10000);
    host.write("tail;2:BGSCAN;");
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, QStringList{"StartAutoScan()"}, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), QByteArray("2:SCANBG;"), 5000);
    QVERIFY(largest <= hostprotocol::DefaultReceiveCap);
    QCOMPARE(server->PendingReceiveSize(), 0);
    QVERIFY(testsupport::logMessages().contains(
        QStringLiteral("TCP Server: Receive text overflow: %1 characters without ';' discarded").arg(runaway + 5)));
}

void TestVeltraxServer::portTakenKeepsRunningWithoutListener()
{
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
    VeltraxServer::SetListenEndpoint(QHostAddress(QHostAddress::LocalHost), occupant.serverPort());
    start();
    QVERIFY(!server->IsListening());
    QCOMPARE(server->ListenPort(), quint16(0));
    const QStringList failed = testsupport::logMessages().filter(
        QStringLiteral("TCP Server: Listening failed on 127.0.0.1 : %1: ").arg(occupant.serverPort()));
    QCOMPARE(failed.size(), 1);
    QVERIFY2(failed.first().contains(QLatin1String("address is already in use"), Qt::CaseInsensitive), qPrintable(failed.first()));
    // Still usable: messages are dropped, not crashed on.
    server->Send(QStringLiteral("GMS"));
    server->FluxWrite(QByteArray(5, 'x'));
    QVERIFY(server->CMDTranslateExec(QStringLiteral("RQI")) == 0);
}

void TestVeltraxServer::hostThatStopsReadingCannotFreezeTeardown()
{
    start();
    Peer host;
    Peer video;
    QVERIFY(connectData(host));
    QVERIFY(connectVideo(video));
    // The host's video side stops reading: its buffers fill up.
    video.socket.setReadBufferSize(1);

    // Frames never wait for the host: the first is queued, the next waits beside it, and each
    // newer one replaces the one waiting.
    const int size = 8 * 1024 * 1024;
    for (int i = 0; i < 6; ++i)
        server->FluxWrite(QByteArray(size, char('a' + i)));
    QCOMPARE(testsupport::logMessages()
                 .filter(QStringLiteral("TCP Server: Video frame of %1 bytes dropped: the host has not taken the previous frame yet").arg(size))
                 .size(),
             1);
    QVERIFY(testsupport::logMessages().filter(QStringLiteral("not written within")).isEmpty());
    // The data connection is unaffected.
    server->Send(QStringLiteral("GMS"));
    QTRY_COMPARE_WITH_TIMEOUT(host.pull(), QByteArray("2:GMS;"), 5000);

    // Reading again, the host gets the first frame and the newest, each whole behind its header.
    video.socket.setReadBufferSize(0);
    QTRY_COMPARE_WITH_TIMEOUT(video.pull().size(), 2 * (16 + size), 20000);
    QCOMPARE(video.in.mid(16, size), QByteArray(size, 'a'));
    QCOMPARE(video.in.mid(16 + size, 16), hostprotocol::videoHeader(size));
    QCOMPARE(video.in.mid(32 + size), QByteArray(size, 'f'));

    VeltraxServer::Destroy();
    const QStringList log = testsupport::logMessages();
    QCOMPARE(log.mid(log.size() - 2), (QStringList{"Server Stopped", "Server Destruction"}));
    // The drops after the first are counted, not written one by one.
    QTRY_COMPARE_WITH_TIMEOUT(
        testsupport::logMessages()
            .filter(QRegularExpression(QStringLiteral("^TCP Server: Video frame dropped: the host has not taken the previous one "
                                                      "\\(repeated 3 times in [\\d.]+ s\\)$")))
            .size(),
        1, 20000);
}

void TestVeltraxServer::hostThatPausesReadingGetsEverythingInOrder()
{
    VeltraxServer::SetWriteTimeout(200);
    start();
    Peer host;
    QVERIFY(connectData(host));
    host.socket.setReadBufferSize(1);

    // An image far larger than the loopback buffers: its write runs into the time-out.
    QImage image(3000, 2000, QImage::Format_RGB888);
    image.fill(QColor(1, 2, 3));
    server->Send(QStringLiteral("IMGCAP0COORDS1&2&3"), image);
    QCOMPARE(testsupport::logMessages().filter(QStringLiteral("TCP Server: Image message not written within 200 ms")).size(), 1);
    // Later messages are queued behind it without waiting for the time-out again.
    for (int i = 0; i < 3; ++i)
        server->Send(QStringLiteral("GMS"));
    QCOMPARE(testsupport::logMessages().filter(QStringLiteral("not written within")).size(), 1);

    // The host reads again: the image and the messages behind it arrive whole and in order.
    host.socket.setReadBufferSize(0);
    const QByteArray bmp = testsupport::readAll(QStringLiteral("test.bmp"));
    const QByteArray expected = QByteArray("2:IMGCAP0COORDS1&2&3->") + bmp + ";3:GMS;4:GMS;5:GMS;";
    QTRY_COMPARE_WITH_TIMEOUT(host.pull().size(), expected.size(), 20000);
    QVERIFY(host.in == expected);

    // Drained: the next write waits normally again.
    server->Send(QStringLiteral("ALIGNEND"));
    QTRY_COMPARE_WITH_TIMEOUT(host.pull().mid(expected.size()), QByteArray("6:ALIGNEND;"), 5000);
}


// Whatever a host sends, the log stays small, one line per record, free of control bytes, and
// the host's next request is served.
void TestVeltraxServer::hostileInputKeepsTheLogSmall_data()
{
    QTest::addColumn<QByteArray>("flood");
    QTest::addColumn<QString>("counted"); // a record that stands for many
    QByteArray noise(2 * 1024 * 1024, '\0');
    QRandomGenerator random(17);
    random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    QTest::newRow("2 MB of random bytes") << noise << QString();
    QTest::newRow("200,000 unknown commands") << QByteArray("1:FOO;").repeated(200000) << "CMD TO ADD";
    QTest::newRow("100,000 untagged messages") << QByteArray("X\x1b;").repeated(100000) << "TCP Server: Message without tag discarded";
    QTest::newRow("50,000 short COORDS") << QByteArray("1:COORDS1:2;").repeated(50000) << "TCP Server: COORDS with fewer than five fields ignored";
}

void TestVeltraxServer::hostileInputKeepsTheLogSmall()
{
    QFETCH(QByteArray, flood);
    QFETCH(QString, counted);
    start();
    Recorder recorder(server);
    Peer host;
    QVERIFY(connectData(host));
    const qint64 before = QFileInfo(Logs::FileName).size();
    host.write(flood);
    host.write(flood.endsWith(';') ? "9:BGSCAN;" : ";9:BGSCAN;"); // ends what the flood left unfinished
    QTRY_VERIFY_WITH_TIMEOUT(host.pull().endsWith(":SCANBG;"), 120000);
    QVERIFY(recorder.events.endsWith(QStringLiteral("StartAutoScan()")));
    if (!counted.isEmpty()) // summed up once they have stopped
        QTRY_COMPARE_WITH_TIMEOUT(recordsOf(counted), int(flood.count(';')), 20000);
    VeltraxServer::Destroy();
    const QByteArray log = testsupport::readAll(Logs::FileName);
    QVERIFY2(log.size() - before < 64 * 1024, qPrintable(QString::number(log.size() - before)));
    QVERIFY2(log.count('\n') < 40, qPrintable(QString::number(log.count('\n'))));
    for (const char c : log)
        QVERIFY2(uchar(c) >= 0x20 || c == '\n', qPrintable(QString("control byte %1").arg(int(uchar(c)))));
}

// A host that sends far more than the station interprets at once is read only as fast as it is
// served: what waits stays within the bound, and the next request is answered.
void TestVeltraxServer::floodIsReadWithinTheBound()
{
    start();
    Recorder recorder(server);
    int announced = 0; // commands announced to their receivers (one queued event each)
    connect(server, &VeltraxServer::CommandSession, &recorder, [&announced]() { ++announced; });
    Peer host;
    QVERIFY(connectData(host));
    host.write(QByteArray("1:APPX1;").repeated(2 * 1024 * 1024)); // 16 MiB
    host.write("9:BGSCAN;");
    int largest = 0;
    QTRY_VERIFY_WITH_TIMEOUT((largest = qMax(largest, server->PendingReceiveSize()), host.pull().endsWith(":SCANBG;")), 300000);
    QVERIFY2(largest <= VeltraxServer::ReceiveBound + VeltraxServer::ReadChunk, qPrintable(QString::number(largest)));
    QCOMPARE(recorder.events, QStringList{"StartAutoScan()"});
    QCOMPARE(announced, 1); // BGSCAN only: commands that start nothing queue nothing
    QCOMPARE(host.socket.bytesToWrite(), qint64(0));
}

void TestVeltraxServer::whoMayConnect_data()
{
    QTest::addColumn<QByteArray>("allow"); // HOSTALLOW line, empty for none
    QTest::addColumn<bool>("admitted");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("no setting: everyone") << QByteArray() << true << "TCP Server: Connections accepted from: everyone";
    QTest::newRow("star") << QByteArray("HOSTALLOW:*\n") << true << "TCP Server: Connections accepted from: everyone";
    QTest::newRow("loopback subnet") << QByteArray("HOSTALLOW:127.0.0.0/8\n") << true << "TCP Server: Connections accepted from: 127.0.0.0/8";
    QTest::newRow("this address among others") << QByteArray("HOSTALLOW:10.1.2.3, 127.0.0.1\n") << true
                                               << "TCP Server: Connections accepted from: 10.1.2.3/32, 127.0.0.1/32";
    QTest::newRow("another address") << QByteArray("HOSTALLOW:10.9.8.7\n") << false << "TCP Server: Connections accepted from: 10.9.8.7/32";
    QTest::newRow("another subnet and a typo") << QByteArray("HOSTALLOW:192.168.0.0/16,127.0.0.l\n") << false
                                               << "TCP Server: HOSTALLOW: ignored entries that are neither an address nor a subnet: 127.0.0.L";
    QTest::newRow("nothing valid: nobody") << QByteArray("HOSTALLOW:HOST.EXAMPLE\n") << false << "TCP Server: Connections accepted from: nobody";
}

void TestVeltraxServer::whoMayConnect()
{
    QFETCH(QByteArray, allow);
    QFETCH(bool, admitted);
    QFETCH(QString, logLine);
    writeSettings("HOSTLISTEN:127.0.0.1\n" + allow);
    Registry::AccessMemory();
    VeltraxServer::SetListenEndpoint(QHostAddress(), 0); // the address comes from the settings
    start();
    Recorder recorder(server);
    QVERIFY(testsupport::logMessages().contains(QStringLiteral("Listening 127.0.0.1 : %1").arg(server->ListenPort())));
    QVERIFY2(testsupport::logMessages().contains(logLine), qPrintable(testsupport::logMessages().join('\n')));
    if (admitted) {
        Peer host;
        QVERIFY(connectData(host));
        return;
    }
    Peer first;
    Peer second;
    for (Peer* peer : {&first, &second}) {
        QVERIFY(peer->connectTo(server->ListenPort()));
        peer->write("1:BGSCAN;");
        QTRY_COMPARE_WITH_TIMEOUT(peer->socket.state(), QAbstractSocket::UnconnectedState, 10000);
    }
    QCOMPARE(first.pull(), QByteArray());
    QCOMPARE(second.pull(), QByteArray());
    QVERIFY(!server->HasDataConnection());
    QCOMPARE(testsupport::logMessages().filter(QStringLiteral("TCP Server: Connection refused from [127.0.0.1:")).size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(recordsOf(QStringLiteral("TCP Server: Connection refused")), 2, 20000);
    QCOMPARE(recorder.events, QStringList());
}

// An idle connection that holds the data role and opened no video connection does not keep the
// host out for ever.
void TestVeltraxServer::idleFirstConnectionGivesWayToTheHost()
{
    VeltraxServer::SetIdleHandOver(300);
    start();
    Peer stranger;
    QVERIFY(connectData(stranger));
    QTest::qWait(500); // longer than the hand-over time
    Peer host;
    QVERIFY(connectData(host, "2:NCQ;"));
    QTRY_COMPARE_WITH_TIMEOUT(stranger.socket.state(), QAbstractSocket::UnconnectedState, 10000);
    QVERIFY(testsupport::logMessages().filter(QStringLiteral(" sent nothing in 0 s and opened no video connection")).size() == 1);
    Peer video;
    QVERIFY(connectVideo(video)); // the host's second connection is its video connection
}

QTEST_GUILESS_MAIN(TestVeltraxServer)
#include "tst_veltraxserver.moc"
