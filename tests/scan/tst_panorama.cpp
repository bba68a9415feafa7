// The girdle panorama on frames the rig renders for a scan, as the front camera delivers them
// (colour mosaic, demosaiced like the station does, sensor noise). The rig knows how far the
// girdle texture of every frame has slid, so every seam is checked against that truth.

#include "scan/panorama.h"
#include "scan/scangeometry.h"
#include "rigscanframes.h"
#include "vision/imagebomb.h"

#include <opencv2/imgcodecs.hpp>

#include <QtTest>

#include <cmath>

class TestPanorama : public QObject
{
    Q_OBJECT

private slots:
    void seamsMatchTheRig_data()
    {
        QTest::addColumn<double>("covering");
        QTest::addColumn<bool>("stepped");
        QTest::addColumn<int>("blurred");
        QTest::addColumn<unsigned>("seed");
        // Automatic scans close the ring with 360 / N steps; the stepped scan turns by the frame
        // angle, which is wider than the frame at no overlap: its frames leave gaps.
        QTest::newRow("no overlap") << 0.0 << false << -1 << 11u;
        QTest::newRow("20 % overlap") << 0.2 << false << -1 << 12u;
        QTest::newRow("50 % overlap") << 0.5 << false << -1 << 13u;
        QTest::newRow("20 % overlap, one frame out of focus") << 0.2 << false << 4 << 14u;
        QTest::newRow("stepped, no overlap") << 0.0 << true << -1 << 15u;
    }

    void seamsMatchTheRig()
    {
        QFETCH(double, covering);
        QFETCH(bool, stepped);
        QFETCH(int, blurred);
        QFETCH(unsigned, seed);
        // The station's view of the stone: the tracker measures the diameter a little off.
        const double measuredD = 5.0 * 1.004;
        const double w = scangeometry::FrameWidth(1280, 1.27);
        const int count = scangeometry::ImagesPerPerimeter(measuredD, w, covering);
        const double step = scangeometry::RotationStep(stepped, count, scangeometry::FrameAngleDegrees(measuredD, w));
        const rigscan::Frames scan = rigscan::render(count, step, blurred, seed);

        const panorama::Result result = panorama::Stitch(scan.frames, panorama::StepPixels(step, measuredD, 1.27),
                                                         panorama::CircumferencePixels(measuredD, 1.27));
        for (const QString& line : panorama::Describe(result))
            qInfo("%s", qPrintable(line));
        QCOMPARE(result.framesUsed, count);
        QVERIFY(result.closed);

        double sum = 0, worst = 0;
        int gaps = 0, fallbacks = 0, placed = 0;
        for (const panorama::Seam& seam : result.seams) {
            const double truth = rigscan::trueOffset(scan, seam.from, seam.to);
            gaps += seam.gap ? 1 : 0;
            fallbacks += !seam.registered && !seam.gap ? 1 : 0;
            if (seam.gap)
                continue;   // nothing to register; placed by the step the other seams measured
            const double error = std::fabs(seam.offsetPx - truth);
            sum += error;
            worst = std::max(worst, error);
            ++placed;
        }
        qInfo("seam error against the rig: mean %.2f px, max %.2f px over %d seams", sum / placed, worst, placed);
        QVERIFY2(sum / placed <= 1.0, qPrintable(QString::number(sum / placed)));
        QVERIFY2(worst <= 2.0, qPrintable(QString::number(worst)));
        // Around the ring the seams add up to the girdle's true circumference.
        QVERIFY2(std::fabs(result.image.cols - scan.circumferencePx) <= 0.01 * scan.circumferencePx,
                 qPrintable(QString::number(result.image.cols)));
        // The two seams of the frame out of focus, and only those, fall back.
        QCOMPARE(fallbacks, blurred >= 0 ? 2 : 0);
        if (stepped) {
            QCOMPARE(gaps, count - 1);
            QVERIFY(result.gapPx > 0);
            QVERIFY(result.coverageDeg < 360.0);
            const int x = result.frameX[1] - 1;   // first column of the gap before frame 1
            QCOMPARE(result.image.at<cv::Vec3b>(result.image.rows / 2, x)[2] >= 200
                         || result.image.at<cv::Vec3b>(result.image.rows / 2 + 8, x)[2] >= 200,
                     true);
        } else {
            QCOMPARE(gaps, 0);
            QCOMPARE(result.coverageDeg, 360.0);
        }
    }

