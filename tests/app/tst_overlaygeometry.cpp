#include "app/imagedisplay.h"
#include "app/overlaygeometry.h"

#include <QImage>

#include <QtTest>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

using overlay::Segment;

Q_DECLARE_METATYPE(std::vector<int>)

// Guide-mark geometry and the mouse selection of an area of interest, in image pixels.
class TestOverlayGeometry : public QObject
{
    Q_OBJECT

    static overlay::TopLargeInputs typicalInputs()
    {
        overlay::TopLargeInputs in;
        in.width = 1944;
        in.height = 2592;
        in.centerH = 1296;
        in.circlesNumber = 5;
        in.circlesSpace = 17;
        in.chargingH = 400;
        in.chargingV = 400;
        in.focalX = 100;
        in.focalY = 1200;
        in.focusZ = 15;
        in.currentZ = 14.9;
        in.pixelSize = 25.6;
        in.focusZII = 15;
        in.currentZII = 15.0512;
        in.frontColumn = 972;
        in.frontFocalRow = 300;
        return in;
    }

    static bool hasColour(const overlay::Marks& marks, const cv::Scalar& colour)
    {
        for (const Segment& s : marks.segments)
            if (s.colour == colour)
                return true;
        return false;
    }

private slots:
    void circleRadiiAndColours_data()
    {
        QTest::addColumn<int>("number");
        QTest::addColumn<double>("space");
        QTest::addColumn<std::vector<int>>("radii");
        QTest::addColumn<std::vector<int>>("colours"); // B, G, R triples, flattened

        QTest::newRow("three circles of 20.5") << 3 << 20.5 << std::vector<int>{20, 41, 61}
                                               << std::vector<int>{0, 255, 0, 127, 128, 0, 170, 85, 0};
        QTest::newRow("no circle") << 0 << 17.0 << std::vector<int>{} << std::vector<int>{};
        QTest::newRow("spacing truncated") << 1 << 17.9 << std::vector<int>{17} << std::vector<int>{0, 255, 0};
        QTest::newRow("fourth colour") << 4 << 10.0 << std::vector<int>{10, 20, 30, 40}
                                       << std::vector<int>{0, 255, 0, 127, 128, 0, 170, 85, 0, 189, 66, 0};
    }
    void circleRadiiAndColours()
    {
        QFETCH(int, number);
        QFETCH(double, space);
        QFETCH(std::vector<int>, radii);
        QFETCH(std::vector<int>, colours);
        const std::vector<overlay::Circle> circles = overlay::centringCircles(number, space, 400, 300);
        QCOMPARE(int(circles.size()), int(radii.size()));
        for (size_t i = 0; i < circles.size(); ++i) {
            QCOMPARE(circles[i].radius, double(radii[i]));
            QCOMPARE(circles[i].cx, 400.0);
            QCOMPARE(circles[i].cy, 300.0);
            QCOMPARE(circles[i].colour, cv::Scalar(colours[3 * i], colours[3 * i + 1], colours[3 * i + 2]));
        }
    }

    void topLargeMarksFollowTheAxes()
    {
        const overlay::Marks marks = overlay::topLargeMarks(typicalInputs());
        QCOMPARE(int(marks.circles.size()), 5);
        QCOMPARE(int(marks.segments.size()), 6);
        // Centring line across the frame at its row.
        const Segment& centring = marks.segments[0];
        QCOMPARE(centring.y1, 1296.0);
        QCOMPARE(centring.y2, 1296.0);
        QCOMPARE(centring.x2, 1944.0);
        QCOMPARE(centring.colour, cv::Scalar(0, 153, 153));
        // Z 0.1 short of focus at 25.6 um per pixel: the tip sits 3.906 pixels, truncated to 3,
        // right of the focal mark; the wedge opens to rows 2/5 and 3/5 at the right edge.
        const Segment& upper = marks.segments[1];
        const Segment& lower = marks.segments[2];
        QCOMPARE(upper.x1, 103.0);
        QCOMPARE(upper.y1, 1200.0);
        QCOMPARE(upper.x2, 1944.0);
        QCOMPARE(upper.y2, 2.0 * (2592 / 5));
        QCOMPARE(lower.y2, 3.0 * (2592 / 5));
        QCOMPARE(upper.colour, cv::Scalar(76, 0, 153));
        // ZII 0.0512 past focus: the front line stands 2 pixels left of its column.
        const Segment& front = marks.segments[3];
        QCOMPARE(front.x1, 970.0);
        QCOMPARE(front.x2, 970.0);
        QCOMPARE(front.y2, 2592.0);
        QCOMPARE(front.colour, cv::Scalar(153, 153, 0));
        QCOMPARE(marks.segments[4].x1, 920.0);
        QCOMPARE(marks.segments[5].x1, 1020.0);
        QCOMPARE(marks.segments[4].y2, 300.0);
        QCOMPARE(marks.segments[4].colour, cv::Scalar(153, 0, 76));
    }

