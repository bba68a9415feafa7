#include "vision/linegeometry.h"
#include "vision/morphology.h"

#include <opencv2/imgproc.hpp>

#include <QtTest>

#include <climits>

Q_DECLARE_METATYPE(cv::Vec4i)

namespace {
QStringList captured;
void capture(QtMsgType, const QMessageLogContext&, const QString& text) { captured << text; }

cv::Mat randomBinary(unsigned seed)
{
    cv::Mat noise(60, 80, CV_8UC1);
    cv::RNG(seed).fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::Mat binary;
    cv::threshold(noise, binary, 160, 255, cv::THRESH_BINARY);
    return binary;
}

cv::Mat element(int shape, int n) { return cv::getStructuringElement(shape, cv::Size(n, n)); }

bool same(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}
} // namespace

class TestVisionHelpers : public QObject
{
    Q_OBJECT

private slots:
    void lineAngle_data()
    {
        QTest::addColumn<cv::Vec4i>("segment");
        QTest::addColumn<double>("degrees");
        QTest::newRow("level, A left of B") << cv::Vec4i(0, 0, 10, 0) << 180.0;
        QTest::newRow("level, A right of B") << cv::Vec4i(10, 0, 0, 0) << 0.0;
        QTest::newRow("down the image") << cv::Vec4i(0, 0, 0, 10) << 90.0;
        QTest::newRow("up the image") << cv::Vec4i(0, 10, 0, 0) << -90.0;
        QTest::newRow("falling toward B at 45") << cv::Vec4i(0, 0, 10, 10) << 135.0;
        QTest::newRow("rising toward B at 45") << cv::Vec4i(0, 10, 10, 0) << -135.0;
        QTest::newRow("degenerate point") << cv::Vec4i(5, 5, 5, 5) << 0.0;
    }
    void lineAngle()
    {
        QFETCH(cv::Vec4i, segment);
        QFETCH(double, degrees);
        QCOMPARE(vision::GetLineAngle(segment), degrees);
    }

    void lineCenter_data()
    {
        QTest::addColumn<cv::Vec4i>("segment");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::newRow("truncates toward zero, then absolute") << cv::Vec4i(-3, 4, 0, 7) << 1 << 5;
        QTest::newRow("even sums") << cv::Vec4i(2, 4, 10, 20) << 6 << 12;
        QTest::newRow("both negative") << cv::Vec4i(-10, -3, -20, -4) << 15 << 3;
        QTest::newRow("far coordinates do not overflow") << cv::Vec4i(INT_MAX, 0, INT_MAX, 0) << INT_MAX << 0;
    }
    void lineCenter()
    {
        QFETCH(cv::Vec4i, segment);
        QFETCH(int, x);
        QFETCH(int, y);
        QCOMPARE(vision::GetLineCenter(segment), cv::Point(x, y));
    }

    void lengthsAndDistances_data()
    {
        QTest::addColumn<cv::Vec4i>("segment");
        QTest::addColumn<double>("length");
        QTest::newRow("3-4-5") << cv::Vec4i(0, 0, 3, 4) << 5.0;
        QTest::newRow("3-4-5 reversed") << cv::Vec4i(3, 4, 0, 0) << 5.0;
        QTest::newRow("level") << cv::Vec4i(-7, 2, 13, 2) << 20.0;
        QTest::newRow("zero") << cv::Vec4i(9, 9, 9, 9) << 0.0;
        QTest::newRow("beyond a 32-bit square") << cv::Vec4i(0, 0, 60000, 80000) << 100000.0;
        QTest::newRow("opposite extremes") << cv::Vec4i(INT_MIN, 0, INT_MAX, 0) << 4294967295.0;
    }
    void lengthsAndDistances()
    {
        QFETCH(cv::Vec4i, segment);
        QFETCH(double, length);
        QCOMPARE(vision::GetLineLength(segment), length);
        QCOMPARE(vision::GetPointsDistance(cv::Point(segment[0], segment[1]), cv::Point(segment[2], segment[3])),
                 length);
    }

    void square_data()
    {
        QTest::addColumn<int>("v");
        QTest::addColumn<int>("square");
        QTest::newRow("positive") << 12 << 144;
        QTest::newRow("negative") << -7 << 49;
        QTest::newRow("largest with an int square") << 46340 << 2147395600;
        QTest::newRow("too large saturates") << 46341 << INT_MAX;
        QTest::newRow("most negative saturates") << INT_MIN << INT_MAX;
    }
    void square()
    {
        QFETCH(int, v);
        QFETCH(int, square);
        QCOMPARE(vision::Sqr(v), square);
    }

