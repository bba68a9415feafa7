#include "imagebomb.h"
#include "realisticside.h"
#include "syntheticstone.h"
#include "testsupport.h"
#include "vision/topstoneprocessing.h"

#include <opencv2/imgcodecs.hpp>

#include <QtTest>

#include <charconv>

namespace {
struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run replay(const QStringList& args, const QString& tool = "tracker-replay")
{
    QProcess p;
    p.start(qEnvironmentVariable("VELTRAX_BIN_DIR") + "/" + tool, args);
    Run r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// The value lines (comment lines start with '#'), keyed by path: the six values, then the
// reason when there is one.
QMap<QString, QStringList> valueLines(const QString& out)
{
    QMap<QString, QStringList> lines;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith('#'))
            continue;
        const QStringList fields = line.split('\t');
        QStringList values = fields.value(1).split(' ');
        if (fields.size() > 2)
            values << fields.mid(2);
        lines.insert(fields.first(), values);
    }
    return lines;
}

QStringList asText(const vision::TopStoneResult& r)
{
    QStringList values;
    for (double v : {r.CenterX, r.CenterY, r.FocalX, r.FocalY, r.MFX, r.MFY}) {
        char buffer[64];
        values << QString::fromLatin1(buffer, int(std::to_chars(buffer, buffer + 64, v).ptr - buffer));
    }
    if (!r.reason.empty())
        values << QString::fromStdString(r.reason);
    return values;
}

synthetic::Stone stoneAt(double cx, double cy, double r)
{
    synthetic::Stone s;
    s.cx = cx;
    s.cy = cy;
    s.radius = r;
    s.girdleFacets = 64;
    return s;
}
} // namespace

class TestTrackerReplay : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;

    cv::Mat saveFrame(const QString& name, const synthetic::Stone& stone)
    {
        synthetic::Imaging im;
        im.noiseSigma = 2.0;
        im.blurSigma = 0.8;
        const cv::Mat frame = synthetic::render(cv::Size(640, 512), stone, im);
        cv::imwrite(work->file(name).toStdString(), frame);
        return frame;
    }

