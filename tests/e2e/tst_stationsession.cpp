#include "operatorsession.h"
#include "sim/host/hostscript.h"
#include "stationprocess.h"

#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>

// The real station binary driven by the host simulator over loopback through a whole working
// session: alignments, a girdle scan, a snapshot and stream frames. What is checked is what the
// host and the integrator see: the messages on the wire and their order, the files in the
// shared folder, the records of the log, and an orderly exit on SIGTERM.
class TestStationSession : public QObject
{
    Q_OBJECT

    // Axis speed of the simulated machine, units (mm, degrees) per second: finite, so that the
    // station really has to wait for the end of every motion.
    static constexpr double AxisSpeed = 100;
    static constexpr int AnswerTimeoutMs = 180000;
    // A prompt stop, not a wait for something that never comes. The stop waits for at most the
    // analyser's frame in progress, which runs niced and a loaded machine stretches; how fast
    // the station stops is printed, not bounded here.
    static constexpr qint64 StopBoundMs = 20000;

    struct Exchange
    {
        int request = -1;   // number of station messages before the request
        QList<int> answers; // index of each answer among the station messages
        qint64 ms = -1;     // from the request to the last answer
    };

    // Sends the command and waits for the answers in this order.
    static Exchange play(HostSimulator& host, const QString& command, const QStringList& answers, QString* missing)
    {
        Exchange e;
        e.request = host.messages().size();
        QElapsedTimer clock;
        clock.start();
        host.send(command);
        int next = e.request;
        for (const QString& answer : answers) {
            const int index = host.waitForText(answer, next, int(qMax<qint64>(1, AnswerTimeoutMs - clock.elapsed())));
            if (index < 0) {
                *missing = answer;
                return e;
            }
            e.answers << index;
            next = index + 1;
        }
        e.ms = clock.elapsed();
        return e;
    }

    static QString why(const HostSimulator& host, const e2e::StationProcess& station, const QString& command, const QString& missing)
    {
        return QStringLiteral("%1: no %2 (violations: %3; last messages: %4); %5")
            .arg(command, missing, host.violations().join(QStringLiteral("; ")),
                 host.texts().mid(host.texts().size() - 8).join(QLatin1Char(' ')), station.exitText());
    }

    static void report(const HostSimulator& host, const QString& what, const Exchange& e)
    {
        const QStringList body = host.texts().mid(e.request, e.answers.value(e.answers.size() - 1, e.request) - e.request);
        qInfo().noquote() << QStringLiteral("%1 in %2 ms (%3 GMS, %4 moves)")
                                 .arg(what)
                                 .arg(e.ms)
                                 .arg(body.count(QStringLiteral("GMS")))
                                 .arg(body.filter(QRegularExpression(QStringLiteral("^(MOVE|INC)"))).size());
    }

    static QStringList texts(const HostSimulator& host, int from, int to) { return host.texts().mid(from, to - from); }

    static QStringList matching(const QStringList& list, const QString& pattern)
    {
        return list.filter(QRegularExpression(pattern));
    }

    static QSize frontSensor()
    {
        const rig::CameraSpec front = rig::Rig::defaultCamera(rig::View::Front);
        return QSize(front.width, front.height);
    }

    static QString frameFile(const QString& folder, int index)
    {
        return QDir(folder).filePath(QStringLiteral("img_%1.png").arg(index, 2, 10, QLatin1Char('0')));
    }

    struct ScanReport
    {
        int index = -1;
        QString x, y, a, pixelSize, offset, diameter, step;
    };
    static QList<ScanReport> scanReports(const QStringList& list)
    {
        static const QRegularExpression form(
            QStringLiteral("^IMGSCAP(\\d+)COORDS([^&]+)&([^&]+)&([^#]+)#([^#]+)#([^#]+)#([^#]+)#([^#]+)$"));
        QList<ScanReport> reports;
        for (const QString& t : list) {
            const QRegularExpressionMatch m = form.match(t);
            if (m.hasMatch())
                reports << ScanReport{m.captured(1).toInt(), m.captured(2), m.captured(3), m.captured(4),
                                      m.captured(5), m.captured(6), m.captured(7), m.captured(8)};
        }
        return reports;
    }