    void nonFinitePositionsDrawNoMark_data()
    {
        QTest::addColumn<double>("pixelSize");
        QTest::addColumn<double>("currentZ");
        QTest::newRow("pixel size 0") << 0.0 << 14.9;
        QTest::newRow("pixel size not a number") << std::numeric_limits<double>::quiet_NaN() << 14.9;
        QTest::newRow("position not a number") << 25.6 << std::numeric_limits<double>::quiet_NaN();
    }
    void nonFinitePositionsDrawNoMark()
    {
        QFETCH(double, pixelSize);
        QFETCH(double, currentZ);
        overlay::TopLargeInputs in = typicalInputs();
        in.pixelSize = pixelSize;
        in.currentZ = currentZ;
        in.currentZII = currentZ;
        const overlay::Marks marks = overlay::topLargeMarks(in);
        QVERIFY(hasColour(marks, cv::Scalar(0, 153, 153)));
        QVERIFY(!hasColour(marks, cv::Scalar(76, 0, 153)));
        QVERIFY(!hasColour(marks, cv::Scalar(153, 153, 0)));
        for (const Segment& s : marks.segments)
            QVERIFY(std::isfinite(s.x1) && std::isfinite(s.x2) && std::isfinite(s.y1) && std::isfinite(s.y2));
        // Drawing the rest still works.
        cv::Mat picture(200, 150, CV_8UC3, cv::Scalar::all(0));
        overlay::draw(picture, marks, 150.0 / 1944, 200.0 / 2592);
        QVERIFY(cv::countNonZero(picture.reshape(1)) > 0);
    }

    void farMarkIsClippedNotWrapped()
    {
        // At 0.000001 um per pixel, Z 0.1 past focus puts the focal wedge's tip a hundred million
        // pixels to the left: the wedge crosses the frame almost level, ending at its right-edge
        // rows.
        overlay::TopLargeInputs in = typicalInputs();
        in.pixelSize = 1e-6;
        in.currentZ = 15.1;
        in.focusZII = in.currentZII;
        in.circlesNumber = 0;
        const overlay::Marks marks = overlay::topLargeMarks(in);
        QVERIFY(marks.segments[1].x1 < -1e7);
        cv::Mat picture(2592 / 8, 1944 / 8, CV_8UC3, cv::Scalar::all(0));
        overlay::draw(picture, marks, 1.0 / 8, 1.0 / 8);
        const cv::Vec3b focal(76, 0, 153);
        const int rightColumn = picture.cols - 3;
        int hits = 0;
        for (int row = 0; row < picture.rows; ++row)
            hits += picture.at<cv::Vec3b>(row, rightColumn) == focal;
        QCOMPARE(hits, 2);
        const int upperRow = 2 * (2592 / 5) / 8;
        QVERIFY(picture.at<cv::Vec3b>(upperRow, rightColumn) == focal || picture.at<cv::Vec3b>(upperRow + 1, rightColumn) == focal);
    }

    void clipSegment_data()
    {
        QTest::addColumn<QRectF>("segment"); // x1, y1, x2, y2 as left, top, right, bottom
        QTest::addColumn<bool>("visible");
        QTest::addColumn<QRectF>("clipped");
        QTest::newRow("inside") << QRectF(QPointF(1, 1), QPointF(5, 5)) << true << QRectF(QPointF(1, 1), QPointF(5, 5));
        QTest::newRow("across") << QRectF(QPointF(-10, 5), QPointF(20, 5)) << true << QRectF(QPointF(0, 5), QPointF(10, 5));
        QTest::newRow("outside") << QRectF(QPointF(-10, -5), QPointF(-1, -1)) << false << QRectF();
        QTest::newRow("huge") << QRectF(QPointF(-1e12, 5), QPointF(1e12, 5)) << true << QRectF(QPointF(0, 5), QPointF(10, 5));
    }
    void clipSegment()
    {
        QFETCH(QRectF, segment);
        QFETCH(bool, visible);
        QFETCH(QRectF, clipped);
        double x1 = segment.left(), y1 = segment.top(), x2 = segment.right(), y2 = segment.bottom();
        QCOMPARE(overlay::clipSegment(x1, y1, x2, y2, 0, 0, 10, 10), visible);
        if (visible) {
            QCOMPARE(x1, clipped.left());
            QCOMPARE(y1, clipped.top());
            QCOMPARE(x2, clipped.right());
            QCOMPARE(y2, clipped.bottom());
        }
    }

