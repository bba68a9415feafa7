#include "realisticside.h"
#include "vision/girdleband.h"
#include "vision/girdlemeasure.h"
#include "vision/gridleprocessing.h"

#include <opencv2/imgproc.hpp>

#include <QtTest>

#include <cmath>
#include <limits>
#include <stdexcept>

using vision::GridleParams;

Q_DECLARE_METATYPE(cv::Vec4i)
Q_DECLARE_METATYPE(cv::Mat)
Q_DECLARE_METATYPE(rig::SideView)

namespace {
bool sameImage(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

// A side view of a girdle: a bright band between darker crown and pavilion, with a few facet
// junctions across it and sensor noise.
cv::Mat girdleFrame(const cv::Size& size, double noise = 3.0, unsigned seed = 5)
{
    cv::Mat grey(size, CV_8UC1, cv::Scalar(60));
    const int top = size.height * 2 / 5;
    const int bottom = size.height * 3 / 5;
    cv::rectangle(grey, cv::Point(0, top), cv::Point(size.width - 1, bottom), cv::Scalar(190), cv::FILLED);
    for (int x = size.width / 8; x < size.width; x += size.width / 4)
        cv::line(grey, cv::Point(x, top), cv::Point(x + 20, bottom), cv::Scalar(120), 3);
    if (noise > 0.0) {
        cv::Mat n(size, CV_16SC1);
        cv::RNG(seed).fill(n, cv::RNG::NORMAL, 0.0, noise);
        cv::Mat wide;
        grey.convertTo(wide, CV_16SC1);
        wide += n;
        wide.convertTo(grey, CV_8UC1);
    }
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}

// A girdle of the realistic side scene, level and in focus, in the middle of a small frame.
rig::SideView sideView(rig::GirdleFinish finish)
{
    rig::SideView v;
    v.stone.finish = finish;
    v.stone.girdleGrey = finish == rig::GirdleFinish::Polished ? 85.0 : 165.0;
    v.stone.seed = 11;
    v.stone.thicknessMm = 0.1;
    v.stone.scallopDepthMm = 0.006;
    v.aDeg = 37.0;
    v.centreRow = 250.0;
    v.noiseSigma = 2.5;
    v.vignetting = 0.2;
    v.dust = 4;
    return v;
}

std::vector<uchar> distinctValues(const cv::Mat& m)
{
    std::vector<uchar> seen;
    for (int v = 0; v < 256; ++v) {
        cv::Mat mask = (m == v);
        if (cv::countNonZero(mask) > 0)
            seen.push_back(uchar(v));
    }
    return seen;
}
} // namespace

class TestGridleProcessing : public QObject
{
    Q_OBJECT

private slots:
    void fastGradientIsIdentical_data()
    {
        QTest::addColumn<cv::Mat>("grey");
        cv::Mat uniformNoise(97, 131, CV_8UC1);
        cv::RNG(3).fill(uniformNoise, cv::RNG::UNIFORM, 0, 256);
        cv::Mat checker(64, 64, CV_8UC1);
        for (int y = 0; y < checker.rows; ++y)
            for (int x = 0; x < checker.cols; ++x)
                checker.at<uchar>(y, x) = ((x + y) % 2) ? 255 : 0;
        cv::Mat ramps(40, 300, CV_8UC1);
        for (int y = 0; y < ramps.rows; ++y)
            for (int x = 0; x < ramps.cols; ++x)
                ramps.at<uchar>(y, x) = uchar((x * 7 + y * 13) % 256);
        cv::Mat frameGrey;
        cv::cvtColor(girdleFrame(cv::Size(1280, 1024)), frameGrey, cv::COLOR_BGR2GRAY);
        QTest::newRow("uniform noise, odd size") << uniformNoise;
        QTest::newRow("one-pixel checkerboard, saturating both ways") << checker;
        QTest::newRow("wrapping ramps") << ramps;
        QTest::newRow("girdle frame 1280x1024") << frameGrey;
        QTest::newRow("single row") << cv::Mat(uniformNoise.row(5).clone());
        QTest::newRow("single column") << cv::Mat(uniformNoise.col(9).clone());
        QTest::newRow("flat") << cv::Mat(20, 20, CV_8UC1, cv::Scalar(77));
    }
    void fastGradientIsIdentical()
    {
        QFETCH(cv::Mat, grey);
        for (const cv::Point d : {cv::Point(1, 0), cv::Point(0, 1)}) {
            cv::Mat reference, fast;
            vision::risingGradientReference(grey, reference, d.x, d.y);
            vision::risingGradient(grey, fast, d.x, d.y);
            QCOMPARE(fast.type(), CV_8UC1);
            QVERIFY(sameImage(fast, reference));
        }
    }

