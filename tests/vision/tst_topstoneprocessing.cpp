#include "sim/rig/realisticscene.h"
#include "syntheticstone.h"
#include "vision/topstoneprocessing.h"

#include <opencv2/imgproc.hpp>

#include <QtTest>

#include <cmath>
#include <map>

using vision::TopStoneParams;
using vision::TopStoneResult;

Q_DECLARE_METATYPE(synthetic::Stone)
Q_DECLARE_METATYPE(synthetic::Imaging)
using Outline = std::vector<cv::Point>;
Q_DECLARE_METATYPE(Outline)
Q_DECLARE_METATYPE(cv::Mat)

namespace {
const cv::Size frameSize(640, 512);

std::vector<cv::Point> regularPolygon(int n, double cx, double cy, double r)
{
    std::vector<cv::Point> poly;
    for (int k = 0; k < n; ++k) {
        const double a = 2.0 * CV_PI * k / n;
        poly.emplace_back(cvRound(cx + r * std::cos(a)), cvRound(cy + r * std::sin(a)));
    }
    return poly;
}

// A crenellated block 100 px wide: its bottom edge (100 px) is the longest measured edge and
// its left side, the closing edge, is `side` px and the runner-up.
std::vector<cv::Point> crenellatedBlock(int side)
{
    return {{0, 0}, {25, 0}, {25, 20}, {75, 20}, {75, 0}, {100, 0}, {100, 20}, {90, 20},
            {90, 30}, {100, 30}, {100, 50}, {0, side}};
}

// A half disc of radius 150: p0-p1 is the 300 px diameter, the eight other edges are short
// chords of the arc.
std::vector<cv::Point> halfDisc()
{
    std::vector<cv::Point> poly{{0, 0}};
    for (int k = 0; k <= 7; ++k) {
        const double a = CV_PI * k / 8.0;
        poly.emplace_back(cvRound(150 + 150 * std::cos(a)), cvRound(150 * std::sin(a)));
    }
    return poly;
}

// One realistic view of the kind scripts/stones scores, small enough for every test run.
rig::RealisticView realisticView(const QString& kind, unsigned seed, double sizePx, rig::StoneTruth* truth)
{
    cv::RNG rng(seed);
    rig::RealisticView view;
    view.blurSigmaPx = rng.uniform(0.5, 1.3);
    view.noiseSigma = 2.5;
    view.noiseSeed = seed;
    rig::RealStone stone;
    stone.lengthPx = sizePx;
    stone.seed = seed * 31u + 7u;
    stone.darkRim = seed % 2 == 0;
    stone.centre = cv::Point2d(frameSize.width / 2.0 + rng.uniform(-60.0, 60.0), frameSize.height / 2.0 + rng.uniform(-40.0, 40.0));
    stone.rotationDeg = rng.uniform(0.0, 180.0);
    static const std::map<QString, std::pair<rig::StoneShape, double>> fancy = {
        {"oval", {rig::StoneShape::Oval, 0.7}},         {"pear", {rig::StoneShape::Pear, 0.62}},
        {"marquise", {rig::StoneShape::Marquise, 0.5}}, {"cushion", {rig::StoneShape::Cushion, 0.9}},
        {"princess", {rig::StoneShape::Princess, 1.0}}, {"emerald", {rig::StoneShape::Emerald, 0.7}},
        {"emerald dim", {rig::StoneShape::Emerald, 0.7}}};
    if (fancy.count(kind)) {
        stone.shape = fancy.at(kind).first;
        stone.widthRatio = fancy.at(kind).second;
    }
    if (kind.endsWith(" dim") || kind.startsWith("dim on"))
        stone.brightness = 0.65;
    if (kind == "clipped")
        stone.centre.x = frameSize.width - sizePx * 0.3;
    if (kind == "oversize") {
        stone.lengthPx = 900.0;
        stone.centre = cv::Point2d(frameSize.width / 2.0, frameSize.height / 2.0);
    }
    if (!kind.startsWith("empty"))
        view.stones.push_back(stone);
    if (kind == "two stones") {
        rig::RealStone other = stone;
        other.centre.x -= sizePx * 1.2;
        other.centre.y += 10.0;
        other.lengthPx = sizePx * 0.8;
        other.seed += 1;
        view.stones.push_back(other);
    }
    view.around = rig::randomSurroundings(seed, frameSize, stone.centre, sizePx / 2.0);
    rig::Surroundings& around = view.around;
    if (kind == "ring" || kind == "empty ring") {
        // A polished ring of the holder 6 px around the stone, or around nothing.
        around.holder = rig::Surroundings::Holder::Disc;
        around.holderCentre = stone.centre;
        around.ringInnerPx = sizePx / 2.0 + 6.0;
        around.ringWidthPx = seed % 2 == 0 ? 5.0 : 30.0;
        around.ringLevel = 215.0;
        around.holderRadiusPx = around.ringInnerPx + around.ringWidthPx + 20.0;
    } else if (kind == "dim on bright" || kind == "disc behind" || kind == "dim on a small disc") {
        around.holder = rig::Surroundings::Holder::Disc;
        around.holderCentre = stone.centre;
        around.holderLevel = kind == "dim on a small disc" ? 104.0 : 95.0;
        around.brightRim = kind != "dim on a small disc";
        // A disc just larger than the stone, brighter than the frame's own threshold.
        around.holderRadiusPx = (kind == "dim on a small disc" ? 0.65 : 2.5) * sizePx;
    } else if (kind.startsWith("empty jaws")) {
        // Grey worn jaws at an angle, closed on nothing, one of them wholly in view.
        around.holder = rig::Surroundings::Holder::Jaws;
        around.holderCentre = cv::Point2d(frameSize.width / 2.0, frameSize.height / 2.0);
        around.jawAngleDeg = 35.0;
        around.holderRadiusPx = 40.0;
        around.jawWidthPx = 110.0;
        around.jawLengthPx = 220.0;
        around.holderLevel = kind.endsWith("mid grey") ? 130.0 : 175.0;
    }
    *truth = rig::stoneTruth(stone);
    return view;
}

// Whole Top Large views (1024 x 1280) as scripts/stones renders them, of kinds that once misled
// the tracker; false for any other kind.
bool fullFrameView(const QString& kind, rig::RealisticView* view, rig::StoneTruth* truth)
{
    if (kind == "empty jaws, reflection at a corner") {
        // The glow of an out-of-focus reflection at the border, cut off by a grey jaw's edge
        // where the jaw leaves the frame: a bright blob of 30 px, sharp along the jaw only.
        view->blurSigmaPx = 0.6753;
        view->noiseSigma = 2.7733;
        view->noiseSeed = 3588198978u;
        view->around = rig::randomSurroundings(3855033149u, cv::Size(1024, 1280), cv::Point2d(657.85, 664.19), 128.36);
        view->around.holder = rig::Surroundings::Holder::Jaws;
        view->around.jawAngleDeg = 51.568;
        view->around.holderRadiusPx = 113.478;
        view->around.jawWidthPx = 177.468;
        view->around.jawLengthPx = 0.0;
        view->around.holderLevel = 90.391;
        *truth = rig::StoneTruth();
        return true;
    }
    if (kind == "pear, dark facets on its rounded side") {
        // Two dark facets as dark as the steel cut wide notches into the rounded side of a large
        // pear: no edge shows across them, and a pear has no opposite side to fill them from.
        view->blurSigmaPx = 1.1504;
        view->noiseSigma = 2.6258;
        view->noiseSeed = 430674937u;
        rig::RealStone stone;
        stone.shape = rig::StoneShape::Pear;
        stone.lengthPx = 450.531289;
        stone.widthRatio = 0.569421;
        stone.rotationDeg = 13.55448;
        stone.centre = cv::Point2d(236.908694, 239.355493);
        stone.brightness = 1.008241;
        stone.darkRim = true;
        stone.seed = 363511146u;
        view->stones = {stone};
        view->around = rig::randomSurroundings(1329836702u, cv::Size(1024, 1280), stone.centre, stone.lengthPx / 2.0);
        *truth = rig::stoneTruth(stone);
        return true;
    }
    if (kind == "emerald dim, a corner darker than the holder") {
        // A dark facet cuts off a corner, darker than the steel around it.
        view->blurSigmaPx = 0.944;
        view->noiseSigma = 1.55;
        view->noiseSeed = 3705859923u;
        rig::RealStone stone;
        stone.shape = rig::StoneShape::Emerald;
        stone.lengthPx = 145.159774;
        stone.widthRatio = 0.675888;
        stone.rotationDeg = 47.787654;
        stone.centre = cv::Point2d(869.500749, 911.022919);
        stone.brightness = 0.648331;
        stone.seed = 1823562231u;
        view->stones = {stone};
        view->around = rig::randomSurroundings(2137260924u, cv::Size(1024, 1280), stone.centre, stone.lengthPx / 2.0);
        *truth = rig::stoneTruth(stone);
        return true;
    }
    // A dim stone on a disc of grey 93 to 95: half-way up from the frame's own threshold only
    // one bright facet of it stands out, or none at all when the disc runs off the frame (and
    // is a clipped object at the frame's own threshold).
    struct DimOnDisc
    {
        const char* kind;
        double blur, noise;
        unsigned noiseSeed;
        double length, x, y, brightness;
        unsigned stoneSeed, around;
        double level, discRadius;
    };
    static const DimOnDisc dim[] = {
        {"dim on bright, one facet brighter", 0.633, 2.025, 357690507u, 102.68973, 364.776197, 257.814295, 0.612674,
         3215550182u, 786504409u, 92.752, 483.638},
        {"dim on bright, disc off the frame", 1.1691, 2.1078, 2494365931u, 57.275991, 781.953092, 352.108961, 0.612728,
         3401857521u, 1408634492u, 95.139, 375.321},
    };
    for (const DimOnDisc& d : dim) {
        if (kind != d.kind)
            continue;
        view->blurSigmaPx = d.blur;
        view->noiseSigma = d.noise;
        view->noiseSeed = d.noiseSeed;
        rig::RealStone stone;
        stone.lengthPx = d.length;
        stone.centre = cv::Point2d(d.x, d.y);
        stone.brightness = d.brightness;
        stone.darkRim = true;
        stone.seed = d.stoneSeed;
        view->stones = {stone};
        view->around = rig::randomSurroundings(d.around, cv::Size(1024, 1280), stone.centre, stone.lengthPx / 2.0);
        view->around.holder = rig::Surroundings::Holder::Disc;
        view->around.holderLevel = d.level;
        view->around.brightRim = false;
        view->around.holderRadiusPx = d.discRadius;
        *truth = rig::stoneTruth(stone);
        return true;
    }
    return false;
}

bool sameImage(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

int pixelsOfColour(const cv::Mat& bgr, const cv::Vec3b& colour)
{
    cv::Mat mask;
    cv::inRange(bgr, cv::Scalar(colour[0], colour[1], colour[2]), cv::Scalar(colour[0], colour[1], colour[2]), mask);
    return cv::countNonZero(mask);
}
} // namespace

class TestTopStoneProcessing : public QObject
{
    Q_OBJECT

private slots:
    void findsStone_data()
    {
        QTest::addColumn<synthetic::Stone>("stone");
        QTest::addColumn<synthetic::Imaging>("imaging");
        synthetic::Imaging sharp;
        synthetic::Imaging noisy;
        noisy.noiseSigma = 2.0;
        synthetic::Imaging blurredNoisy;
        blurredNoisy.noiseSigma = 2.0;
        blurredNoisy.blurSigma = 1.2;
        synthetic::Stone disc;
        disc.cx = 321.3;
        disc.cy = 250.7;
        disc.radius = 100.4;
        synthetic::Stone brilliant = disc;
        brilliant.girdleFacets = 64;
        brilliant.rotation = 0.02;
        synthetic::Stone small = disc;
        small.radius = 72.5;
        small.cx = 100.2;
        small.cy = 90.9;
        synthetic::Stone large = brilliant;
        large.radius = 170.0;
        large.cx = 400.5;
        large.cy = 300.25;
        QTest::newRow("disc, sharp") << disc << sharp;
        QTest::newRow("disc, noise") << disc << noisy;
        QTest::newRow("disc, blur and noise") << disc << blurredNoisy;
        QTest::newRow("brilliant, sharp") << brilliant << sharp;
        QTest::newRow("brilliant, blur and noise") << brilliant << blurredNoisy;
        QTest::newRow("small disc near the corner") << small << blurredNoisy;
        QTest::newRow("large brilliant") << large << blurredNoisy;
    }
    void findsStone()
    {
        QFETCH(synthetic::Stone, stone);
        QFETCH(synthetic::Imaging, imaging);
        const cv::Mat frame = synthetic::render(frameSize, stone, imaging);
        vision::TopStoneImages images;
        const TopStoneResult r = vision::processTopStoneFrame(frame, TopStoneParams(), images);

        QVERIFY(r.found());
        QCOMPARE(QString::fromStdString(r.reason), QString());
        // The silhouette's centroid: a few hundredths of a pixel from the true centre.
        QVERIFY2(std::hypot(r.CenterX - stone.cx, r.CenterY - stone.cy) < 0.2,
                 qPrintable(QString("centre %1, %2").arg(r.CenterX).arg(r.CenterY)));
        // The edge points lie on the true outline, to a fraction of a pixel (the polygonal
        // brilliant's extremity is a vertex or the middle of a facet, within 0.01 px of the
        // radius at these sizes).
        const double reach = stone.girdleFacets ? 0.3 : 0.2;
        QVERIFY2(std::abs(r.FocalX - (stone.cx + stone.radius)) <= reach, qPrintable(QString::number(r.FocalX)));
        QVERIFY2(std::abs(r.MFY - (stone.cy - stone.radius)) <= reach, qPrintable(QString::number(r.MFY)));
        QCOMPARE(r.FocalY, r.CenterY);
        QCOMPARE(r.MFX, r.CenterX);

        // What the window shows: the frame, the outline in cyan, the two white edge marks.
        QCOMPARE(images.result.size(), frame.size());
        QVERIFY(pixelsOfColour(images.result, cv::Vec3b(255, 255, 0)) > 4 * stone.radius);
        const cv::Vec3b white(255, 255, 255);
        QCOMPARE(images.result.at<cv::Vec3b>(int(r.FocalY), int(r.FocalX) + 12), white);
        QCOMPARE(images.result.at<cv::Vec3b>(int(r.MFY) - 12, int(r.MFX)), white);
        QCOMPARE(images.hsv.type(), CV_8UC3);
        QCOMPARE(images.thresh.type(), CV_8UC1);
        QCOMPARE(images.contour.size(), frame.size());
        QVERIFY(cv::countNonZero(images.contour) > 0);
    }