    void markingFrontCrossAtIntegerHalves()
    {
        const overlay::Marks cross = overlay::markingFrontCross(1281, 1023);
        QCOMPARE(int(cross.segments.size()), 2);
        QCOMPARE(cross.segments[0].x1, 640.0);
        QCOMPARE(cross.segments[0].y1, 1023.0);
        QCOMPARE(cross.segments[0].y2, 0.0);
        QCOMPARE(cross.segments[1].y1, 511.0);
        QCOMPARE(cross.segments[1].x1, 1281.0);
        cv::Mat picture(1023, 1281, CV_8UC3, cv::Scalar::all(0));
        overlay::draw(picture, cross, 1, 1);
        QVERIFY(picture.at<cv::Vec3b>(100, 640) == cv::Vec3b(255, 0, 0));
        QVERIFY(picture.at<cv::Vec3b>(511, 100) == cv::Vec3b(255, 0, 0));
        QVERIFY(picture.at<cv::Vec3b>(100, 100) == cv::Vec3b(0, 0, 0));
    }

    void circlesAreStretchedWithThePicture()
    {
        // A view twice as wide as tall for a square image: the ring becomes an ellipse.
        std::vector<overlay::Circle> circles = overlay::centringCircles(1, 40, 50, 50);
        overlay::Marks marks;
        marks.circles = circles;
        cv::Mat picture(100, 200, CV_8UC3, cv::Scalar::all(0));
        overlay::draw(picture, marks, 2, 1);
        const cv::Vec3b green(0, 255, 0);
        QVERIFY(picture.at<cv::Vec3b>(50, 180) == green || picture.at<cv::Vec3b>(50, 179) == green);
        QVERIFY(picture.at<cv::Vec3b>(10, 100) == green || picture.at<cv::Vec3b>(11, 100) == green);
        QVERIFY(picture.at<cv::Vec3b>(50, 100) == cv::Vec3b(0, 0, 0));
    }

    void aoiCoordinate_data()
    {
        QTest::addColumn<double>("position");
        QTest::addColumn<double>("scale");
        QTest::addColumn<int>("expected");
        QTest::newRow("640x480 view of 1280x960, press x") << 100.0 << 2.0 << 200;
        QTest::newRow("scale 1.5, 154.5 rounds to odd 155, lowered") << 103.0 << 1.5 << 154;
        QTest::newRow("already even") << 51.0 << 2.0 << 102;
        QTest::newRow("half rounds away from zero") << 2.5 << 1.0 << 2;
        QTest::newRow("below half") << 3.4 << 1.0 << 2;
        QTest::newRow("negative odd lowered") << -1.2 << 1.0 << -2;
        QTest::newRow("negative half away from zero") << -2.5 << 1.0 << -4;
        QTest::newRow("zero scale") << 300.0 << 0.0 << 0;
        QTest::newRow("not finite") << 300.0 << std::numeric_limits<double>::infinity() << 0;
    }
    void aoiCoordinate()
    {
        QFETCH(double, position);
        QFETCH(double, scale);
        QFETCH(int, expected);
        QCOMPARE(overlay::aoiCoordinate(position, scale), expected);
    }

