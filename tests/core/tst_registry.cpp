#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"
#include "filefaults.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

using testsupport::readAll;
using testsupport::writeAll;

class TestRegistry : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<testsupport::WorkDir> work;
    Registry* start()
    {
        Logs::AccessMemory();
        return Registry::AccessMemory();
    }
    void stop()
    {
        Registry::Destroy();
        Logs::Destroy();
    }
    void restart()
    {
        stop();
        start();
    }

private slots:
    void init() { work.reset(new testsupport::WorkDir); }
    void cleanup()
    {
        stop();
        work.reset();
    }

    void firstStartWritesHeaderAndDefaults()
    {
        Registry* reg = start();
        QCOMPARE(readAll("Registry.dat"), QByteArray("Veltrax:Registry\nVersion:1.0.0.1\n"));
        QCOMPARE(reg->GetKeyINT("CAMTLAOIX", 7), 7);
        QCOMPARE(reg->GetKeySTR("CAMTLID", "1111111111"), QString("1111111111"));
        QVERIFY(testsupport::logMessages().contains("Can not Found Registry key:CAMTLAOIX"));
        const QStringList log = testsupport::logMessages();
        QCOMPARE(log.value(0), QString("Loading Registry Component"));
        QCOMPARE(log.value(1), QString("Registry Class imported successfully"));
    }

    void typedGetters_data()
    {
        // A value of the wrong kind reads as the caller's default (99, 99, and each of the two
        // flag defaults: asBool -1) and the log says so; nothing is logged for a good value.
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("asInt");
        QTest::addColumn<double>("asDouble");
        QTest::addColumn<int>("asBool");
        QTest::addColumn<QStringList>("complaints");
        const QString p = "Registry: setting PTESTVALUE ";
        QTest::newRow("integer") << "12" << 12 << 12.0 << -1 << QStringList{p + "12 is neither 1 nor 0, using 1", p + "12 is neither 1 nor 0, using 0"};
        QTest::newRow("real") << "12.5" << 99 << 12.5 << -1 << QStringList{p + "12.5 is not an integer, using 99"};
        QTest::newRow("one") << "1" << 1 << 1.0 << 1 << QStringList();
        QTest::newRow("zero") << "0" << 0 << 0.0 << 0 << QStringList();
        QTest::newRow("word true") << "true" << 99 << 99.0 << -1
                                   << QStringList{p + "TRUE is not an integer, using 99", p + "TRUE is not a number, using 99",
                                                  p + "TRUE is neither 1 nor 0, using 1"};
        QTest::newRow("exponent") << "1e-05" << 99 << 1e-05 << -1 << QStringList{p + "1E-05 is not an integer, using 99"};
        QTest::newRow("negative") << "-3" << -3 << -3.0 << -1 << QStringList{p + "-3 is neither 1 nor 0, using 0"};
        QTest::newRow("empty") << "" << 99 << 99.0 << -1
                               << QStringList{p + "(empty) is not an integer, using 99", p + "(empty) is not a number, using 99"};
        QTest::newRow("whole number written as a real") << "2000.0" << 99 << 2000.0 << -1
                                                        << QStringList{p + "2000.0 is not an integer, using 99"};
        QTest::newRow("not a number") << "nan" << 99 << qQNaN() << -1 << QStringList{p + "NAN is not an integer, using 99"};
        QTest::newRow("beyond an int") << "4294967296" << 99 << 4294967296.0 << -1
                                       << QStringList{p + "4294967296 is not an integer, using 99"};
        QTest::newRow("flag written as a real") << "1.0" << 99 << 1.0 << -1 << QStringList{p + "1.0 is neither 1 nor 0, using 0"};
    }
    void typedGetters()
    {
        QFETCH(QString, stored);
        QFETCH(int, asInt);
        QFETCH(double, asDouble);
        QFETCH(int, asBool);
        QFETCH(QStringList, complaints);
        Registry* reg = start();
        QVERIFY(reg->SetKey("PTESTVALUE", stored));
        const QByteArray file = readAll("Registry.dat");
        QCOMPARE(reg->GetKeyINT("PTESTVALUE", 99), asInt);
        const double real = reg->GetKeyDOUBLE("PTESTVALUE", 99.0);
        if (qIsNaN(asDouble))
            QVERIFY(qIsNaN(real));
        else
            QCOMPARE(real, asDouble);
        QCOMPARE(reg->GetKeyBOOL("PTESTVALUE", true), asBool < 0 ? true : asBool == 1);
        QCOMPARE(reg->GetKeyBOOL("PTESTVALUE", false), asBool < 0 ? false : asBool == 1);
        QCOMPARE(reg->GetKeyBOOL("PABSENTFLAG", true), true);
        QCOMPARE(reg->GetKeyBOOL("PABSENTFLAG", false), false);
        const QStringList logged = testsupport::logMessages().filter("Registry: setting ");
        for (const QString& complaint : complaints)
            QVERIFY2(logged.contains(complaint), qPrintable(logged.join(" | ")));
        if (complaints.isEmpty())
            QVERIFY2(logged.isEmpty(), qPrintable(logged.join(" | ")));
        // Reading never changes what is stored.
        QCOMPARE(readAll("Registry.dat"), file);
        QVERIFY(reg->SaveReg());
        QVERIFY(readAll("Registry.dat").endsWith("PTESTVALUE:" + stored.toUpper().toLatin1() + "\n"));
    }

    // Readers of declared keys: range, non-finite values and run-time defaults, with the
    // owner's log line.
    void declaredReaders_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<double>("read");
        QTest::addColumn<QString>("logged");
        QTest::newRow("int inside") << "PMALSETTLE" << "40" << 40.0 << QString();
        QTest::newRow("int outside") << "PMALSETTLE" << "20000" << 20.0
                                     << "Motion Core: setting PMALSETTLE 20000 is outside 0 to 10000, using 20";
        QTest::newRow("real not a number") << "PCVTLTHRMI" << "nan" << 164.7
                                           << "Top Stone Tracker: setting PCVTLTHRMI is not a finite number, using 164.7";
        QTest::newRow("bounded real not a number")
            << "PMALPOSTOL" << "nan" << 0.001 << "Motion Core: setting PMALPOSTOL nan is outside 0 to 10, using 0.001";
        QTest::newRow("real unbounded huge") << "PCVMFGRA" << "1e+299" << 1e299 << QString();
        QTest::newRow("run-time default") << "PMALRESMAX" << "0" << 80.0
                                          << "Motion Core: setting PMALRESMAX 0 is outside 0.1 to 100000, using 80";
        QTest::newRow("window int from real") << "POVTLCHH" << "1e+12" << 400.0
                                              << "Main Window: setting POVTLCHH 1e+12 is outside -1e+09 to 1e+09, using 400";
    }
    void declaredReaders()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(double, read);
        QFETCH(QString, logged);
        Registry* reg = start();
        QVERIFY(reg->SetKey(key, stored));
        const settings::Declaration* d = nullptr;
        for (const settings::Declaration* each : settings::all())
            if (key == QLatin1String(each->key))
                d = each;
        QVERIFY(d);
        Logs& log = *Logs::AccessMemory();
        double value = 0;
        if (d->type == settings::Type::Int)
            value = settings::readInt(*reg, log, *d);
        else if (key == "PMALRESMAX")
            value = settings::readReal(*reg, log, *d, 80.0);
        else
            value = settings::readReal(*reg, log, *d);
        QCOMPARE(value, read);
        stop();
        const QStringList messages = testsupport::logMessages();
        if (logged.isEmpty())
            QVERIFY2(!messages.join('\n').contains(QLatin1String(d->key) + QLatin1Char(' ')), qPrintable(messages.join('\n')));
        else
            QVERIFY2(messages.contains(logged), qPrintable(messages.join('\n')));
    }

    // Every key is declared once, and README's table is the one the declarations make
    // (regenerate it with settings-table).
    void readmeTableIsTheDeclarations()
    {
        QSet<QString> keys;
        for (const settings::Declaration* d : settings::all()) {
            const QString key = QLatin1String(d->key);
            QVERIFY2(!keys.contains(key), qPrintable(key));
            QCOMPARE(key, key.toUpper());
            keys.insert(key);
        }
        QFile readme(QStringLiteral(VELTRAX_README));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(readme.readAll()).split(QLatin1Char('\n'));
        const int section = lines.indexOf(QStringLiteral("## Settings keys"));
        QVERIFY(section >= 0);
        QStringList table;
        for (int i = section + 1; i < lines.size() && !lines.at(i).startsWith(QLatin1String("## ")); ++i)
            if (lines.at(i).startsWith(QLatin1Char('|')))
                table << lines.at(i);
        QCOMPARE(table.join(QLatin1Char('\n')) + QLatin1Char('\n'), settings::markdownTable());
    }

    void keysAreCaseBlind()
    {
        Registry* reg = start();
        QVERIFY(reg->SetKey("CamTlAoiX", "12"));
        QCOMPARE(reg->GetKeyINT("camtlaoix", 0), 12);
        QVERIFY(testsupport::logMessages().contains("New Registry key Created as:CAMTLAOIX:12"));
    }

    void spacesKeptUntilReload()
    {
        Registry* reg = start();
        QVERIFY(reg->SetKey("A", "abc def"));
        QCOMPARE(reg->GetKeySTR("A", ""), QString("ABC DEF"));
        QVERIFY(reg->SaveReg());
        restart();
        QCOMPARE(Registry::AccessMemory()->GetKeySTR("A", ""), QString("ABCDEF"));
    }

    void updateReachesFileOnlyOnSave()
    {
        Registry* reg = start();
        QVERIFY(reg->SetKey("PMTLPXS", "25.6"));
        QVERIFY(reg->SetKey("PMTLPXS", "30"));
        QVERIFY(testsupport::logMessages().contains("Registry key PMTLPXS updated as:30"));
        QVERIFY(reg->SetKey("PZFTLPOS", "15"));
        restart();
        Registry* again = Registry::AccessMemory();
        QCOMPARE(again->GetKeyDOUBLE("PMTLPXS", 0), 25.6); // update lost without a save
        QCOMPARE(again->GetKeyDOUBLE("PZFTLPOS", 0), 15.0); // creation is on disk at once
    }

    void duplicateKeysUseTheFirst()
    {
        writeAll("Registry.dat", "Veltrax:Registry\nVersion:1.0.0.1\nPX:1\nPX:2\n");
        Registry* reg = start();
        QCOMPARE(reg->GetKeyINT("PX", 0), 1);
        QVERIFY(reg->SetKey("PX", "5"));
        QVERIFY(reg->SaveReg());
        QCOMPARE(readAll("Registry.dat"), QByteArray("VELTRAX:REGISTRY\nVERSION:1.0.0.1\nPX:5\nPX:2\n"));
    }

    void headerNeverMatchedAndCaseRestored()
    {
        Registry* reg = start();
        QCOMPARE(reg->GetKeySTR("version", ""), QString("1.0.0.1"));
        QCOMPARE(reg->GetKeySTR("veltrax", "none"), QString("none"));
        QVERIFY(reg->SetKey("POVTLCHH", "400"));
        QVERIFY(reg->SaveReg());
        QVERIFY(readAll("Registry.dat").startsWith("VELTRAX:REGISTRY\nVERSION:1.0.0.1\n"));
        restart();
        QCOMPARE(readAll("Registry.dat"), QByteArray("Veltrax:Registry\nVersion:1.0.0.1\nPOVTLCHH:400\n"));
        QCOMPARE(Registry::AccessMemory()->GetRegBaseCopy(), QStringList({"VERSION:1.0.0.1", "POVTLCHH:400"}));
    }

    void handEditedFileKeepsEveryLine()
    {
        writeAll("Registry.dat", "camtlid:4103\nPMTLPXS:20\n");
        Registry* reg = start();
        QCOMPARE(reg->GetKeySTR("CAMTLID", ""), QString("4103"));
        QCOMPARE(reg->GetKeyDOUBLE("PMTLPXS", 0), 20.0);
        QCOMPARE(readAll("Registry.dat"), QByteArray("Veltrax:Registry\nVersion:1.0.0.1\ncamtlid:4103\nPMTLPXS:20\n"));
    }

    void sharedFolderKeepsItsCase()
    {
        Registry* reg = start();
        QCOMPARE(reg->GetKeySTR(Registry::SharedFolderKey, Registry::SharedFolderDefault),
                 QString("/srv/samba/share/TXVeltraxIMG"));
        QVERIFY(reg->SetKey("PSharedFolder", "/tmp/Share/Img"));
        QVERIFY(reg->SaveReg());
        restart();
        QCOMPARE(Registry::AccessMemory()->GetKeySTR("PSHAREDFOLDER", ""), QString("/tmp/Share/Img"));
    }

    void readOnlyFileRefusesSaveAndKeepsMemory()
    {
        Registry* reg = start();
        QVERIFY(reg->SetKey("PX", "1"));
        QFile::setPermissions("Registry.dat", QFileDevice::ReadOwner);
        QVERIFY(reg->SetKey("PX", "2"));
        QVERIFY(!reg->SaveReg());
        QVERIFY(testsupport::logMessages().contains("Can not open reg file"));
        QCOMPARE(reg->GetKeyINT("PX", 0), 2);
        QVERIFY(readAll("Registry.dat").contains("PX:1"));
        QFile::setPermissions("Registry.dat", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(reg->SaveReg());
        QVERIFY(readAll("Registry.dat").contains("PX:2"));
    }

    // Files the store cannot write, also for root (which ignores mode bits): the owner's write
    // bit cleared, a folder in the way, a disk that fills up during the write. A refused save or
    // key creation says so in the log, leaves the file as it was and no temporary file behind,
    // and keeps the values in memory, so the save succeeds once the fault is gone.
    void unwritableFileKeepsOldFileAndMemory_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("loaded"); // the file could be read at start
        QTest::addColumn<QStringList>("records");
        QTest::newRow("read-only file") << "read-only" << true
                                        << QStringList{"Can not open reg file", "Can not write Registry key:PNEW:7"};
        QTest::newRow("a folder in the way") << "folder" << false
                                             << QStringList{"Registry: Can not read file.", "Can not write Registry key:PX:22222",
                                                            "Can not open reg file", "Can not write Registry key:PNEW:7"};
        QTest::newRow("disk full during the write")
            << "full" << true
            << QStringList{"Can not write registry file :only part of the file was written (disk full?)",
                           "Can not write Registry key:PNEW:7"};
    }
    void unwritableFileKeepsOldFileAndMemory()
    {
        QFETCH(QString, fault);
        QFETCH(bool, loaded);
        QFETCH(QStringList, records);
        if (fault == "folder")
            QDir().mkdir("Registry.dat");
        else
            writeAll("Registry.dat", "Veltrax:Registry\nVersion:1.0.0.1\nPX:1\n");
        QSignalSpy logged(Logs::AccessMemory(), &Logs::sendtotextarea); // the log file may be full too
        Registry* reg = start();
        const QByteArray onDisk = readAll("Registry.dat");
        const QStringList files = QDir().entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
        {
            if (fault == "read-only")
                QVERIFY(QFile::setPermissions("Registry.dat", QFileDevice::ReadOwner));
            // Room for three more bytes: the longer file and the new line are both cut short.
            filefaults::FileSizeLimit full(fault == "full" ? QFileInfo("Registry.dat").size() + 3 : RLIM_INFINITY);
            QVERIFY(fault != "full" || full.isActive());

            QCOMPARE(reg->SetKey("PX", "22222"), loaded); // an update is made in memory
            QVERIFY(!reg->SaveReg());
            QVERIFY(!reg->SetKey("PNEW", "7"));           // a new key goes to the file at once
            QCOMPARE(reg->GetKeyINT("PX", 0), loaded ? 22222 : 0);
        }
        QStringList messages;
        for (const QList<QVariant>& signal : qAsConst(logged))
            messages << signal.at(0).toString().section("]: ", 1);
        for (const QString& record : qAsConst(records))
            QVERIFY2(messages.contains(record), qPrintable(record + " not in: " + messages.join(" | ")));
        QCOMPARE(readAll("Registry.dat"), onDisk);
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden), files);

        if (fault == "folder")
            QVERIFY(QDir().rmdir("Registry.dat"));
        QVERIFY(QFile::setPermissions("Registry.dat", QFileDevice::ReadOwner | QFileDevice::WriteOwner) || fault == "folder");
        QVERIFY(reg->SaveReg());
        QVERIFY(reg->SetKey("PNEW", "7"));
        restart();
        QCOMPARE(Registry::AccessMemory()->GetKeyINT("PX", 0), loaded ? 22222 : 0);
        QCOMPARE(Registry::AccessMemory()->GetKeyINT("PNEW", 0), 7);
    }

    // After a save the header is upper case, and the next start writes it back in its own case:
    // a disk too full for that must not cost the settings behind it.
    void fullDiskAtStartKeepsEverySetting()
    {
        const QByteArray saved("VELTRAX:REGISTRY\nVERSION:1.0.0.1\nPX:1\nPY:2\n");
        writeAll("Registry.dat", saved);
        filefaults::FileSizeLimit full(10);
        QVERIFY(full.isActive());
        Registry* reg = start();
        QCOMPARE(reg->GetKeyINT("PX", 0), 1);
        QCOMPARE(reg->GetKeyINT("PY", 0), 2);
        QCOMPARE(readAll("Registry.dat"), saved);
        full.lift();
        restart();
        QCOMPARE(readAll("Registry.dat"), QByteArray("Veltrax:Registry\nVersion:1.0.0.1\nPX:1\nPY:2\n"));
    }

    // A save interrupted at any moment must leave either the old or the new file.
    void killedDuringSaveLeavesOldOrNew()
    {
        Registry* reg = start();
        for (int i = 0; i < 200; ++i)
            reg->SetKey(QString("PKEY%1").arg(i), "old");
        QVERIFY(reg->SaveReg());
        const QByteArray oldContent = readAll("Registry.dat");
        for (int i = 0; i < 200; ++i)
            reg->SetKey(QString("PKEY%1").arg(i), "new");
        QByteArray newContent = oldContent;
        newContent.replace("OLD", "NEW");
        for (int round = 0; round < 30; ++round) {
            const pid_t child = fork();
            if (child == 0) {
                for (;;)
                    reg->SaveReg();
            }
            QVERIFY(child > 0);
            usleep(200 + (round * 137) % 3000);
            kill(child, SIGKILL);
            int status = 0;
            waitpid(child, &status, 0);
            const QByteArray seen = readAll("Registry.dat");
            QVERIFY2(seen == oldContent || seen == newContent, qPrintable(QString("round %1: %2 bytes").arg(round).arg(seen.size())));
        }
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
