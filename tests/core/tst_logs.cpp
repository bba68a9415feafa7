#include "core/logs.h"
#include "filefaults.h"
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

    void unpreparableFileIsConsoleOnly_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::addColumn<QString>("reason"); // why the separator could not be written
        QTest::newRow("a folder in the way") << "folder" << ""; // the file can never be opened
        QTest::newRow("full disk") << "full" << "No space left on device";
    }
    void unpreparableFileIsConsoleOnly()
    {
        QFETCH(QString, obstacle);
        QFETCH(QString, reason);
        filefaults::FullDevice full(obstacle == "full" ? "Logs.ini" : "unused");
        if (obstacle == "folder")
            QDir().mkdir("Logs.ini");
        else
            QVERIFY(full.isActive());
        Logs* log = Logs::AccessMemory();
        QVERIFY(console.contains("[Construction] Logging failure: Failed to open Log File."));
        QCOMPARE(console.contains("[File Reset] Logging failure: " + reason), !reason.isEmpty());
        QSignalSpy spy(log, &Logs::sendtotextarea);
        console.clear();
        log->udebug("still running");
        QCOMPARE(spy.count(), 1);
        QCOMPARE(console.size(), 1); // no further file error reported
        QVERIFY(console.at(0).endsWith("]: still running"));
    }

    // A disk that is full, or fills up in the middle of a record: the records of that moment are
    // lost with one console warning each, nothing torn stays behind, and records resume whole
    // once there is room again.
    void fullDiskLosesRecordsThenResumesWhole_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("disk full") << "device" << "No space left on device";
        QTest::newRow("disk fills mid-record") << "limit" << "only part of the record was written (disk full?)";
    }
    void fullDiskLosesRecordsThenResumesWhole()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        Logs* log = Logs::AccessMemory();
        log->udebug("before");
        QSignalSpy spy(log, &Logs::sendtotextarea);
        console.clear();
        {
            // Room for the start of one record only: every record below is cut by the limit.
            filefaults::FileSizeLimit limit(fault == "limit" ? QFileInfo("Logs.ini").size() + 60 : RLIM_INFINITY);
            filefaults::FullDevice full(fault == "device" ? "Logs.ini" : "unused");
            QVERIFY(fault == "limit" ? limit.isActive() : full.isActive());
            for (int i = 0; i < 3; ++i)
                log->udebug(QString("lost %1 ").arg(i) + QString(200, 'x'));
        }
        QCOMPARE(console.size(), 6);
        QCOMPARE(console.filter(QRegularExpression("^ Log:\\[[^]]+\\]\\]: Can not Write into Log file:" + QRegularExpression::escape(reason) + "$")).size(), 3);
        QCOMPARE(spy.count(), 6); // each message and its warning still reach the signal
        log->udebug("after");
        QCOMPARE(testsupport::logMessages(), QStringList({"before", "after"}));
        QVERIFY(readAll("Logs.ini").endsWith("]: after"));
    }

    // Thousands of records refused by a full disk cost no memory (nothing is queued for later).
    void fullDiskKeepsMemoryFlat()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("the address sanitizer holds freed memory back, so resident size says nothing here");