    void aoiPoint_data()
    {
        QTest::addColumn<QPointF>("position");
        QTest::addColumn<QSize>("view");
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<bool>("turned");
        QTest::addColumn<QPoint>("origin");
        QTest::addColumn<bool>("clamp");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QPoint>("expected");
        const QSize view(640, 480), frame(1280, 960);
        QTest::newRow("press") << QPointF(100, 50) << view << frame << false << QPoint() << false << true << QPoint(200, 100);
        QTest::newRow("release") << QPointF(300, 250) << view << frame << false << QPoint() << false << true << QPoint(600, 500);
        QTest::newRow("Top Large beyond the edge") << QPointF(700, 500) << view << frame << false << QPoint() << false << true << QPoint(1400, 1000);
        QTest::newRow("Marking Front at the edge") << QPointF(700, 500) << view << frame << false << QPoint() << true << true << QPoint(1280, 960);
        QTest::newRow("no lower limit") << QPointF(-10, -5) << view << frame << false << QPoint() << true << true << QPoint(-20, -10);
        QTest::newRow("view without size") << QPointF(10, 10) << QSize(0, 480) << frame << false << QPoint() << false << false << QPoint();
        // 640x640 shows the 4:3 frame 640x480 with bars of 80 above and below.
        QTest::newRow("letterboxed: bars do not count") << QPointF(100, 130) << QSize(640, 640) << frame << false << QPoint() << false
                                                       << true << QPoint(200, 100);
        QTest::newRow("clamped to the frame, not the view") << QPointF(700, 630) << QSize(640, 640) << frame << false << QPoint() << true
                                                           << true << QPoint(1280, 960);
        QTest::newRow("area starts inside the sensor") << QPointF(100, 50) << view << frame << false << QPoint(64, 32) << false << true
                                                      << QPoint(264, 132);
        // Turned frame 960 wide, 1280 high (sensor area 1280x960): frame (200, 100) is sensor
        // column 100, row 960 - 200.
        QTest::newRow("turned") << QPointF(100, 50) << QSize(480, 640) << QSize(960, 1280) << true << QPoint() << false << true << QPoint(100, 760);
        QTest::newRow("turned, area offset") << QPointF(100, 50) << QSize(480, 640) << QSize(960, 1280) << true << QPoint(64, 32) << false
                                            << true << QPoint(164, 792);
        QTest::newRow("turned, wide view") << QPointF(360, 50) << QSize(1000, 640) << QSize(960, 1280) << true << QPoint() << false << true
                                          << QPoint(100, 760);
    }
    void aoiPoint()
    {
        QFETCH(QPointF, position);
        QFETCH(QSize, view);
        QFETCH(QSize, frame);
        QFETCH(bool, turned);
        QFETCH(QPoint, origin);
        QFETCH(bool, clamp);
        QFETCH(bool, ok);
        QFETCH(QPoint, expected);
        const overlay::ViewedCamera camera{frame, turned ? overlay::Turn::Clockwise : overlay::Turn::None, origin};
        QPoint point;
        QCOMPARE(overlay::aoiPoint(position, view, camera, clamp, &point), ok);
        if (ok)
            QCOMPARE(point, expected);
    }

    void fitKeepsTheAspectRatio_data()
    {
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QSize>("view");
        QTest::addColumn<QRect>("shown");
        QTest::newRow("portrait Top Large in a camera page view") << QSize(1024, 1280) << QSize(451, 321) << QRect(97, 0, 257, 321);
        QTest::newRow("same aspect fills the view") << QSize(1280, 960) << QSize(640, 480) << QRect(0, 0, 640, 480);
        QTest::newRow("wide frame, tall view") << QSize(1280, 1024) << QSize(771, 920) << QRect(0, 151, 771, 617);
        QTest::newRow("no frame") << QSize(0, 0) << QSize(771, 920) << QRect();
    }
    void fitKeepsTheAspectRatio()
    {
        QFETCH(QSize, frame);
        QFETCH(QSize, view);
        QFETCH(QRect, shown);
        const overlay::ViewFit f = overlay::fit(frame, view);
        QCOMPARE(f.shown, shown);
        QCOMPARE(f.valid(), !shown.isNull());
        if (f.valid()) {
            QVERIFY(qAbs(f.sx - f.sy) * frame.width() < 1.0);
            QCOMPARE(f.toFrame(f.toView(QPointF(123.5, 77.25))), QPointF(123.5, 77.25));
        }
    }

