#include "scan/scangeometry.h"
#include "hostlink/hostmessages.h"
#include "scan/runoutmodel.h"
#include "scan/scanreport.h"

#include <QtTest>

#include <opencv2/core.hpp>

#include <cmath>
#include <limits>
#include <random>

using namespace scangeometry;

class TestScanGeometry : public QObject
{
    Q_OBJECT

private slots:
    void frameWidthOfTheFrontCamera()
    {
        // 1280 pixels of 1.27 thousandths of an axis unit.
        QCOMPARE(QString::number(FrameWidth(1280, 1.27), 'g', 6), QString("1.6256"));
    }

    void imagesPerPerimeter_data()
    {
        QTest::addColumn<double>("D");
        QTest::addColumn<double>("w");
        QTest::addColumn<double>("c");
        QTest::addColumn<int>("count");
        const double w = 1.6256;
        const double nan = std::nan("");
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("D 5, frames just touch") << 5.0 << w << 0.0 << 10;
        QTest::newRow("D 5, ten percent overlap") << 5.0 << w << 0.1 << 11;
        QTest::newRow("D 6, twelve frames") << 6.0 << w << 0.0 << 12;
        QTest::newRow("chord equal to the diameter") << w << w << 0.0 << 3;
        QTest::newRow("overlap makes a wide frame usable") << 1.6 << w << 0.1 << 3;
        QTest::newRow("diameter not measured") << 0.0 << w << 0.0 << 0;
        QTest::newRow("negative diameter") << -5.0 << w << 0.0 << 0;
        QTest::newRow("frame wider than the stone") << 1.0 << w << 0.0 << 0;
        QTest::newRow("covering 1") << 5.0 << w << 1.0 << 0;
        QTest::newRow("covering above 1") << 5.0 << w << 37.5 << 0;
        QTest::newRow("zero frame width") << 5.0 << 0.0 << 0.0 << 0;
        QTest::newRow("diameter not a number") << nan << w << 0.0 << 0;
        QTest::newRow("covering not a number") << 5.0 << w << nan << 0;
        QTest::newRow("infinite diameter") << inf << w << 0.0 << 0;
        QTest::newRow("infinite width") << 5.0 << inf << 0.0 << 0;
        QTest::newRow("count beyond any scan") << 5.0 << 1e-9 << 0.0 << 0;
    }
    void imagesPerPerimeter()
    {
        QFETCH(double, D);
        QFETCH(double, w);
        QFETCH(double, c);
        QFETCH(int, count);
        QCOMPARE(ImagesPerPerimeter(D, w, c), count);
    }

    void angles_data()
    {
        QTest::addColumn<double>("D");
        QTest::addColumn<double>("c");
        QTest::addColumn<bool>("stepped");
        QTest::addColumn<QString>("frameAngle");
        QTest::addColumn<QString>("step");
        QTest::newRow("automatic") << 5.0 << 0.0 << false << "37.9457" << "36";
        QTest::newRow("automatic with overlap") << 5.0 << 0.1 << false << "37.9457" << "32.7273";
        QTest::newRow("stepped turns by the frame angle") << 5.0 << 0.0 << true << "37.9457" << "37.9457";
        QTest::newRow("stepped, frame wider than the stone") << 1.6 << 0.1 << true << "180" << "180";
    }
    void angles()
    {
        QFETCH(double, D);
        QFETCH(double, c);
        QFETCH(bool, stepped);
        const double w = FrameWidth(1280, 1.27);
        const double theta = FrameAngleDegrees(D, w);
        QTEST(QString::number(theta, 'g', 6), "frameAngle");
        QTEST(QString::number(RotationStep(stepped, ImagesPerPerimeter(D, w, c), theta), 'g', 6), "step");
    }

    void noAngleWithoutAStone()
    {
        QVERIFY(std::isnan(FrameAngleDegrees(0.0, 1.6256)));
        QVERIFY(std::isnan(RotationStep(false, 0, 37.9)));
    }

