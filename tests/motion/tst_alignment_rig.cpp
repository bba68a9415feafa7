// End to end: the station's server, cameras, top tracker and motion core over the simulated rig,
// with the host simulator (finite axis speed) as the host. The host asks for alignments; the
// rig's ground truth tells where the stone really ended up, and the station's own residual
// (from the tracker result after the last motion) is collected over stones placed at several
// offsets.

#include "camera/cameradevice.h"
#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "sim/host/hostsimulator.h"
#include "sim/rig/rig.h"
#include "sim/rig/rigscene.h"
#include "stationteardown.h"
#include "testsupport.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// Station overlay for the front camera: the stone's top edge goes to this TL row.
constexpr int PanoramaTopRow = 300;

struct ResidualFigures
{
    QVector<double> pixels;
    void add(double value) { pixels << std::fabs(value); }
    double mean() const
    {
        double sum = 0;
        for (double v : pixels)
            sum += v;
        return pixels.isEmpty() ? 0 : sum / pixels.size();
    }
    double max() const
    {
        double m = 0;
        for (double v : pixels)
            m = std::max(m, v);
        return m;
    }
};

} // namespace

class TestAlignmentRig : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    MotionCore* core = nullptr;
    std::unique_ptr<HostSimulator> host;
    // The station's residuals of the axes it positions from the stone's image: X (the stone's
    // row), Y (from the diameter) and, for the front camera, ZII (from the centre column).
    ResidualFigures imageResiduals;
    // The inscription focus residual: Z does not change the top view, so this is the change of
    // the measured right edge between two frames of a still stone.
    ResidualFigures edgeResiduals;
    ResidualFigures groundTruth;

    // A realistic seed other than 0 shows a realistic stone and surroundings in the top views.
    void placeStone(double offsetXMm, double offsetYMm, unsigned realisticSeed = 0)
    {
        rig::Scene scene = rig::Rig::instance().scene();
        scene.offsetXMm = offsetXMm;
        scene.offsetYMm = offsetYMm;
        scene.realisticSeed = realisticSeed;
        rig::Rig::instance().setScene(scene);
    }
    double p() const { return core->TLPixelSize / 1000.0; }

    // Runs one host request and waits for its end message; the residual follows it.
    alignment::Residual request(const QString& command, const QString& endMessage, QStringList* conversation)
    {
        QSignalSpy residual(core, &MotionCore::AlignmentResidual);
        const int from = host->messages().size();
        host->send(command);
        const bool ended = host->waitForText(endMessage, from, 60000) >= 0;
        *conversation = host->texts().mid(from);
        if (!ended) {
            qWarning().noquote() << "no" << endMessage << "after" << command << ":" << conversation->join(' ');
            conversation->prepend(QStringLiteral("(no end)"));
            return alignment::Residual();
        }
        if (!QTest::qWaitFor([&]() { return residual.size() > 0; }, 10000))
            return alignment::Residual();
        return core->LastResidual();
    }

    static void addPlacements()
    {
        QTest::addColumn<double>("offsetX");
        QTest::addColumn<double>("offsetY");
        QTest::addColumn<unsigned>("realistic");
        // Millimetres from the A axis; a quarter of the TL field is about 6.5 mm.
        QTest::newRow("default placement") << 0.15 << -0.10 << 0u;
        QTest::newRow("right and down") << 3.0 << 2.0 << 0u;
        QTest::newRow("left and up") << -3.0 << -2.5 << 0u;
        QTest::newRow("far right") << 6.0 << 0.0 << 0u;
        QTest::newRow("far up") << 0.5 << -6.0 << 0u;
        QTest::newRow("far left, down") << -5.0 << 4.0 << 0u;
        // A realistic stone: dark facets at the rim, glints, dust, screws, uneven light.
        QTest::newRow("realistic scene, default placement") << 0.15 << -0.10 << 3u;
        QTest::newRow("realistic scene, left and down") << -3.5 << 2.5 << 4u;
        // The Top Large camera as a GenICam camera (Aravis's simulated one, showing the rig's view).
        if (genicamcameras::Available()) {
            QTest::newRow("GenICam, default placement") << 0.15 << -0.10 << 0u;
            QTest::newRow("GenICam, far left, down") << -5.0 << 4.0 << 0u;
        }
    }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        rig::Rig::instance().reset();
        // A camera as it really behaves: frames 1.5 frame times late (+-10 %), 1 % of them lost.
        // A measurement of a frame exposed before the last motion ended would carry the whole
        // offset of the placement into the residual and the ground truth below.
        rig::CameraSpec topLarge = rig::Rig::defaultCamera(rig::View::TopLarge);
        topLarge.dropFraction = 0.01;
        rig::Rig::instance().updateCamera(topLarge);
        StationAssembly::bringUpTo(StationAssembly::Stage::Settings);
        Registry* registry = Registry::AccessMemory();
        const bool genicam = QByteArray(QTest::currentDataTag()).startsWith("GenICam");
        registry->SetKey("CAMTLBACKEND", genicam ? "GENICAM" : "SDK");
        registry->SetKey("CAMTLID", genicam ? "1" : rig::Rig::TopLargeSerial);
        registry->SetKey(Registry::SharedFolderKey, work->file("share"));
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        // Only the top large view is measured: the other two roles stay unbound, but for the
        // front check, which measures the girdle on the front camera.
        const bool frontCheck = QByteArray(QTest::currentDataTag()).contains("front check");
        if (frontCheck)
            registry->SetKey("CAMMFID", rig::Rig::FrontSerial);
        StationAssembly::bringUpTo(StationAssembly::Stage::MotionCore);
        VeltraxServer* server = VeltraxServer::AccessMemory();
        core = MotionCore::AccessMemory();
        core->OverlayMFFocalX = PanoramaTopRow;
        if (frontCheck)
            connect(GridleAnalyser::AccessMemory(), &GridleAnalyser::NewMFGirdle, core->FrontChecker(), &FrontCheck::onGirdle);

        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setStrict(true);
        host->setSpeed(20);
        host->connectToStation("127.0.0.1", server->ListenPort());
        QVERIFY(host->waitForReady(10000));
        // The rig follows the positions the host reports.
        QTRY_COMPARE_WITH_TIMEOUT(rig::Rig::instance().scene().axes.x, 0.0, 10000);
    }

    void cleanup()
    {
        if (host)
            QCOMPARE(host->violations(), QStringList());
        host.reset();
        teardown::DestroyStation();
        core = nullptr;
        work.reset();
    }

    void cleanupTestCase()
    {
        auto print = [](const char* what, const ResidualFigures& f) {
            qInfo("%s residuals over %d axis values: mean %.3f px, max %.3f px", what, int(f.pixels.size()), f.mean(),
                  f.max());
        };
        print("Station (X, Y, ZII)", imageResiduals);
        print("Station (inscription Z, right-edge jitter)", edgeResiduals);
        print("Ground truth", groundTruth);
        QVERIFY(imageResiduals.pixels.size() >= 20);
        QVERIFY2(imageResiduals.mean() <= 0.5, "mean residual above 0.5 px");
        QVERIFY2(imageResiduals.max() <= 1.5, "largest residual above 1.5 px");
    }

    void inscriptionAlignment_data() { addPlacements(); }
    void inscriptionAlignment()
    {
        QFETCH(double, offsetX);
        QFETCH(double, offsetY);
        QFETCH(unsigned, realistic);
        placeStone(offsetX, offsetY, realistic);
        QStringList conversation;
        const alignment::Residual residual = request("BGALIGN", "ALIGNEND", &conversation);
        QCOMPARE(conversation.first(), QString("ALIGNBG"));
        QCOMPARE(conversation.last(), QString("ALIGNEND"));
        QVERIFY(conversation.count("GMS") >= 3);
        QCOMPARE(conversation.filter(QRegularExpression("^MOVEX[^:]+:Y[^:]+:Z[^:]+:$")).size(), 2);
        QVERIFY(residual.valid);
        imageResiduals.add(residual.xPixels);
        imageResiduals.add(residual.yPixels);
        edgeResiduals.add(residual.focusPixels);

        // Ground truth: the centre row on the centring line, the inscription focus (which
        // stands on OverlayTLFocalX at TLZFocusPosition and moves one column per pixel size of
        // Z) on the stone's right edge, Y at the inscription height.
        const rig::Scene scene = rig::Rig::instance().scene();
        const double pixel = scene.cal.tlPixelUm / 1000.0;
        const cv::Point2d centre = scene.topLargeCentre();
        const double rightEdge = centre.x + scene.stoneDiameterMm / 2.0 / pixel;
        const double focusColumn = core->OverlayTLFocalX + (scene.cal.tlZFocus - scene.axes.z) / pixel;
        const double rowError = centre.y - core->OverlayTLCenterH;
        const double focusError = focusColumn - rightEdge;
        const double yError = (scene.axes.y - scene.inscriptionY()) / pixel;
        qInfo("offset (%.2f, %.2f) mm: residual %s; truth row %+.3f px, focus %+.3f px, Y %+.3f px", offsetX, offsetY,
              qPrintable(alignment::ResidualText(residual)), rowError, focusError, yError);
        groundTruth.pixels << std::fabs(rowError) << std::fabs(focusError) << std::fabs(yError);
        QVERIFY(std::fabs(rowError) <= 1.0);
        QVERIFY(std::fabs(yError) <= 1.0);
        // The focus goes to the tracker's right-edge point, a sub-pixel point on the stone's
        // silhouette.
        QVERIFY2(std::fabs(focusError) <= 1.0, qPrintable(QString::number(focusError)));
    }

    void panoramaAlignment_data()
    {
        QTest::addColumn<double>("offsetX");
        QTest::addColumn<double>("offsetY");
        QTest::addColumn<unsigned>("realistic");
        QTest::newRow("default placement") << 0.15 << -0.10 << 0u;
        QTest::newRow("right and up") << 4.0 << -3.0 << 0u;
        QTest::newRow("left and down") << -4.5 << 3.5 << 0u;
        QTest::newRow("realistic scene, right and up") << 3.0 << -2.0 << 5u;
        QTest::newRow("realistic scene, front check") << -1.5 << 2.0 << 6u;
    }
    void panoramaAlignment()
    {
        QFETCH(double, offsetX);
        QFETCH(double, offsetY);
        QFETCH(unsigned, realistic);
        placeStone(offsetX, offsetY, realistic);
        QStringList conversation;
        QSignalSpy checked(core->FrontChecker(), &FrontCheck::Checked);
        const alignment::Residual residual = request("BGRALIGN", "ALIGNEND", &conversation);
        QCOMPARE(conversation.first(), QString("ALIGNBG"));
        // One move, or two when the first did not land within the tolerance; the log says which.
        const int moves = testsupport::alignmentMoves(testsupport::logMessages(), "panorama");
        QVERIFY2(moves == 1 || moves == 2, qPrintable(QString::number(moves)));
        QCOMPARE(conversation.filter(QRegularExpression("^MOVEX[^:]+:Y[^:]+:$")).size(), moves);
        QCOMPARE(conversation.filter(QRegularExpression("^MOVEF[^:]+:$")).size(), moves);
        QVERIFY(residual.valid);
        imageResiduals.add(residual.xPixels);
        imageResiduals.add(residual.yPixels);
        imageResiduals.add(residual.focusPixels);

        // Ground truth: the top edge on the front camera's mark, the girdle centred and sharp
        // in the front view.
        const rig::Scene scene = rig::Rig::instance().scene();
        const double pixel = scene.cal.tlPixelUm / 1000.0;
        const double topEdge = scene.topLargeCentre().y - scene.stoneDiameterMm / 2.0 / pixel;
        const double rowError = topEdge - PanoramaTopRow;
        const double yError = (scene.axes.y - scene.panoramaY()) / pixel;
        const double focusError = (scene.axes.zii - scene.frontFocusZii()) / pixel;
        qInfo("offset (%.2f, %.2f) mm: residual %s; truth top row %+.3f px, Y %+.3f px, ZII %+.3f px", offsetX, offsetY,
              qPrintable(alignment::ResidualText(residual)), rowError, yError, focusError);
        groundTruth.pixels << std::fabs(rowError) << std::fabs(yError) << std::fabs(focusError);
        // The top edge is a sub-pixel silhouette point too.
        QVERIFY2(std::fabs(rowError) <= 1.0, qPrintable(QString::number(rowError)));
        QVERIFY(std::fabs(yError) <= 1.0);
        QVERIFY(std::fabs(focusError) <= 1.0);

        if (QByteArray(QTest::currentDataTag()) == "default placement") {
            // Asked again, the stone already in place: measured once, no move, the same landing.
            QVERIFY(alignment::Landed(residual));
            conversation.clear();
            const alignment::Residual again = request("BGRALIGN", "ALIGNEND", &conversation);
            QCOMPARE(conversation.filter(QRegularExpression("^MOVE|^INC")), QStringList());
            QVERIFY(alignment::Landed(again));
            QCOMPARE(testsupport::logMessages().filter(QRegularExpression("^Alignment panorama done in \\d+ ms \\(0 moves, ")).size(), 1);

            // The stone shifted in the holder while the axes stood still, the request right
            // after: measured on frames taken after the request, moved, landed on the truth.
            rig::Scene shifted = rig::Rig::instance().scene();
            shifted.offsetYMm += 0.1;
            rig::Rig::instance().setScene(shifted);
            conversation.clear();
            request("BGRALIGN", "ALIGNEND", &conversation);
            QVERIFY(!conversation.filter(QRegularExpression("^MOVEX[^:]+:Y[^:]+:$")).isEmpty());
            const rig::Scene now = rig::Rig::instance().scene();
            const double edge = now.topLargeCentre().y - now.stoneDiameterMm / 2.0 / pixel;
            QVERIFY2(std::fabs(edge - PanoramaTopRow) <= 1.0, qPrintable(QString::number(edge - PanoramaTopRow)));
            QVERIFY(std::fabs(now.axes.zii - now.frontFocusZii()) / pixel <= 1.0);
        }

        if (!QByteArray(QTest::currentDataTag()).contains("front check")) {
            // Without a front camera nothing is measured on the side, and nothing is said.
            QCOMPARE(checked.size(), 0);
            return;
        }
        // The side view of the aligned stone: the girdle's centre against the middle row, as
        // the rig draws it.
        QVERIFY(QTest::qWaitFor([&] { return checked.size() > 0; }, 30000));
        const FrontCheck::Result check = core->FrontChecker()->Last();
        const cv::Size size = CamMF::AccessMemory()->getImage().size();
        const rig::SideTruth side = rig::sideTruth(rig::frontSideView(rig::Rig::instance().scene(), size), size);
        const double centreTruth = (side.topMid + side.bottomMid) / 2.0 - (size.height - 1) / 2.0;
        qInfo("%s; truth %+.2f px", qPrintable(check.text), centreTruth);
        QVERIFY2(check.found, qPrintable(check.text));
        QVERIFY(std::fabs(check.offsetPx - centreTruth) <= 1.5);
        QCOMPARE(check.offsetUm, check.offsetPx * scene.cal.mfPixelUm);
        QVERIFY(check.edgeWidthPx > 0 && check.edgeWidthPx <= girdletext::SoftPx);
        QVERIFY(testsupport::logMessages().contains(check.text));
        QVERIFY(check.text.startsWith("Front check: girdle centre "));
    }

    // Hosts that answer in their own time: "still" before the final COORDS (a controller that
    // reports status and positions apart), or every MOVESTAT later than the station's grace for
    // late answers. The rig shows the stone where the host reports it. Each alignment lands
    // (ground truth within a pixel) or fails with its reason, never ALIGNEND elsewhere.
    void hostTimingFaults_data()
    {
        QTest::addColumn<int>("stillBeforeCoordsMs");
        QTest::addColumn<int>("lateStatusMs");
        QTest::addColumn<int>("statusWaitMs");   // PMALGMSTO
        QTest::addColumn<QString>("outcome");
        QTest::newRow("still 300 ms before the COORDS") << 300 << 0 << 60000 << "ALIGNEND";
        QTest::newRow("still 1500 ms before the COORDS") << 1500 << 0 << 60000 << "ALIGNEND";
        QTest::newRow("COORDS later than PMALGMSTO") << 3000 << 0 << 1000 << "ALIGNFAIL:HOST";
        QTest::newRow("MOVESTAT 1200 ms late") << 0 << 1200 << 60000 << "ALIGNEND";
        QTest::newRow("MOVESTAT later than PMALGMSTO") << 0 << 1500 << 1000 << "ALIGNFAIL:HOST";
    }
    void hostTimingFaults()
    {
        QFETCH(int, stillBeforeCoordsMs);
        QFETCH(int, lateStatusMs);
        QFETCH(int, statusWaitMs);
        QFETCH(QString, outcome);
        core->StatusAnswerWaitMs = statusWaitMs;
        host->setStillBeforeCoords(stillBeforeCoordsMs);
        host->setStatusAnswerDelay(lateStatusMs);
        placeStone(3.0, 2.0);
        const int from = host->messages().size();
        host->send("BGALIGN");
        QVERIFY(host->waitUntil([&]() { return !host->texts().mid(from).filter(QRegularExpression("^ALIGN(END|FAIL)")).isEmpty(); },
                                60000));
        const QStringList conversation = host->texts().mid(from);
        QCOMPARE(conversation.last(), outcome);
        if (outcome == "ALIGNEND") {
            const rig::Scene scene = rig::Rig::instance().scene();
            const double pixel = scene.cal.tlPixelUm / 1000.0;
            const double rowError = scene.topLargeCentre().y - core->OverlayTLCenterH;
            const double yError = (scene.axes.y - scene.inscriptionY()) / pixel;
            qInfo("%s: residual %s; truth row %+.3f px, Y %+.3f px", QTest::currentDataTag(),
                  qPrintable(alignment::ResidualText(core->LastResidual())), rowError, yError);
            QVERIFY(std::fabs(rowError) <= 1.0);
            QVERIFY(std::fabs(yError) <= 1.0);
        } else if (stillBeforeCoordsMs > 0) {
            // Which axis stood where, and where it was sent.
            QCOMPARE(testsupport::logMessages()
                         .filter(QRegularExpression("^Motion Core: the host reports the axes still but X stood at "
                                                    "[-0-9.e]+ where [-0-9.e]+ was commanded.* for 1000 ms"))
                         .size(),
                     1);
        } else {
            QVERIFY(testsupport::logMessages().contains("Motion Core: no MOVESTAT answer to GMS within 1000 ms, motion wait failed"));
        }
    }

    // The host goes away while the station waits for its answer to "GMS" (the host stopped
    // answering motion queries). The next host is served: its own alignment request ends.
    void hostLeavesWhileAskedForMotionStatus()
    {
        placeStone(1.0, 0.5);
        host->setAnswerStatusQueries(false);
        const int from = host->messages().size();
        host->send("BGALIGN");
        QVERIFY(host->waitForText("GMS", from, 30000) >= 0);
        host->disconnectFromStation();
        // (A host connecting before the station has seen the old data connection end would be
        // taken as the old host's video connection and closed with it.)
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages().contains("Tessarix Data Disconnected"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages().contains(
                                     "Motion Core: the host left without answering GMS, motion wait abandoned"),
                                 10000);
        QVERIFY(testsupport::logMessages().contains("Alignment inscription interrupted before its end"));
        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setStrict(true);
        host->setSpeed(20);
        host->connectToStation("127.0.0.1", VeltraxServer::AccessMemory()->ListenPort());
        QVERIFY(host->waitForReady(10000));
        QStringList conversation;
        const alignment::Residual residual = request("BGALIGN", "ALIGNEND", &conversation);
        QVERIFY2(!conversation.isEmpty(), "the second host's alignment never ended");
        QCOMPARE(conversation.last(), QString("ALIGNEND"));
        QVERIFY(residual.valid);
        const rig::Scene scene = rig::Rig::instance().scene();
        QVERIFY(std::fabs(scene.topLargeCentre().y - core->OverlayTLCenterH) <= 1.0);
    }

    // Y stays where it is: near the inscription height, so that the top view is sharp.
    void xAlignmentLeavesY()
    {
        host->setPosition(HostSimulator::Y, 9.25);
        host->reportCoords();
        QTRY_COMPARE_WITH_TIMEOUT(core->GetYPos(), 9.25, 10000);
        placeStone(2.0, 1.0);
        QStringList conversation;
        const alignment::Residual residual = request("ENAAX", "ENAAXEND", &conversation);
        QCOMPARE(conversation.last(), QString("ENAAXEND"));
        const int moves = testsupport::alignmentMoves(testsupport::logMessages(), "inscription X");
        QVERIFY2(moves == 1 || moves == 2, qPrintable(QString::number(moves)));
        QCOMPARE(conversation.filter(QRegularExpression("^MOVEX[^:]+:Y9\\.25:Z[^:]+:$")).size(), moves);
        QCOMPARE(host->position(HostSimulator::Y), 9.25);
        QVERIFY(residual.valid);
        QVERIFY(!residual.yAligned);
        const rig::Scene scene = rig::Rig::instance().scene();
        const double rowError = scene.topLargeCentre().y - core->OverlayTLCenterH;
        qInfo("X alignment: residual %s; truth row %+.3f px", qPrintable(alignment::ResidualText(residual)), rowError);
        QVERIFY(std::fabs(rowError) <= 1.0);
    }
};

QTEST_MAIN(TestAlignmentRig)
#include "tst_alignment_rig.moc"