    void reportsNoStone_data()
    {
        QTest::addColumn<synthetic::Stone>("stone");
        QTest::addColumn<int>("areaMin");
        QTest::addColumn<int>("areaMax");
        synthetic::Stone none;
        none.radius = 0.0;
        synthetic::Stone tooSmall;
        tooSmall.radius = 60.0; // about 11300 px^2
        synthetic::Stone tooLarge;
        tooLarge.radius = 200.0; // about 125600 px^2
        synthetic::Stone fits;
        fits.radius = 100.0;
        QTest::newRow("empty holder") << none << 15000 << 99999;
        QTest::newRow("below the lower bound") << tooSmall << 15000 << 99999;
        QTest::newRow("above the upper bound") << tooLarge << 15000 << 99999;
        QTest::newRow("bounds moved above the stone") << fits << 40000 << 99999;
        QTest::newRow("bounds moved below the stone") << fits << 1000 << 20000;
    }
    void reportsNoStone()
    {
        QFETCH(synthetic::Stone, stone);
        QFETCH(int, areaMin);
        QFETCH(int, areaMax);
        TopStoneParams params;
        params.contourSizeMin = areaMin;
        params.contourSizeMax = areaMax;
        const cv::Mat frame = synthetic::render(frameSize, stone);
        vision::TopStoneImages images;
        const TopStoneResult r = vision::processTopStoneFrame(frame, params, images);
        QCOMPARE(QString::fromStdString(r.reason), QString("NOSTONE"));
        QCOMPARE(r.CenterX, -1.0);
        QCOMPARE(r.CenterY, -1.0);
        QCOMPARE(r.FocalX, -1.0);
        QCOMPARE(r.FocalY, -1.0);
        QCOMPARE(r.MFX, -1.0);
        QCOMPARE(r.MFY, -1.0);
        QVERIFY(sameImage(images.result, frame));
    }