    // The centring circles over a drawn stone land on the stone's outline at any view size.
    void circlesLandOnTheStone_data()
    {
        QTest::addColumn<QSize>("view");
        QTest::newRow("camera page 451x321") << QSize(451, 321);
        QTest::newRow("overview 771x920") << QSize(771, 920);
        QTest::newRow("maximised page 1100x520") << QSize(1100, 520);
    }
    void circlesLandOnTheStone()
    {
        QFETCH(QSize, view);
        // A portrait Top Large frame with a dark round stone of radius 300 at (500, 640).
        const double cx = 500, cy = 640, radius = 300;
        cv::Mat frame(1280, 1024, CV_8UC3, cv::Scalar::all(230));
        cv::circle(frame, cv::Point(int(cx), int(cy)), int(radius), cv::Scalar::all(40), cv::FILLED);
        overlay::Marks marks;
        marks.circles = overlay::centringCircles(1, radius, cx, cy);
        const QImage picture = imagedisplay::viewPicture(frame, view, [&](cv::Mat& shown, double sx, double sy) {
            overlay::draw(shown, marks, sx, sy);
        });
        QCOMPARE(picture.size(), view);
        const overlay::ViewFit f = overlay::fit(QSize(frame.cols, frame.rows), view);
        const QPointF centre = f.toView(QPointF(cx, cy));
        const double outline = radius * f.sx; // the stone's edge in the view
        double sum = 0, worst = 0;
        int count = 0;
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                if (picture.pixel(x, y) == qRgb(0, 255, 0)) {
                    // Pixel centres, as the ring is drawn.
                    const double d = std::hypot(x + 0.5 - centre.x(), y + 0.5 - centre.y()) - outline;
                    sum += d;
                    worst = std::max(worst, std::abs(d));
                    ++count;
                }
        QVERIFY(count > 100);
        QVERIFY2(std::abs(sum / count) <= 1.0, qPrintable(QString::number(sum / count)));
        // The ring's own thickness around its centre line, plus the 1-pixel goal.
        const double halfThickness = std::max(1.0, std::round(2 * f.sx)) / 2;
        QVERIFY2(worst <= 1.0 + halfThickness + 0.5, qPrintable(QString::number(worst)));
    }

    // A drag over a known sensor rectangle on the turned Top Large view selects that rectangle.
    void dragOnTurnedViewSelectsTheSensorRectangle_data()
    {
        QTest::addColumn<QSize>("view");
        QTest::newRow("451x321") << QSize(451, 321);
        QTest::newRow("771x920") << QSize(771, 920);
        QTest::newRow("1100x520") << QSize(1100, 520);
    }
    void dragOnTurnedViewSelectsTheSensorRectangle()
    {
        QFETCH(QSize, view);
        const QSize sensor(1280, 1024);
        const overlay::ViewedCamera camera{sensor.transposed(), overlay::Turn::Clockwise, QPoint(0, 0)};
        const QRect wanted(200, 300, 400, 240); // on the sensor
        const overlay::ViewFit f = overlay::fit(camera.frame, view);
        // The operator drags from the top-left to the bottom-right corner of what they see.
        const QPointF a = overlay::sensorToFrame(QPointF(wanted.left(), wanted.top()), camera.frame, camera.turn);
        const QPointF b = overlay::sensorToFrame(QPointF(wanted.left() + wanted.width(), wanted.top() + wanted.height()), camera.frame, camera.turn);
        const QPointF pressView = f.toView(QPointF(std::min(a.x(), b.x()), std::min(a.y(), b.y())));
        const QPointF releaseView = f.toView(QPointF(std::max(a.x(), b.x()), std::max(a.y(), b.y())));
        // Mouse positions are whole view pixels.
        QPoint press, release;
        QVERIFY(overlay::aoiPoint(QPointF(qRound(pressView.x()), qRound(pressView.y())), view, camera, false, &press));
        QVERIFY(overlay::aoiPoint(QPointF(qRound(releaseView.x()), qRound(releaseView.y())), view, camera, false, &release));
        const QRect got = overlay::aoiRectangle(press, release);
        // One view pixel is 1/scale sensor pixels; the camera's step is 2.
        const double step = 0.5 / f.sx + 2;
        QVERIFY2(std::abs(got.x() - wanted.x()) <= step && std::abs(got.y() - wanted.y()) <= step
                     && std::abs(got.right() - wanted.right()) <= step && std::abs(got.bottom() - wanted.bottom()) <= step,
                 qPrintable(QStringLiteral("%1,%2 %3x%4").arg(got.x()).arg(got.y()).arg(got.width()).arg(got.height())));
    }
};

QTEST_APPLESS_MAIN(TestOverlayGeometry)
#include "tst_overlaygeometry.moc"
