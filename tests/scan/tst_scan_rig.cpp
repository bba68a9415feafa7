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
#include "sim/host/hostsimulator.h"
#include "sim/rig/rig.h"
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
        Logs::AccessMemory();
        Registry* registry = Registry::AccessMemory();
        registry->SetKey("CAMTLID", rig::Rig::TopLargeSerial);
        registry->SetKey("CAMMFID", rig::Rig::FrontSerial);
        registry->SetKey(Registry::SharedFolderKey, work->file("share"));
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        VeltraxServer* server = VeltraxServer::AccessMemory();
        CamVSharedConfig::AccessMemory();
        CamTL::AccessMemory();
        CamMF::AccessMemory();
        CamTS::AccessMemory();
        TopStoneTracker::AccessMemory();
        MotionCore* core = MotionCore::AccessMemory();
        core->OverlayMFFocalX = 300;
        GridleStitcher* stitcher = GridleStitcher::AccessMemory();
        // A fifth of each frame overlaps the next: twelve frames of 30 degrees for a 5 mm stone.
        stitcher->CapturesCovering = 0.2;

        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setStrict(true);
        host->setSpeed(50);
        host->connectToStation("127.0.0.1", server->ListenPort());
        QVERIFY(host->waitForReady(10000));
        QTRY_VERIFY_WITH_TIMEOUT(std::fabs(core->GetStoneDiameter() - 5.0) < 0.2, 10000);

        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitForText("SCANEND", from, 240000) >= 0);
        // The front camera acknowledges its start-up snapshot ("SIDONE") whenever its first
        // frame is stored; the scan's conversation starts with "SCANBG".
        const QStringList all = host->texts().mid(from);
        QVERIFY(all.contains("SCANBG"));
        const QStringList texts = all.mid(all.indexOf("SCANBG"));
        QCOMPARE(texts.filter(QRegularExpression("^(GMS|INC|MOVE|IMG)")),
                 all.filter(QRegularExpression("^(GMS|INC|MOVE|IMG)")));
        QCOMPARE(texts.last(), QString("SCANEND"));
        QCOMPARE(host->violations(), QStringList());

        // Per frame: status queries, the front-camera alignment, the report, then one rotation.
        QList<int> reports;
        for (int i = 0; i < texts.size(); ++i) {
            if (texts.at(i).startsWith("IMGSCAP"))
                reports << i;
        }
        QCOMPARE(reports.size(), 12);
        int previous = 0;
        for (int f = 0; f < reports.size(); ++f) {
            const QStringList frame = texts.mid(previous, reports.at(f) - previous + 1);
            QVERIFY2(frame.last().startsWith(QString("IMGSCAP%1COORDS").arg(f)), qPrintable(frame.last()));
            QVERIFY2(frame.last().endsWith("#5#30") || frame.last().contains(QRegularExpression("#[45]\\.\\d+#30$")),
                     qPrintable(frame.last()));
            QVERIFY(frame.count("GMS") >= 4);
            QCOMPARE(frame.filter(QRegularExpression("^MOVEX[^:]+:Y[^:]+:$")).size(), 2);
            QCOMPARE(frame.filter(QRegularExpression("^MOVEF[^:]+:$")).size(), 2);
            QCOMPARE(frame.filter(QRegularExpression("^INCA")).size(), f == 0 ? 0 : 1);
            previous = reports.at(f) + 1;
        }
        QCOMPARE(texts.mid(previous).filter(QRegularExpression("^INCA")).size(), 0);
        QCOMPARE(texts.count("INCA30"), 11);
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
    }
};

QTEST_MAIN(TestScanRig)
#include "tst_scan_rig.moc"