    void outlineSelection_data()
    {
        QTest::addColumn<Outline>("outline");
        QTest::addColumn<int>("areaMin");
        QTest::addColumn<int>("areaMax");
        QTest::addColumn<bool>("accepted");
        // Regular shapes of 4 to 8 corners are stones (princess, emerald, marquise outlines).
        QTest::newRow("regular octagon accepted") << regularPolygon(8, 200, 200, 100) << 15000 << 99999 << true;
        QTest::newRow("square accepted") << Outline{{100, 100}, {300, 100}, {300, 300}, {100, 300}} << 15000 << 99999 << true;
        QTest::newRow("rectangle 2:1 accepted") << Outline{{100, 100}, {400, 100}, {400, 250}, {100, 250}} << 15000 << 99999 << true;
        // Irregular blobs are not.
        QTest::newRow("bar 5:1 rejected") << Outline{{50, 100}, {550, 100}, {550, 200}, {50, 200}} << 15000 << 99999 << false;
        QTest::newRow("L-shaped blob rejected")
            << Outline{{100, 100}, {400, 100}, {400, 180}, {180, 180}, {180, 400}, {100, 400}} << 15000 << 99999 << false;
        QTest::newRow("triangle rejected") << Outline{{100, 100}, {400, 100}, {250, 360}} << 15000 << 99999 << false;
        QTest::newRow("9 vertices accepted") << regularPolygon(9, 200, 200, 100) << 15000 << 99999 << true;
        QTest::newRow("longest exactly twice the runner rejected") << crenellatedBlock(50) << 100 << 99999 << false;
        QTest::newRow("longest under twice the runner accepted") << crenellatedBlock(51) << 100 << 99999 << true;
        // 12-gon of radius 100 at integer vertices; its polygon area is a whole number.
        const std::vector<cv::Point> dodecagon = regularPolygon(12, 200, 200, 100);
        const int area = int(cv::contourArea(dodecagon));
        QCOMPARE(double(area), cv::contourArea(dodecagon));
        QTest::newRow("area equal to the lower bound rejected") << dodecagon << area << 99999 << false;
        QTest::newRow("area above the lower bound accepted") << dodecagon << area - 1 << 99999 << true;
        QTest::newRow("area equal to the upper bound rejected") << dodecagon << 15000 << area << false;
        QTest::newRow("area below the upper bound accepted") << dodecagon << 15000 << area + 1 << true;
        QTest::newRow("only long edge p0-p1 is not measured") << halfDisc() << 15000 << 99999 << true;
    }
    void outlineSelection()
    {
        QFETCH(Outline, outline);
        QFETCH(int, areaMin);
        QFETCH(int, areaMax);
        QFETCH(bool, accepted);
        TopStoneParams params;
        params.contourSizeMin = areaMin;
        params.contourSizeMax = areaMax;
        const vision::OutlineSelection s = vision::selectStoneOutline({outline}, params);
        QCOMPARE(!s.accepted.empty(), accepted);
        QCOMPARE(s.result.found(), accepted);
    }

