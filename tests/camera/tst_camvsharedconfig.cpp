// The camera list over the rig: enumeration and its failures, serial number to device ID,
// the pixel clock share, and the host's axis positions reaching the rig.

#include "camerafixture.h"

#include <QtTest>

#include <cmath>
#include <limits>

using rig::Rig;

class TestCamVSharedConfig : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<camerafixture::Session> work;

private slots:
    void init() { work.reset(new camerafixture::Session); }
    void cleanup() { work.reset(); }

    void enumeration_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<int>("listQueries");
        QTest::newRow("three cameras") << "default" << QStringList({"4103117701", "4103117702", "4103117703"})
                                       << QStringList({"Loading Cameras Shared Memory...", "3 Camera(s) Found", ">Camera 0 id 4103117701",
                                                       ">Camera 1 id 4103117702", ">Camera 2 id 4103117703",
                                                       "Cameras Shared Memory imported successfully"})
                                       << 1;
        QTest::newRow("no camera") << "none" << QStringList()
                                   << QStringList({"Loading Cameras Shared Memory...", "0 Camera(s) Found",
                                                   "Cameras Shared Memory imported successfully"})
                                   << 0;
        QTest::newRow("count fails") << "count fails" << QStringList()
                                     << QStringList({"Faild to retrive camera number, ERROR CODE -1",
                                                     "Cameras Shared Memory imported successfully"})
                                     << 0;
        QTest::newRow("list fails") << "list fails" << QStringList()
                                    << QStringList({"3 Camera(s) Found", "Faild to retrive camera list, ERROR CODE 125",
                                                    "Cameras Shared Memory imported successfully"})
                                    << 1;
    }
    void enumeration()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, listed);
        QFETCH(QStringList, log);
        QFETCH(int, listQueries);
        if (setup == "none")
            Rig::instance().clearCameras();
        else if (setup == "count fails")
            Rig::instance().failCall("is_GetNumberOfCameras", -1);
        else if (setup == "list fails")
            Rig::instance().failCall("is_GetCameraList", 125);
        CamVSharedConfig* cameras = CamVSharedConfig::AccessMemory();
        QCOMPARE(cameras->GetCameraList(), listed);
        QVERIFY2(camerafixture::logHasInOrder(log), qPrintable(testsupport::logMessages().join('\n')));
        QCOMPARE(Rig::instance().callCount("is_GetCameraList"), listQueries);
        QCOMPARE(cameras->GetCameraIndex(rig::Rig::FrontSerial), listed.isEmpty() ? -1 : 2);
        CamVSharedConfig::Destroy();
        QCOMPARE(testsupport::logMessages().constLast(), QString("Cameras Shared Memory Destruction"));
    }

    void serialToDeviceId_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<int>("device");
        QTest::newRow("listed") << "4103117703" << 3;
        QTest::newRow("listed twice: the first entry") << "5000000005" << 11;
        QTest::newRow("unlisted") << "1111111111" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("letter case differs") << "abc0000001" << -1;
    }
    void serialToDeviceId()
    {
        QFETCH(QString, serial);
        QFETCH(int, device);
        rig::CameraSpec twin = Rig::defaultCamera(rig::View::TopStandard);
        twin.serial = "5000000005";
        twin.deviceId = 11;
        Rig::instance().addCamera(twin);
        twin.deviceId = 12;
        Rig::instance().addCamera(twin);
        twin.serial = "ABC0000001";
        twin.deviceId = 13;
        Rig::instance().addCamera(twin);
        CamVSharedConfig* cameras = CamVSharedConfig::AccessMemory();
        QCOMPARE(cameras->GetCameraIndex(serial), device);
        QCOMPARE(testsupport::logMessages().constLast(), "Retriving " + serial + " Camera > " + QString::number(device));
    }

    void pixelClockShare_data()
    {
        QTest::addColumn<int>("cameraCount");
        QTest::addColumn<uint>("maxClock");
        QTest::addColumn<uint>("share");
        QTest::newRow("two cameras, 43") << 2 << 43u << 21u;
        QTest::newRow("three cameras, 86") << 3 << 86u << 28u;
        QTest::newRow("one camera") << 1 << 43u << 43u;
        QTest::newRow("no camera listed") << 0 << 43u << 43u;
    }
    void pixelClockShare()
    {
        QFETCH(int, cameraCount);
        QFETCH(uint, maxClock);
        QFETCH(uint, share);
        const std::vector<rig::CameraSpec> all = Rig::instance().cameras();
        for (size_t i = static_cast<size_t>(cameraCount); i < all.size(); ++i)
            Rig::instance().removeCamera(all[i].serial);
        CamVSharedConfig* cameras = CamVSharedConfig::AccessMemory();
        QCOMPARE(cameras->PixelClockRegulate(maxClock), share);
        QCOMPARE(testsupport::logMessages().constLast(), QString("%1 Cameras connected.. Setting pixel clock to %2/%3")
                                                              .arg(cameraCount).arg(share).arg(maxClock));
    }

    void hostPositionsReachTheRig_data()
    {
        QTest::addColumn<QList<double>>("reported");
        QTest::addColumn<QList<double>>("expected");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const rig::Axes start = Rig::defaultScene().axes;
        QTest::newRow("five positions") << QList<double>({1.5, 2.5, 3.5, 45.0, 7.25}) << QList<double>({1.5, 2.5, 3.5, 45.0, 7.25});
        QTest::newRow("not a number keeps the axis")
            << QList<double>({nan, 2.0, nan, 90.0, nan}) << QList<double>({start.x, 2.0, start.z, 90.0, start.zii});
    }
    void hostPositionsReachTheRig()
    {
        QFETCH(QList<double>, reported);
        QFETCH(QList<double>, expected);
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        VeltraxServer* server = VeltraxServer::AccessMemory();
        CamVSharedConfig::AccessMemory();
        emit server->NewCoord(reported[0], reported[1], reported[2], reported[3], reported[4]);
        const rig::Axes axes = Rig::instance().scene().axes;
        QCOMPARE(QList<double>({axes.x, axes.y, axes.z, axes.a, axes.zii}), expected);
    }
};

QTEST_GUILESS_MAIN(TestCamVSharedConfig)
#include "tst_camvsharedconfig.moc"