    void framesThatCannotBeJoined()
    {
        // A scan stopped after two frames, a frame missing in the middle, and nothing at all.
        const rigscan::Frames scan = rigscan::render(3, 30.0, -1, 21u);
        const double stepPx = 30.0 / 360.0 * scan.circumferencePx;
        panorama::Result two = panorama::Stitch({scan.frames[0], scan.frames[1]}, stepPx, scan.circumferencePx);
        QVERIFY(!two.closed);
        QCOMPARE(two.image.cols, two.frameX[1] + 1280);
        const double expectedDeg = 30.0 + 1280 / scan.circumferencePx * 360.0;
        QVERIFY2(std::fabs(two.coverageDeg - expectedDeg) < 0.5, qPrintable(QString::number(two.coverageDeg)));

        panorama::Result missing = panorama::Stitch({scan.frames[0], cv::Mat(), scan.frames[2]}, stepPx, 0.0);
        QCOMPARE(missing.framesUsed, 2);
        QCOMPARE(missing.seams.size(), size_t(1));
        QCOMPARE(missing.seams[0].to, 2);
        QCOMPARE(missing.seams[0].predictedPx, 2 * stepPx);

        const panorama::Result none = panorama::Stitch({}, stepPx, scan.circumferencePx);
        QVERIFY(none.image.empty());
        QCOMPARE(panorama::Summary(none), QString("Panorama: nothing to join (no usable frame, or no step)"));
    }

    void replayNamesEveryFileItLeavesOut()
    {
        // A scan's three frames, then the same folder with files that do not belong: each is
        // named on stderr, the panorama is still made of the three, and the exit status says
        // that something was left out.
        const rigscan::Frames scan = rigscan::render(3, 30.0, -1, 31u);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (int i = 0; i < 3; ++i)
            QVERIFY(cv::imwrite(dir.filePath(scangeometry::FrameFileName(i)).toStdString(), scan.frames[i]));
        const rig::Scene scene = rig::Rig::defaultScene();
        const QStringList args{"--diameter", QString::number(scene.stoneDiameterMm), "--step", "30", "--pixel-size",
                               QString::number(scene.cal.mfPixelUm), "--output", dir.filePath("out.png"), dir.path()};
        auto replay = [&args](QString* out, QString* err) {
            QProcess p;
            p.start(qEnvironmentVariable("VELTRAX_BIN_DIR") + "/panorama-replay", args);
            if (!p.waitForFinished(120000)) {
                p.kill();
                p.waitForFinished();
                return -2;
            }
            *out = QString::fromLocal8Bit(p.readAllStandardOutput());
            *err = QString::fromLocal8Bit(p.readAllStandardError());
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        QString out, err;
        QCOMPARE(replay(&out, &err), 0);
        QCOMPARE(err, QString());
        QVERIFY2(out.contains("Panorama: 3 frames"), qPrintable(out));
        const cv::Mat clean = cv::imread(dir.filePath("out.png").toStdString(), cv::IMREAD_UNCHANGED);
        QVERIFY(!clean.empty());

        cv::Mat deep, turned;
        scan.frames[1].convertTo(deep, CV_16U, 256);
        cv::rotate(scan.frames[2], turned, cv::ROTATE_90_CLOCKWISE);
        QVERIFY(cv::imwrite(dir.filePath("img_03.png").toStdString(), cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(9))));
        QVERIFY(cv::imwrite(dir.filePath("img_04.png").toStdString(), deep));
        QVERIFY(cv::imwrite(dir.filePath("img_05.png").toStdString(), turned));
        QVERIFY(imagebomb::write(dir.filePath("img_06.png"), imagebomb::png(60000, 60000)));
        QVERIFY(cv::imwrite(dir.filePath("img_999999999.png").toStdString(), scan.frames[0]));
        QVERIFY(imagebomb::write(dir.filePath("img_07.png"), "not an image"));
        QCOMPARE(replay(&out, &err), 1);
        const QString f = dir.path() + "/";
        const QStringList expected{
            f + "img_999999999.png: index 999999999 is beyond any scan (at most 3600 frames), left out",
            "could not read " + f + "img_06.png: PNG of 60000x60000 px is above the limit of 50000000 pixels, not decoded, left out",
            "could not read " + f + "img_07.png: not a PNG, BMP or JPEG file, left out",
            f + "img_03.png: 1x1 px, 8-bit, 3 channels, the scan's frames are 1280x1024 px, 8-bit, 3 channels, left out",
            f + "img_04.png: 1280x1024 px, 16-bit, 3 channels, the scan's frames are 1280x1024 px, 8-bit, 3 channels, left out",
            f + "img_05.png: 1024x1280 px, 8-bit, 3 channels, the scan's frames are 1280x1024 px, 8-bit, 3 channels, left out"};
        const QStringList lines = err.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), expected.size());
        for (const QString& line : expected)
            QVERIFY2(lines.contains("panorama-replay: " + line), qPrintable(err));
        QVERIFY2(out.contains("Panorama: frame 4 left out: 1280x1024 px, 16-bit"), qPrintable(out));
        QVERIFY2(out.contains("Panorama: 3 frames"), qPrintable(out));
        // The frames that belong are joined as before.
        const cv::Mat joined = cv::imread(dir.filePath("out.png").toStdString(), cv::IMREAD_UNCHANGED);
        QCOMPARE(joined.size(), clean.size());
        QCOMPARE(cv::norm(joined, clean, cv::NORM_INF), 0.0);
    }
};

QTEST_APPLESS_MAIN(TestPanorama)
#include "tst_panorama.moc"