    void edgeRegularity_data()
    {
        QTest::addColumn<Outline>("polygon");
        QTest::addColumn<bool>("regular");
        std::vector<cv::Point> longFirst = halfDisc();
        std::vector<cv::Point> longSecond = longFirst;
        std::rotate(longSecond.begin(), longSecond.end() - 1, longSecond.end());
        std::vector<cv::Point> longClosing = longFirst;
        std::rotate(longClosing.begin(), longClosing.begin() + 1, longClosing.end());
        QTest::newRow("long edge p0-p1, not measured") << longFirst << true;
        QTest::newRow("long edge p1-p2, measured") << longSecond << false;
        // The closing edge starts both the longest and the runner-up, so it never stands alone.
        QTest::newRow("long closing edge") << longClosing << true;
        QTest::newRow("longest exactly twice the runner") << Outline{{0, 0}, {0, 10}, {20, 10}, {20, 0}, {10, 0}} << false;
        QTest::newRow("longest under twice the runner") << Outline{{0, 0}, {0, 10}, {20, 10}, {20, 0}, {11, 0}} << true;
        QTest::newRow("regular 9-gon") << regularPolygon(9, 100, 100, 80) << true;
    }
    void edgeRegularity()
    {
        QFETCH(Outline, polygon);
        QFETCH(bool, regular);
        QCOMPARE(vision::passesEdgeRegularity(polygon), regular);
    }