private slots:
    void init() { work.reset(new testsupport::WorkDir); }
    void cleanup() { work.reset(); }

    void printsWhatTheProcessingGives_data()
    {
        QTest::addColumn<QByteArray>("registry");
        QTest::addColumn<QStringList>("extraArgs");
        QTest::addColumn<double>("threshMin");
        QTest::addColumn<int>("areaMax");
        const QByteArray header = "Veltrax:Registry\nVersion:1.0.0.1\n";
        QTest::newRow("no settings file: defaults") << QByteArray() << QStringList() << 164.7 << 99999;
        QTest::newRow("threshold from Registry.dat") << header + "PCVTLTHRMI:120\n" << QStringList() << 120.0 << 99999;
        QTest::newRow("area bound from Registry.dat hides the large stone")
            << header + "PCVTLCSFMA:40000\n" << QStringList() << 164.7 << 40000;
        QTest::newRow("--set overrides the file")
            << header + "PCVTLTHRMI:120\n" << QStringList{"--set", "pcvtlthrmi=200"} << 200.0 << 99999;
    }
    void printsWhatTheProcessingGives()
    {
        QFETCH(QByteArray, registry);
        QFETCH(QStringList, extraArgs);
        QFETCH(double, threshMin);
        QFETCH(int, areaMax);
        if (!registry.isEmpty())
            testsupport::writeAll(work->file("Registry.dat"), registry);
        const cv::Mat small = saveFrame("Default.png", stoneAt(200.3, 180.6, 90.0));
        const cv::Mat large = saveFrame("large.bmp", stoneAt(350.0, 260.0, 150.0));

        const Run run = replay(extraArgs + QStringList{"Default.png", "large.bmp"});
        QCOMPARE(run.exitCode, 0);
        vision::TopStoneParams params;
        params.threshMin = threshMin;
        params.contourSizeMax = areaMax;
        const QMap<QString, QStringList> lines = valueLines(run.out);
        QCOMPARE(lines.size(), 2);
        for (const auto& [name, frame] : {std::pair<QString, cv::Mat>("Default.png", small), {"large.bmp", large}}) {
            vision::TopStoneImages images;
            const vision::TopStoneResult expected = vision::processTopStoneFrame(frame, params, images);
            QCOMPARE(lines.value(name), asText(expected));
            const QString resultName = QFileInfo(name).completeBaseName() + ".result.png";
            const cv::Mat written = cv::imread(work->file(resultName).toStdString(), cv::IMREAD_COLOR);
            QVERIFY2(!written.empty(), qPrintable(resultName));
            QCOMPARE(cv::norm(written, images.result, cv::NORM_INF), 0.0);
        }
        QVERIFY(run.out.startsWith("# ThreshMin "));
        // A refused frame says why after its six -1 values.
        QCOMPARE(lines.value("large.bmp").size(), areaMax < 99999 ? 7 : 6);
        if (areaMax < 99999)
            QCOMPARE(lines.value("large.bmp").last(), QString("NOSTONE"));
    }

    void settingsFileIsLeftAlone()
    {
        const QByteArray text = "PCVTLTHRMI:150\n";
        testsupport::writeAll(work->file("Registry.dat"), text);
        saveFrame("Default.png", stoneAt(200, 200, 100));
        QCOMPARE(replay({"Default.png"}).exitCode, 0);
        QCOMPARE(testsupport::readAll(work->file("Registry.dat")), text);
        QVERIFY(!QFile::exists(work->file("Logs.ini")));
    }

    // girdle-replay: one line per frame, the values at the middle column or the refusal; an
    // unreadable file among them is reported and the others are still measured.
    void girdleReplay()
    {
        rig::SideView v;
        v.stone.thicknessMm = 0.08;
        v.stone.levelErrorDeg = 1.0;
        v.centreRow = 200.0;
        v.noiseSigma = 2.0;
        const cv::Size size(512, 400);
        const rig::SideTruth truth = rig::sideTruth(v, size);
        cv::imwrite(work->file("girdle.png").toStdString(), rig::renderSide(v, size));
        v.centreRow = -150.0;
        cv::imwrite(work->file("facets.png").toStdString(), rig::renderSide(v, size));
        const Run run = replay({"--set", "PMMFPXS=2", "girdle.png", "missing.png", "facets.png"}, "girdle-replay");
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("cannot read image missing.png"), qPrintable(run.err));
        QVERIFY(run.out.startsWith("# PMMFPXS 2 "));
        const QMap<QString, QStringList> lines = valueLines(run.out);
        QCOMPARE(lines.size(), 2);
        // Refused: the tool's output form for a refusal. Which word a frame of facets without a
        // band gets, NOGIRDLE or BLUR, is not yet told apart reliably by the measurement (see the
        // girdle set's refusal table); what must never happen is an answer.
        const QStringList facets = lines.value("facets.png");
        QCOMPARE(facets.mid(0, 5), (QStringList{"-1", "-1", "-1", "-1", "-1"}));
        QVERIFY2(facets.value(5) == "NOGIRDLE" || facets.value(5) == "BLUR", qPrintable(facets.join(' ')));
        const QStringList g = lines.value("girdle.png");
        QCOMPARE(g.size(), 5);
        QVERIFY2(std::abs(g[0].toDouble() - truth.topMid) < 1.0, qPrintable(g.join(' ')));
        QVERIFY2(std::abs(g[1].toDouble() - truth.bottomMid) < 1.0, qPrintable(g.join(' ')));
        QVERIFY(std::abs(g[2].toDouble() - (g[1].toDouble() - g[0].toDouble())) < 1e-3);
        QVERIFY2(std::abs(g[3].toDouble() - truth.tiltDeg) < 0.1, qPrintable(g.join(' ')));
        QVERIFY(g[4].toDouble() > 0.0 && g[4].toDouble() < 6.0);
        QCOMPARE(replay({"--set", "PMMFPXS=abc", "girdle.png"}, "girdle-replay").exitCode, 2);
    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("valueLines");
        QTest::newRow("no image") << QStringList() << 2 << "usage: tracker-replay" << 0;
        QTest::newRow("unknown option") << QStringList{"--fast", "Default.png"} << 2 << "unknown option --fast" << 0;
        QTest::newRow("missing settings file") << QStringList{"--registry", "nowhere.dat", "Default.png"} << 2
                                               << "settings file not found: nowhere.dat" << 0;
        QTest::newRow("bad --set") << QStringList{"--set", "PCVTLTHRMI", "Default.png"} << 2 << "KEY=VALUE" << 0;
        QTest::newRow("unreadable image among good ones")
            << QStringList{"missing.png", "Default.png"} << 1 << "cannot read image missing.png" << 1;
        // Files whose header states more pixels than the tools decode are refused before
        // decoding (OpenCV used to abort the tool, or take 6 GB for the zero-filled one).
        QTest::newRow("PNG header of 60000x60000 among good ones")
            << QStringList{"bomb.png", "Default.png"} << 1
            << "cannot read image bomb.png: PNG of 60000x60000 px is above the limit of 50000000 pixels" << 1;
        QTest::newRow("PNG header of 30000x30000")
            << QStringList{"zeros.png"} << 1 << "PNG of 30000x30000 px is above the limit" << 0;
        QTest::newRow("BMP header of 30000x30000") << QStringList{"big.bmp"} << 1
                                                   << "BMP of 30000x30000 px is above the limit" << 0;
        QTest::newRow("text named .png") << QStringList{"notes.png", "Default.png"} << 1
                                         << "cannot read image notes.png: not a PNG, BMP or JPEG file" << 1;
        QTest::newRow("--help states the limit") << QStringList{"--help"} << 0 << "Images above 50000000 pixels" << 0;
        QTest::newRow("even Canny aperture") << QStringList{"--set", "PCVTLCTHK=4", "Default.png"} << 1
                                             << "Aperture size should be odd" << 0;
    }
    void badInput()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QFETCH(int, valueLines);
        saveFrame("Default.png", stoneAt(200, 200, 100));
        // The generator makes valid PNGs: a small one decodes.
        const QByteArray small = imagebomb::png(4, 4);
        QCOMPARE(cv::imdecode(std::vector<uchar>(small.begin(), small.end()), cv::IMREAD_COLOR).size(), cv::Size(4, 4));
        QVERIFY(imagebomb::write(work->file("bomb.png"), imagebomb::png(60000, 60000)));
        QVERIFY(imagebomb::write(work->file("zeros.png"), imagebomb::png(30000, 30000)));
        QVERIFY(imagebomb::write(work->file("big.bmp"), imagebomb::bmp(30000, -30000)));
        QVERIFY(imagebomb::write(work->file("notes.png"), "not an image\n"));
        const Run run = replay(args);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(::valueLines(run.out).size(), valueLines);
    }
};

QTEST_GUILESS_MAIN(TestTrackerReplay)
#include "tst_trackerreplay.moc"
