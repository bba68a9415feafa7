#include "motion/alignmenttargets.h"
#include "motion/commandedposition.h"

#include <QtTest>

#include <cmath>

using namespace alignment;

Q_DECLARE_METATYPE(alignment::TrackerMeasurement)
Q_DECLARE_METATYPE(alignment::Parameters)

namespace {

TrackerMeasurement measurement(double cx, double cy, double fx, double fy, double mx, double my)
{
    TrackerMeasurement m;
    m.centerX = cx;
    m.centerY = cy;
    m.focalX = fx;
    m.focalY = fy;
    m.mfX = mx;
    m.mfY = my;
    return m;
}

bool near(double a, double b)
{
    return std::fabs(a - b) < 1e-9;
}

} // namespace

class TestAlignmentTargets : public QObject
{
    Q_OBJECT

private slots:
    void targets_data()
    {
        QTest::addColumn<TrackerMeasurement>("m");
        QTest::addColumn<double>("currentX");
        QTest::addColumn<Parameters>("params");
        QTest::addColumn<double>("diameter");
        QTest::addColumn<double>("inscriptionX");
        QTest::addColumn<double>("inscriptionY");
        QTest::addColumn<double>("inscriptionZ");
        QTest::addColumn<double>("panoramaX");
        QTest::addColumn<double>("panoramaY");
        QTest::addColumn<double>("panoramaZII");

        const Parameters defaults;
        // Centre 20 rows below the centring line at X = 10: X goes to 10 + 20 * 0.0256.
        // Radii of 300 px each: D = 0.0256 * 600 = 15.36; Y = 10.32 - 15.36 * 0.1665.
        QTest::newRow("defaults, stone below the line") << measurement(400, 220, 700, 220, 400, -80) << 10.0 << defaults
                                                        << 15.36 << 10.512 << 7.76256 << 15.0 - 0.0256 * 700
                                                        << 10.0 - 0.0256 * 80 << 12.0 - 15.36 * 0.1665
                                                        << 15.0 - 0.0256 * 200;
        Parameters marked = defaults;
        marked.overlayTLCenterH = 300;
        marked.overlayTLFocalX = 650;
        marked.overlayMFFocalX = 90;
        marked.overlayMFCenterV = 410;
        // Stone exactly on every mark: the targets are the calibrated positions themselves.
        QTest::newRow("stone on its marks") << measurement(410, 300, 650, 300, 410, 90) << 3.5 << marked
                                            << 0.0256 * 450 << 3.5 << 10.32 - 0.0256 * 450 * 0.1665 << 15.0 << 3.5
                                            << 12.0 - 0.0256 * 450 * 0.1665 << 15.0;
        Parameters fine = marked;
        fine.tlPixelSize = 10;
        fine.roundCrownPercent = 20;
        fine.roundGridlePercent = 4;
        // Centre 50 rows above the line, right edge 10 px left of the focal mark.
        QTest::newRow("other calibration") << measurement(300, 250, 640, 250, 300, 20) << -2.0 << fine << 5.7
                                           << -2.0 - 0.5 << 10.32 - 5.7 * 0.22 << 15.0 + 0.1 << -2.0 - 0.7
                                           << 12.0 - 5.7 * 0.22 << 15.0 + 1.1;
    }
    void targets()
    {
        QFETCH(TrackerMeasurement, m);
        QFETCH(double, currentX);
        QFETCH(Parameters, params);
        const Targets t = ComputeTargets(m, currentX, params);
        QVERIFY(t.valid);
        QFETCH(double, diameter);
        QFETCH(double, inscriptionX);
        QFETCH(double, inscriptionY);
        QFETCH(double, inscriptionZ);
        QFETCH(double, panoramaX);
        QFETCH(double, panoramaY);
        QFETCH(double, panoramaZII);
        QVERIFY2(near(t.stoneDiameter, diameter), qPrintable(QString::number(t.stoneDiameter, 'g', 12)));
        QVERIFY2(near(t.inscriptionX, inscriptionX), qPrintable(QString::number(t.inscriptionX, 'g', 12)));
        QVERIFY2(near(t.inscriptionY, inscriptionY), qPrintable(QString::number(t.inscriptionY, 'g', 12)));
        QVERIFY2(near(t.inscriptionZ, inscriptionZ), qPrintable(QString::number(t.inscriptionZ, 'g', 12)));
        QVERIFY2(near(t.panoramaX, panoramaX), qPrintable(QString::number(t.panoramaX, 'g', 12)));
        QVERIFY2(near(t.panoramaY, panoramaY), qPrintable(QString::number(t.panoramaY, 'g', 12)));
        QVERIFY2(near(t.panoramaZII, panoramaZII), qPrintable(QString::number(t.panoramaZII, 'g', 12)));
    }

    void examplesAsTheHostReadsThem()
    {
        const Targets t = ComputeTargets(measurement(400, 220, 700, 220, 400, -80), 10.0, Parameters());
        QCOMPARE(QString::number(t.inscriptionX, 'g', 6), QString("10.512"));
        QCOMPARE(QString::number(t.stoneDiameter, 'g', 6), QString("15.36"));
        QCOMPARE(QString::number(t.inscriptionY, 'g', 6), QString("7.76256"));
        QCOMPARE(GirdleCentreFraction(Parameters()), 0.1665);
    }