    void secondOutlineInView_data()
    {
        QTest::addColumn<double>("secondRadius");
        QTest::addColumn<bool>("ambiguous");
        // A comparable second stone: nobody can say which one is meant.
        QTest::newRow("two stones") << 90.0 << true;
        QTest::newRow("second stone half the size") << 50.0 << true;
        // Dust or a glint a fraction of the stone's size (the area window opened to let it in):
        // the stone is the large one, with all six values from its outline.
        QTest::newRow("small blob beside the stone") << 28.0 << false;
    }
    void secondOutlineInView()
    {
        QFETCH(double, secondRadius);
        QFETCH(bool, ambiguous);
        synthetic::Stone second;
        second.cx = 140;
        second.cy = 130;
        second.radius = secondRadius;
        synthetic::Stone stone;
        stone.cx = 440.4;
        stone.cy = 330.7;
        stone.radius = 110;
        cv::Mat frame = synthetic::render(frameSize, second);
        cv::max(frame, synthetic::render(frameSize, stone), frame);
        TopStoneParams params;
        params.contourSizeMin = 500;
        vision::TopStoneImages images;
        const TopStoneResult r = vision::processTopStoneFrame(frame, params, images);
        if (ambiguous) {
            QCOMPARE(QString::fromStdString(r.reason), QString("AMBIGUOUS"));
            QCOMPARE(r.CenterX, -1.0);
            QCOMPARE(r.FocalX, -1.0);
            QCOMPARE(r.MFY, -1.0);
            QVERIFY(sameImage(images.result, frame));
            return;
        }
        QCOMPARE(QString::fromStdString(r.reason), QString());
        QVERIFY(std::hypot(r.CenterX - stone.cx, r.CenterY - stone.cy) < 0.2);
        QVERIFY(std::abs(r.FocalX - (stone.cx + stone.radius)) < 0.2);
        QVERIFY(std::abs(r.MFY - (stone.cy - stone.radius)) < 0.2);
        // Only the stone's outline is drawn.
        const cv::Vec3b cyan(255, 255, 0);
        QCOMPARE(images.result.at<cv::Vec3b>(cvRound(stone.cy + stone.radius - 0.5), cvRound(stone.cx)), cyan);
        QVERIFY(images.result.at<cv::Vec3b>(cvRound(second.cy), cvRound(second.cx - second.radius + 0.5)) != cyan);
    }

    void stoneTouchingTheBorderIsClipped_data()
    {
        QTest::addColumn<double>("cx");
        QTest::addColumn<double>("cy");
        QTest::addColumn<double>("radius");
        QTest::newRow("right border") << frameSize.width - 95.0 << 200.0 << 95.0;
        QTest::newRow("top border") << 300.0 << 60.0 << 100.0;
        QTest::newRow("left border, mostly out") << -40.0 << 250.0 << 120.0;
        QTest::newRow("larger than the view") << 320.0 << 256.0 << 500.0;
    }
    void stoneTouchingTheBorderIsClipped()
    {
        // A stone cut by the frame has no measurable centre or edge: it is never reported,
        // and the reason says why (the border is not the stone's edge).
        QFETCH(double, cx);
        QFETCH(double, cy);
        QFETCH(double, radius);
        synthetic::Stone stone;
        stone.radius = radius;
        stone.cx = cx;
        stone.cy = cy;
        const cv::Mat frame = synthetic::render(frameSize, stone);
        TopStoneParams params;
        params.contourSizeMin = 500;
        params.contourSizeMax = 3000000;
        vision::TopStoneImages images;
        const TopStoneResult r = vision::processTopStoneFrame(frame, params, images);
        QCOMPARE(QString::fromStdString(r.reason), QString("CLIPPED"));
        QCOMPARE(r.CenterX, -1.0);
        QCOMPARE(r.FocalX, -1.0);
        QCOMPARE(r.MFY, -1.0);
        QVERIFY(sameImage(images.result, frame));
    }

