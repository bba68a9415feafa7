// A girdle scan whose frames cannot all be stored in the folder shared with the host: the scan
// goes on, every frame is still reported, the scan ends with "SCANEND", and each frame that
// could not be stored leaves a log line naming its file. Same fixture as the scan tests: the
// rig's front camera, the station's server over loopback and the host simulator as the host,
// with tracker results from a virtual stone of 5 mm (ten frames).

#include "camera/cammf.h"
#include "camera/sharedfolder.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "sim/host/hostsimulator.h"
#include "sim/rig/rig.h"
#include "testsupport.h"
#include "../motion/stationteardown.h"
#include "../motion/virtualstone.h"

#include <QtTest>

#include <memory>

class TestSharedFolderFaults : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    MotionCore* core = nullptr;
    GridleStitcher* stitcher = nullptr;
    std::unique_ptr<HostSimulator> host;
    VirtualStone stone;
    QTimer tracker;

    static QString frameName(int i) { return QString("img_%1.png").arg(i, 2, 10, QChar('0')); }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        rig::Rig::instance().reset();
        Logs::AccessMemory();
        Registry* registry = Registry::AccessMemory();
        registry->SetKey("CAMMFID", rig::Rig::FrontSerial);
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        VeltraxServer* server = VeltraxServer::AccessMemory();
        core = MotionCore::AccessMemory();
        stitcher = GridleStitcher::AccessMemory();
        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setStrict(true);
        host->connectToStation("127.0.0.1", server->ListenPort());
        QVERIFY(host->waitForReady(10000));
        stone = VirtualStone::withDiameter(5.0);
        tracker.setInterval(10);
        connect(&tracker, &QTimer::timeout, this, [this]() { stone.deliver(core, host->position(HostSimulator::X)); });
    }

    void cleanup()
    {
        tracker.stop();
        tracker.disconnect();
        GridleStitcher::Destroy();
        stitcher = nullptr;
        if (host)
            QCOMPARE(host->violations(), QStringList());
        host.reset();
        teardown::DestroyStation();
        core = nullptr;
        work.reset();
    }

    void scanGoesOnWithoutItsFiles_data()
    {
        QTest::addColumn<QString>("folder");       // relative to the working directory
        QTest::addColumn<QString>("obstacle");     // made before the scan, relative as well
        QTest::addColumn<QString>("folderRecord"); // about the folder, followed by its path
        QTest::addColumn<QList<int>>("lost");      // frames that cannot be stored
        QTest::newRow("folder missing") << "new/share" << "" << "Shared folder created: " << QList<int>{};
        // A regular file where a parent folder should be: not even root can create the folder.
        QTest::newRow("a file in the way") << "occupied/share" << "occupied" << "Shared folder can not be created: "
                                           << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        // A folder where one frame's file should be: that frame alone cannot be written.
        QTest::newRow("one frame's file blocked") << "share" << "share/img_03.png/" << "" << QList<int>{3};
    }
    void scanGoesOnWithoutItsFiles()
    {
        QFETCH(QString, folder);
        QFETCH(QString, obstacle);
        QFETCH(QString, folderRecord);
        QFETCH(QList<int>, lost);
        const QString path = work->file(folder);
        if (obstacle.endsWith('/'))
            QVERIFY(QDir().mkpath(obstacle));
        else if (!obstacle.isEmpty())
            testsupport::writeAll(obstacle, "a file, not a folder\n");
        Registry::AccessMemory()->SetKey(Registry::SharedFolderKey, path);
        tracker.start();
        stone.deliver(core, host->position(HostSimulator::X));

        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitForText("SCANEND", from, 120000) >= 0);
        const QStringList texts = host->texts().mid(from);
        QCOMPARE(texts.last(), QString("SCANEND"));
        const QStringList reports = texts.filter(QRegularExpression("^IMGSCAP"));
        QCOMPARE(reports.size(), 10);
        for (int i = 0; i < 10; ++i)
            QVERIFY2(reports.at(i).startsWith(QString("IMGSCAP%1COORDS").arg(i)), qPrintable(reports.at(i)));

        const QStringList log = testsupport::logMessages();
        if (!folderRecord.isEmpty())
            QCOMPARE(log.count(folderRecord + path), 1);
        QCOMPARE(log.filter(QRegularExpression("^Gridle Stitcher: could not write ")).size(), lost.size());
        for (int i = 0; i < 10; ++i) {
            const QString file = QDir(path).filePath(frameName(i));
            QCOMPARE(log.count("Gridle Stitcher: could not write " + file), lost.contains(i) ? 1 : 0);
            QCOMPARE(QFileInfo(file).isFile(), !lost.contains(i));
        }
    }

    // A hand-edited "PSHAREDFOLDER:" with nothing after it: no frame may land at the root of the
    // file system ("/img_00.png"); every frame is still reported.
    void emptyFolderSettingWritesNothing()
    {
        Registry::AccessMemory()->SetKey(Registry::SharedFolderKey, QString());
        QCOMPARE(SharedFolderPath(), QString());
        tracker.start();
        stone.deliver(core, host->position(HostSimulator::X));

        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitForText("SCANEND", from, 120000) >= 0);
        QCOMPARE(host->texts().mid(from).filter(QRegularExpression("^IMGSCAP")).size(), 10);
        const QStringList log = testsupport::logMessages();
        QCOMPARE(log.count("Shared folder is not set"), 1);
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(log.count("Gridle Stitcher: could not write /" + frameName(i)), 1);
            QVERIFY(!QFileInfo::exists("/" + frameName(i)));
        }
    }
};

QTEST_MAIN(TestSharedFolderFaults)
#include "tst_sharedfolderfaults.moc"