    void noUsableMeasurement_data()
    {
        QTest::addColumn<TrackerMeasurement>("m");
        QTest::addColumn<Parameters>("params");
        QTest::newRow("no stone") << measurement(-1, -1, -1, -1, -1, -1) << Parameters();
        QTest::newRow("below -1") << measurement(-3, 100, 200, 100, 50, 20) << Parameters();
        QTest::newRow("centre not a number") << measurement(std::nan(""), 100, 200, 100, 50, 20) << Parameters();
        QTest::newRow("edge not a number") << measurement(100, 100, std::nan(""), 100, 50, 20) << Parameters();
        Parameters broken;
        broken.tlPixelSize = HUGE_VAL;
        QTest::newRow("infinite pixel size") << measurement(100, 100, 200, 100, 50, 20) << broken;
    }
    void noUsableMeasurement()
    {
        QFETCH(TrackerMeasurement, m);
        QFETCH(Parameters, params);
        QVERIFY(!ComputeTargets(m, 10.0, params).valid);
    }

    // Positions are given as their distance behind the targets of the measurement taken after
    // the alignment: the residual is that distance, also expressed in TL pixels.
    void residual_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<TrackerMeasurement>("m");
        QTest::addColumn<double>("yBehind");
        QTest::addColumn<double>("focusBehind");
        QTest::addColumn<QString>("text");
        QTest::newRow("inscription") << int(Kind::Inscription) << measurement(400, 202, 700, 202, 400, -98) << 0.0
                                     << 0.0256 << "X 2.00 px (0.0512), Y 0.00 px (0), Z 1.00 px (0.0256)";
        QTest::newRow("X only leaves Y out") << int(Kind::InscriptionX)
                                             << measurement(400, 199.5, 700, 199.5, 400, -100) << 3.0 << 0.0
                                             << "X -0.50 px (-0.0128), Z 0.00 px (0)";
        QTest::newRow("panorama names its focus ZII") << int(Kind::Panorama) << measurement(200, 300, 500, 300, 200, 0)
                                                      << 0.0512 << -0.0128
                                                      << "X 0.00 px (0), Y 2.00 px (0.0512), ZII -0.50 px (-0.0128)";
    }
    void residual()
    {
        QFETCH(int, kind);
        QFETCH(TrackerMeasurement, m);
        QFETCH(double, yBehind);
        QFETCH(double, focusBehind);
        QFETCH(QString, text);
        const Parameters params;
        const double x = 5.0;
        const Targets t = ComputeTargets(m, x, params);
        QVERIFY(t.valid);
        AxisPositions at;
        at.x = x;
        if (Kind(kind) == Kind::Panorama) {
            at.y = t.panoramaY - yBehind;
            at.zii = t.panoramaZII - focusBehind;
        } else {
            at.y = t.inscriptionY - yBehind;
            at.z = t.inscriptionZ - focusBehind;
        }
        const Residual r = ComputeResidual(Kind(kind), t, at, params);
        QVERIFY(r.valid);
        QCOMPARE(ResidualText(r), text);
    }

    // Whether the positions a host reports show the axes where the station sent them.
    void commandedPosition_data()
    {
        QTest::addColumn<int>("move");      // 0 MOVEX..:Y..:Z..:, 1 INCA twice, 2 nothing
        QTest::addColumn<double>("reportedX");
        QTest::addColumn<double>("reportedA");
        QTest::addColumn<QString>("mismatch");
        // Commanded X 10.5123456 goes out as 10.5123; Y 2, Z 3.
        QTest::newRow("there") << 0 << 10.5123 << 0.0 << "";
        QTest::newRow("within the tolerance") << 0 << 10.5131 << 0.0 << "";
        QTest::newRow("still at the start") << 0 << 9.0 << 0.0 << "X stood at 9 where 10.5123 was commanded";
        // From A 3599.5: two steps of 32.7272727 (sent as 32.7273) end at 3664.9546; a host that
        // reports six digits says 3664.95, inside the last digit a number of that size carries.
        QTest::newRow("relative steps add up") << 1 << 0.0 << 3664.95 << "";
        QTest::newRow("one step short") << 1 << 0.0 << 3632.23 << "A stood at 3632.23 where 3664.95 was commanded";
        QTest::newRow("nothing commanded") << 2 << 9.0 << 7.0 << "";
    }
    void commandedPosition()
    {
        QFETCH(int, move);
        QFETCH(double, reportedX);
        QFETCH(double, reportedA);
        QFETCH(QString, mismatch);
        using Axis = hostmessages::Axis;
        CommandedPosition commanded;
        AxisPositions reported;
        reported.a = 3599.5;
        if (move == 0) {
            commanded.moveTo(Axis::X, 10.5123456);
            commanded.moveTo(Axis::Y, 2);
            commanded.moveTo(Axis::Z, 3);
        } else if (move == 1) {
            commanded.moveBy(Axis::A, 360.0 / 11, reported);
            reported.a = 3620;   // the first step under way: the second adds to the command
            commanded.moveBy(Axis::A, 360.0 / 11, reported);
        }
        QCOMPARE(commanded.empty(), move == 2);
        reported.x = reportedX;
        reported.y = 2;
        reported.z = 3;
        reported.a = reportedA;
        QCOMPARE(commanded.mismatch(reported, 0.001), mismatch);
        reported.y = std::nan("");
        QCOMPARE(commanded.mismatch(reported, 0.001).contains("Y stood at nan"), move == 0);
    }

    void residualWithoutStone()
    {
        const Targets none = ComputeTargets(measurement(-1, -1, -1, -1, -1, -1), 0, Parameters());
        const Residual r = ComputeResidual(Kind::Inscription, none, AxisPositions(), Parameters());
        QVERIFY(!r.valid);
        QCOMPARE(ResidualText(r), QString("no measurement"));
    }
};

QTEST_APPLESS_MAIN(TestAlignmentTargets)
#include "tst_alignmenttargets.moc"