    void notchesAndDimStones_data()
    {
        QTest::addColumn<int>("body");
        QTest::addColumn<int>("notches");
        QTest::newRow("six dark facets reach the rim") << 220 << 6;
        QTest::newRow("dim stone, below the operator's threshold") << 120 << 0;
        QTest::newRow("dim stone with dark facets") << 110 << 4;
    }
    void notchesAndDimStones()
    {
        QFETCH(int, body);
        QFETCH(int, notches);
        synthetic::Stone stone;
        stone.cx = 300.3;
        stone.cy = 260.6;
        stone.radius = 120.2;
        stone.body = body;
        synthetic::Imaging im;
        im.noiseSigma = 2.0;
        im.blurSigma = 0.8;
        cv::Mat frame = synthetic::render(frameSize, stone, im);
        // Dark facets: wedges from half the radius out to the rim, spread unevenly round it,
        // as dark as the holder at the rim itself.
        for (int k = 0; k < notches; ++k) {
            const double a0 = 0.3 + k * 0.9, a1 = a0 + 0.35;
            std::vector<cv::Point> wedge{cv::Point(cvRound(stone.cx + 0.5 * stone.radius * std::cos(a0 + 0.17)),
                                                   cvRound(stone.cy + 0.5 * stone.radius * std::sin(a0 + 0.17)))};
            for (double a = a0; a <= a1; a += 0.02)
                wedge.emplace_back(cvRound(stone.cx + (stone.radius - 1.5) * std::cos(a)),
                                   cvRound(stone.cy + (stone.radius - 1.5) * std::sin(a)));
            cv::fillConvexPoly(frame, wedge, cv::Scalar(70, 70, 70), cv::LINE_AA);
        }
        vision::TopStoneImages images;
        const TopStoneResult r = vision::processTopStoneFrame(frame, TopStoneParams(), images);
        QVERIFY2(r.found(), r.reason.c_str());
        QVERIFY2(std::hypot(r.CenterX - stone.cx, r.CenterY - stone.cy) < 0.3,
                 qPrintable(QString("centre %1, %2").arg(r.CenterX).arg(r.CenterY)));
        QVERIFY2(std::abs(r.FocalX - (stone.cx + stone.radius)) < 0.4, qPrintable(QString::number(r.FocalX)));
        QVERIFY2(std::abs(r.MFY - (stone.cy - stone.radius)) < 0.4, qPrintable(QString::number(r.MFY)));
    }

    void failingStepKeepsLaterImages_data()
    {
        QTest::addColumn<int>("cannyKernel");
        QTest::addColumn<bool>("fails");
        QTest::newRow("aperture 3") << 3 << false;
        QTest::newRow("aperture 7") << 7 << false;
        QTest::newRow("even aperture 4") << 4 << true;
        QTest::newRow("aperture 0") << 0 << true;
        QTest::newRow("aperture 9") << 9 << true;
    }
    void failingStepKeepsLaterImages()
    {
        QFETCH(int, cannyKernel);
        QFETCH(bool, fails);
        synthetic::Stone stone;
        const cv::Mat frame = synthetic::render(frameSize, stone);
        vision::TopStoneImages images;
        const cv::Mat previousEdges(4, 4, CV_8UC1, cv::Scalar(7));
        images.contour = previousEdges;
        TopStoneParams params;
        params.cannyThreshKernel = cannyKernel;
        bool raised = false;
        try {
            vision::processTopStoneFrame(frame, params, images);
        } catch (const cv::Exception& e) {
            raised = true;
            QVERIFY(QString(e.what()).contains("Aperture size should be odd between 3 and 7"));
        }
        QCOMPARE(raised, fails);
        // Steps before the edges always show the new frame, unmarked when the frame failed.
        QCOMPARE(images.hsv.size(), frame.size());
        QCOMPARE(images.thresh.size(), frame.size());
        QCOMPARE(images.threshTransformed.size(), frame.size());
        QCOMPARE(sameImage(images.result, frame), fails);
        QCOMPARE(sameImage(images.contour, previousEdges), fails);
        QCOMPARE(previousEdges.at<uchar>(0, 0), uchar(7));
    }

    void unusableFrames_data()
    {
        QTest::addColumn<cv::Mat>("frame");
        QTest::newRow("empty") << cv::Mat();
        QTest::newRow("one channel") << cv::Mat(64, 64, CV_8UC1, cv::Scalar(200));
        QTest::newRow("two channels") << cv::Mat(64, 64, CV_8UC2, cv::Scalar(200, 200));
    }
    void unusableFrames()
    {
        QFETCH(cv::Mat, frame);
        vision::TopStoneImages images;
        QVERIFY_EXCEPTION_THROWN(vision::processTopStoneFrame(frame, TopStoneParams(), images), cv::Exception);
        QVERIFY(images.contour.empty());
    }

    void publishedImagesAreNeverRewritten()
    {
        synthetic::Stone stone;
        vision::TopStoneImages images;
        vision::processTopStoneFrame(synthetic::render(frameSize, stone), TopStoneParams(), images);
        const vision::TopStoneImages handedOut = images;
        vision::TopStoneImages snapshot;
        snapshot.hsv = images.hsv.clone();
        snapshot.thresh = images.thresh.clone();
        snapshot.threshTransformed = images.threshTransformed.clone();
        snapshot.contour = images.contour.clone();
        snapshot.result = images.result.clone();
        stone.cx += 40;
        TopStoneParams params;
        params.dilate = 3;
        vision::processTopStoneFrame(synthetic::render(frameSize, stone), params, images);
        QVERIFY(sameImage(handedOut.hsv, snapshot.hsv));
        QVERIFY(sameImage(handedOut.thresh, snapshot.thresh));
        QVERIFY(sameImage(handedOut.threshTransformed, snapshot.threshTransformed));
        QVERIFY(sameImage(handedOut.contour, snapshot.contour));
        QVERIFY(sameImage(handedOut.result, snapshot.result));
        QVERIFY(!sameImage(images.result, snapshot.result));
    }

