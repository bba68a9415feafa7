// The calibration's fits: points made from known values plus noise give those values back within
// the uncertainty the fit reports; input that cannot give a value is refused with its reason.

#include "motion/calibrationfits.h"

#include <QtTest>

#include <cmath>
#include <random>

namespace {
constexpr double Pi = 3.14159265358979323846;
}

class TestCalibrationFits : public QObject
{
    Q_OBJECT

private slots:
    void scale_data()
    {
        QTest::addColumn<double>("pixelUm");
        QTest::addColumn<double>("rotationDeg");
        QTest::addColumn<double>("noisePx");
        QTest::newRow("top large, square to the axes") << 25.6 << 0.0 << 0.1;
        QTest::newRow("3 % larger, turned 0.8 degrees") << 26.368 << 0.8 << 0.1;
        QTest::newRow("front camera, turned -2 degrees") << 1.27 << -2.0 << 0.3;
    }
    void scale()
    {
        QFETCH(double, pixelUm);
        QFETCH(double, rotationDeg);
        QFETCH(double, noisePx);
        std::mt19937 random(7);
        std::normal_distribution<double> noise(0.0, noisePx);
        // The axis moves the image up the rows (reference (0, -1)); turned clockwise by rotationDeg.
        const double t = rotationDeg * Pi / 180.0;
        const QPointF unit(std::sin(t), -std::cos(t));
        std::vector<double> moves;
        std::vector<QPointF> image;
        for (double m : {-3.0, -1.5, 0.0, 1.5, 3.0, 3.0, 1.5, 0.0, -1.5, -3.0}) {
            moves.push_back(m * pixelUm / 25.6);
            image.push_back(QPointF(500, 660) + unit * (moves.back() * 1000.0 / pixelUm)
                            + QPointF(noise(random), noise(random)));
        }
        const calibfit::ScaleFit fit = calibfit::fitScale(moves, image, QPointF(0, -1));
        QVERIFY2(fit.ok, qPrintable(fit.refusal));
        QVERIFY(fit.pixelSizeSigmaUm > 0);
        QVERIFY(std::fabs(fit.pixelSizeUm - pixelUm) <= 4 * fit.pixelSizeSigmaUm);
        QVERIFY(std::fabs(fit.pixelSizeUm - pixelUm) / pixelUm < 0.002);
        QVERIFY(std::fabs(fit.rotationDeg - rotationDeg) <= std::max(4 * fit.rotationSigmaDeg, 0.01));
        QVERIFY(fit.rmsPx > 0.3 * noisePx && fit.rmsPx < 3 * noisePx);
    }

    void circle_data()
    {
        QTest::addColumn<double>("radiusPx");
        QTest::addColumn<double>("phaseDeg");
        QTest::addColumn<bool>("clockwise");
        QTest::addColumn<int>("angles");
        QTest::newRow("7 px run-out, 8 angles") << 7.0 << -33.7 << true << 8;
        QTest::newRow("40 px run-out, 12 angles, anticlockwise") << 40.0 << 120.0 << false << 12;
        QTest::newRow("0.5 px run-out, 8 angles") << 0.5 << 10.0 << true << 8;
    }
    void circle()
    {
        QFETCH(double, radiusPx);
        QFETCH(double, phaseDeg);
        QFETCH(bool, clockwise);
        QFETCH(int, angles);
        std::mt19937 random(11);
        std::normal_distribution<double> noise(0.0, 0.05);
        const QPointF centre(505.25, 640.75);
        std::vector<double> a;
        std::vector<QPointF> image;
        for (int i = 0; i < angles; ++i) {
            a.push_back(30.0 + 360.0 * i / angles);
            const double t = (phaseDeg + (clockwise ? 1 : -1) * (a.back() - 30.0)) * Pi / 180.0;
            image.push_back(centre + radiusPx * QPointF(std::cos(t), std::sin(t)) + QPointF(noise(random), noise(random)));
        }
        const calibfit::CircleFit fit = calibfit::fitCircle(a, image);
        QVERIFY2(fit.ok, qPrintable(fit.refusal));
        QCOMPARE(fit.clockwise, clockwise);
        QVERIFY(std::hypot(fit.centre.x() - centre.x(), fit.centre.y() - centre.y()) <= 4 * fit.centreSigmaPx);
        QVERIFY(fit.centreSigmaPx < 0.05);
        QVERIFY(std::fabs(fit.radiusPx - radiusPx) <= 4 * fit.radiusSigmaPx);
        // One standard deviation of the phase is the noise across the radius, as an angle.
        QVERIFY(std::fabs(std::remainder(fit.phaseDeg - phaseDeg, 360.0)) < 4 * 0.05 / radiusPx * 180.0 / Pi + 0.2);
        QVERIFY(fit.rmsPx < 0.15);
    }