#endif
        Logs* log = Logs::AccessMemory();
        filefaults::FullDevice full("Logs.ini");
        QVERIFY(full.isActive());
        const QString message = "refused " + QString(200, 'x');
        for (int i = 0; i < 2000; ++i)
            log->udebug(message);
        console.clear();
        const long before = filefaults::residentKb();
        for (int i = 0; i < 20000; ++i) {
            log->udebug(message);
            if (console.size() > 1000)
                console.clear();
        }
        const long grown = filefaults::residentKb() - before;
        QVERIFY2(grown < 1024, qPrintable(QString("resident size grew by %1 kB over 20000 refused records").arg(grown)));
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

    // Outside text reaches the file as one line, with nothing a terminal would act on.
    void recordsAreEscapedAndCut_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("recorded");
        QTest::newRow("terminal escape, line feed, NUL") << QString::fromUtf8("a\x1b[31mb\nc\r", 10) + QChar(0) + "d"
                                                         << "a\\x1b[31mb\\x0ac\\x0d\\x00d";
        QTest::newRow("DEL and C1 control") << QString("x") + QChar(0x7f) + QChar(0x9b) + "y" << "x\\x7f\\x9by";
        QTest::newRow("bidi override, line separator") << QString("ab") + QChar(0x202e) + "cd" + QChar(0x2028)
                                                       << "ab\\u{202e}cd\\u{2028}";
        QTest::newRow("undecodable byte, lone surrogate") << QString("z") + QChar(0xdcff) + QChar(0xd800) << "z\\xff\\u{d800}";
        QTest::newRow("valid UTF-8 stays") << QString::fromUtf8("Gr\xc3\xb6\xc3\x9f" "e \xe2\x9c\x93 \xf0\x9f\x98\x80")
                                           << QString::fromUtf8("Gr\xc3\xb6\xc3\x9f" "e \xe2\x9c\x93 \xf0\x9f\x98\x80");
        QTest::newRow("long text cut") << QString(3000, 'x') << QString(2000, 'x') + QString::fromUtf8("\xe2\x80\xa6 (1000 more bytes)");
        QTest::newRow("cut counts escaped bytes") << QString(1999, 'x') + QString(10, QChar(1))
                                                  << QString(1999, 'x') + QString::fromUtf8("\xe2\x80\xa6 (40 more bytes)");
    }
    void recordsAreEscapedAndCut()
    {
        QFETCH(QString, message);
        QFETCH(QString, recorded);
        Logs* log = Logs::AccessMemory();
        QSignalSpy spy(log, &Logs::sendtotextarea);
        log->udebug(message);
        const QByteArray content = readAll("Logs.ini");
        const QList<QByteArray> lines = content.split('\n');
        QCOMPARE(lines.size(), 3); // "", separator, the record
        QVERIFY(lines.at(2).endsWith("]: " + recorded.toUtf8()));
        for (const char c : content)
            QVERIFY2(uchar(c) >= 0x20 || c == '\n', qPrintable(QString("control byte %1").arg(int(uchar(c)))));
        QVERIFY(spy.at(0).at(0).toString().endsWith(recorded));
    }

    // The same record again and again is written once, then summed up when it stops.
    void repeatsAreCounted()
    {
        Logs* log = Logs::AccessMemory();
        for (int i = 0; i < 1000; ++i)
            log->udebug("same text");
        log->udebug("other text");
        for (int i = 0; i < 500; ++i) {
            log->udebug(QString("CMD TO ADD FOO%1").arg(i), "CMD TO ADD");
            log->udebug(QString("untagged %1").arg(i), "Message without tag discarded");
        }
        const QRegularExpression summary("^(.*) \\(repeated (\\d+) times in \\d+\\.\\d s\\)$");
        QStringList messages = testsupport::logMessages();
        QCOMPARE(messages.size(), 5);
        QCOMPARE(summary.match(messages.at(1)).captured(1) + "=" + summary.match(messages.at(1)).captured(2), QString("same text=999"));
        messages.removeAt(1);
        QCOMPARE(messages, (QStringList{"same text", "other text", "CMD TO ADD FOO0", "untagged 0"}));
        // Named kinds are summed up once they have been quiet for a while.
        QTRY_COMPARE_WITH_TIMEOUT(testsupport::logMessages().size(), 7, 20000);
        messages = testsupport::logMessages();
        QStringList summed;
        for (const QString& m : messages.mid(5))
            summed << summary.match(m).captured(1) + "=" + summary.match(m).captured(2);
        summed.sort();
        QCOMPARE(summed, (QStringList{"CMD TO ADD=499", "Message without tag discarded=499"}));
    }

    void counterSumsUpEveryWindow()
    {
        RepeatCounter counter;
        QVector<RepeatCounter::Summary> due;
        QVERIFY(counter.admit("flood", "kind", 0, &due));
        qint64 t = 0;
        for (; t < RepeatCounter::WindowMs + 1000; t += 100)
            QVERIFY(!counter.admit("flood", "kind", t + 100, &due));
        QCOMPARE(due.size(), 1);
        QCOMPARE(due.at(0).text(), QString("kind (repeated 599 times in 59.9 s)"));
        counter.flush(&due);
        QCOMPARE(due.size(), 2);
        QCOMPARE(due.at(1).text(), QString("kind (repeated 11 times in 1.0 s)"));
        QVERIFY(counter.isEmpty());
    }

    // Past its limit the file is renamed, never cut, and the rename is the new file's first record.
    void fileIsRotatedPastItsLimit()
    {
        Logs* log = Logs::AccessMemory();
        log->SetSizeLimit(1024 * 1024);
        const int records = 2500;
        for (int i = 0; i < records; ++i)
            log->udebug(QString("record %1 ").arg(i, 5, 10, QChar('0')) + QString(500, 'r'));
        const QStringList older = testsupport::logMessages(Logs::RotatedFileName);
        const QStringList newer = testsupport::logMessages();
        QVERIFY(QFileInfo(Logs::FileName).size() <= 1024 * 1024);
        QVERIFY(QFileInfo(Logs::RotatedFileName).size() <= 1024 * 1024);
        QVERIFY2(newer.value(0).startsWith("Log file reached "), qPrintable(newer.value(0)));
        QVERIFY(newer.value(0).endsWith("(limit 1048576): earlier records are in Logs.ini.1"));
        // Nothing lost across the rotation: the last record of the old file is followed by the next.
        const int last = older.last().mid(7, 5).toInt();
        QCOMPARE(newer.value(1).mid(7, 5).toInt(), last + 1);
        QCOMPARE(newer.last().mid(7, 5).toInt(), records - 1);
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