    void deferredHsvIsTheSameImage()
    {
        synthetic::Stone stone;
        synthetic::Imaging im;
        im.noiseSigma = 2.0;
        const cv::Mat frame = synthetic::render(frameSize, stone, im);
        vision::TopStoneImages eager;
        vision::TopStoneImages deferred;
        const TopStoneResult a = vision::processTopStoneFrame(frame, TopStoneParams(), eager);
        const TopStoneResult b = vision::processTopStoneFrame(frame, TopStoneParams(), deferred, true);
        QVERIFY(deferred.hsv.empty());
        QVERIFY(sameImage(vision::topStoneHsv(deferred.frame), eager.hsv));
        QVERIFY(deferred.contour.empty());
        QVERIFY(sameImage(vision::topStoneEdges(deferred.thresh, deferred.cannyLow, deferred.cannyHigh, deferred.cannyKernel),
                          eager.contour));
        QCOMPARE(b.CenterX, a.CenterX);
        QCOMPARE(b.MFY, a.MFY);
        QVERIFY(sameImage(deferred.result, eager.result));
        QVERIFY(vision::topStoneHsv(cv::Mat()).empty());
    }

    void realisticViews_data()
    {
        // Bounds loose enough for any machine; scripts/stones measures the real figures.
        QTest::addColumn<QString>("kind");
        QTest::addColumn<unsigned>("seed");
        QTest::addColumn<double>("sizePx");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<double>("centreLimit");
        QTest::addColumn<double>("edgeLimit");
        QTest::newRow("round 0.8 mm") << "round" << 1u << 31.3 << "" << 0.5 << 0.75;
        QTest::newRow("round 2 mm") << "round" << 2u << 78.0 << "" << 0.5 << 0.75;
        QTest::newRow("round 5 mm") << "round" << 3u << 195.0 << "" << 0.5 << 0.75;
        QTest::newRow("round 9 mm") << "round" << 4u << 350.0 << "" << 0.5 << 0.75;
        QTest::newRow("round dim 3 mm") << "round dim" << 5u << 117.0 << "" << 0.5 << 0.75;
        QTest::newRow("round dim 7 mm") << "round dim" << 6u << 273.0 << "" << 0.5 << 0.75;
        for (const char* shape : {"oval", "pear", "marquise", "cushion", "princess", "emerald"})
            QTest::newRow(shape) << shape << 7u << 220.0 << "" << 2.0 << 100.0;
        // Dark facets at two corners, as dark as the holder at the operator's threshold.
        QTest::newRow("emerald, dark facets at its corners") << "emerald" << 31u << 220.0 << "" << 0.5 << 100.0;
        QTest::newRow("clipped") << "clipped" << 8u << 200.0 << "CLIPPED" << 0.0 << 0.0;
        QTest::newRow("two stones") << "two stones" << 9u << 150.0 << "AMBIGUOUS" << 0.0 << 0.0;
        QTest::newRow("empty holder") << "empty" << 10u << 150.0 << "NOSTONE" << 0.0 << 0.0;
        QTest::newRow("empty holder, reflection at the border") << "empty" << 12u << 150.0 << "NOSTONE" << 0.0 << 0.0;
        QTest::newRow("oversize") << "oversize" << 11u << 150.0 << "CLIPPED" << 0.0 << 0.0;
        // Holders and grounds that look like a stone: a polished ring around it (thin, wide),
        // a bright disc behind it with a bright rim, grey jaws on nothing.
        QTest::newRow("ring around the stone, thin") << "ring" << 14u << 150.0 << "" << 0.5 << 0.75;
        QTest::newRow("ring around the stone, wide") << "ring" << 15u << 100.0 << "" << 0.5 << 0.75;
        QTest::newRow("dim stone on a bright disc") << "dim on bright" << 16u << 120.0 << "" << 0.5 << 1.0;
        // The disc, brighter than the frame's own threshold, is found there as a stone; the
        // stone stands clear of it half-way up to the operator's threshold.
        QTest::newRow("small dim stone on a bright disc just larger") << "dim on a small disc" << 16u << 60.0 << "" << 0.5 << 1.0;
        QTest::newRow("dim emerald") << "emerald dim" << 7u << 160.0 << "" << 2.0 << 100.0;
        // Dark facets at the corners, some as dark as the holder: the faint edge across a notch,
        // or the opposite corner of the symmetric stone, gives the silhouette back.
        QTest::newRow("dim emerald, dark facets at its corners") << "emerald dim" << 31u << 160.0 << "" << 0.3 << 1.0;
        // Tips rounded by blur: the extremities lie where the edges' lines meet.
        QTest::newRow("marquise, tips to a pixel") << "marquise" << 7u << 220.0 << "" << 0.3 << 1.0;
        QTest::newRow("empty holder ring") << "empty ring" << 18u << 150.0 << "NOSTONE" << 0.0 << 0.0;
        QTest::newRow("empty grey jaws at an angle") << "empty jaws" << 19u << 150.0 << "NOSTONE" << 0.0 << 0.0;
        // Both jaws in view, one of them not worn enough to look ragged: the other is its twin.
        for (unsigned seed : {19u, 20u})
            QTest::newRow(qPrintable(QString("empty mid grey jaws, seed %1").arg(seed))) << "empty jaws, mid grey" << seed << 150.0 << "NOSTONE" << 0.0 << 0.0;
        QTest::newRow("reflection at a jaw's corner") << "empty jaws, reflection at a corner" << 0u << 0.0 << "NOSTONE" << 0.0 << 0.0;
        QTest::newRow("dim stone on a bright disc, one facet brighter") << "dim on bright, one facet brighter" << 0u << 0.0 << "" << 0.5 << 1.0;
        QTest::newRow("dim stone on a bright disc running off the frame") << "dim on bright, disc off the frame" << 0u << 0.0 << "" << 0.5 << 1.0;
        QTest::newRow("pear, dark facets on its rounded side") << "pear, dark facets on its rounded side" << 0u << 0.0 << "" << 0.6 << 1.0;
        QTest::newRow("dim emerald, a corner darker than the holder") << "emerald dim, a corner darker than the holder" << 0u << 0.0 << "" << 0.3 << 1.0;
    }
    void realisticViews()
    {
        QFETCH(QString, kind);
        QFETCH(unsigned, seed);
        QFETCH(double, sizePx);
        QFETCH(QString, reason);
        QFETCH(double, centreLimit);
        QFETCH(double, edgeLimit);
        rig::StoneTruth truth;
        rig::RealisticView view;
        const bool fullFrame = fullFrameView(kind, &view, &truth);
        if (!fullFrame)
            view = realisticView(kind, seed, sizePx, &truth);
        const cv::Mat frame = rig::renderRealistic(view, fullFrame ? cv::Size(1024, 1280) : frameSize);
        TopStoneParams params;
        params.contourSizeMin = 500;
        params.contourSizeMax = 3000000;
        vision::TopStoneImages images;
        const TopStoneResult r = vision::processTopStoneFrame(frame, params, images);
        QCOMPARE(QString::fromStdString(r.reason), reason);
        if (!reason.isEmpty()) {
            QCOMPARE(r.CenterX, -1.0);
            return;
        }
        const double centre = std::hypot(r.CenterX - truth.centroid.x, r.CenterY - truth.centroid.y);
        QVERIFY2(centre <= centreLimit, qPrintable(QString("centre %1 px off").arg(centre)));
        QVERIFY2(std::abs(r.FocalX - truth.right) <= edgeLimit, qPrintable(QString("right %1").arg(r.FocalX - truth.right)));
        QVERIFY2(std::abs(r.MFY - truth.top) <= edgeLimit, qPrintable(QString("top %1").arg(r.MFY - truth.top)));
    }