    void lineFilter_data()
    {
        QTest::addColumn<cv::Vec4i>("segment");
        QTest::addColumn<bool>("kept");
        QTest::newRow("level, A left of B (180)") << cv::Vec4i(0, 10, 100, 10) << true;
        QTest::newRow("level, A right of B (0)") << cv::Vec4i(100, 10, 0, 10) << false;
        QTest::newRow("falling toward B by 30") << cv::Vec4i(0, 10, 87, 60) << true;
        QTest::newRow("rising toward B by 30") << cv::Vec4i(0, 60, 87, 10) << false;
        QTest::newRow("falling toward B by 45 (135)") << cv::Vec4i(0, 0, 50, 50) << false;
        QTest::newRow("vertical") << cv::Vec4i(5, 0, 5, 80) << false;
    }
    void lineFilter()
    {
        QFETCH(cv::Vec4i, segment);
        QFETCH(bool, kept);
        cv::Mat all = cv::Mat::zeros(120, 120, CV_8UC1);
        cv::Mat near = cv::Mat::zeros(120, 120, CV_8UC1);
        vision::drawSegments({segment}, all, near);
        QCOMPARE(all.at<uchar>(segment[1], segment[0]), uchar(255));
        QCOMPARE(all.at<uchar>(segment[3], segment[2]), uchar(255));
        QCOMPARE(cv::countNonZero(near) > 0, kept);
        if (kept)
            QVERIFY(sameImage(near, all));
    }

    void angleBounds_data()
    {
        QTest::addColumn<double>("degrees");
        QTest::addColumn<bool>("kept");
        QTest::newRow("exactly 140") << 140.0 << false;
        QTest::newRow("just above 140") << 140.000001 << true;
        QTest::newRow("180") << 180.0 << true;
        QTest::newRow("0") << 0.0 << false;
        QTest::newRow("-179") << -179.0 << false;
    }
    void angleBounds()
    {
        QFETCH(double, degrees);
        QFETCH(bool, kept);
        QCOMPARE(vision::isNearHorizontalAngle(degrees), kept);
    }

    void frameImages()
    {
        const cv::Mat frame = girdleFrame(cv::Size(640, 480));
        vision::GridleImages images;
        vision::processGridleFrame(frame, GridleParams(), images);
        // The result is the frame as received: not smoothed, nothing drawn.
        QVERIFY(sameImage(images.result, frame));
        QVERIFY(images.result.data != frame.data);
        for (const cv::Mat* m : {&images.grad, &images.thresh, &images.threshTransformed, &images.canny,
                                 &images.cannyTransformed, &images.linesDrawing, &images.linesProcessing}) {
            QCOMPARE(m->size(), frame.size());
            QCOMPARE(m->type(), CV_8UC1);
        }
        // Strongest gradient black, flat areas white.
        double lo = 0, hi = 0;
        cv::minMaxLoc(images.grad, &lo, &hi);
        QCOMPARE(lo, 0.0);
        QCOMPARE(hi, 255.0);
        // Threshold morphology defaults (0, 0): the transformed threshold is the threshold.
        QVERIFY(sameImage(images.threshTransformed, images.thresh));
        // The adaptive threshold writes ThreshMin, saturated: 164.7 gives 165.
        QCOMPARE(distinctValues(images.thresh), (std::vector<uchar>{0, 165}));
    }