    // Scan traffic with the status queries and the re-centring moves left out: the reports and
    // the rotations between them.
    // The turn to frame i: "INCA{step}" while the run-out is learnt, then the turn and the front
    // alignment it predicts as one move to A = i steps.
    static bool isTurn(const QString& t)
    {
        return t.startsWith(QLatin1String("INCA")) || QRegularExpression(QStringLiteral("^MOVEX[^:]+:Y[^:]+:Z[^:]+:A[^:]+:F[^:]+:$")).match(t).hasMatch();
    }

    // Checks the frames one girdle scan left in the shared folder and on the wire.
    void checkScan(const HostSimulator& host, const Exchange& scan, const QString& share, int frames, const QString& step)
    {
        const QStringList body = texts(host, scan.answers.first() + 1, scan.answers.last());
        // Reports in order, each once its file is stored (it may come after the next turn).
        QStringList reportNames;
        for (const QString& t : body)
            if (t.startsWith(QLatin1String("IMGSCAP")))
                reportNames << t.section(QStringLiteral("COORDS"), 0, 0);
        QStringList expected;
        for (int i = 0; i < frames; ++i)
            expected << QStringLiteral("IMGSCAP%1").arg(i);
        QCOMPARE(reportNames, expected);
        QList<int> turns;
        for (int k = 0; k < body.size(); ++k)
            if (isTurn(body.at(k)))
                turns << k;
        QCOMPARE(turns.size(), frames - 1);

        const QList<ScanReport> reports = scanReports(body);
        QCOMPARE(reports.size(), frames);
        for (const ScanReport& r : reports) {
            // Every frame is re-centred for the front camera after its turn (by the alignment, or
            // by the turn itself when the run-out predicted it), unless the stone already stood
            // within the tolerance (the first frame right after BGRALIGN); the report carries
            // the positions the host reported after the last re-centring move before it.
            const int to = r.index + 1 < frames ? turns.at(r.index) : body.size();
            const QStringList xy = matching(body.mid(0, to), QStringLiteral("^MOVEX[^:]+:Y[^:]+:(Z[^:]+:A[^:]+:F[^:]+:)?$"));
            if (r.index > 0)
                QVERIFY2(!xy.isEmpty(), qPrintable(QStringLiteral("no re-centring before frame %1").arg(r.index)));
            if (!xy.isEmpty())
                QVERIFY2(xy.last().startsWith(QStringLiteral("MOVEX%1:Y%2:").arg(r.x, r.y)), qPrintable(xy.last()));
            // A has turned by one step per frame (reports carry six significant digits).
            QCOMPARE(r.a, QString::number(r.index * step.toDouble(), 'g', 6));
            QCOMPARE(r.pixelSize, QStringLiteral("1.27"));
            QCOMPARE(r.offset, QStringLiteral("-1.68"));
            QVERIFY2(qAbs(r.diameter.toDouble() - 5.0) < 0.2, qPrintable(r.diameter));
            QCOMPARE(r.step, step);

            QImage image(frameFile(share, r.index));
            QVERIFY2(!image.isNull(), qPrintable(frameFile(share, r.index)));
            QCOMPARE(image.size(), frontSensor());
        }
        QVERIFY2(!QFileInfo::exists(frameFile(share, frames)), qPrintable(frameFile(share, frames)));
    }

    void checkOrderlyStop(e2e::StationProcess& station)
    {
        const qint64 stopMs = station.terminate(60000);
        QVERIFY2(stopMs >= 0, "the station did not end within 60 s of SIGTERM");
        qInfo().noquote() << QStringLiteral("SIGTERM -> teardown began after %1 ms, log closed after %2 ms, process ended after %3 ms")
                                 .arg(station.msAfterSignal(QStringLiteral("Gridle Stitcher Destruction")))
                                 .arg(station.msAfterSignal(QStringLiteral("Exit")))
                                 .arg(stopMs);
        QVERIFY2(station.exitedCleanly(), qPrintable(station.exitText()));
        QVERIFY2(stopMs <= StopBoundMs, qPrintable(QStringLiteral("stopping took %1 ms").arg(stopMs)));
        const QStringList records = station.log();
        const QString missing = e2e::missingInOrder(records, e2e::shutdownRecords());
        QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("shutdown record \"%1\" missing or out of order").arg(missing)));
        QCOMPARE(records.mid(records.size() - 3), e2e::lastRecords());
    }

