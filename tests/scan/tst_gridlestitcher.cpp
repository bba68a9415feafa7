// The girdle scan with the rig's front camera, the station's server over loopback and the host
// simulator as the host. Tracker results come from a virtual stone of a chosen diameter, so the
// frame count is exact.

#include "camera/cammf.h"
#include "camera/sharedfolder.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "sim/host/hostsimulator.h"
#include "sim/rig/rig.h"
#include "testsupport.h"
#include "../motion/stationteardown.h"
#include "../motion/virtualstone.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Makes a file impossible to remove while the object lives: its folder read-only for a user,
// the file immutable for root (who ignores mode bits; needs a file system with the flag).
class Unremovable
{
public:
    explicit Unremovable(const QString& file)
        : file(file)
        , folder(QFileInfo(file).absolutePath())
    {
        if (::geteuid() != 0)
            active = byMode = QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        else
            active = setImmutable(true);
    }
    ~Unremovable() { release(); }
    bool isActive() const { return active; }
    void release()
    {
        if (active && byMode)
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        else if (active)
            setImmutable(false);
        active = false;
    }

private:
    bool setImmutable(bool on)
    {
        const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return ok;
    }

    QString file;
    QString folder;
    bool active = false;
    bool byMode = false;
};

} // namespace

class TestGridleStitcher : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    MotionCore* core = nullptr;
    GridleStitcher* stitcher = nullptr;
    std::unique_ptr<HostSimulator> host;
    VirtualStone stone;
    QTimer tracker;

    QString share() const { return work->file("share"); }
    QStringList hostTexts(int from = 0) const { return host->texts().mid(from); }
    // The turns to the next frame: INCA while the run-out is not known, then the turn and the
    // predicted front alignment as one move.
    static QStringList turns(const QStringList& texts)
    {
        return texts.filter(QRegularExpression("^(INCA|MOVEX[^:]+:Y[^:]+:Z[^:]+:A[^:]+:F[^:]+:$)"));
    }
    bool waitForHost(const QString& text, int from = 0, int timeoutMs = 30000)
    {
        return host->waitForText(text, from, timeoutMs) >= 0;
    }
    void useStone(double diameter)
    {
        stone = VirtualStone::withDiameter(diameter);
        stone.deliver(core, host->position(HostSimulator::X));
        tracker.start();
    }
    static QString frameName(int i) { return QString("img_%1.png").arg(i, 2, 10, QChar('0')); }
    QStringList frameFiles() const
    {
        return QDir(share()).entryList({"img_*.png"}, QDir::Files, QDir::Name);
    }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        rig::Rig::instance().reset();
        Logs::AccessMemory();
        Registry* registry = Registry::AccessMemory();
        registry->SetKey("CAMMFID", rig::Rig::FrontSerial);
        registry->SetKey(Registry::SharedFolderKey, share());
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        VeltraxServer* server = VeltraxServer::AccessMemory();
        core = MotionCore::AccessMemory();
        stitcher = GridleStitcher::AccessMemory();
        host.reset(new HostSimulator);
        host->setOpenVideo(false);
        host->setStrict(true);
        host->connectToStation("127.0.0.1", server->ListenPort());
        QVERIFY(host->waitForReady(10000));
        // The front camera stores its first frame unasked and acknowledges it to the host
        // connected by then, if any: that "SIDONE" must not fall into a test's own exchange.
        QVERIFY(host->waitUntil(
            [this]() {
                return host->texts().contains("SIDONE")
                    || !testsupport::logMessages().filter(QRegularExpression("^TCP Server: No host connected: \"SIDONE\"")).isEmpty();
            },
            30000));
        tracker.setInterval(10);
        connect(&tracker, &QTimer::timeout, this, [this]() { stone.deliver(core, host->position(HostSimulator::X)); });
    }

    void cleanup()
    {
        tracker.stop();
        tracker.disconnect();
        GridleStitcher::Destroy();
        stitcher = nullptr;
        if (host)
            QCOMPARE(host->violations(), QStringList());
        host.reset();
        teardown::DestroyStation();
        core = nullptr;
        work.reset();
    }

    void automaticScan_data()
    {
        QTest::addColumn<double>("diameter");
        QTest::addColumn<double>("covering");
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("panoramaFile");
        QTest::addColumn<bool>("girdleFile");
        QTest::newRow("ten frames") << 5.0 << 0.0 << 10 << "36" << true << true;
        QTest::newRow("twelve frames, panorama file off") << 6.0 << 0.0 << 12 << "30" << false << true;
        QTest::newRow("ten percent overlap, girdle file off") << 5.0 << 0.1 << 11 << "32.7273" << true << false;
    }
    void automaticScan()
    {
        QFETCH(double, diameter);
        QFETCH(double, covering);
        QFETCH(int, frames);
        QFETCH(QString, step);
        QFETCH(bool, panoramaFile);
        QFETCH(bool, girdleFile);
        stitcher->CapturesCovering = covering;
        stitcher->PanoramaFileEnabled = panoramaFile;
        stitcher->GirdleFileEnabled = girdleFile;
        // A profile of an earlier stone, which this scan replaces or (file off) removes.
        QVERIFY(QDir().mkpath(share()));
        testsupport::writeAll(QDir(share()).filePath("girdle.csv"), "degree,upper_um,lower_um,thickness_um,source\nold\n");
        useStone(diameter);
        QSignalSpy panoramaReady(stitcher, &GridleStitcher::PanoramaReady);
        QSignalSpy data(stitcher, &GridleStitcher::MFGriddleCapturesDataChanged);
        QSignalSpy status(stitcher, &GridleStitcher::MFGriddleCapturesStatusChanged);
        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(waitForHost("SCANBG", from));
        QVERIFY(waitForHost("SCANEND", from, 120000));
        const QStringList texts = hostTexts(from);
        QCOMPARE(texts.last(), QString("SCANEND"));
        QCOMPARE(texts.count("SCANEND"), 1);

        QCOMPARE(data.size(), 1);
        QCOMPARE(data.at(0).at(0).toInt(), frames);
        QCOMPARE(QString::number(data.at(0).at(1).toDouble(), 'g', 6),
                 QString::number(2 * std::asin(1.6256 / diameter) * 180 / M_PI, 'g', 6));
        QCOMPARE(status.size(), frames);
        QCOMPARE(status.first(), (QList<QVariant>{1, frames}));
        QCOMPARE(status.last(), (QList<QVariant>{frames, frames}));

        // Frame i: the report carries the host's positions; A stands i steps further.
        const QStringList reports = texts.filter(QRegularExpression("^IMGSCAP"));
        QCOMPARE(reports.size(), frames);
        const QString d = QString::number(diameter, 'g', 6);
        for (int i = 0; i < frames; ++i) {
            const QRegularExpression form(QString("^IMGSCAP%1COORDS[-0-9.e+]+&[-0-9.e+]+&([-0-9.e+]+)#1\\.27#-1\\.68#%2#%3$")
                                              .arg(i)
                                              .arg(QRegularExpression::escape(d), QRegularExpression::escape(step)));
            const QRegularExpressionMatch match = form.match(reports.at(i));
            QVERIFY2(match.hasMatch(), qPrintable(reports.at(i)));
            QCOMPARE(match.captured(1).toDouble(), QString::number(i * step.toDouble(), 'g', 6).toDouble());
        }
        // One turn per frame: by the step while the run-out is learnt, then to A = i steps
        // together with the front alignment it predicts.
        const QStringList turned = turns(texts);
        QCOMPARE(turned.size(), frames - 1);
        QCOMPARE(texts.filter(QRegularExpression("^INC")).size(), texts.count("INCA" + step));
        const QRegularExpression combined("^MOVEX[^:]+:Y[^:]+:Z[^:]+:A([^:]+):F[^:]+:$");
        for (int i = 1; i < frames; ++i) {
            const QRegularExpressionMatch match = combined.match(turned.at(i - 1));
            if (match.hasMatch())
                QCOMPARE(match.captured(1).toDouble(), QString::number(i * step.toDouble(), 'g', 6).toDouble());
            else
                QCOMPARE(turned.at(i - 1), "INCA" + step);
        }
        QVERIFY2(texts.count("INCA" + step) <= 3, qPrintable(turned.join(' ')));
        // Every frame whose prediction was not confirmed was re-centred for the front camera in
        // full (X, Y then ZII, up to twice: no move once the stone stands within the tolerance).
        const QStringList log = testsupport::logMessages();
        const int verified = log.filter("predicted front alignment verified").size();
        QCOMPARE(verified, frames - 1 - texts.count("INCA" + step));
        QCOMPARE(log.filter(QRegularExpression("^Alignment panorama done in ")).size(), frames - verified);
        const int moves = testsupport::alignmentMoves(log, "panorama");
        QVERIFY(moves >= 0);
        QCOMPARE(texts.filter(QRegularExpression("^MOVEX[^:]+:Y[^:]+:$")).size(), moves);
        QCOMPARE(texts.filter(QRegularExpression("^MOVEF")).size(), moves);

        QStringList expected;
        for (int i = 0; i < frames; ++i)
            expected << QString("img_%1.png").arg(i, 2, 10, QChar('0'));
        QCOMPARE(frameFiles(), expected);
        const cv::Mat first = cv::imread(QDir(share()).filePath("img_00.png").toStdString());
        QCOMPARE(first.cols, 1280);
        QVERIFY(first.rows > 0);

        QCOMPARE(log.count("Starting stech"), 1);
        QCOMPARE(log.filter(QRegularExpression("^\\[Capture \\d+\\]Rotative Motion end after: \\d+ ms$")).size(), frames - 1);
        QCOMPARE(log.filter(QRegularExpression("^\\[Capture \\d+\\]Alignement 1 Iterations end after \\d+ ms$")).size(), frames);
        QCOMPARE(log.filter(QRegularExpression("^Total Time \\d+ ms$")).size(), 1);
        QCOMPARE(stitcher->LastScanTimings().size(), frames);

        // The panorama of this scan's frames: announced, shown, and in the folder when asked for.
        QCOMPARE(panoramaReady.size(), 1);
        QVERIFY(!stitcher->getImage().empty());
        QCOMPARE(stitcher->LastPanorama().framesUsed, frames);
        QCOMPARE(log.filter(QRegularExpression(QString("^Panorama: %1 frames, ").arg(frames))).size(), 1);
        QCOMPARE(log.filter(QRegularExpression("^Panorama seam \\d+->\\d+: ")).size(),
                 int(stitcher->LastPanorama().seams.size()));
        const QString panoramaPath = QDir(share()).filePath("panorama.png");
        QCOMPARE(QFileInfo(panoramaPath).isFile(), panoramaFile);
        QCOMPARE(log.count("Panorama written to " + panoramaPath), panoramaFile ? 1 : 0);
        // No temporary file left behind.
        QCOMPARE(QDir(share()).entryList({"panorama*"}, QDir::Files),
                 panoramaFile ? QStringList{"panorama.png"} : QStringList());

        // The girdle profile: measured on this scan's frames, one row per degree of A.
        const QString girdlePath = QDir(share()).filePath("girdle.csv");
        QCOMPARE(QFileInfo(girdlePath).isFile(), girdleFile);
        QCOMPARE(log.filter(QRegularExpression(QString("^Girdle profile: \\d+ of %1 frames measured, ").arg(frames))).size(), 1);
        if (girdleFile) {
            const QStringList rows = QString::fromUtf8(testsupport::readAll(girdlePath)).split('\n', Qt::SkipEmptyParts);
            QCOMPARE(rows.size(), 361);
            QCOMPARE(rows.at(1).section(',', 0, 0), QString("0"));
            QCOMPARE(rows.at(360).section(',', 0, 0), QString("359"));
            QCOMPARE(log.count("Girdle profile written to " + girdlePath), 1);
        } else {
            // The earlier stone's profile went with the previous scan's files when this scan started.
            QCOMPARE(log.filter(QRegularExpression("^Gridle Stitcher: removed \\d+ file\\(s\\) of the previous scan from ")).size(), 1);
        }
        QCOMPARE(QDir(share()).entryList({".girdle*"}, QDir::Files | QDir::Hidden), QStringList());
    }

    void steppedScanWaitsForTheOperator()
    {
        useStone(5.0);
        const int from = host->messages().size();
        stitcher->StartPanorama(true);
        auto reports = [&]() { return hostTexts(from).filter(QRegularExpression("^IMGSCAP")).size(); };
        for (int i = 0; i < 10; ++i) {
            QVERIFY(host->waitUntil([&]() { return reports() == i + 1; }, 30000));
            if (i == 0)
                QTest::qWait(100);   // room for a rotation that must not come
            QCOMPARE(turns(hostTexts(from)).size(), i);
            stitcher->NextStep();
        }
        QVERIFY(waitForHost("SCANEND", from));
        const QStringList texts = hostTexts(from);
        QCOMPARE(turns(texts).size(), 9);
        QCOMPARE(texts.filter(QRegularExpression("^INCA")).size(), texts.count("INCA37.9457"));
        QVERIFY(texts.filter(QRegularExpression("^IMGSCAP3COORDS.*&113\\.837#1\\.27#-1\\.68#5#37\\.9457$")).size() == 1);
        // Stepped mode logs no per-frame times.
        QCOMPARE(testsupport::logMessages().filter("Rotative Motion end after").size(), 0);
    }

    void noUsableFrameCount_data()
    {
        QTest::addColumn<double>("diameter");   // 0: no stone measured yet
        QTest::addColumn<double>("covering");
        QTest::addColumn<QString>("failure");
        QTest::newRow("diameter 0") << 0.0 << 0.0 << "SCANFAIL:NOSTONE";
        QTest::newRow("covering 1") << 5.0 << 1.0 << "SCANFAIL:SETTINGS";
        QTest::newRow("covering 37.5") << 5.0 << 37.5 << "SCANFAIL:SETTINGS";
        QTest::newRow("covering not a number") << 5.0 << std::nan("") << "SCANFAIL:SETTINGS";
        QTest::newRow("frame wider than the stone") << 1.0 << 0.0 << "SCANFAIL:SETTINGS";
    }
    void noUsableFrameCount()
    {
        QFETCH(double, diameter);
        QFETCH(double, covering);
        QFETCH(QString, failure);
        stitcher->CapturesCovering = covering;
        if (diameter > 0)
            useStone(diameter);
        QSignalSpy data(stitcher, &GridleStitcher::MFGriddleCapturesDataChanged);
        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(waitForHost("SCANEND", from));
        QCOMPARE(data.size(), 1);
        QCOMPARE(data.at(0).at(0).toInt(), 0);
        const QStringList texts = hostTexts(from);
        QCOMPARE(texts.filter(QRegularExpression("^(IMGSCAP|INC|MOVE)")), QStringList());
        // A scan of no frame is a failure the host is told about, then it ends as every scan does.
        QCOMPARE(texts.mid(texts.size() - 2), (QStringList{failure, "SCANEND"}));
        QCOMPARE(frameFiles(), QStringList());
        QCOMPARE(testsupport::logMessages().filter("Gridle Stitcher: no usable frame count").size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!stitcher->IsScanning(), 10000);
    }

    // One motion request at a time: a second scan is refused (the host gets SCANFAIL:BUSY after
    // its SCANBG, and no SCANEND, which it would take for the running scan's end), and so is an
    // alignment asked for in the middle of the scan's frames.
    void secondStartHasNoEffect()
    {
        useStone(5.0);
        host->setAnswerStatusQueries(false);   // holds the scan in its first motion wait
        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(waitForHost("GMS", from));
        host->send("BGSCAN");
        host->send("BGALIGN");
        stitcher->StartPanorama(true);
        QTRY_COMPARE_WITH_TIMEOUT(testsupport::logMessages().filter("a scan is running, start request refused").size(), 2,
                                  10000);
        QVERIFY(waitForHost("SCANFAIL:BUSY", from));
        QVERIFY(waitForHost("ALIGNFAIL:BUSY", from));
        host->setAnswerStatusQueries(true);
        host->send("MOVESTAT0:0:0");
        QVERIFY(waitForHost("SCANEND", from, 120000));
        const QStringList texts = hostTexts(from);
        QCOMPARE(texts.count("SCANBG"), 2);
        QCOMPARE(texts.count("SCANEND"), 1);
        QCOMPARE(texts.count("SCANFAIL:BUSY"), 1);
        QCOMPARE(texts.count("ALIGNEND"), 0);
        QCOMPARE(texts.filter(QRegularExpression("^IMGSCAP")).size(), 10);
        QCOMPARE(turns(texts).size(), 9);   // automatic, as the first start asked
        QCOMPARE(texts.filter(QRegularExpression("^INCA")).size(), texts.count("INCA36"));
        QCOMPARE(testsupport::logMessages().count("Starting stech"), 1);
    }

    // A host may ask for the next scan as soon as "SCANEND" arrives. Here each "SCANEND" starts
    // the next scan straight away (no stone yet: each scan ends at once).
    void nextScanRightAfterScanEnd()
    {
        // Shared, not on this function's stack: the last "SCANEND" may still be queued for the
        // slot when the test has returned.
        const auto started = std::make_shared<int>(1);
        connect(core, &MotionCore::TXCMD, this, [this, started](const QString& text) {
            if (text == "SCANEND" && *started < 10) {
                ++*started;
                stitcher->StartPanorama(false);
            }
        }, Qt::QueuedConnection);
        const int from = host->messages().size();
        stitcher->StartPanorama(false);
        QVERIFY(host->waitUntil([&]() { return hostTexts(from).count("SCANEND") == 10; }, 30000));
        const QStringList log = testsupport::logMessages();
        QCOMPARE(log.count("Starting stech"), 10);
        QCOMPARE(log.filter("start request refused").size(), 0);
        disconnect(core, &MotionCore::TXCMD, this, nullptr);
    }

    // A host that asks again the moment an outcome arrives (the next request written while
    // handling the read that brought "ALIGNEND" or "SCANEND") is served: the station is released
    // before the outcome goes out. (Covering 1: each scan ends at once, SCANFAIL:SETTINGS.)
    void nextRequestOnTheOutcomeIsServed()
    {
        constexpr int Rounds = 50;
        useStone(5.0);
        stitcher->CapturesCovering = 1.0;
        host->setOwnRequestsOnly(true);
        QStringList followUps;
        for (int round = 0; round < Rounds; ++round)
            followUps << "BGSCAN" << "BGRALIGN";
        host->setFollowUps(followUps);
        const int from = host->messages().size();
        host->send("BGRALIGN");
        QVERIFY(host->waitUntil([&]() { return hostTexts(from).count("ALIGNEND") + hostTexts(from).count("SCANEND") == 2 * Rounds + 1
                                               || !host->failures().filter("BUSY").isEmpty(); },
                                120000));
        QCOMPARE(host->failures().filter("BUSY"), QStringList());
        QCOMPARE(hostTexts(from).count("ALIGNEND"), Rounds + 1);
        QCOMPARE(host->failures().size(), Rounds);
        QCOMPARE(host->failures().filter("SCANFAIL:SETTINGS").size(), Rounds);
        QCOMPARE(testsupport::logMessages().filter("start request refused").size(), 0);
    }

    // Closing the station ends a scan wherever it waits: for the operator in stepped mode, or
    // for a host that does not answer "GMS". "SCANEND" is still sent.
    void closingEndsTheScan_data()
    {
        QTest::addColumn<bool>("silentHost");
        QTest::newRow("stepped scan waiting for the operator") << false;
        QTest::newRow("host not answering GMS") << true;
    }
    void closingEndsTheScan()
    {
        QFETCH(bool, silentHost);
        useStone(5.0);
        const int from = host->messages().size();
        if (silentHost) {
            host->setAnswerStatusQueries(false);
            stitcher->StartPanorama(false);
            QVERIFY(waitForHost("GMS", from));
        } else {
            stitcher->StartPanorama(true);
            QVERIFY(host->waitUntil([&]() { return !hostTexts(from).filter("IMGSCAP0COORDS").isEmpty(); }, 30000));
        }
        QSignalSpy sent(core, &MotionCore::TXCMD);
        QElapsedTimer clock;
        clock.start();
        GridleStitcher::Destroy();
        stitcher = nullptr;
        // The generous bound tells a prompt end from a hang.
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        bool scanEnd = false;
        for (const QList<QVariant>& args : sent)
            scanEnd = scanEnd || args.at(0).toString() == "SCANEND";
        QVERIFY(scanEnd);
        QVERIFY(waitForHost("SCANEND", from));
        const QStringList log = testsupport::logMessages();
        QCOMPARE(log.filter(QRegularExpression("^Total Time \\d+ ms$")).size(), 1);
        QVERIFY(log.contains("Gridle Stitcher Destruction"));
        QCOMPARE(hostTexts(from).filter(QRegularExpression("^INCA")).size(), 0);
    }

    // Image mode: the host reads each frame back from the BMP behind "IMGCAP...->"; it is the
    // frame written to the shared folder, in its true colours.
    void imageReports()
    {
        stitcher->RunMode = 1;
        useStone(5.0);
        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(waitForHost("SCANEND", from, 120000));
        QCOMPARE(host->imageCount(), 10);
        QList<HostSimulator::Message> images;
        for (const HostSimulator::Message& m : host->messages().mid(from)) {
            if (!m.bmp.isEmpty())
                images << m;
        }
        QCOMPARE(images.size(), 10);
        for (int i = 0; i < images.size(); i += 9) {
            QVERIFY2(QRegularExpression(QString("^IMGCAP%1COORDS[-0-9.e+]+&[-0-9.e+]+&%2$").arg(i).arg(i * 36))
                         .match(images.at(i).text)
                         .hasMatch(),
                     qPrintable(images.at(i).text));
            QImage fromHost;
            QVERIFY(fromHost.loadFromData(images.at(i).bmp, "BMP"));
            const cv::Mat file = cv::imread(QDir(share()).filePath(QString("img_%1.png").arg(i, 2, 10, QChar('0'))).toStdString());
            QCOMPARE(fromHost.width(), file.cols);
            QCOMPARE(fromHost.height(), file.rows);
            const QImage rgb = fromHost.convertToFormat(QImage::Format_RGB888);
            int differing = 0;
            for (int r = 0; r < file.rows; r += 7) {
                const uchar* line = rgb.constScanLine(r);
                for (int c = 0; c < file.cols; c += 5) {
                    const cv::Vec3b bgr = file.at<cv::Vec3b>(r, c);
                    if (line[3 * c] != bgr[2] || line[3 * c + 1] != bgr[1] || line[3 * c + 2] != bgr[0])
                        ++differing;
                }
            }
            QCOMPARE(differing, 0);
        }
        QCOMPARE(hostTexts(from).filter(QRegularExpression("^IMGSCAP")).size(), 0);
    }

    void settings()
    {
        Registry* registry = Registry::AccessMemory();
        registry->SetKey("PSTTCHMFCAPN", "12");
        registry->SetKey("PSTTCHMFCAPCOV", "0.25");
        QVERIFY(stitcher->PanoramaFileEnabled);
        QVERIFY(stitcher->GirdleFileEnabled);
        registry->SetKey("PSTTCHMFPANOFILE", "0");
        registry->SetKey("PSTTCHMFGIRDLEFILE", "0");
        stitcher->LoadMFStitchParameters();
        QCOMPARE(stitcher->CapturesNumber.load(), 12);
        QCOMPARE(stitcher->CapturesCovering.load(), 0.25);
        QVERIFY(!stitcher->PanoramaFileEnabled);
        QVERIFY(!stitcher->GirdleFileEnabled);
        stitcher->CapturesCovering = 0.123456789;
        stitcher->PanoramaFileEnabled = true;
        stitcher->SaveMFStitchParameter();
        QVERIFY(registry->SaveReg());
        QVERIFY(testsupport::readAll("Registry.dat").contains("PSTTCHMFCAPCOV:0.123457\n"));
        QVERIFY(testsupport::readAll("Registry.dat").contains("PSTTCHMFPANOFILE:1\n"));
        QVERIFY(testsupport::readAll("Registry.dat").contains("PSTTCHMFGIRDLEFILE:0\n"));
        QVERIFY(stitcher->getImage().empty());
    }

    // A frame is reported only once its file is stored whole. A frame that cannot be stored
    // ends the scan: SCANFAIL:STORAGE, then SCANEND; the frames before it stay, reported; no
    // file is left half written under a frame's name or beside it.
    void scanStopsAtAFrameThatCannotBeStored_data()
    {
        QTest::addColumn<QString>("folder");       // relative to the working directory; "" for none
        QTest::addColumn<QString>("obstacle");     // made before the scan, relative as well
        QTest::addColumn<int>("stored");           // frames stored and reported before the failure
        QTest::newRow("folder missing: created") << "new/share" << "" << 10;
        // A regular file where a parent folder should be: not even root can create the folder.
        QTest::newRow("a file in the way") << "occupied/share" << "occupied" << 0;
        // A folder where one frame's file should be: that frame cannot be written.
        QTest::newRow("one frame's file blocked") << "share" << "share/img_03.png/" << 3;
        // A hand-edited "PSHAREDFOLDER:" with nothing after it: nothing may land at the root.
        QTest::newRow("folder setting empty") << "" << "" << 0;
        // The panorama's file alone cannot be written: logged, the scan itself is complete.
        QTest::newRow("panorama's file blocked") << "share" << "share/panorama.png/" << 10;
    }
    void scanStopsAtAFrameThatCannotBeStored()
    {
        QFETCH(QString, folder);
        QFETCH(QString, obstacle);
        QFETCH(int, stored);
        const QString path = folder.isEmpty() ? QString() : work->file(folder);
        if (obstacle.endsWith('/'))
            QVERIFY(QDir().mkpath(obstacle));
        else if (!obstacle.isEmpty())
            testsupport::writeAll(obstacle, "a file, not a folder\n");
        Registry::AccessMemory()->SetKey(Registry::SharedFolderKey, path);
        // A previous scan of twelve frames and files that are no scan's: the twelve go when the
        // scan starts, so the folder then holds this scan's frames only, however it ends.
        const QStringList foreign{"Cam2Snapshot.png", "img_7.png", "img_007.png", "notes.txt", "img_02.png.bak", "IMG_02.PNG"};
        const bool previous = path == share();
        int stale = 0;
        if (previous) {
            for (int i = 0; i < 12; ++i) {
                const QString file = QDir(path).filePath(frameName(i));
                if (!QFileInfo(file).isDir() && ++stale)
                    QVERIFY(cv::imwrite(file.toStdString(), cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(7))));
            }
            for (const QString& name : foreign)
                testsupport::writeAll(QDir(path).filePath(name), "kept\n");
        }
        useStone(5.0);

        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(host->waitForText("SCANEND", from, 120000) >= 0);
        if (previous) {
            QStringList names;
            for (int i = 0; i < stored; ++i)
                names << frameName(i);
            QCOMPARE(QDir(path).entryList({"img_??.png"}, QDir::Files | QDir::CaseSensitive, QDir::Name), names);
            // The front camera writes its own snapshot now and then: that one only has to be there.
            for (const QString& name : foreign)
                QVERIFY2(name == "Cam2Snapshot.png" ? QFileInfo(QDir(path).filePath(name)).isFile()
                                                     : testsupport::readAll(QDir(path).filePath(name)) == QByteArray("kept\n"),
                         qPrintable(name));
            QCOMPARE(testsupport::logMessages().count(QString("Gridle Stitcher: removed %1 file(s) of the previous scan from ").arg(stale) + path), 1);
        }
        const QStringList texts = host->texts().mid(from);
        QCOMPARE(texts.last(), QString("SCANEND"));
        QCOMPARE(texts.count("SCANFAIL:STORAGE"), stored < 10 ? 1 : 0);
        const QStringList reports = texts.filter(QRegularExpression("^IMGSCAP"));
        QCOMPARE(reports.size(), stored);
        for (int i = 0; i < stored; ++i) {
            QVERIFY2(reports.at(i).startsWith(QString("IMGSCAP%1COORDS").arg(i)), qPrintable(reports.at(i)));
            QVERIFY(QFileInfo(QDir(path).filePath(frameName(i))).isFile());
        }
        const QStringList failed = testsupport::logMessages().filter("Gridle Stitcher: scan failed, SCANFAIL:STORAGE");
        QCOMPARE(failed.size(), stored < 10 ? 1 : 0);
        if (!path.isEmpty() && QFileInfo(path).isDir())
            QCOMPARE(QDir(path).entryList(QStringList{".*partial"}, QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(!QFileInfo::exists("/" + frameName(0)));
        // The panorama belongs to a complete scan only.
        const QString panoramaPath = QDir(path).filePath("panorama.png");
        const bool blocked = obstacle.startsWith("share/panorama.png");
        QCOMPARE(QFileInfo(panoramaPath).isFile(), stored == 10 && !blocked);
        // So does the girdle profile.
        QCOMPARE(QFileInfo(QDir(path).filePath("girdle.csv")).isFile(), stored == 10 && QFileInfo(path).isDir());
        QCOMPARE(testsupport::logMessages().filter(QRegularExpression("^Panorama: could not write " + QRegularExpression::escape(panoramaPath) + ": ")).size(),
                 blocked ? 1 : 0);
    }

    // A previous scan's file that cannot be removed: the scan fails with SCANFAIL:STORAGE
    // before it moves anything or takes a frame (the folder would mix two scans).
    void previousFileThatCannotBeRemovedFailsTheScan()
    {
        QVERIFY(QDir().mkpath(share()));
        const QString stuck = QDir(share()).filePath("img_05.png");
        testsupport::writeAll(stuck, "an earlier frame\n");
        testsupport::writeAll(QDir(share()).filePath("panorama.png"), "an earlier panorama\n");
        Unremovable guard(stuck);
        if (!guard.isActive())
            QSKIP("this file system cannot make a file unremovable for this user");
        useStone(5.0);
        const int from = host->messages().size();
        host->send("BGSCAN");
        QVERIFY(waitForHost("SCANEND", from, 120000));
        guard.release();
        const QStringList texts = hostTexts(from);
        QCOMPARE(texts.first(), QString("SCANBG"));
        QCOMPARE(texts.mid(texts.size() - 2), (QStringList{"SCANFAIL:STORAGE", "SCANEND"}));
        QCOMPARE(texts.filter(QRegularExpression("^(INC|MOVE|IMGSCAP)")), QStringList());
        const QStringList log = testsupport::logMessages();
        QCOMPARE(log.filter(QRegularExpression("^Gridle Stitcher: could not remove the previous scan's "
                                               + QRegularExpression::escape(stuck) + ": .+")).size(), 1);
        QVERIFY(log.contains("Gridle Stitcher: removed 1 file(s) of the previous scan from " + share()));
        QVERIFY(log.contains("Gridle Stitcher: scan failed, SCANFAIL:STORAGE: the previous scan's files could not all "
                             "be removed from " + share()));
        QStringList left = QDir(share()).entryList(QDir::Files);
        left.removeAll("Cam2Snapshot.png");   // the front camera's start-up snapshot
        QCOMPARE(left, QStringList{"img_05.png"});
    }

    // A panorama is encoded on every core: the file any PNG reader opens holds the exact pixels.
    void largeImageFileHoldsTheExactPixels_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("fill");   // 0 noise beside a plain third, 1 plain with dots, 2 skewed steps
        QTest::newRow("panorama, colour") << 12368 << 1026 << CV_8UC3 << 0;
        QTest::newRow("odd size, grey") << 4099 << 1027 << CV_8UC1 << 0;
        QTest::newRow("frame, colour (one thread)") << 1280 << 1024 << CV_8UC3 << 0;
        QTest::newRow("one colour with a few dots") << 8000 << 700 << CV_8UC3 << 1;
        // Steps from pixel to pixel whose counts rise as the Fibonacci numbers: a plain Huffman
        // code would need codes longer than a file may hold.
        QTest::newRow("skewed steps, grey") << 2048 << 2048 << CV_8UC1 << 2;
    }
    void largeImageFileHoldsTheExactPixels()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, type);
        QFETCH(int, fill);
        cv::Mat image(height, width, type);
        cv::randu(image, 0, 256);
        // Smooth stretches too, where the filter and the run lengths matter.
        image(cv::Rect(0, 0, fill == 1 ? width : width / 3, height)).setTo(cv::Scalar(17, 200, 3));
        for (int dot = 0; fill == 1 && dot < 50; ++dot)
            image.at<cv::Vec3b>(dot * 13 % height, dot * 997 % width) = cv::Vec3b(uchar(dot), uchar(5 * dot), 255);
        if (fill == 2) {
            std::vector<uchar> steps;
            for (long long k = 0, a = 1, b = 1; k < 22; ++k, b += a, a = b - a)
                steps.insert(steps.end(), static_cast<size_t>(a), static_cast<uchar>(k));
            std::mt19937 order(7);
            std::shuffle(steps.begin(), steps.end(), order);
            for (size_t i = 0; i < image.total(); ++i)
                image.data[i] = static_cast<uchar>((i % size_t(width) == 0 ? 0 : image.data[i - 1]) + steps[i % steps.size()]);
        }
        const QString path = QDir::current().filePath("big.png");
        QString why;
        QVERIFY2(WritePngAtomically(path, image, &why), qPrintable(why));
        const cv::Mat back = cv::imread(path.toStdString(), cv::IMREAD_UNCHANGED);
        QCOMPARE(back.type(), type);
        QCOMPARE(back.size(), image.size());
        QCOMPARE(cv::norm(back, image, cv::NORM_INF), 0.0);
    }
};

QTEST_MAIN(TestGridleStitcher)
#include "tst_gridlestitcher.moc"