    void edgeMorphologyDefaults_data()
    {
        QTest::addColumn<double>("noise");
        QTest::newRow("clean girdle") << 0.0;
        QTest::newRow("noisy girdle, thousands of contours") << 3.0;
    }
    void edgeMorphologyDefaults()
    {
        // The edge image is the contours of the Canny edges redrawn one by one, then dilated
        // 10 x 10 and eroded 7 x 7 with rectangles.
        QFETCH(double, noise);
        const cv::Mat frame = girdleFrame(cv::Size(320, 240), noise);
        vision::GridleImages images;
        vision::processGridleFrame(frame, GridleParams(), images);
        std::vector<std::vector<cv::Point>> contours;
        std::vector<cv::Vec4i> hierarchy;
        cv::findContours(images.canny, contours, hierarchy, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
        QVERIFY(!contours.empty());
        if (noise > 0.0)
            QVERIFY(contours.size() > 1000);
        cv::Mat expected = cv::Mat::zeros(frame.size(), CV_8UC1);
        for (int i = 0; i < int(contours.size()); ++i)
            cv::drawContours(expected, contours, i, cv::Scalar(255), 1, cv::LINE_8, hierarchy, 0);
        cv::dilate(expected, expected, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(10, 10)),
                   cv::Point(-1, -1), 1, cv::BORDER_CONSTANT);
        cv::erode(expected, expected, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)),
                  cv::Point(-1, -1), 1, cv::BORDER_CONSTANT);
        QVERIFY(sameImage(images.cannyTransformed, expected));
    }

    void thresholdValueSaturates_data()
    {
        QTest::addColumn<double>("threshMin");
        QTest::addColumn<int>("written");
        QTest::newRow("300 saturates to 255") << 300.0 << 255;
        QTest::newRow("255") << 255.0 << 255;
        QTest::newRow("100.4 rounds to 100") << 100.4 << 100;
    }
    void thresholdValueSaturates()
    {
        QFETCH(double, threshMin);
        QFETCH(int, written);
        GridleParams params;
        params.threshMin = threshMin;
        vision::GridleImages images;
        vision::processGridleFrame(girdleFrame(cv::Size(320, 240)), params, images);
        QCOMPARE(distinctValues(images.thresh), (std::vector<uchar>{0, uchar(written)}));
    }

    void flatFrameHasDefinedGradient()
    {
        // No gradient anywhere: nothing to scale by. The gradient image is all white and the
        // frame goes through without an error; no segment is found with the defaults.
        const cv::Mat flat(240, 320, CV_8UC3, cv::Scalar(128, 128, 128));
        vision::GridleImages images;
        vision::processGridleFrame(flat, GridleParams(), images);
        QCOMPARE(cv::countNonZero(images.grad == 255), flat.rows * flat.cols);
        QCOMPARE(cv::countNonZero(images.linesDrawing), 0);
        QCOMPARE(cv::countNonZero(images.linesProcessing), 0);
    }

    void segmentsFoundOnStrongLines()
    {
        GridleParams params;
        params.linesThreshold = 80;
        vision::GridleImages images;
        vision::processGridleFrame(girdleFrame(cv::Size(640, 480), 0.0), params, images);
        QVERIFY(cv::countNonZero(images.linesDrawing) > 0);
        // Every near-horizontal pixel is also in the drawing of all segments.
        cv::Mat outside;
        cv::bitwise_and(images.linesProcessing, ~images.linesDrawing, outside);
        QCOMPARE(cv::countNonZero(outside), 0);
    }

    void unusableResolutions_data()
    {
        QTest::addColumn<double>("rho");
        QTest::addColumn<double>("theta");
        QTest::newRow("rho 0") << 0.0 << 0.017453292519943295;
        QTest::newRow("theta 0") << 10.0 << 0.0;
        QTest::newRow("negative rho") << -1.0 << 0.017453292519943295;
        QTest::newRow("rho 0.001: vote table of gigabytes") << 0.001 << 0.017453292519943295;
        QTest::newRow("theta beyond 2 pi: no angle") << 10.0 << 7.0;
        QTest::newRow("not a number") << std::nan("") << 0.017453292519943295;
    }
    void unusableResolutions()
    {
        QFETCH(double, rho);
        QFETCH(double, theta);
        GridleParams params;
        params.linesRho = rho;
        params.linesTheta = theta;
        vision::GridleImages images;
        const cv::Mat stale(2, 2, CV_8UC1, cv::Scalar(9));
        images.linesDrawing = stale;
        QVERIFY_EXCEPTION_THROWN(vision::processGridleFrame(girdleFrame(cv::Size(320, 240)), params, images),
                                 std::invalid_argument);
        // Steps before the transform are done; the line images are the new, empty ones.
        QCOMPARE(images.cannyTransformed.size(), cv::Size(320, 240));
        QCOMPARE(images.linesDrawing.size(), cv::Size(320, 240));
        QCOMPARE(cv::countNonZero(images.linesDrawing), 0);
        QCOMPARE(stale.at<uchar>(0, 0), uchar(9));
    }

    // The girdle measurement on the rig's realistic side view, against the view's own truth.
    void girdleMeasurement_data()
    {
        QTest::addColumn<rig::SideView>("view");
        QTest::addColumn<QString>("reason");
        using F = rig::GirdleFinish;
        QTest::newRow("frosted") << sideView(F::Frosted) << "";
        QTest::newRow("polished, reflection streak") << sideView(F::Polished) << "";
        QTest::newRow("faceted") << sideView(F::Faceted) << "";
        rig::SideView v = sideView(F::Frosted);
        v.stone.scallopDepthMm = 0.02;
        v.stone.levelErrorDeg = 2.0;
        v.stone.levelPhaseDeg = 120.0;
        v.stone.thicknessVariation = 0.3;
        QTest::newRow("scalloped, tilted, thickness varying") << v << "";
        v = sideView(F::Frosted);
        v.stone.thicknessMm = 0.035;
        QTest::newRow("thin") << v << "";
        v = sideView(F::Faceted);
        v.defocusMm = 0.04; // blur sigma 3 px at the middle
        QTest::newRow("off focus, measurable") << v << "";
        v = sideView(F::Frosted);
        v.facetBelowGrey = v.stone.girdleGrey;
        QTest::newRow("facet below as bright as the girdle") << v << "";
        v = sideView(F::Frosted);
        v.flare = v.inscription = v.jaw = true;
        QTest::newRow("flare, glyphs, jaw") << v << "";
        v = sideView(F::Polished);
        v.facetAboveGrey = v.stone.girdleGrey;
        QTest::newRow("polished, facet above of its shade") << v << "";
        v = sideView(F::Polished);
        v.inscription = true;
        QTest::newRow("polished, glyphs inside the band") << v << "";
        v = sideView(F::Polished);
        v.aDeg = 22.5; // the facet above changes at the middle of the frame
        v.facetAboveGrey = v.stone.girdleGrey / 0.9 + 4.0;
        QTest::newRow("polished, upper edge a few grey levels over half the frame") << v << "";
        v = sideView(F::Frosted);
        v.aDeg = 22.5;
        v.facetBelowGrey = v.stone.girdleGrey + 4.0;
        QTest::newRow("lower edge a few grey levels over half the frame") << v << "";
        v = sideView(F::Polished);
        v.facetAboveGrey = v.stone.girdleGrey + 6.0;
        v.jaw = true;
        QTest::newRow("polished, facet above of its shade, jaw: the streak is no band") << v << girdle::ReasonNoGirdle;
        v = sideView(F::Frosted);
        v.facetAboveGrey = v.stone.girdleGrey - 6.0;
        v.jaw = true;
        QTest::newRow("upper edge a few grey levels over the whole frame, jaw") << v << "";
        v = sideView(F::Frosted);
        v.centreRow = -200.0;
        QTest::newRow("only facets in view") << v << girdle::ReasonNoGirdle;
        v = sideView(F::Frosted);
        v.centreRow = 20.0;
        QTest::newRow("band runs off the top") << v << girdle::ReasonClipped;
        v = sideView(F::Polished);
        v.centreRow = 490.0;
        QTest::newRow("polished band runs off the bottom") << v << girdle::ReasonClipped;
        v = sideView(F::Faceted);
        v.defocusMm = 0.25; // sigma 20 px
        QTest::newRow("far out of focus") << v << "refused";
    }
    void girdleMeasurement()
    {
        QFETCH(rig::SideView, view);
        QFETCH(QString, reason);
        const cv::Size size(640, 512);
        const girdle::Measurement m = girdle::measureGirdle(rig::renderSide(view, size));
        if (!reason.isEmpty()) {
            QVERIFY(!m.ok);
            // A girdle blurred beyond use may also show no edges at all.
            if (reason != "refused")
                QCOMPARE(m.reason, reason);
            return;
        }
        const rig::SideTruth truth = rig::sideTruth(view, size);
        QVERIFY2(m.ok, qPrintable(m.reason));
        QVERIFY2(std::abs(m.topMid - truth.topMid) < 1.0, qPrintable(QString::number(m.topMid - truth.topMid)));
        QVERIFY2(std::abs(m.bottomMid - truth.bottomMid) < 1.0, qPrintable(QString::number(m.bottomMid - truth.bottomMid)));
        QVERIFY2(std::abs(m.tiltDeg - truth.tiltDeg) < 0.1, qPrintable(QString::number(m.tiltDeg - truth.tiltDeg)));
        QCOMPARE(m.thicknessPx, m.bottomMid - m.topMid);
        QCOMPARE(m.thicknessUm, m.thicknessPx * 1.27);
        QCOMPARE(int(m.top.size()), size.width);
        QVERIFY(m.minThicknessPx <= m.thicknessPx && m.thicknessPx <= m.maxThicknessPx);
        QVERIFY(m.edgeWidthPx > 0.0 && m.edgeWidthPx < 2.563 * truth.sigmaMidPx + 4.0);
        // Every column given as measured holds both edges near the truth; where an edge hides
        // at a side the columns are left unmeasured rather than placed by a held thickness.
        int measured = 0;
        for (int x = 0; x < size.width; ++x) {
            const double t = m.top[size_t(x)], b = m.bottom[size_t(x)];
            if (std::isnan(t) || std::isnan(b))
                continue;
            ++measured;
            // A side of the frame out of focus places its edges less closely.
            const double tolerance = 1.0 + 0.25 * m.edgeWidthPx;
            const double et = t - truth.top[size_t(x)], eb = b - truth.bottom[size_t(x)];
            QVERIFY2(std::abs(et) < tolerance && std::abs(eb) < tolerance,
                     qPrintable(QStringLiteral("column %1: %2 %3").arg(x).arg(et).arg(eb)));
        }
        QVERIFY(measured >= size.width / 2);
    }

    // The band put together from candidate paths: 40 strips of 8 px, the band's edges at rows
    // 100 and 160 (the upper hidden over the left half), a soft reflection's flank at 125 over
    // the whole width, and a sharp stroke at 140 over a few strips inside the band.
    void girdleBandTakesTheOutermostSharpPair()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const size_t strips = 40;
        girdle::EdgeTrace upper, lower, streak, stroke;
        for (girdle::EdgeTrace* t : {&upper, &lower, &streak, &stroke}) {
            t->y.assign(strips, nan);
            t->rise.assign(strips, nan);
        }
        for (size_t s = 0; s < strips; ++s) {
            lower.y[s] = 160.0 + 0.02 * s;
            lower.rise[s] = 2.5;
            streak.y[s] = 125.0;
            streak.rise[s] = 16.0;
            if (s >= 20) {
                upper.y[s] = 100.0 + 0.02 * s;
                upper.rise[s] = 2.6;
            }
            if (s >= 5 && s < 12) {
                stroke.y[s] = 140.0;
                stroke.rise[s] = 2.4;
            }
        }
        girdle::BandRules rules;
        girdle::BandEdges band = girdle::assembleBand({streak, stroke, lower, upper}, rules);
        QVERIFY(band.found);
        QVERIFY(std::isnan(band.top[5]));
        QCOMPARE(band.top[30], upper.y[30]);
        QCOMPARE(band.bottom[5], lower.y[5]);
        // The hidden half of the upper edge lies beyond the strips where both edges were seen:
        // it stays unmeasured, and is placed by the band's thickness only when asked to hold it.
        std::vector<double> heldTop = band.top, heldBottom = band.bottom;
        girdle::bridgeByThickness(band.top, band.bottom);
        QVERIFY(std::isnan(band.top[5]));
        QCOMPARE(band.top[30], upper.y[30]);
        girdle::bridgeByThickness(heldTop, heldBottom, true);
        QVERIFY(std::abs(heldTop[5] - (heldBottom[5] - (lower.y[20] - upper.y[20]))) < 1e-9);

        // An upper edge seen over too little of the frame makes no band.
        for (size_t s = 0; s < 34; ++s)
            upper.y[s] = nan;
        QVERIFY(!girdle::assembleBand({lower, upper}, rules).found);
    }

    // The lower edge keeps to the curve most of its strips lie on: a stretch where the path ran
    // up a slanted junction is dropped, the rest stays.
    void girdleLowerEdgeDropsASlantedStretch()
    {
        std::vector<double> bottom(40);
        for (size_t s = 0; s < bottom.size(); ++s)
            bottom[s] = s < 28 ? 300.0 + 0.1 * s : 300.0 + 0.1 * s - 0.6 * (s - 27) * 8;
        girdle::keepSmoothLowerEdge(bottom, 8);
        for (size_t s = 0; s < 28; ++s)
            QVERIFY(!std::isnan(bottom[s]));
        for (size_t s = 31; s < 40; ++s)
            QVERIFY2(std::isnan(bottom[s]), qPrintable(QString::number(s)));

        // Over a whole frame (160 strips), a stretch that leaves the edge gradually (a
        // reflection's flank touching it) is dropped from where it is about a pixel off, and the
        // curve returned is the edge's own.
        bottom.assign(160, 0.0);
        for (size_t s = 0; s < bottom.size(); ++s)
            bottom[s] = 300.0 + 0.05 * s + (s >= 120 ? 0.4 * (s - 120) : 0.0);
        const girdle::LowerCurve curve = girdle::keepSmoothLowerEdge(bottom, 8);
        QVERIFY(curve.found);
        for (size_t s = 0; s < 120; ++s) {
            const double off = curve.at(double(s)) - (300.0 + 0.05 * s);
            QVERIFY2(!std::isnan(bottom[s]) && std::abs(off) < 0.3, qPrintable(QStringLiteral("%1: %2").arg(s).arg(off)));
        }
        for (size_t s = 124; s < 160; ++s)
            QVERIFY2(std::isnan(bottom[s]), qPrintable(QString::number(s)));
    }

    void evenCannyApertureStopsAfterThreshold()
    {
        GridleParams params;
        params.cannyThreshKernel = 4;
        vision::GridleImages images;
        const cv::Mat previous(3, 3, CV_8UC1, cv::Scalar(1));
        images.canny = previous;
        images.cannyTransformed = previous;
        QVERIFY_EXCEPTION_THROWN(vision::processGridleFrame(girdleFrame(cv::Size(320, 240)), params, images),
                                 cv::Exception);
        QCOMPARE(images.threshTransformed.size(), cv::Size(320, 240));
        QVERIFY(sameImage(images.canny, previous));
        QVERIFY(sameImage(images.cannyTransformed, previous));
    }
};

QTEST_APPLESS_MAIN(TestGridleProcessing)
#include "tst_gridleprocessing.moc"