    void fileNames_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("name");
        QTest::newRow("first") << 0 << "img_00.png";
        QTest::newRow("tenth") << 9 << "img_09.png";
        QTest::newRow("eleventh") << 10 << "img_10.png";
        QTest::newRow("twelfth") << 11 << "img_11.png";
        QTest::newRow("three digits") << 123 << "img_123.png";
    }
    void fileNames()
    {
        QFETCH(int, index);
        QFETCH(QString, name);
        QCOMPARE(FrameFileName(index), name);
        QCOMPARE(FramePath("/srv/samba/share/TXVeltraxIMG", index), "/srv/samba/share/TXVeltraxIMG/" + name);
    }

    void reports_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("text report")
            << hostmessages::ScanTextReport(3, 10.5, 7.2, 108, 1.27, 10.32 - 12.0, 5, 36)
            << "IMGSCAP3COORDS10.5&7.2&108#1.27#-1.68#5#36";
        QTest::newRow("text report, first frame, long numbers")
            << hostmessages::ScanTextReport(0, 1234.5678, -0.00001, 0, 1.27, 0, 5.12345678, 32.727272)
            << "IMGSCAP0COORDS1234.57&-1e-05&0#1.27#0#5.12346#32.7273";
        QTest::newRow("image report text") << hostmessages::ScanImageReportText(3, 1, 2, 3) << "IMGCAP3COORDS1&2&3";
    }
    void reports()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(text, expected);
    }

    // The front camera's frames are B, G, R; the image sent to the host shows the true colours,
    // also for a frame cut out of a larger buffer (row step larger than the width).
    void frameImageKeepsColoursAndOutlivesTheFrame()
    {
        QImage image;
        {
            cv::Mat buffer(40, 64, CV_8UC3, cv::Scalar(0, 0, 0));
            cv::Mat frame = buffer(cv::Rect(8, 4, 30, 20));
            frame.at<cv::Vec3b>(0, 0) = cv::Vec3b(10, 20, 30);
            frame.at<cv::Vec3b>(19, 29) = cv::Vec3b(200, 100, 50);
            image = scanreport::FrameImage(frame);
        }
        // The frame's buffer is gone from this scope: the image must still read it.
        QCOMPARE(image.size(), QSize(30, 20));
        QCOMPARE(image.pixel(0, 0), qRgb(30, 20, 10));
        QCOMPARE(image.pixel(29, 19), qRgb(50, 100, 200));
        QCOMPARE(image.pixel(1, 0), qRgb(0, 0, 0));
    }

    void frameImageRefusesOtherFormats_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("rows");
        QTest::newRow("empty") << int(CV_8UC3) << 0;
        QTest::newRow("grey") << int(CV_8UC1) << 10;
        QTest::newRow("16-bit") << int(CV_16UC3) << 10;
    }
    void frameImageRefusesOtherFormats()
    {
        QFETCH(int, type);
        QFETCH(int, rows);
        const cv::Mat frame = rows > 0 ? cv::Mat(rows, 10, type, cv::Scalar::all(1)) : cv::Mat();
        QVERIFY(scanreport::FrameImage(frame).isNull());
    }

    // The run-out: targets of an eccentric stone sampled with noise at the scan's angles give
    // the waves back and predict the next frame; too few or too close angles give no fit.
    void runoutPredictsTheNextFrame_data()
    {
        QTest::addColumn<QVector<double>>("angles");
        QTest::addColumn<double>("noise");
        QTest::addColumn<bool>("ready");
        QTest::newRow("three frames of 36 degrees") << QVector<double>{0, 36, 72} << 0.0 << true;
        QTest::newRow("eight frames with noise") << QVector<double>{0, 36, 72, 108, 144, 180, 216, 252} << 0.0002 << true;
        QTest::newRow("across 360") << QVector<double>{300, 336, 372} << 0.0 << true;
        QTest::newRow("two frames") << QVector<double>{0, 36} << 0.0 << false;
        QTest::newRow("three frames within 20 degrees") << QVector<double>{0, 9, 18} << 0.0 << false;
        QTest::newRow("the same angle again") << QVector<double>{0, 0.01, 36} << 0.0 << false;
    }
    void runoutPredictsTheNextFrame()
    {
        QFETCH(QVector<double>, angles);
        QFETCH(double, noise);
        QFETCH(bool, ready);
        const runout::Wave x{8.0, 0.12, 40.0}, y{11.169, 0.0, 0.0}, zii{7.2, 0.15, 130.0};
        std::mt19937 random(7);
        std::normal_distribution<double> jitter(0.0, noise > 0 ? noise : 1e-12);
        runout::Model model;
        for (double a : angles)
            model.add(a, runout::Targets{x.at(a) + jitter(random), y.at(a) + jitter(random), zii.at(a) + jitter(random)});
        QCOMPARE(model.ready(), ready);
        if (!ready)
            return;
        const double next = angles.last() + 36;
        const runout::Targets p = model.predict(next);
        // 1 µm with noise of 0.2 µm: a tenth of a Top Large pixel.
        const double bound = noise > 0 ? 0.001 : 1e-9;
        QVERIFY2(std::fabs(p.x - x.at(next)) <= bound, qPrintable(QString::number(p.x - x.at(next))));
        QVERIFY(std::fabs(p.y - y.at(next)) <= bound);
        QVERIFY(std::fabs(p.zii - zii.at(next)) <= bound);
        QVERIFY(std::fabs(model.x().amplitude - 0.12) <= bound);
    }
    // The machine's rotation axis, learnt from one stone's scan, predicts another stone of
    // another diameter from a single measured frame; a scan that does not show it teaches nothing.
    void runoutAxisPredictsTheNextStone_data()
    {
        QTest::addColumn<double>("ziiLead");      // ZII's phase after X's
        QTest::addColumn<double>("ziiAmplitude");
        QTest::addColumn<int>("frames");          // of 36 degrees
        QTest::addColumn<int>("sense");           // 0: nothing learnt
        QTest::newRow("ZII a quarter turn after X") << 90.0 << 0.12 << 10 << 1;
        QTest::newRow("ZII a quarter turn before X") << -90.0 << 0.12 << 10 << -1;
        QTest::newRow("four frames") << 90.0 << 0.12 << 4 << 0;
        QTest::newRow("amplitudes differ") << 90.0 << 0.2 << 10 << 0;
        QTest::newRow("waves in phase") << 0.0 << 0.12 << 10 << 0;
    }
    void runoutAxisPredictsTheNextStone()
    {
        QFETCH(double, ziiLead);
        QFETCH(double, ziiAmplitude);
        QFETCH(int, frames);
        QFETCH(int, sense);
        // Stone 1 (diameter 5) on an axis where a centred stone stands at X 8.0, ZII 7.2.
        runout::Model model;
        for (int i = 0; i < frames; ++i) {
            const double a = 10.0 + 36.0 * i;
            const runout::Wave x{8.0, 0.12, 40.0}, zii{7.2, ziiAmplitude, 40.0 + ziiLead};
            model.add(a, runout::Targets{x.at(a), 11.0, zii.at(a)});
        }
        const runout::Axis axis = runout::LearnAxis(model, 5.0);
        QCOMPARE(axis.known, sense != 0);
        if (!axis.known)
            return;
        QCOMPARE(axis.sense, sense);
        // Stone 2: diameter 6 (its top edge half a unit further), 0.3 off the axis at phase 200.
        const runout::Wave x{8.0 - 0.5, 0.3, 200.0}, zii{7.2, 0.3, 200.0 + ziiLead};
        const runout::Sample first{123.0, runout::Targets{x.at(123.0), 10.5, zii.at(123.0)}};
        for (double a : {159.0, 195.0, 303.0, 483.0}) {
            const runout::Targets p = runout::PredictFromOne(axis, 6.0, first, a);
            QVERIFY2(std::fabs(p.x - x.at(a)) <= 1e-9, qPrintable(QString::number(p.x - x.at(a))));
            QVERIFY(std::fabs(p.zii - zii.at(a)) <= 1e-9);
            QCOMPARE(p.y, 10.5);
        }
    }

    void runoutIgnoresNonFiniteSamples()
    {
        runout::Model model;
        for (double a : {0.0, 36.0, 72.0})
            model.add(a, runout::Targets{1.0, 2.0, 3.0});
        model.add(108.0, runout::Targets{std::numeric_limits<double>::quiet_NaN(), 2.0, 3.0});
        QCOMPARE(model.sampleCount(), 3);
        QVERIFY(model.ready());
        QCOMPARE(model.predict(200).x, 1.0);
    }
};

QTEST_APPLESS_MAIN(TestScanGeometry)
#include "tst_scangeometry.moc"
