// The front camera's snapshot and stream feed as the host sees them: a real server on
// loopback, a host made of two plain sockets (data, then video), the rig behind the camera.

#include "app/imagedisplay.h"
#include "camerafixture.h"
#include "queuedsignalspy.h"

#include <QImage>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <opencv2/imgproc.hpp>

using rig::Rig;

namespace {

// The host side: reads the numbered text messages of the data connection and the
// size-prefixed frames of the video connection.
class Host : public QObject
{
public:
    QTcpSocket data;
    QTcpSocket video;
    QByteArray dataBytes;
    QByteArray videoBytes;

    bool connectTo(VeltraxServer* server)
    {
        connect(&data, &QTcpSocket::readyRead, this, [this] { dataBytes += data.readAll(); });
        connect(&video, &QTcpSocket::readyRead, this, [this] { videoBytes += video.readAll(); });
        data.connectToHost(QHostAddress::LocalHost, server->ListenPort());
        if (!data.waitForConnected(10000))
            return false;
        if (!QTest::qWaitFor([&] { return server->HasDataConnection(); }, 10000))
            return false;
        video.connectToHost(QHostAddress::LocalHost, server->ListenPort());
        if (!video.waitForConnected(10000))
            return false;
        return QTest::qWaitFor([&] { return server->HasVideoConnection(); }, 10000);
    }

    void send(const QByteArray& message)
    {
        data.write(message);
        data.flush();
    }

    // Texts of the station's messages ("12:SIDONE;" gives "SIDONE").
    QStringList messages() const
    {
        QStringList texts;
        for (const QByteArray& part : dataBytes.split(';')) {
            const int colon = part.indexOf(':');
            if (colon > 0)
                texts << QString::fromUtf8(part.mid(colon + 1));
        }
        return texts;
    }

    // Complete frames: 12 bytes "-SIZE-" in UTF-16, a 32-bit length, then that many bytes.
    // An empty list also when a header is malformed, so a test sees it.
    QList<QByteArray> frames(bool* wellFormed = nullptr) const
    {
        static const QByteArray header = QByteArray::fromHex("2d00530049005a0045002d00");
        QList<QByteArray> found;
        int at = 0;
        bool ok = true;
        while (videoBytes.size() - at >= 16) {
            if (videoBytes.mid(at, 12) != header) {
                ok = false;
                break;
            }
            const qint32 length = qFromLittleEndian<qint32>(reinterpret_cast<const uchar*>(videoBytes.constData() + at + 12));
            if (videoBytes.size() - at - 16 < length)
                break;
            found << videoBytes.mid(at + 16, length);
            at += 16 + length;
        }
        if (wellFormed)
            *wellFormed = ok;
        return found;
    }
};

// Waits until the camera has announced `count` more frames, each within 20 s. newcapture()
// comes from the camera thread, hence the queued spy.
bool waitFrames(CameraAcquisition* camera, int count)
{
    testsupport::QueuedSignalSpy frames(camera, &CameraAcquisition::newcapture);
    return frames.waitForCount(count, 20000);
}

cv::Mat colourPatches()
{
    cv::Mat pattern(1024, 1280, CV_8UC3);
    pattern(cv::Rect(0, 0, 640, 1024)).setTo(cv::Scalar(20, 30, 220));   // red on the left
    pattern(cv::Rect(640, 0, 640, 1024)).setTo(cv::Scalar(210, 50, 30)); // blue on the right
    return pattern;
}

} // namespace