    void accuracyOverManyStones_data()
    {
        QTest::addColumn<bool>("brilliant");
        QTest::newRow("discs") << false;
        QTest::newRow("brilliant outlines") << true;
    }
    void accuracyOverManyStones()
    {
        QFETCH(bool, brilliant);
        const std::vector<synthetic::Stone> stones = synthetic::randomStones(frameSize, 40, 2024, brilliant);
        double sum = 0.0, worst = 0.0, diameterSum = 0.0, edgeSum = 0.0, edgeBias = 0.0;
        for (std::size_t i = 0; i < stones.size(); ++i) {
            synthetic::Imaging im;
            im.noiseSigma = 2.0;
            im.blurSigma = 0.8;
            im.seed = unsigned(100 + i);
            vision::TopStoneImages images;
            const TopStoneResult r = vision::processTopStoneFrame(synthetic::render(frameSize, stones[i], im),
                                                                  TopStoneParams(), images);
            QVERIFY(r.found());
            const double e = std::hypot(r.CenterX - stones[i].cx, r.CenterY - stones[i].cy);
            sum += e;
            worst = std::max(worst, e);
            const double diameter = (r.FocalX - r.CenterX) + (r.CenterY - r.MFY);
            diameterSum += std::abs(diameter - 2.0 * stones[i].radius) / (2.0 * stones[i].radius);
            edgeSum += std::abs(r.FocalX - (stones[i].cx + stones[i].radius));
            edgeBias += r.FocalX - (stones[i].cx + stones[i].radius);
        }
        const double mean = sum / stones.size();
        const double diameterPercent = 100.0 * diameterSum / stones.size();
        // Regression guard on a small sample; bench_vision reports the 200-stone figures.
        // (The centroid of the simplified polygon would scatter by 0.23 px on average and up
        // to 1.7 px.)
        QVERIFY2(mean <= 0.1, qPrintable(QString("mean centre error %1 px").arg(mean)));
        QVERIFY2(worst <= 0.3, qPrintable(QString("worst centre error %1 px").arg(worst)));
        QVERIFY2(diameterPercent <= 0.5, qPrintable(QString("diameter error %1 %").arg(diameterPercent)));
        // Sub-pixel right edge (whole outline pixels were 0.5 to 1.5 px inside).
        QVERIFY2(edgeSum / stones.size() <= 0.25, qPrintable(QString("right edge error %1 px").arg(edgeSum / stones.size())));
        QVERIFY2(std::abs(edgeBias / stones.size()) <= 0.15, qPrintable(QString("right edge bias %1 px").arg(edgeBias / stones.size())));
    }
};

QTEST_APPLESS_MAIN(TestTopStoneProcessing)
#include "tst_topstoneprocessing.moc"