private slots:
    void cleanup() { e2e::destroyLeftoverComponents(); }

    void wholeConversation()
    {
        testsupport::WorkDir work;
        const QString prepared = e2e::prepareRigDirectory(work.path());
        QVERIFY2(prepared.isEmpty(), qPrintable(prepared));
        const QString share = work.file(QStringLiteral("share"));

        e2e::StationProcess station(work.path());
        QString problem;
        QVERIFY2(station.start(&problem), qPrintable(problem));
        QVERIFY2(station.waitUntilFirstFrontFrame(60000), qPrintable(station.exitText()));

        HostSimulator host;
        host.setSpeed(AxisSpeed);
        host.setStrict(true);
        QVERIFY2(e2e::connectHost(host, e2e::HostPort, 30000), qPrintable(host.lastSocketError()));

        QString missing;
        const Exchange align = play(host, QStringLiteral("BGALIGN"), {QStringLiteral("ALIGNBG"), QStringLiteral("ALIGNEND")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("BGALIGN"), missing)));
        report(host, QStringLiteral("BGALIGN -> ALIGNBG, ALIGNEND"), align);
        const Exchange enaax = play(host, QStringLiteral("ENAAX"), {QStringLiteral("ENAAXEND")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("ENAAX"), missing)));
        report(host, QStringLiteral("ENAAX -> ENAAXEND"), enaax);
        const Exchange ralign = play(host, QStringLiteral("BGRALIGN"), {QStringLiteral("ALIGNBG"), QStringLiteral("ALIGNEND")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("BGRALIGN"), missing)));
        report(host, QStringLiteral("BGRALIGN -> ALIGNBG, ALIGNEND"), ralign);
        const Exchange scan = play(host, QStringLiteral("BGSCAN"), {QStringLiteral("SCANBG"), QStringLiteral("SCANEND")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("BGSCAN"), missing)));
        report(host, QStringLiteral("BGSCAN -> SCANBG, reports, SCANEND"), scan);
        const QDateTime snapshotAsked = QDateTime::currentDateTime();
        const Exchange snapshot = play(host, QStringLiteral("QISI"), {QStringLiteral("SIDONE")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("QISI"), missing)));
        report(host, QStringLiteral("QISI -> SIDONE"), snapshot);
        const int framesBefore = host.frameCount();
        for (int n = 1; n <= 3; ++n) {
            QElapsedTimer clock;
            clock.start();
            host.send(QStringLiteral("RQI"));
            QVERIFY2(host.waitForFrames(framesBefore + n, AnswerTimeoutMs),
                     qPrintable(QStringLiteral("RQI %1: no video frame; ").arg(n) + station.exitText()));
            qInfo().noquote() << QStringLiteral("RQI -> video frame %1 in %2 ms").arg(n).arg(clock.elapsed());
        }

        // The wire: the simulator checked every frame, number and header on the way in.
        QVERIFY2(host.violationCount() == 0, qPrintable(host.violations().join(QStringLiteral("; "))));
        QStringList expected{QStringLiteral("NCQ"), QStringLiteral("ALIGNBG"), QStringLiteral("ALIGNEND"),
                             QStringLiteral("ENAAXEND"), QStringLiteral("ALIGNBG"), QStringLiteral("ALIGNEND"),
                             QStringLiteral("SCANBG")};
        for (int i = 0; i < 10; ++i)
            expected << QStringLiteral("IMGSCAP%1").arg(i);
        expected << QStringLiteral("SCANEND") << QStringLiteral("SIDONE");
        QCOMPARE(e2e::milestones(host.texts()), expected);

        // Each alignment is up to two measure-and-move iterations (none once the stone stands
        // within the tolerance), every motion waited for with GMS.
        const QStringList alignBody = texts(host, align.answers[0] + 1, align.answers[1]);
        const QStringList alignMoves = matching(alignBody, QStringLiteral("^MOVEX[^:]+:Y[^:]+:Z[^:]+:$"));
        QVERIFY2(alignMoves.size() == 1 || alignMoves.size() == 2, qPrintable(alignMoves.join(' ')));
        QVERIFY(alignBody.count(QStringLiteral("GMS")) >= alignMoves.size() + 1);
        // The X alignment sends Y where the host last reported it: where the first one put it.
        const QString alignedY = alignMoves.last().section(QLatin1Char(':'), 1, 1);
        const QStringList xMoves = matching(texts(host, enaax.request, enaax.answers[0]), QStringLiteral("^MOVEX[^:]+:Y[^:]+:Z[^:]+:$"));
        QVERIFY(xMoves.size() <= 2);
        for (const QString& move : xMoves)
            QCOMPARE(move.section(QLatin1Char(':'), 1, 1), alignedY);
        QStringList frontMoves = matching(texts(host, ralign.answers[0] + 1, ralign.answers[1]), QStringLiteral("^(MOVE|INC)"));
        for (QString& move : frontMoves)
            move = move.startsWith(QLatin1String("MOVEF")) ? QStringLiteral("F") : move.contains(QLatin1String(":Y")) ? QStringLiteral("XY") : move;
        const QStringList once{QStringLiteral("XY"), QStringLiteral("F")};
        QVERIFY2(frontMoves == once || frontMoves == once + once, qPrintable(frontMoves.join(' ')));

        checkScan(host, scan, share, 10, QStringLiteral("36"));
        if (QTest::currentTestFailed())
            return;

        // The snapshot asked for, written after the request, and the stream frames.
        const QString snapshotFile = QDir(share).filePath(QStringLiteral("Cam2Snapshot.png"));
        QVERIFY(QFileInfo(snapshotFile).lastModified() >= snapshotAsked.addMSecs(-100));
        QCOMPARE(QImage(snapshotFile).size(), frontSensor());
        QCOMPARE(host.frames().size(), framesBefore + 3);
        for (const QByteArray& frame : host.frames().mid(framesBefore))
            QCOMPARE(QImage::fromData(frame, "JPEG").size(), frontSensor());

        host.disconnectFromStation();
        checkOrderlyStop(station);
        if (QTest::currentTestFailed())
            return;

        const QStringList records = station.log();
        QString out = e2e::missingInOrder(records, e2e::creationRecords());
        QVERIFY2(out.isEmpty(), qPrintable(QStringLiteral("start-up record \"%1\" missing or out of order").arg(out)));
        out = e2e::missingInOrder(records, {QStringLiteral("New Data connection from [127.0.0.1:"),
                                            QStringLiteral("New Video connection from [127.0.0.1:"),
                                            QStringLiteral("Starting stech"), QStringLiteral("Total Time "),
                                            QStringLiteral("Tessarix Data Disconnected")});
        QVERIFY2(out.isEmpty(), qPrintable(QStringLiteral("record \"%1\" missing or out of order").arg(out)));
        out = e2e::missingInOrder(records, {QStringLiteral("Residual after inscription alignment: "),
                                            QStringLiteral("Residual after inscription X alignment: "),
                                            QStringLiteral("Residual after panorama alignment: ")});
        QVERIFY2(out.isEmpty(), qPrintable(QStringLiteral("record \"%1\" missing or out of order").arg(out)));
    }

    // The stone leaves the view: every request is told why, nothing moves, and once the stone is
    // back (or the host reports sane positions again) the same host is served normally.
    void failuresAreToldAndTheNextServed()
    {
        testsupport::WorkDir work;
        const QString prepared = e2e::prepareRigDirectory(work.path(), {QStringLiteral("PMALMEASTO:1500")});
        QVERIFY2(prepared.isEmpty(), qPrintable(prepared));
        e2e::StationProcess station(work.path());
        QString problem;
        QVERIFY2(station.start(&problem), qPrintable(problem));
        QVERIFY2(station.waitUntilFirstFrontFrame(60000), qPrintable(station.exitText()));
        HostSimulator host;
        host.setSpeed(AxisSpeed);
        host.setStrict(true);
        host.setOwnRequestsOnly(true);
        QVERIFY2(e2e::connectHost(host, e2e::HostPort, 30000), qPrintable(host.lastSocketError()));

        QString missing;
        play(host, QStringLiteral("BGALIGN"), {QStringLiteral("ALIGNBG"), QStringLiteral("ALIGNEND")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("BGALIGN"), missing)));
        const double alignedX = host.position(HostSimulator::X);

        // Out of view (50 mm along X): each request is told why, and nothing moves.
        host.setPosition(HostSimulator::X, alignedX + 50);
        host.reportCoords();
        const QList<QStringList> rounds{{QStringLiteral("BGALIGN"), QStringLiteral("ALIGNFAIL:NOSTONE")},
                                        {QStringLiteral("ENAAX"), QStringLiteral("ENAAXFAIL:NOSTONE")},
                                        {QStringLiteral("BGSCAN"), QStringLiteral("SCANFAIL:NOSTONE"), QStringLiteral("SCANEND")}};
        for (const QStringList& round : rounds) {
            const Exchange failed = play(host, round.first(), round.mid(1), &missing);
            QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, round.first(), missing)));
            const QStringList body = texts(host, failed.request, failed.answers.last());
            QCOMPARE(matching(body, QStringLiteral("^(MOVE|INC|IMGSCAP)")), QStringList());
            QVERIFY(!body.contains(QStringLiteral("ALIGNEND")) && !body.contains(QStringLiteral("ENAAXEND")));
            QVERIFY2(!station.log().filter(QStringLiteral("failed, ") + round.at(1)).isEmpty(), qPrintable(round.at(1)));
        }

        // The stone back: the same host is served normally.
        host.setPosition(HostSimulator::X, alignedX);
        host.reportCoords();
        const Exchange served = play(host, QStringLiteral("BGALIGN"), {QStringLiteral("ALIGNBG"), QStringLiteral("ALIGNEND")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("BGALIGN after the failures"), missing)));
        QCOMPARE(matching(texts(host, served.request, served.answers.last()), QStringLiteral("FAIL")), QStringList());
        QCOMPARE(host.violations(), QStringList());
        host.disconnectFromStation();
        checkOrderlyStop(station);
    }

    // The operator changes the scan covering in the window and saves the Marking Front panel;
    // the next start of the station scans with it: eleven frames instead of ten.
    void savedSettingsInEffect()
    {
        testsupport::WorkDir work;
        const QString prepared = e2e::prepareRigDirectory(work.path());
        QVERIFY2(prepared.isEmpty(), qPrintable(prepared));
        const QString share = work.file(QStringLiteral("share"));
        {
            e2e::OperatorSession session;
            QVERIFY(session.exposed);
            const QString box = QStringLiteral("doubleSpinBoxCapCoveringpercentMF");
            QVERIFY(session.reveal(box));
            auto* covering = session.find<QDoubleSpinBox>(box);
            covering->setFocus();
            covering->selectAll();
            QTest::keyClicks(covering, QStringLiteral("0") + covering->locale().decimalPoint() + QStringLiteral("1"));
            QTest::keyClick(covering, Qt::Key_Enter);
            QVERIFY(session.reveal(QStringLiteral("pushButtonCamMfSaveParams")));
            QVERIFY(session.click(QStringLiteral("pushButtonCamMfSaveParams")));
        }
        const QStringList saved = QString::fromUtf8(testsupport::readAll(work.file(QStringLiteral("Registry.dat")))).split('\n');
        QVERIFY2(saved.contains(QStringLiteral("PSTTCHMFCAPCOV:0.1")), qPrintable(saved.join(QLatin1Char('|'))));

        e2e::StationProcess station(work.path());
        QString problem;
        QVERIFY2(station.start(&problem), qPrintable(problem));
        QVERIFY2(station.waitUntilFirstFrontFrame(60000), qPrintable(station.exitText()));
        HostSimulator host;
        host.setSpeed(AxisSpeed);
        host.setStrict(true);
        QVERIFY2(e2e::connectHost(host, e2e::HostPort, 30000), qPrintable(host.lastSocketError()));

        // As a host does: the stone in front of the front camera (and so measured) first.
        QString missing;
        play(host, QStringLiteral("BGRALIGN"), {QStringLiteral("ALIGNBG"), QStringLiteral("ALIGNEND")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("BGRALIGN"), missing)));
        const Exchange scan = play(host, QStringLiteral("BGSCAN"), {QStringLiteral("SCANBG"), QStringLiteral("SCANEND")}, &missing);
        QVERIFY2(missing.isEmpty(), qPrintable(why(host, station, QStringLiteral("BGSCAN"), missing)));
        report(host, QStringLiteral("BGSCAN with covering 0.1 -> SCANBG, reports, SCANEND"), scan);
        QVERIFY2(host.violationCount() == 0, qPrintable(host.violations().join(QStringLiteral("; "))));
        checkScan(host, scan, share, 11, QStringLiteral("32.7273"));
        if (QTest::currentTestFailed())
            return;

        host.disconnectFromStation();
        checkOrderlyStop(station);
    }

    // The host command line reads what the station announces back from the shared folder, as
    // the host software does, and fails when it cannot.
    void hostReadsAnnouncedFilesBack_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines");
        const QString size = QStringLiteral("%1x%2").arg(frontSensor().width()).arg(frontSensor().height());
        QTest::newRow("the shared folder") << "share" << int(hostscript::Ok)
                                           << QStringList{QStringLiteral("snapshot: QISI -> SIDONE "),
                                                          QStringLiteral("  Cam2Snapshot.png: %1 bytes, ") + size,
                                                          QStringLiteral("stream 1/1: RQI -> frame "), size + QStringLiteral(" JPEG")};
        QTest::newRow("a folder the station does not write") << "elsewhere" << int(hostscript::BadFile)
                                                             << QStringList{QStringLiteral("  Cam2Snapshot.png: missing")};
    }
    void hostReadsAnnouncedFilesBack()
    {
        QFETCH(QString, folder);
        QFETCH(int, exitCode);
        QFETCH(QStringList, lines);
        testsupport::WorkDir work;
        const QString prepared = e2e::prepareRigDirectory(work.path());
        QVERIFY2(prepared.isEmpty(), qPrintable(prepared));
        QDir(work.path()).mkpath(QStringLiteral("elsewhere"));
        e2e::StationProcess station(work.path());
        QString problem;
        QVERIFY2(station.start(&problem), qPrintable(problem));
        QVERIFY2(station.waitUntilFirstFrontFrame(60000), qPrintable(station.exitText()));

        QProcess hostsim;
        hostsim.setProcessChannelMode(QProcess::MergedChannels);
        hostsim.start(e2e::binary(QStringLiteral("hostsim")),
                      {QStringLiteral("--timeout"), QStringLiteral("60"), QStringLiteral("--shared-folder"), work.file(folder),
                       QStringLiteral("--snapshot"), QStringLiteral("--stream"), QStringLiteral("1")});
        QVERIFY(hostsim.waitForFinished(AnswerTimeoutMs));
        const QString output = QString::fromUtf8(hostsim.readAll());
        QVERIFY2(hostsim.exitCode() == exitCode, qPrintable(output));
        const qint64 snapshotSize = QFileInfo(work.file(QStringLiteral("share/Cam2Snapshot.png"))).size();
        for (const QString& line : lines) {
            const QString expected = line.contains(QLatin1String("%1")) ? line.arg(snapshotSize) : line;
            QVERIFY2(output.contains(expected), qPrintable(QStringLiteral("no \"%1\" in:\n%2").arg(expected, output)));
        }
        checkOrderlyStop(station);
    }
};

QTEST_MAIN(TestStationSession)
#include "tst_stationsession.moc"
