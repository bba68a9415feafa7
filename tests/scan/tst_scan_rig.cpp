// End to end: the host simulator asks the station, running over the simulated rig (top and front
// cameras, tracker, motion core, scan), for a girdle scan. The frame files must show the girdle
// at successive angles: the rig's girdle texture slides by pi * D / 360 per degree of A, so
// between two files it moves by the rotation step, which image correlation finds again.

#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "scan/scanpanorama.h"
#include "sim/host/hostsimulator.h"
#include "sim/rig/rig.h"
#include "sim/rig/rigscene.h"
#include "testsupport.h"
#include "vision/topstonetracker.h"
#include "../motion/stationteardown.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <memory>

namespace {

struct Shift
{
    double pixels = 0;   // how far the texture moved between the two frames (signed)
    double score = -1;   // normalised correlation at that shift
};

// The frame's structure (facet junctions and edges, marks) without its smooth shading, which
// would make every shift of a shaded facet look alike. Both frames are first blurred alike, so
// that a frame a little out of focus (the front focus follows the tracker's centre column,
// which varies by about a pixel between frames) still matches a sharp one.
cv::Mat structure(const cv::Mat& grey)
{
    cv::Mat image, smooth;
    grey.convertTo(image, CV_32F);
    cv::GaussianBlur(image, image, cv::Size(0, 0), 3.0);
    cv::GaussianBlur(image, smooth, cv::Size(0, 0), 10.0);
    return image - smooth;
}

// Finds a strip of the later frame in the whole earlier frame, once cut at its left edge (for
// texture moving left) and once at its right edge, and keeps the better match.
Shift textureShift(const cv::Mat& earlierGrey, const cv::Mat& laterGrey, int width)
{
    const cv::Mat earlier = structure(earlierGrey);
    const cv::Mat later = structure(laterGrey);
    const int margin = 20;
    Shift best;
    for (int direction : {-1, +1}) {
        const int x0 = direction < 0 ? 0 : later.cols - width;
        const cv::Mat templ = later(cv::Rect(x0, margin, width, later.rows - 2 * margin));
        cv::Mat result;
        cv::matchTemplate(earlier, templ, result, cv::TM_CCOEFF_NORMED);
        double maxValue = 0;
        cv::Point at;
        cv::minMaxLoc(result, nullptr, &maxValue, nullptr, &at);
        if (maxValue > best.score) {
            best.score = maxValue;
            best.pixels = at.x - x0;
        }
    }
    return best;
}

} // namespace

