#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "station/stationassembly.h"
#include "testsupport.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QtTest>

#include <functional>

using Stage = StationAssembly::Stage;

Q_DECLARE_METATYPE(std::function<void()>)

// The station assembly over the simulated rig with no camera bound: what each partial assembly
// creates, and the records its teardown leaves in the log.
class TestStationAssembly : public QObject
{
    Q_OBJECT

    std::unique_ptr<testsupport::WorkDir> work;

    // The start-up's records, one per component that says it is loading.
    static QStringList loadingRecords() { return testsupport::logMessages().filter(QRegularExpression("^Loading ")); }

    // The teardown's records: one per component, then the log's own last word.
    static QStringList teardownRecords()
    {
        QStringList records;
        for (const QString& message : testsupport::logMessages())
            if (message.endsWith(QLatin1String(" Destruction")) || message.endsWith(QLatin1String(" Destrution")) || message == QLatin1String("Exit"))
                records << message;
        return records;
    }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
    }
    void cleanup()
    {
        StationAssembly::tearDown();
        work.reset();
    }

    void createsInOrderAndTearsDownInReverse_data()
    {
        QTest::addColumn<std::function<void()>>("bringUp");
        QTest::addColumn<QList<int>>("present");
        QTest::addColumn<QStringList>("loading");
        QTest::addColumn<QStringList>("records");
        const QStringList base = {"Registry Component Destrution", "Log Component Destrution", "Exit"};
        QTest::newRow("up to the settings store") << std::function<void()>([] { StationAssembly::bringUpTo(Stage::Settings); })
                                                  << QList<int>{int(Stage::Log), int(Stage::Settings)}
                                                  << QStringList{"Loading Registry Component"} << base;
        QTest::newRow("top cameras, named out of order")
            << std::function<void()>([] {
                   StationAssembly::bringUp({Stage::TopStandardCamera, Stage::TopLargeCamera, Stage::CameraList, Stage::Settings, Stage::Log});
               })
            << QList<int>{int(Stage::Log), int(Stage::Settings), int(Stage::CameraList), int(Stage::TopLargeCamera), int(Stage::TopStandardCamera)}
            << QStringList{"Loading Registry Component", "Loading Cameras Shared Memory...", "Loading Top Large Camera...",
                           "Loading Top Standard Camera..."}
            << QStringList{"Top Standard Camera Destruction", "Top Large Camera Destruction", "Cameras Shared Memory Destruction"} + base;
        // The motion core creates the tracker, and the tracker its two cameras, on first use:
        // the teardown destroys them as well, in the station's order.
        QTest::newRow("motion core without the stages it needs")
            << std::function<void()>([] { StationAssembly::bringUp({Stage::Log, Stage::Settings, Stage::HostServer, Stage::MotionCore}); })
            << QList<int>{int(Stage::Log), int(Stage::Settings), int(Stage::HostServer), int(Stage::CameraList), int(Stage::TopLargeCamera),
                          int(Stage::TopStandardCamera), int(Stage::TopStoneTracker), int(Stage::MotionCore)}
            << QStringList{"Loading Registry Component", "Loading Motion Core...", "Loading Top Stone Tracker...",
                           "Loading Top Standard Camera...", "Loading Cameras Shared Memory...", "Loading Top Large Camera..."}
            << QStringList{"Motion Core Destruction", "Top Stone Tracker Destruction", "Top Standard Camera Destruction",
                           "Top Large Camera Destruction", "Cameras Shared Memory Destruction", "Server Destruction"} + base;
        QTest::newRow("whole station")
            << std::function<void()>([] { StationAssembly::bringUpTo(Stage::GirdleAnalyser); })
            << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}
            << QStringList{"Loading Registry Component", "Loading Cameras Shared Memory...", "Loading Top Large Camera...",
                           "Loading Marking Front Camera...", "Loading Top Standard Camera...", "Loading Top Stone Tracker...",
                           "Loading Motion Core...", "Loading Gridle Stitcher...", "Loading Gridle Analyser..."}
            << QStringList{"Gridle Analyser Destruction", "Gridle Stitcher Destruction", "Motion Core Destruction",
                           "Top Stone Tracker Destruction", "Top Standard Camera Destruction", "Marking Front Camera Destruction",
                           "Top Large Camera Destruction", "Cameras Shared Memory Destruction", "Server Destruction"} + base;
    }
    void createsInOrderAndTearsDownInReverse()
    {
        QFETCH(std::function<void()>, bringUp);
        QFETCH(QList<int>, present);
        QFETCH(QStringList, loading);
        QFETCH(QStringList, records);
        bringUp();
        for (int index = 0; index < StationAssembly::StageCount; ++index)
            QVERIFY2(StationAssembly::exists(Stage(index)) == present.contains(index), qPrintable(QString::number(index)));
        QCOMPARE(loadingRecords(), loading);

        StationAssembly::tearDown();
        for (int index = 0; index < StationAssembly::StageCount; ++index)
            QVERIFY(!StationAssembly::exists(Stage(index)));
        QCOMPARE(teardownRecords(), records);
    }

    // The log takes its size limit from the settings store as soon as the store exists.
    void settingsStageAppliesTheLogLimit()
    {
        testsupport::writeAll(work->file("Registry.dat"), QByteArray(Registry::HeaderLine1) + '\n' + Registry::HeaderLine2 + "\nLOGMAXMB:0\n");
        StationAssembly::bringUpTo(Stage::Settings);
        QVERIFY(testsupport::logMessages().contains("Log size limit LOGMAXMB=0 MiB is out of range (1 to 1048576): 100 MiB is used"));
    }
};

QTEST_GUILESS_MAIN(TestStationAssembly)
#include "tst_stationassembly.moc"
