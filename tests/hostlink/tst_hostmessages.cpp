#include "hostlink/hostmessages.h"

#include <QtTest>

#include <cmath>
#include <limits>

using namespace hostmessages;

class TestHostMessages : public QObject
{
    Q_OBJECT

private slots:
    void commandTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("increment A") << Increment(Axis::A, 7.5) << "INCA7.5";
        QTest::newRow("tiny increment in exponent form") << Increment(Axis::Z, -0.00001) << "INCZ-1e-05";
        QTest::newRow("increment X") << Increment(Axis::X, 0.2) << "INCX0.2";
        QTest::newRow("increment Y negative") << Increment(Axis::Y, -1.25) << "INCY-1.25";
        QTest::newRow("focus axis is written F") << Increment(Axis::ZII, 0.05) << "INCF0.05";
        QTest::newRow("absolute X keeps its colon") << MoveTo(Axis::X, 12) << "MOVEX12:";
        QTest::newRow("absolute A") << MoveTo(Axis::A, 108) << "MOVEA108:";
        QTest::newRow("absolute F") << MoveTo(Axis::ZII, 14.5) << "MOVEF14.5:";
        QTest::newRow("all five axes in one message") << MoveXYZAF(1, 2, 3, 45, 0.5) << "MOVEX1:Y2:Z3:A45:F0.5:";
        QTest::newRow("six significant digits") << MoveTo(Axis::X, 1234.5678) << "MOVEX1234.57:";
        QTest::newRow("large value in exponent form") << MoveTo(Axis::Y, 1234567.0) << "MOVEY1.23457e+06:";
        QTest::newRow("two axes") << MoveXY(10.512, 7.76256) << "MOVEX10.512:Y7.76256:";
        QTest::newRow("three axes") << MoveXYZ(10.512, 7.76256, 15) << "MOVEX10.512:Y7.76256:Z15:";
    }
    void commandTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(text, expected);
    }

    // A position that is not a number must never reach the host as "nan" or "inf".
    void nonFiniteValuesGiveNoText_data()
    {
        QTest::addColumn<QString>("text");
        const double nan = std::nan("");
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("increment nan") << Increment(Axis::A, nan);
        QTest::newRow("move inf") << MoveTo(Axis::X, inf);
        QTest::newRow("XY with one nan") << MoveXY(1, nan);
        QTest::newRow("XYZ with -inf") << MoveXYZ(1, 2, -inf);
        QTest::newRow("five axes with nan focus") << MoveXYZAF(1, 2, 3, 4, nan);
    }
    void nonFiniteValuesGiveNoText()
    {
        QFETCH(QString, text);
        QVERIFY2(text.isEmpty(), qPrintable(text));
    }
};

QTEST_APPLESS_MAIN(TestHostMessages)
#include "tst_hostmessages.moc"
