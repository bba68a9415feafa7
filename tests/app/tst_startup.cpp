#include "testsupport.h"

#include <QProcess>
#include <QtTest>

#include <csignal>

// Starts the real station binary offscreen in an empty directory, stops it with a signal and
// checks the files it leaves behind.
class TestStartup : public QObject
{
    Q_OBJECT

    std::unique_ptr<testsupport::WorkDir> work;

    static QString stationBinary() { return qEnvironmentVariable("VELTRAX_BIN_DIR") + "/veltrax-station"; }

    void runAndStop(int signalNumber)
    {
        const QString ready = QStringLiteral("Registry Class imported successfully");
        const int runsBefore = testsupport::logMessages(work->file("Logs.ini")).count(ready);
        QProcess station;
        station.setWorkingDirectory(work->path());
        station.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        station.setStandardOutputFile(QProcess::nullDevice());
        station.start(stationBinary(), QStringList());
        QVERIFY2(station.waitForStarted(20000), qPrintable(station.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(testsupport::logMessages(work->file("Logs.ini")).count(ready) > runsBefore, 60000);
        ::kill(static_cast<pid_t>(station.processId()), signalNumber);
        QVERIFY(station.waitForFinished(60000));
        QCOMPARE(station.exitStatus(), QProcess::NormalExit);
        QCOMPARE(station.exitCode(), 0);
    }

private slots:
    void init() { work.reset(new testsupport::WorkDir); }
    void cleanup() { work.reset(); }

    void signalClosesInOrder_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void signalClosesInOrder()
    {
        QFETCH(int, signalNumber);
        runAndStop(signalNumber);
        QCOMPARE(testsupport::readAll(work->file("Registry.dat")), QByteArray("Veltrax:Registry\nVersion:1.0.0.1\n"));
        const QByteArray log = testsupport::readAll(work->file("Logs.ini"));
        QVERIFY(log.startsWith(QByteArray("\n") + QByteArray(101, '#') + "\n"));
        const QStringList records = testsupport::logMessages(work->file("Logs.ini"));
        QVERIFY(records.size() >= 3);
        QCOMPARE(records.mid(records.size() - 3), QStringList({"Registry Component Destrution", "Log Component Destrution", "Exit"}));
        QCOMPARE(records.value(0), QString("Loading Registry Component"));
    }

    void secondRunAppends()
    {
        runAndStop(SIGTERM);
        runAndStop(SIGTERM);
        const QByteArray log = testsupport::readAll(work->file("Logs.ini"));
        QCOMPARE(log.count(QByteArray(101, '#')), 2);
        QCOMPARE(testsupport::logMessages(work->file("Logs.ini")).count("Exit"), 2);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