class TestCamMF : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    std::unique_ptr<Host> host;
    VeltraxServer* server = nullptr;

    QString snapshotPath() const { return work->file("share/Cam2Snapshot.png"); }

    // Server, host connections, camera list, then the front camera.
    CamMF* startStation(const QString& sharedFolder)
    {
        camerafixture::bindRigCameras(sharedFolder);
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        server = VeltraxServer::AccessMemory();
        host.reset(new Host);
        if (!host->connectTo(server))
            return nullptr;
        CamVSharedConfig::AccessMemory();
        return CamMF::AccessMemory();
    }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        Rig::instance().reset();
        Logs::AccessMemory();
        Registry::AccessMemory();
    }
    void cleanup()
    {
        host.reset();
        camerafixture::destroyAll();
        Rig::instance().reset();
        work.reset();
    }

    void firstFrameIsStoredAndStreamedUnasked()
    {
        CamMF* mf = startStation(work->file("share"));
        QVERIFY(mf);
        QTRY_COMPARE_WITH_TIMEOUT(host->messages().count("SIDONE"), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(host->frames().size(), 1, 20000);
        const QImage snapshot(snapshotPath(), "PNG");
        QCOMPARE(snapshot.size(), QSize(1280, 1024));
        bool wellFormed = false;
        const QImage streamed = QImage::fromData(host->frames(&wellFormed).first(), "JPEG");
        QVERIFY(wellFormed);
        QCOMPARE(streamed.size(), QSize(1280, 1024));
        // Both were one-shot: later frames bring neither.
        QVERIFY(waitFrames(mf, 4));
        QCOMPARE(host->messages().count("SIDONE"), 1);
        QCOMPARE(host->frames().size(), 1);
        QCOMPARE(mf->GetOriginalWidth(), 1280);
    }

    void twoSnapshotRequestsGiveOneFileAndOneAcknowledgement()
    {
        CamMF* mf = startStation(work->file("share"));
        QVERIFY(mf);
        QTRY_COMPARE_WITH_TIMEOUT(host->messages().count("SIDONE"), 1, 20000);
        QVERIFY(QFile::remove(snapshotPath()));

        // Hold the frames back: the memory query fails until the failures are cleared. Once a
        // failed query is seen, any pass that had started before it is over.
        Rig::instance().clearCalls();
        Rig::instance().failCall("is_InquireImageMem", IS_INVALID_CAMERA_HANDLE, 1 << 30, Rig::FrontSerial);
        QTRY_VERIFY_WITH_TIMEOUT(!Rig::instance().calls("is_InquireImageMem").empty()
                                     && Rig::instance().calls("is_InquireImageMem").back().status == IS_INVALID_CAMERA_HANDLE,
                                 20000);
        testsupport::QueuedSignalSpy saved(mf, &CamMF::ImageSaved);
        testsupport::QueuedSignalSpy requested(server, &VeltraxServer::SavingImageRequest);
        host->send("21:QISI;22:QISI;");
        // The camera connected to the request before the spy did, so its queued slot has run
        // by the time the spy has recorded the request.
        QTRY_COMPARE_WITH_TIMEOUT(requested.count(), 2, 20000);
        QVERIFY(!QFile::exists(snapshotPath()));
        Rig::instance().clearFailures();

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(snapshotPath()), 20000);
        QVERIFY(waitFrames(mf, 4));
        QCOMPARE(saved.count(), 1);
        QCOMPARE(host->messages().count("SIDONE"), 2);
        QVERIFY(testsupport::logMessages().contains("Faild to get image memory Camera 4103117702 alias 'Marking Front' Code Error 1"));
    }

    void oneColourOrderInStreamSnapshotViewAndFile_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::newRow("640 x 480 inside") << QRect(320, 260, 640, 480);
        QTest::newRow("320 x 240 at the corner") << QRect(0, 0, 320, 240);
    }
    void oneColourOrderInStreamSnapshotViewAndFile()
    {
        QFETCH(QRect, area);
        Rig::instance().setNoise(false);
        Rig::instance().setTestPattern(Rig::FrontSerial, colourPatches());
        CamMF* mf = startStation(work->file("share"));
        QVERIFY(mf);
        QTRY_COMPARE_WITH_TIMEOUT(host->frames().size(), 1, 20000);
        QVERIFY(mf->Aoi(area.x(), area.y(), area.width(), area.height()));
        QVERIFY(waitFrames(mf, 2));

        host->send("31:RQI;");
        QTRY_COMPARE_WITH_TIMEOUT(host->frames().size(), 2, 20000);
        bool wellFormed = false;
        const QByteArray jpeg = host->frames(&wellFormed).at(1);
        QVERIFY(wellFormed);
        QVERIFY(jpeg.startsWith("\xff\xd8") && jpeg.endsWith("\xff\xd9"));
        const QImage streamed = QImage::fromData(jpeg, "JPEG");
        QCOMPARE(streamed.size(), area.size());
        // Left of the sensor's middle column is red, right of it blue, as the host sees them.
        const QColor left = streamed.pixelColor(4, area.height() / 2);
        QVERIFY2(left.red() > 180 && left.blue() < 70, qPrintable(left.name()));
        if (area.right() > 700) {
            const QColor right = streamed.pixelColor(area.width() - 4, area.height() / 2);
            QVERIFY2(right.blue() > 170 && right.red() < 70, qPrintable(right.name()));
        }

        // A snapshot asked by the host has the same size and colours.
        host->send("32:QISI;");
        QTRY_COMPARE_WITH_TIMEOUT(host->messages().count("SIDONE"), 2, 20000);
        const QImage snapshot(snapshotPath(), "PNG");
        QCOMPARE(snapshot.size(), area.size());
        QCOMPARE(snapshot.pixelColor(4, area.height() / 2), QColor(220, 30, 20));

        // The operator's view and a saved frame file show the same colours.
        const QImage view = imagedisplay::viewPicture(mf->getImage(), QSize(area.width() / 2, area.height() / 2));
        QCOMPARE(view.pixelColor(2, area.height() / 4), QColor(220, 30, 20));
        mf->SaveCapture(work->file("frame.png"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(work->file("frame.png")), 20000);
        QCOMPARE(QImage(work->file("frame.png"), "PNG").pixelColor(4, area.height() / 2), QColor(220, 30, 20));
        if (area.right() > 700) {
            const QColor right(30, 50, 210);
            QCOMPARE(snapshot.pixelColor(area.width() - 4, area.height() / 2), right);
            QCOMPARE(view.pixelColor(view.width() - 2, area.height() / 4), right);
        }
    }

    void snapshotThatCannotBeWrittenIsAnsweredWithFailure()
    {
        testsupport::writeAll(work->file("occupied"), "a file, not a folder");
        const QString folder = work->file("occupied/share");
        CamMF* mf = startStation(folder);
        QVERIFY(mf);
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages().contains("Shared folder can not be created: " + folder), 20000);
        // The stream is served all the same.
        QTRY_COMPARE_WITH_TIMEOUT(host->frames().size(), 1, 20000);
        const QString failed = "Front snapshot not stored after 3 failed writes: SIFAIL:STORAGE sent";
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages().contains(failed), 20000);
        QCOMPARE(testsupport::logMessages().count("Front snapshot can not be written to " + folder + "/Cam2Snapshot.png"), 3);
        QTRY_COMPARE_WITH_TIMEOUT(host->messages(), (QStringList{"NCQ", "SIFAIL:STORAGE"}), 20000);

        // The host's own request gets its answer too, once, and never "SIDONE".
        host->send("41:QISI;");
        QTRY_COMPARE_WITH_TIMEOUT(host->messages().count("SIFAIL:STORAGE"), 2, 20000);
        QVERIFY(waitFrames(mf, 3));
        QCOMPARE(host->messages(), (QStringList{"NCQ", "SIFAIL:STORAGE", "SIFAIL:STORAGE"}));
    }

    // A host asks for a snapshot and a frame and leaves before the camera serves them: the
    // next host gets neither, only the answers to its own requests.
    void requestsOfAHostThatLeftReachNobody()
    {
        CamMF* mf = startStation(work->file("share"));
        QVERIFY(mf);
        QTRY_COMPARE_WITH_TIMEOUT(host->frames().size(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(host->messages().count("SIDONE"), 1, 20000);

        // Frames held back (see twoSnapshotRequestsGiveOneFileAndOneAcknowledgement).
        Rig::instance().clearCalls();
        Rig::instance().failCall("is_InquireImageMem", IS_INVALID_CAMERA_HANDLE, 1 << 30, Rig::FrontSerial);
        QTRY_VERIFY_WITH_TIMEOUT(!Rig::instance().calls("is_InquireImageMem").empty()
                                     && Rig::instance().calls("is_InquireImageMem").back().status == IS_INVALID_CAMERA_HANDLE,
                                 20000);
        testsupport::QueuedSignalSpy streamed(server, &VeltraxServer::StramRequest);
        host->send("51:QISI;52:RQI;");
        QTRY_COMPARE_WITH_TIMEOUT(streamed.count(), 1, 20000);
        host.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!server->HasDataConnection(), 20000);

        host.reset(new Host);
        QVERIFY(host->connectTo(server));
        Rig::instance().clearFailures();
        QTRY_VERIFY_WITH_TIMEOUT(
            testsupport::logMessages().contains("TCP Server: \"SIDONE\" not sent: it belongs to a host that has left"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!testsupport::logMessages().filter(QRegularExpression(
                                     "^TCP Server: Video frame of \\d+ bytes not sent: it belongs to a host that has left$")).isEmpty(),
                                 20000);

        host->send("1:QISI;");
        QTRY_COMPARE_WITH_TIMEOUT(host->messages(), (QStringList{"NCQ", "SIDONE"}), 20000);
        host->send("2:RQI;");
        QTRY_COMPARE_WITH_TIMEOUT(host->frames().size(), 1, 20000);
        QVERIFY(waitFrames(mf, 3));
        QCOMPARE(host->messages(), (QStringList{"NCQ", "SIDONE"}));
        QCOMPARE(host->frames().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCamMF)
#include "tst_cammf.moc"