    void morphologyOrderAndSizes_data()
    {
        QTest::addColumn<int>("shape");
        QTest::addColumn<int>("erode");
        QTest::addColumn<int>("dilate");
        QTest::addColumn<bool>("invert");
        QTest::newRow("rect erode 3 then dilate 5") << int(cv::MORPH_RECT) << 3 << 5 << false;
        QTest::newRow("rect dilate 5 then erode 3") << int(cv::MORPH_RECT) << 3 << 5 << true;
        QTest::newRow("ellipse erode 3 then dilate 5") << int(cv::MORPH_ELLIPSE) << 3 << 5 << false;
        QTest::newRow("ellipse dilate 5 then erode 3") << int(cv::MORPH_ELLIPSE) << 3 << 5 << true;
        QTest::newRow("even size is a full 2x2 kernel") << int(cv::MORPH_RECT) << 2 << 0 << false;
        QTest::newRow("dilate only") << int(cv::MORPH_RECT) << 0 << 4 << false;
        QTest::newRow("edge defaults: dilate 10 then erode 7") << int(cv::MORPH_RECT) << 7 << 10 << true;
    }
    void morphologyOrderAndSizes()
    {
        QFETCH(int, shape);
        QFETCH(int, erode);
        QFETCH(int, dilate);
        QFETCH(bool, invert);
        const cv::Mat input = randomBinary(7);
        cv::Mat expected = input.clone();
        const auto doErode = [&] {
            if (erode > 0)
                cv::erode(expected, expected, element(shape, erode), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT);
        };
        const auto doDilate = [&] {
            if (dilate > 0)
                cv::dilate(expected, expected, element(shape, dilate), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT);
        };
        if (invert) {
            doDilate();
            doErode();
        } else {
            doErode();
            doDilate();
        }
        cv::Mat image = input.clone();
        vision::morphOps(image, erode, dilate, invert, shape);
        QVERIFY(same(image, expected));
        QVERIFY(!same(image, input));
    }

    void morphologyLeavesImage_data()
    {
        QTest::addColumn<int>("erode");
        QTest::addColumn<int>("dilate");
        QTest::addColumn<bool>("invert");
        QTest::newRow("zero sizes") << 0 << 0 << false;
        QTest::newRow("zero sizes inverted") << 0 << 0 << true;
        QTest::newRow("negative sizes") << -3 << -1 << false;
        QTest::newRow("size 1 is the identity") << 1 << 1 << true;
    }
    void morphologyLeavesImage()
    {
        QFETCH(int, erode);
        QFETCH(int, dilate);
        QFETCH(bool, invert);
        const cv::Mat input = randomBinary(11);
        cv::Mat image = input.clone();
        vision::MorphOpsRect(image, erode, dilate, invert);
        QVERIFY(same(image, input));
        vision::MorphOpsEllipse(image, erode, dilate, invert);
        QVERIFY(same(image, input));
    }

    void morphologyErrorIsOneConsoleLine_data()
    {
        QTest::addColumn<bool>("invert");
        QTest::addColumn<QString>("message");
        QTest::newRow("erode fails first") << false << QString("Moph exception: Erode 3 Dilate 5OpenCV(");
        QTest::newRow("dilate fails first") << true << QString("Moph exception: Erode 3 Dilate 5OpenCV(");
    }
    void morphologyErrorIsOneConsoleLine()
    {
        QFETCH(bool, invert);
        QFETCH(QString, message);
        // OpenCV has no morphology for signed 8-bit images: the first step raises.
        cv::Mat image(10, 10, CV_8SC1, cv::Scalar(3));
        const cv::Mat before = image.clone();
        captured.clear();
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        vision::MorphOpsRect(image, 3, 5, invert);
        qInstallMessageHandler(previous);
        QCOMPARE(captured.size(), 1);
        QVERIFY2(captured[0].startsWith(message), qPrintable(captured[0]));
        QVERIFY(captured[0].contains("Unsupported data type"));
        QVERIFY(same(image, before));
    }
};

QTEST_APPLESS_MAIN(TestVisionHelpers)
#include "tst_visionhelpers.moc"