class TestScanRig : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    std::unique_ptr<HostSimulator> host;

    // The station over the rig with the host simulator connected, the stone's diameter measured.
    GridleStitcher* startStation(MotionCore** motion)
    {
        StationAssembly::bringUpTo(StationAssembly::Stage::Settings);
        Registry* registry = Registry::AccessMemory();
        registry->SetKey("CAMTLID", rig::Rig::TopLargeSerial);
        registry->SetKey("CAMMFID", rig::Rig::FrontSerial);
        registry->SetKey(Registry::SharedFolderKey, work->file("share"));
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        StationAssembly::bringUpTo(StationAssembly::Stage::MotionCore);
        VeltraxServer* server = VeltraxServer::AccessMemory();
        MotionCore* core = MotionCore::AccessMemory();
        core->OverlayMFFocalX = 300;
        // The tracker runs under the sanitizers on a shared machine: its answer may take longer
        // than a real station's limit, which this test is not about.
        core->MeasurementWaitMs = 60000;
        StationAssembly::bringUpTo(StationAssembly::Stage::GirdleScan);
        GridleStitcher* stitcher = GridleStitcher::AccessMemory();
        // A fifth of each frame overlaps the next: twelve frames of 30 degrees for a 5 mm stone.
        stitcher->CapturesCovering = 0.2;

        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setStrict(true);
        host->setSpeed(50);
        host->connectToStation("127.0.0.1", server->ListenPort());
        if (!host->waitForReady(30000)) {
            qWarning("the host simulator did not get ready");
            return nullptr;
        }
        if (!QTest::qWaitFor([&] { return std::fabs(core->GetStoneDiameter() - 5.0) < 0.2; }, 30000)) {
            qWarning("stone diameter %.3f mm, not 5 mm", core->GetStoneDiameter());
            return nullptr;
        }
        *motion = core;
        return stitcher;
    }

    // The stone 0.3 mm off the rotation axis: its front alignment changes a lot as A turns.
    static void placeWellOffAxis()
    {
        rig::Scene scene = rig::Rig::instance().scene();
        scene.offsetXMm = 0.3;
        scene.offsetYMm = 0.0;
        rig::Rig::instance().setScene(scene);
    }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        rig::Rig& r = rig::Rig::instance();
        r.reset();
        // The front camera first in the rig's table: opening it never waits on the top camera,
        // which is sampling by then.
        r.clearCameras();
        r.addCamera(rig::Rig::defaultCamera(rig::View::Front));
        r.addCamera(rig::Rig::defaultCamera(rig::View::TopLarge));
    }

    void cleanup()
    {
        host.reset();
        GridleStitcher::Destroy();
        teardown::DestroyStation();
        work.reset();
    }

    void hostScanShowsTheGirdleTurning()
    {
        MotionCore* core = nullptr;
        GridleStitcher* stitcher = startStation(&core);
        QVERIFY(stitcher);

        QSignalSpy panoramaReady(stitcher, &GridleStitcher::PanoramaReady);
        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitForText("SCANEND", from, 240000) >= 0);
        // The panorama is in the shared folder when the host reads "SCANEND".
        const cv::Mat stored = cv::imread(work->file("share/panorama.png").toStdString(), cv::IMREAD_COLOR);
        QVERIFY(!stored.empty());
        QCOMPARE(panoramaReady.count(), 1);
        // The front camera acknowledges its start-up snapshot ("SIDONE") whenever its first
        // frame is stored; the scan's conversation starts with "SCANBG".
        const QStringList all = host->texts().mid(from);
        QVERIFY(all.contains("SCANBG"));
        const QStringList texts = all.mid(all.indexOf("SCANBG"));
        QCOMPARE(texts.filter(QRegularExpression("^(GMS|INC|MOVE|IMG)")),
                 all.filter(QRegularExpression("^(GMS|INC|MOVE|IMG)")));
        QCOMPARE(texts.last(), QString("SCANEND"));
        QCOMPARE(host->violations(), QStringList());

        // Per frame: the front-camera alignment and the report, in order, each once its file
        // is stored; between frames one turn: by the step while the run-out is learnt, then to
        // A = 30 f together with the front alignment the run-out predicts.
        QList<int> reports;
        for (int i = 0; i < texts.size(); ++i) {
            if (texts.at(i).startsWith("IMGSCAP"))
                reports << i;
        }
        QCOMPARE(reports.size(), 12);
        for (int f = 0; f < reports.size(); ++f) {
            const QString report = texts.at(reports.at(f));
            QVERIFY2(report.startsWith(QString("IMGSCAP%1COORDS").arg(f)), qPrintable(report));
            QVERIFY2(report.endsWith("#5#30") || report.contains(QRegularExpression("#[45]\\.\\d+#30$")),
                     qPrintable(report));
        }
        const QStringList turned = texts.filter(QRegularExpression("^(INCA|MOVEX[^:]+:Y[^:]+:Z[^:]+:A[^:]+:F[^:]+:$)"));
        QCOMPARE(turned.size(), 11);
        const QRegularExpression combined("^MOVEX[^:]+:Y[^:]+:Z[^:]+:A([^:]+):F[^:]+:$");
        for (int f = 1; f < 12; ++f) {
            const QRegularExpressionMatch match = combined.match(turned.at(f - 1));
            QVERIFY2(turned.at(f - 1) == "INCA30" || (match.hasMatch() && match.captured(1).toDouble() == 30.0 * f),
                     qPrintable(turned.at(f - 1)));
        }
        // The rig's stone sits 0.18 mm off the axis: once learnt, the run-out predicts the
        // front alignment; every frame whose prediction did not hold was aligned in full.
        const QStringList messages = testsupport::logMessages();
        const int verified = messages.filter("predicted front alignment verified").size();
        QVERIFY(verified >= 1);
        QCOMPARE(messages.filter(QRegularExpression("^Alignment panorama done in ")).size(), 12 - verified);
        const int moves = testsupport::alignmentMoves(messages, "panorama");
        QVERIFY(moves >= 0);
        QCOMPARE(texts.filter(QRegularExpression("^MOVEX[^:]+:Y[^:]+:$")).size(), moves);
        QCOMPARE(texts.filter(QRegularExpression("^MOVEF[^:]+:$")).size(), moves);
        QCOMPARE(host->position(HostSimulator::A), 330.0);

        // The girdle texture slides by pi * D / 360 mm per degree: 30 degrees between files.
        const rig::Scene scene = rig::Rig::instance().scene();
        const double expected = M_PI * scene.stoneDiameterMm / 360.0 * 30.0 / (scene.cal.mfPixelUm / 1000.0);
        QVector<double> shifts;
        for (int f = 0; f + 1 < 12; ++f) {
            const QString a = work->file(QString("share/img_%1.png").arg(f, 2, 10, QChar('0')));
            const QString b = work->file(QString("share/img_%1.png").arg(f + 1, 2, 10, QChar('0')));
            const cv::Mat earlier = cv::imread(a.toStdString(), cv::IMREAD_GRAYSCALE);
            const cv::Mat later = cv::imread(b.toStdString(), cv::IMREAD_GRAYSCALE);
            QVERIFY2(!earlier.empty() && !later.empty(), qPrintable(a));
            const Shift shift = textureShift(earlier, later, 230);
            qInfo("img_%02d -> img_%02d: texture moved %+.0f px (expected %.1f), correlation %.3f", f, f + 1,
                  shift.pixels, expected, shift.score);
            QVERIFY(shift.score > 0.6);
            QVERIFY2(std::fabs(std::fabs(shift.pixels) - expected) <= 3.0, qPrintable(QString::number(shift.pixels)));
            shifts << shift.pixels;
        }
        // Always the same way round.
        for (double s : shifts)
            QCOMPARE(s > 0, shifts.first() > 0);

        // The panorama: every seam where the rig's texture says it is, the ring one
        // circumference wide, the same image on the window and in the file.
        const double pixelMm = scene.cal.mfPixelUm / 1000.0;
        const double circumference = M_PI * scene.stoneDiameterMm / pixelMm;
        const QRegularExpression report("^IMGSCAP(\\d+)COORDS[^&]+&[^&]+&([^#]+)#([^#]+)#[^#]+#([^#]+)#(.+)$");
        QVector<double> truth;
        double pixelSize = 0, diameter = 0, step = 0;
        for (int f : reports) {
            const QRegularExpressionMatch m = report.match(texts.at(f));
            QVERIFY2(m.hasMatch(), qPrintable(texts.at(f)));
            rig::Scene at = scene;
            at.axes.a = m.captured(2).toDouble();
            truth << at.frontTextureShiftMm() / pixelMm;
            pixelSize = m.captured(3).toDouble();
            diameter = m.captured(4).toDouble();
            step = m.captured(5).toDouble();
        }
        const panorama::Result result = stitcher->LastPanorama();
        QVERIFY(result.closed);
        QCOMPARE(result.coverageDeg, 360.0);
        QCOMPARE(int(result.seams.size()), 12);
        double sum = 0, worst = 0;
        for (const panorama::Seam& seam : result.seams) {
            double expectedPx = truth[seam.to] - truth[seam.from];
            expectedPx -= std::floor(expectedPx / circumference) * circumference;
            sum += std::fabs(seam.offsetPx - expectedPx);
            worst = std::max(worst, std::fabs(seam.offsetPx - expectedPx));
        }
        qInfo("panorama seams against the rig: mean %.2f px, max %.2f px; width %d px for %.1f px of girdle",
              sum / 12, worst, result.image.cols, circumference);
        QVERIFY2(sum / 12 <= 1.0 && worst <= 2.0, qPrintable(stitcher->PanoramaQuality().join('\n')));
        QVERIFY(std::fabs(result.image.cols - circumference) <= 0.01 * circumference);
        const cv::Mat shown = stitcher->getImage();
        QCOMPARE(shown.size(), stored.size());
        QCOMPARE(cv::norm(shown, stored, cv::NORM_INF), 0.0);
        const QByteArray log = testsupport::readAll("Logs.ini");
        QVERIFY(log.contains("Panorama seam 11->0: "));
        QVERIFY(log.contains("Panorama: 12 frames, "));

        // Offline, from the files and the numbers of the reports: the same image.
        std::vector<cv::Mat> files;
        for (int f = 0; f < 12; ++f)
            files.push_back(cv::imread(work->file(QString("share/img_%1.png").arg(f, 2, 10, QChar('0'))).toStdString()));
        const scanpanorama::Outcome replay = scanpanorama::Build(files, step, diameter, pixelSize);
        QCOMPARE(replay.result.image.size(), stored.size());
        QCOMPARE(cv::norm(replay.result.image, stored, cv::NORM_INF), 0.0);

        // The scan went round: the machine's rotation axis is learnt, and the next scan predicts
        // every frame from its first one (no turn by the step), landing as before.
        QVERIFY(testsupport::logMessages().filter("rotation axis learnt for the next stones").size() == 1);
        const int second = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitForText("SCANEND", second, 240000) >= 0);
        const QStringList again = host->texts().mid(second);
        QVERIFY2(!again.join(' ').contains("SCANFAIL"), qPrintable(again.filter("SCAN").join(' ')));
        QCOMPARE(again.filter(QRegularExpression("^IMGSCAP")).size(), 12);
        QCOMPARE(again.filter(QRegularExpression("^INCA")), QStringList());
        QCOMPARE(again.filter(QRegularExpression("^MOVEX[^:]+:Y[^:]+:Z[^:]+:A[^:]+:F[^:]+:$")).size(), 11);
        const QStringList secondLog = testsupport::logMessages();
        QVERIFY(secondLog.filter("front alignment predicted by the rotation axis learnt earlier").size() >= 1);
        QCOMPARE(secondLog.filter("did not hold, forgotten").size(), 0);
    }

    // A stone well off the axis: once its run-out is learnt, the turn and the front alignment go
    // out as one move and land within the tolerance; when the stone slips in the holder the next
    // prediction is off and that frame is aligned in full. The host's reports are the same.
    void predictedMovesFallBackWhenTheStoneSlips()
    {
        placeWellOffAxis();
        MotionCore* core = nullptr;
        GridleStitcher* stitcher = startStation(&core);
        QVERIFY(stitcher);
        const int from = host->messages().size();
        host->send("BGSCAN");
        const QRegularExpression combined("^MOVEX[^:]+:Y[^:]+:Z[^:]+:A[^:]+:F[^:]+:$");
        QVERIFY(host->waitUntil([&] { return !host->texts().mid(from).filter(combined).isEmpty(); }, 240000));
        QVERIFY(host->waitUntil([&] { return testsupport::logMessages().filter("predicted front alignment verified").size() > 0; }, 240000));
        rig::Scene slipped = rig::Rig::instance().scene();
        slipped.offsetYMm += 0.1;
        rig::Rig::instance().setScene(slipped);
        QVERIFY(host->waitForText("SCANEND", from, 240000) >= 0);

        const QStringList texts = host->texts().mid(from);
        QVERIFY(!texts.join(' ').contains("SCANFAIL"));
        const QStringList reports = texts.filter(QRegularExpression("^IMGSCAP"));
        QCOMPARE(reports.size(), 12);
        for (int f = 0; f < 12; ++f)
            QVERIFY2(reports.at(f).startsWith(QString("IMGSCAP%1COORDS").arg(f)), qPrintable(reports.at(f)));
        const QStringList log = testsupport::logMessages();
        QVERIFY(log.filter("predicted front alignment off").size() >= 1);
        // The last frame, taken after the slip: the stone where the front camera needs it.
        const rig::Scene end = rig::Rig::instance().scene();
        const double pixel = end.cal.tlPixelUm / 1000.0;
        const double topEdge = end.topLargeCentre().y - end.stoneDiameterMm / 2.0 / pixel;
        QVERIFY2(std::fabs(topEdge - core->OverlayMFFocalX) <= 1.0, qPrintable(QString::number(topEdge)));
        QVERIFY(std::fabs(end.axes.zii - end.frontFocusZii()) / pixel <= 1.0);
    }

    // A fault while the scan runs on predicted moves: the frame's check measurement or motion
    // wait fails with its reason, the host gets SCANFAIL then SCANEND, and no move follows.
    void faultDuringAPredictedScan_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("failure");
        QTest::newRow("Top Large camera frozen") << "freeze" << "SCANFAIL:CAMERA";
        QTest::newRow("host stops answering GMS") << "silent host" << "SCANFAIL:HOST";
    }
    void faultDuringAPredictedScan()
    {
        QFETCH(QString, fault);
        QFETCH(QString, failure);
        placeWellOffAxis();
        MotionCore* core = nullptr;
        GridleStitcher* stitcher = startStation(&core);
        QVERIFY(stitcher);
        // Bounds short enough for the fault to end the scan soon, long enough for a loaded machine.
        core->MeasurementWaitMs = 8000;
        core->StatusAnswerWaitMs = 8000;
        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitUntil([&] { return testsupport::logMessages().filter("predicted front alignment verified").size() > 0; }, 240000));
        if (fault == "freeze")
            QVERIFY(rig::Rig::instance().freezeCamera(rig::Rig::TopLargeSerial, true));
        else
            host->setAnswerStatusQueries(false);
        QVERIFY(host->waitForText("SCANEND", from, 120000) >= 0);

        const QStringList texts = host->texts().mid(from);
        const int failed = texts.indexOf(failure);
        QVERIFY2(failed >= 0, qPrintable(texts.filter("SCAN").join(' ')));
        QCOMPARE(texts.mid(failed + 1).filter(QRegularExpression("^(MOVE|INC)")), QStringList());
        QCOMPARE(texts.filter(QRegularExpression("^SCANEND$")).size(), 1);
        QVERIFY(texts.indexOf("SCANEND") > failed);
        // Every frame reported is on the disk; none after the fault.
        const QStringList reports = texts.filter(QRegularExpression("^IMGSCAP"));
        QVERIFY(reports.size() < 12);
        for (int f = 0; f < reports.size(); ++f)
            QVERIFY(QFile::exists(QDir(work->file("share")).filePath(QString("img_%1.png").arg(f, 2, 10, QChar('0')))));
        if (fault == "freeze")
            rig::Rig::instance().freezeCamera(rig::Rig::TopLargeSerial, false);
    }

    // Over the realistic side scene: girdle.csv, written before "SCANEND", one row per degree,
    // against the rig's own thickness around the stone.
    void hostScanWritesTheGirdleProfile()
    {
        rig::Scene scene = rig::Rig::instance().scene();
        scene.realisticSeed = 5;
        rig::Rig::instance().setScene(scene);
        MotionCore* core = nullptr;
        GridleStitcher* stitcher = startStation(&core);
        QVERIFY(stitcher);
        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitForText("SCANEND", from, 240000) >= 0);
        QVERIFY(!host->texts().mid(from).join(' ').contains("SCANFAIL"));
        QFile file(work->file("share/girdle.csv"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 361);
        QCOMPARE(lines.first(), QString("degree,upper_um,lower_um,thickness_um,source"));

        const cv::Size size = CamMF::AccessMemory()->getImage().size();
        const double pixelUm = rig::Rig::instance().scene().cal.mfPixelUm;
        double sum = 0, sumAbs = 0, worst = 0;
        int measured = 0;
        for (int d = 0; d < 360; ++d) {
            const QStringList row = lines.at(d + 1).split(',');
            QCOMPARE(row.size(), 5);
            QCOMPARE(row.at(0).toInt(), d);
            QVERIFY2(row.at(4) == "measured" || row.at(4) == "interpolated", qPrintable(lines.at(d + 1)));
            QVERIFY(std::fabs(row.at(3).toDouble() - (row.at(2).toDouble() - row.at(1).toDouble())) <= 0.011);
            if (row.at(4) != "measured")
                continue;
            rig::Scene at = rig::Rig::instance().scene();
            at.axes.a = d;
            const double truth = rig::sideTruth(rig::frontSideView(at, size), size).thicknessMid * pixelUm;
            const double error = row.at(3).toDouble() - truth;
            sum += error;
            sumAbs += std::fabs(error);
            worst = std::max(worst, std::fabs(error));
            ++measured;
        }
        qInfo("girdle.csv: %d degrees measured; thickness error against the rig: mean %+.2f um, mean |e| %.2f um, "
              "max %.2f um", measured, sum / measured, sumAbs / measured, worst);
        qInfo("%s", qPrintable(girdleprofile::Summary(stitcher->LastGirdleProfile())));
        QVERIFY(measured > 0);
        // The profile keeps what the side measurement gives: within 1 um of the rig on average.
        // Which frames a run takes changes with where A starts and how the stone ran out, and the
        // measurement still refuses about one realistic frame in ten (its share is scored by
        // scripts/girdles, not here): 12 of 12 frames gave 324-329 degrees, 10 of 12 gave 250-258,
        // so at least half the ring is asked for. Single degrees seen only at a frame's blurred
        // side can be several um off: their mean size ran 0.4 to 1.06 um, held to 1.5 um.
        QVERIFY2(measured >= 180 && std::fabs(sum / measured) <= 1.0 && sumAbs / measured <= 1.5,
                 qPrintable(QString("%1 degrees measured, mean error %2 um, mean |e| %3 um")
                                .arg(measured)
                                .arg(sum / measured)
                                .arg(sumAbs / measured)));
    }
};

QTEST_MAIN(TestScanRig)
#include "tst_scan_rig.moc"
