// The operator's calibration against the rig: a station started with wrong calibration values
// measures the rig's true ones by moving through the host simulator (finite axis speed), stores
// them only on Accept, and then aligns the stone where the rig's truth says it should be.

#include "camera/cammf.h"
#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"
#include "hostlink/veltraxserver.h"
#include "motion/calibration.h"
#include "motion/motioncore.h"
#include "sim/host/hostsimulator.h"
#include "sim/rig/rig.h"
#include "stationteardown.h"
#include "testsupport.h"
#include "vision/gridleanalyser.h"

#include <QtTest>

#include <cmath>
#include <memory>

namespace {

namespace decl = settings::motion;

// The front camera's focal mark in the Top Large image (the stone's top edge goes to this row).
constexpr int PanoramaTopRow = 250;

const CalibrationValue* find(const CalibrationResult& result, const settings::Declaration& key)
{
    for (const CalibrationValue& v : result.values) {
        if (v.key == &key)
            return &v;
    }
    return nullptr;
}

} // namespace

class TestCalibrationRig : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    MotionCore* core = nullptr;
    std::unique_ptr<HostSimulator> host;
    std::unique_ptr<Calibration> calibration;

    void connectHost()
    {
        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setStrict(true);
        host->setSpeed(20);
        host->connectToStation("127.0.0.1", VeltraxServer::AccessMemory()->ListenPort());
        QVERIFY(host->waitForReady(10000));
    }

    // Move commands the host has received so far.
    int moves() const { return host->texts().filter(QRegularExpression("^MOVE")).size(); }

    // Runs a host request to its end message, and returns that message.
    QString request(const QString& command)
    {
        const int from = host->messages().size();
        const QRegularExpression end("^ALIGN(END|FAIL)");
        host->send(command);
        host->waitUntil([&] { return !host->texts().mid(from).filter(end).isEmpty(); }, 60000);
        const QStringList ends = host->texts().mid(from).filter(end);
        return ends.isEmpty() ? QString() : ends.first();
    }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        rig::Rig::instance().reset();
        rig::Scene scene = rig::Rig::instance().scene();
        scene.realisticSeed = 4;
        scene.offsetXMm = -0.12;
        scene.offsetYMm = 0.09;
        rig::Rig::instance().setScene(scene);
        StationAssembly::bringUpTo(StationAssembly::Stage::Settings);
        Registry* registry = Registry::AccessMemory();
        registry->SetKey("CAMTLID", rig::Rig::TopLargeSerial);
        registry->SetKey("CAMMFID", rig::Rig::FrontSerial);
        registry->SetKey(Registry::SharedFolderKey, work->file("share"));
        // Miscalibrated: the pixel sizes 3 % and 2 % too large, the front focus and front Y
        // offset off by 0.05 and -0.06.
        settings::write(*registry, decl::TLPixelSize, 25.6 * 1.03);
        settings::write(*registry, decl::MFPixelSize, 1.27 * 1.02);
        settings::write(*registry, decl::MFXFocusPosition, 15.05);
        settings::write(*registry, decl::MFYOffsetPosition, 11.94);
        settings::write(*registry, decl::OverlayMFFocalX, PanoramaTopRow);
        registry->SaveReg();
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        StationAssembly::bringUpTo(StationAssembly::Stage::GirdleAnalyser);
        core = MotionCore::AccessMemory();
        // The rig draws the realistic front view under the sanitizers on a shared machine: a
        // frame may take longer than a real station's limit, which this test is not about.
        core->MeasurementWaitMs = 60000;
        calibration.reset(new Calibration(core, Logs::AccessMemory(), registry));
        connect(GridleAnalyser::AccessMemory(), &GridleAnalyser::NewMFGirdle, calibration.get(), &Calibration::onGirdle);
        connectHost();
        QTRY_COMPARE_WITH_TIMEOUT(rig::Rig::instance().scene().axes.x, 0.0, 10000);
        // The stone in front of the front camera, as the miscalibrated front alignment puts it.
        QCOMPARE(request("BGRALIGN"), QString("ALIGNEND"));
    }

    void cleanup()
    {
        calibration.reset();
        host.reset();
        teardown::DestroyStation();
        core = nullptr;
        work.reset();
    }

    // From the miscalibrated values to the rig's truth, then an alignment with them.
    void miscalibratedToAccept()
    {
        QSignalSpy finished(calibration.get(), &Calibration::Finished);
        const double startX = core->GetXPos();
        const int before = moves();
        QVERIFY(calibration->Start());
        // A host request meanwhile is refused, and the calibration goes on.
        QTRY_VERIFY_WITH_TIMEOUT(moves() > before + 3, 20000);
        QCOMPARE(request("BGALIGN"), QString("ALIGNFAIL:BUSY"));
        const int scanFrom = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitUntil([&] { return host->texts().mid(scanFrom).contains("SCANFAIL:BUSY"); }, 60000));
        QCOMPARE(testsupport::logMessages().filter("Gridle Stitcher: a calibration is running, start request refused").size(), 1);
        QVERIFY(finished.wait(180000) || finished.size() > 0);
        const CalibrationResult result = calibration->LastResult();
        QVERIFY2(result.complete, qPrintable(result.stopReason));
        qInfo("calibration took %.1f s", result.durationS);
        for (const CalibrationValue& v : result.values)
            qInfo("%s", qPrintable(v.text()));

        const rig::Scene scene = rig::Rig::instance().scene();
        const rig::Calibration& truth = scene.cal;
        const CalibrationValue* tl = find(result, decl::TLPixelSize);
        const CalibrationValue* mf = find(result, decl::MFPixelSize);
        const CalibrationValue* axis = find(result, decl::OverlayTLCenterV);
        const CalibrationValue* focus = find(result, decl::MFXFocusPosition);
        const CalibrationValue* column = find(result, decl::OverlayMFCenterV);
        const CalibrationValue* offset = find(result, decl::MFYOffsetPosition);
        for (const CalibrationValue* v : {tl, mf, axis, focus, column, offset})
            QVERIFY2(v && v->acceptable(), v ? qPrintable(v->text()) : "missing value");
        QVERIFY(std::fabs(tl->measured / truth.tlPixelUm - 1) < 0.002);
        QVERIFY(std::fabs(mf->measured / truth.mfPixelUm - 1) < 0.002);
        QVERIFY(std::fabs(axis->measured - truth.tlAxisCol) * truth.tlPixelUm <= 2.0);
        const double focusTruth = truth.mfZiiFocus - truth.tlPixelUm / 1000.0 * (column->measured - truth.mfCenterColumn);
        QVERIFY2(std::fabs(focus->measured - focusTruth) <= 0.005, qPrintable(QString::number(focusTruth, 'f', 4)));
        QVERIFY(std::fabs(offset->measured - truth.mfYOffset) <= 0.005);
        // Back where it started, A one turn on.
        QTRY_COMPARE_WITH_TIMEOUT(core->GetXPos(), startX, 10000);

        // Nothing stored before Accept: the file still has the wrong values.
        Registry* registry = Registry::AccessMemory();
        QCOMPARE(core->TLPixelSize.load(), 25.6 * 1.03);
        QVERIFY(registry->Content().contains("PMTLPXS:26.368"));
        const QString report = QDir::current().filePath(calibration::ReportFileName(result));
        QVERIFY(QFile::exists(report));

        const QStringList accepted = calibration->Accept();
        QCOMPARE(accepted.size(), 6);
        QCOMPARE(core->TLPixelSize.load(), tl->measured);
        QVERIFY(testsupport::logMessages().contains(QStringLiteral("Calibration: ") + accepted.first()));
        QCOMPARE(accepted.first(), QStringLiteral("PMTLPXS 26.368 -> ") + QString::number(tl->measured, 'g', 6));
        QFile saved(QDir::current().filePath("Registry.dat"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("PMTLPXS:" + QByteArray::number(tl->measured, 'g', 6)));
        QFile reportFile(report);
        QVERIFY(reportFile.open(QIODevice::ReadOnly));
        const QString reportText = QString::fromUtf8(reportFile.readAll());
        QVERIFY(reportText.contains(accepted.first()));
        // Every point: six X positions and nine angles on the top view, two sides' focus and Y
        // steps on the front view; every value.
        QVERIFY(reportText.count("top  ") >= 15);
        QVERIFY(reportText.count("front A ") >= 20);
        for (const CalibrationValue& v : result.values)
            QVERIFY(reportText.contains(v.text()));

        // With the accepted values the front alignment lands on the truth.
        QCOMPARE(request("BGRALIGN"), QString("ALIGNEND"));
        const rig::Scene after = rig::Rig::instance().scene();
        const double pixel = truth.tlPixelUm / 1000.0;
        const double rowError = after.topLargeCentre().y - after.stoneDiameterMm / 2.0 / pixel - PanoramaTopRow;
        const double yError = (after.axes.y - after.panoramaY()) / pixel;
        const double focusError = (after.axes.zii - after.frontFocusZii()) / pixel;
        qInfo("after Accept: truth top row %+.3f px, Y %+.3f px, ZII %+.3f px", rowError, yError, focusError);
        QVERIFY(std::fabs(rowError) <= 1.0);
        QVERIFY(std::fabs(yError) <= 1.0);
        QVERIFY(std::fabs(focusError) <= 1.0);
    }

    // The operator stops, and the host leaves mid-calibration: the run stops where it is, says
    // so, and stores nothing.
    void stopAndHostLeaves()
    {
        QSignalSpy finished(calibration.get(), &Calibration::Finished);
        int before = moves();
        QVERIFY(calibration->Start());
        QTRY_VERIFY_WITH_TIMEOUT(moves() > before + 3, 20000);
        const int movesAtStop = moves();
        calibration->Stop();
        QVERIFY(finished.wait(30000) || finished.size() > 0);
        QCOMPARE(calibration->LastResult().stopReason, QString("stopped by the operator"));
        QVERIFY(testsupport::logMessages().contains(
            "Calibration stopped: stopped by the operator; the axes stay where they are"));
        // At most the move under way when the stop came; none back to the start.
        QVERIFY(moves() <= movesAtStop + 1);
        QVERIFY(host->texts().filter(QRegularExpression("^MOVEX[^:]+:Y[^:]+:Z[^:]+:A")).isEmpty());

        QVERIFY(calibration->Start());
        QString why;
        QVERIFY(!calibration->Start(&why));
        QCOMPARE(why, QString("a calibration is running"));
        before = moves();
        QTRY_VERIFY_WITH_TIMEOUT(moves() > before + 3, 20000);
        host->disconnectFromStation();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 30000);
        const CalibrationResult result = calibration->LastResult();
        QVERIFY(!result.complete);
        QCOMPARE(result.stopReason, QString("the host left"));
        QVERIFY(testsupport::logMessages().contains("Calibration stopped: the host left; the axes stay where they are"));
        // Nothing stored: the running values and the file keep the wrong ones.
        QCOMPARE(core->TLPixelSize.load(), 25.6 * 1.03);
        QCOMPARE(core->MFXFocusPosition.load(), 15.05);
        QVERIFY(Registry::AccessMemory()->Content().contains("PMTLPXS:26.368"));
        QVERIFY(!calibration->Start(&why));
        QCOMPARE(why, QString("no host connected to move the axes"));
    }
};

QTEST_MAIN(TestCalibrationRig)
#include "tst_calibration_rig.moc"
