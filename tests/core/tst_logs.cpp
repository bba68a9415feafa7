#include "core/logs.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

#include <thread>
#include <vector>

using testsupport::readAll;

class TestLogs : public QObject
{
    Q_OBJECT

    std::unique_ptr<testsupport::WorkDir> work;
    QStringList console;
    static TestLogs* current;
    static void capture(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        if (current)
            current->console << text;
    }

private slots:
    void init()
    {
        work.reset(new testsupport::WorkDir);
        console.clear();
        current = this;
        qInstallMessageHandler(&TestLogs::capture);
    }
    void cleanup()
    {
        Logs::Destroy();
        qInstallMessageHandler(nullptr);
        current = nullptr;
        work.reset();
    }

    void separatorAndRecordFormat()
    {
        Logs* log = Logs::AccessMemory();
        QCOMPARE(console.value(0), QString("Starting Logs"));
        QSignalSpy spy(log, &Logs::sendtotextarea);
        log->udebug("Loading Registry Component");
        const QByteArray content = readAll("Logs.ini");
        QVERIFY(content.startsWith(QByteArray("\n") + QByteArray(101, '#') + "\n Log:["));
        QVERIFY(!content.endsWith('\n'));
        const QRegularExpression record("^\\n#{101}\\n Log:\\[(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\[\\d{3}\\])\\]: Loading Registry Component$");
        const auto match = record.match(QString::fromLatin1(content));
        QVERIFY2(match.hasMatch(), content.constData());
        QCOMPARE(match.captured(1).size(), 24);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), "[" + match.captured(1) + "]: Loading Registry Component");
        QVERIFY(console.contains(" Log:[" + match.captured(1) + "]: Loading Registry Component"));
    }

    void stampHasFixedWidth()
    {
        Logs* log = Logs::AccessMemory();
        for (int i = 0; i < 50; ++i)
            QCOMPARE(log->getDateTime().size(), 24);
    }

    void twoRunsAppendAndCloseInOrder()
    {
        Logs::AccessMemory()->udebug("first run");
        Logs::Destroy();
        Logs::AccessMemory()->udebug("second run");
        Logs::Destroy();
        const QByteArray content = readAll("Logs.ini");
        QCOMPARE(content.count(QByteArray(101, '#')), 2);
        QCOMPARE(testsupport::logMessages(), QStringList({"first run", "Log Component Destrution", "Exit", "second run", "Log Component Destrution", "Exit"}));
    }

    void uncreatableFileIsConsoleOnly()
    {
        QDir().mkdir("Logs.ini"); // a folder in the way: the file can never be opened
        Logs* log = Logs::AccessMemory();
        QVERIFY(console.contains("[Construction] Logging failure: Failed to open Log File."));
        QSignalSpy spy(log, &Logs::sendtotextarea);
        console.clear();
        log->udebug("still running");
        QCOMPARE(spy.count(), 1);
        QCOMPARE(console.size(), 1);
        QVERIFY(console.at(0).endsWith("]: still running"));
    }

    void readOnlyFileLosesRecordsThenResumes()
    {
        Logs* log = Logs::AccessMemory();
        QFile::setPermissions("Logs.ini", QFileDevice::ReadOwner);
        // root ignores mode bits, so make the path unopenable the same way a read-only file is
        const bool root = ::geteuid() == 0;
        if (root) {
            QFile::rename("Logs.ini", "Logs.saved");
            QDir().mkdir("Logs.ini");
        }
        console.clear();
        log->udebug("lost record");
        QCOMPARE(console.size(), 2);
        QVERIFY(console.at(1).endsWith("]: Can not Read or Create Log file."));
        if (root) {
            QDir().rmdir("Logs.ini");
            QFile::rename("Logs.saved", "Logs.ini");
        }
        QFile::setPermissions("Logs.ini", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        log->udebug("back again");
        QCOMPARE(testsupport::logMessages(), QStringList({"back again"}));
    }

    void recordsFromManyThreadsNeverInterleave()
    {
        Logs* log = Logs::AccessMemory();
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([log, t] {
                for (int i = 0; i < 100; ++i)
                    log->udebug(QString("thread %1 record %2 ").arg(t).arg(i) + QString(40, QChar('a' + t)));
            });
        for (auto& w : writers)
            w.join();
        const QStringList messages = testsupport::logMessages();
        QCOMPARE(messages.size(), 400);
        const QRegularExpression whole("^thread (\\d) record \\d+ ([a-d])\\2{39}$");
        for (const QString& m : messages) {
            const auto match = whole.match(m);
            QVERIFY2(match.hasMatch(), qPrintable(m));
            QCOMPARE(match.captured(2).at(0).unicode() - 'a', match.captured(1).toInt());
        }
    }
};

TestLogs* TestLogs::current = nullptr;

QTEST_GUILESS_MAIN(TestLogs)
#include "tst_logs.moc"