    void focus_data()
    {
        QTest::addColumn<double>("bestZ");
        QTest::addColumn<double>("noisePx");
        QTest::newRow("sharp at 15.05, quiet") << 15.05 << 0.05;
        QTest::newRow("sharp at 14.9731, noisy") << 14.9731 << 0.3;
    }
    void focus()
    {
        QFETCH(double, bestZ);
        QFETCH(double, noisePx);
        std::mt19937 random(5);
        std::normal_distribution<double> noise(0.0, noisePx);
        std::vector<double> z, w;
        // 1.6 px sharp; 2.56 sigma of a blur of 0.1 per unit over 1.27 um pixels.
        for (double at = bestZ - 0.087; at <= bestZ + 0.09; at += 0.01) {
            z.push_back(at);
            const double blur = 2.56 * std::fabs(at - bestZ) * 0.1 / 0.00127;
            w.push_back(std::hypot(1.6, blur) + noise(random));
        }
        const calibfit::FocusFit fit = calibfit::fitFocus(z, w);
        QVERIFY2(fit.ok, qPrintable(fit.refusal));
        QVERIFY(fit.bestSigma > 0 && fit.bestSigma < 0.005);
        QVERIFY(std::fabs(fit.best - bestZ) <= std::max(4 * fit.bestSigma, 0.001));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("fit");
        QTest::addColumn<QVector<double>>("x");
        QTest::addColumn<QVector<double>>("y");
        QTest::addColumn<QString>("reason");
        // Scale: x are moves, y image rows; circle: x angles, y run-out along the rows.
        QTest::newRow("scale, two points") << "scale" << QVector<double>{0, 1} << QVector<double>{0, 39} << "too few points: 2, at least 3";
        QTest::newRow("scale, no move") << "scale" << QVector<double>{1, 1, 1} << QVector<double>{0, 0, 0} << "all points at the same position";
        QTest::newRow("scale, image still") << "scale" << QVector<double>{-1, 0, 1} << QVector<double>{3, 3, 3}
                                            << "the image did not move with the axis";
        QTest::newRow("circle, all points equal") << "circle" << QVector<double>{0, 90, 180, 270} << QVector<double>{5, 5, 5, 5}
                                                  << "all points coincide";
        QTest::newRow("circle, two points") << "circle" << QVector<double>{0, 180} << QVector<double>{1, -1} << "too few points: 2, at least 3";
        QTest::newRow("focus, four points") << "focus" << QVector<double>{1, 2, 3, 4} << QVector<double>{3, 2, 2, 3} << "too few points: 4, at least 5";
        QTest::newRow("focus, falling sweep") << "focus" << QVector<double>{1, 2, 3, 4, 5, 6} << QVector<double>{9, 8, 7, 6, 5, 4}
                                              << "the minimum";
        QTest::newRow("focus, no minimum") << "focus" << QVector<double>{1, 2, 3, 4, 5, 6} << QVector<double>{3, 5, 6, 6, 5, 3}
                                           << "no minimum";
        QTest::newRow("focus, all points equal") << "focus" << QVector<double>{2, 2, 2, 2, 2} << QVector<double>{3, 3, 3, 3, 3}
                                                 << "all points at the same position";
    }
    void refusals()
    {
        QFETCH(QString, fit);
        QFETCH(QVector<double>, x);
        QFETCH(QVector<double>, y);
        QFETCH(QString, reason);
        const std::vector<double> xs(x.begin(), x.end()), ys(y.begin(), y.end());
        std::vector<QPointF> points;
        for (double v : ys)
            points.push_back(QPointF(100, 200 + v));
        QString refusal;
        bool ok = true;
        if (fit == "scale") {
            const auto f = calibfit::fitScale(xs, points, QPointF(0, -1));
            ok = f.ok, refusal = f.refusal;
        } else if (fit == "circle") {
            const auto f = calibfit::fitCircle(xs, points);
            ok = f.ok, refusal = f.refusal;
        } else {
            const auto f = calibfit::fitFocus(xs, ys);
            ok = f.ok, refusal = f.refusal;
        }
        QVERIFY(!ok);
        QVERIFY2(refusal.startsWith(reason), qPrintable(refusal));
    }
};

QTEST_APPLESS_MAIN(TestCalibrationFits)
#include "tst_calibrationfits.moc"
