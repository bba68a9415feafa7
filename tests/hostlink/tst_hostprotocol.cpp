#include "hostlink/hostprotocol.h"

#include <QtTest>

using hostprotocol::Action;
using hostprotocol::ReceiveFramer;

Q_DECLARE_METATYPE(Action::Kind)

class TestHostProtocol : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void untaggedHeadDoesNotBlockLaterMessages();
    void overflowIsCappedAndResynchronises();
    void clearDropsOnlyTheUnfinishedRest();

    void interpret_data();
    void interpret();

    void sequenceWraps_data();
    void sequenceWraps();
    void textFrameBytes();
    void videoHeaderBytes_data();
    void videoHeaderBytes();
    void imageMessageBytes();
    void nullImageHasNoBmp();
};

// Reads are separated by "|" in the rows; the expected commands by "|".
void TestHostProtocol::framing_data()
{
    QTest::addColumn<QString>("reads");
    QTest::addColumn<QString>("commands");
    QTest::addColumn<int>("discarded");
    QTest::addColumn<int>("leftOver");

    QTest::newRow("one message") << "5:BGALIGN;" << "BGALIGN" << 0 << 0;
    QTest::newRow("two messages in one read") << "7:BGALIGN;8:RQI;" << "BGALIGN|RQI" << 0 << 0;
    QTest::newRow("message split over reads") << "1:BGA|LIGN;" << "BGALIGN" << 0 << 0;
    QTest::newRow("split inside the tag") << "1|2:RQI;" << "RQI" << 0 << 0;
    QTest::newRow("unfinished message waits") << "1:BGALIGN;2:RQ" << "BGALIGN" << 0 << 4;
    QTest::newRow("line ends between messages join the tag") << "1:BGALIGN;\r\n2:BGSCAN;\n" << "BGALIGN|BGSCAN" << 0 << 1;
    QTest::newRow("spaces are kept for the interpreter") << "3:B GALIGN;" << "B GALIGN" << 0 << 0;
    QTest::newRow("only the first colon ends the tag") << "5:COORDS1:2:3:4:5;" << "COORDS1:2:3:4:5" << 0 << 0;
    QTest::newRow("long tag") << "host-17:QISI;" << "QISI" << 0 << 0;
    QTest::newRow("untagged head discarded") << "RQI;1:BGALIGN;" << "BGALIGN" << 1 << 0;
    QTest::newRow("colon first is no tag") << ":RQI;2:BGSCAN;" << "BGSCAN" << 1 << 0;
    QTest::newRow("empty message discarded") << ";1:ENAAX;" << "ENAAX" << 1 << 0;
    QTest::newRow("empty command kept") << "1:;" << "" << 0 << 0;
}

void TestHostProtocol::framing()
{
    QFETCH(QString, reads);
    QFETCH(QString, commands);
    QFETCH(int, discarded);
    QFETCH(int, leftOver);

    ReceiveFramer framer;
    QStringList cut;
    for (const QString& read : reads.split(QLatin1Char('|'))) {
        framer.append(read);
        cut += framer.takeCommands();
    }
    QCOMPARE(cut, commands.split(QLatin1Char('|')));
    const QStringList notes = framer.takeNotes();
    QCOMPARE(notes.size(), discarded);
    for (const QString& note : notes)
        QVERIFY2(note.startsWith(QLatin1String("Message without tag discarded")), qPrintable(note));
    QCOMPARE(framer.size(), leftOver);
}

void TestHostProtocol::untaggedHeadDoesNotBlockLaterMessages()
{
    ReceiveFramer framer;
    framer.append(QStringLiteral("RQI;"));
    QVERIFY(framer.takeCommands().isEmpty());
    QCOMPARE(framer.takeNotes(), QStringList{QStringLiteral("Message without tag discarded: \"RQI\"")});
    framer.append(QStringLiteral("2:BGSCAN;"));
    QCOMPARE(framer.takeCommands(), QStringList{QStringLiteral("BGSCAN")});
    QVERIFY(framer.isEmpty());
}

void TestHostProtocol::overflowIsCappedAndResynchronises()
{
    ReceiveFramer framer(1000);
    framer.append(QStringLiteral("1:RQI;") + QString(600, QLatin1Char('x')));
    QCOMPARE(framer.takeCommands(), QStringList{QStringLiteral("RQI")});
    framer.append(QString(600, QLatin1Char('y')));
    // 1200 characters without ";": dropped, and nothing of it is held.
    QVERIFY(framer.size() <= framer.cap());
    QCOMPARE(framer.size(), 0);
    QVERIFY(framer.takeCommands().isEmpty());
    // The rest of the runaway text up to its ";" is dropped too; what follows is served.
    framer.append(QStringLiteral("zzz:BGALIGN;2:BGSCAN;"));
    QCOMPARE(framer.takeCommands(), QStringList{QStringLiteral("BGSCAN")});
    const QStringList notes = framer.takeNotes();
    QCOMPARE(notes,
             QStringList({QStringLiteral("Receive text overflow: more than 1000 characters without ';', dropped up to the next ';'"),
                          QStringLiteral("Receive text overflow: 1212 characters without ';' discarded")}));

    // A huge stream never holds more than the cap.
    for (int i = 0; i < 50; ++i) {
        framer.append(QString(400, QLatin1Char('q')));
        QVERIFY(framer.size() <= framer.cap());
    }
}

void TestHostProtocol::clearDropsOnlyTheUnfinishedRest()
{
    ReceiveFramer framer;
    framer.append(QStringLiteral("1:BGSCAN;2:BGAL"));
    QCOMPARE(framer.takeCommands(), QStringList{QStringLiteral("BGSCAN")});
    QCOMPARE(framer.clear(), 6);
    framer.append(QStringLiteral("IGN;3:RQI;"));
    // "IGN" has no tag now: the unfinished head did not survive the clear.
    QCOMPARE(framer.takeCommands(), QStringList{QStringLiteral("RQI")});
    QCOMPARE(framer.takeNotes().size(), 1);
}

void TestHostProtocol::interpret_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<Action::Kind>("kind");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QVariantList>("values");
    QTest::addColumn<int>("unreadable");

    auto d = [](std::initializer_list<double> v) {
        QVariantList list;
        for (double x : v)
            list << x;
        return list;
    };

    QTest::newRow("COORDS five") << "COORDS1.5:2:3:4:5.25" << Action::Coords << "" << d({1.5, 2, 3, 4, 5.25}) << 0;
    QTest::newRow("COORDS four") << "COORDS1:2:3:4" << Action::CoordsMalformed << "" << d({}) << 0;
    QTest::newRow("COORDS six takes five") << "COORDS1:2:3:4:5:6" << Action::Coords << "" << d({1, 2, 3, 4, 5}) << 0;
    QTest::newRow("COORDS leading colon shifts") << "COORDS:1:2:3:4:5" << Action::Coords << "" << d({0, 1, 2, 3, 4}) << 1;
    QTest::newRow("COORDS not a number") << "COORDS1:abc:3:4:5" << Action::Coords << "" << d({1, 0, 3, 4, 5}) << 1;
    QTest::newRow("COORDS nan and inf") << "COORDSnan:inf:3:4:5" << Action::Coords << "" << d({0, 0, 3, 4, 5}) << 2;
    QTest::newRow("COORDS negative exponent") << "COORDS-1e-05:2:3:-45:0.5" << Action::Coords << "" << d({-1e-05, 2, 3, -45, 0.5}) << 0;
    QTest::newRow("COORDS spaces removed") << "COORDS 1 : 2:3:4:5" << Action::Coords << "" << d({1, 2, 3, 4, 5}) << 0;
    QTest::newRow("BGALIGN") << "BGALIGN" << Action::AlignInscription << "ALIGNBG" << d({}) << 0;
    QTest::newRow("B GALIGN") << "B GALIGN" << Action::AlignInscription << "ALIGNBG" << d({}) << 0;
    QTest::newRow("BGALIGN with extra") << "BGALIGNX" << Action::Unknown << "" << d({}) << 0;
    QTest::newRow("BGRALIGN") << "BGRALIGN" << Action::AlignFront << "ALIGNBG" << d({}) << 0;
    QTest::newRow("BGSCAN") << "BGSCAN" << Action::Scan << "SCANBG" << d({}) << 0;
    QTest::newRow("APPX") << "APPX12:whatever" << Action::Appx << "" << d({}) << 0;
    QTest::newRow("MOVESTAT") << "MOVESTAT0:1:0" << Action::MotionStatus << "" << d({0, 1, 0}) << 0;
    QTest::newRow("MOVESTAT two fields") << "MOVESTAT0:1" << Action::MotionStatusMalformed << "" << d({}) << 0;
    QTest::newRow("MOVESTAT four fields") << "MOVESTAT0:1:0:0" << Action::MotionStatusMalformed << "" << d({}) << 0;
    QTest::newRow("MOVESTAT not a number") << "MOVESTAT2:x:1" << Action::MotionStatus << "" << d({2, 0, 1}) << 1;
    QTest::newRow("ENAAX") << "ENAAX" << Action::EngageXAlign << "" << d({}) << 0;
    QTest::newRow("QISI") << "QISI" << Action::SaveImage << "" << d({}) << 0;
    QTest::newRow("RQI") << "RQI" << Action::StreamFrame << "" << d({}) << 0;
    QTest::newRow("lower case is unknown") << "rqi" << Action::Unknown << "" << d({}) << 0;
    QTest::newRow("empty is unknown") << "" << Action::Unknown << "" << d({}) << 0;
}

void TestHostProtocol::interpret()
{
    QFETCH(QString, command);
    QFETCH(Action::Kind, kind);
    QFETCH(QString, reply);
    QFETCH(QVariantList, values);
    QFETCH(int, unreadable);

    const Action action = hostprotocol::interpretCommand(command);
    QCOMPARE(action.kind, kind);
    QCOMPARE(action.reply, reply);
    QCOMPARE(action.command, QString(command).remove(QLatin1Char(' ')));
    QCOMPARE(action.unreadableFields, unreadable);
    QCOMPARE(action.recognised(), kind != Action::Unknown);
    if (kind == Action::Coords) {
        QCOMPARE(values.size(), 5);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(action.values[i], values.at(i).toDouble());
    }
    if (kind == Action::MotionStatus) {
        QCOMPARE(values.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(action.status[i], values.at(i).toInt());
    }
}

void TestHostProtocol::sequenceWraps_data()
{
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("next");
    QTest::newRow("start") << 0 << 1;
    QTest::newRow("middle") << 41 << 42;
    QTest::newRow("1000") << 1000 << 1001;
    QTest::newRow("1001 wraps") << 1001 << 1;
}

void TestHostProtocol::sequenceWraps()
{
    QFETCH(int, current);
    QFETCH(int, next);
    QCOMPARE(hostprotocol::nextSequence(current), next);
}

void TestHostProtocol::textFrameBytes()
{
    QCOMPARE(hostprotocol::textFrame(7, QStringLiteral("MOVEX1:Y2:")), QByteArray("7:MOVEX1:Y2:;"));
    QCOMPARE(hostprotocol::textFrame(1001, QStringLiteral("NCQ")), QByteArray("1001:NCQ;"));
    QCOMPARE(hostprotocol::textFrame(3, QStringLiteral("Ä")), QByteArray("3:\xC3\x84;"));
}

void TestHostProtocol::videoHeaderBytes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("lengthBytes");
    QTest::newRow("40000") << 40000 << QByteArray("\x40\x9C\x00\x00", 4);
    QTest::newRow("empty") << 0 << QByteArray("\x00\x00\x00\x00", 4);
    QTest::newRow("300 KB") << 300 * 1024 << QByteArray("\x00\xB0\x04\x00", 4);
}

void TestHostProtocol::videoHeaderBytes()
{
    QFETCH(int, size);
    QFETCH(QByteArray, lengthBytes);
    const QByteArray header = hostprotocol::videoHeader(size);
    QCOMPARE(header.size(), 16);
    QCOMPARE(header.left(12), QByteArray("\x2D\x00\x53\x00\x49\x00\x5A\x00\x45\x00\x2D\x00", 12));
    QCOMPARE(header.mid(12), lengthBytes);
}

void TestHostProtocol::imageMessageBytes()
{
    QImage image(33, 7, QImage::Format_RGB888);
    image.fill(QColor(59, 59, 59)); // 59 is the byte of ";": the image may contain it anywhere
    const QByteArray bmp = hostprotocol::encodeBmp(image);
    QVERIFY(bmp.startsWith("BM"));
    const quint32 stated = qFromLittleEndian<quint32>(bmp.constData() + 2);
    QCOMPARE(int(stated), bmp.size());

    const QByteArray message = hostprotocol::imageMessage(12, QStringLiteral("IMGCAP3COORDS1&2&3"), bmp);
    QVERIFY(message.startsWith("12:IMGCAP3COORDS1&2&3->BM"));
    const int bmpStart = int(qstrlen("12:IMGCAP3COORDS1&2&3->"));
    QCOMPARE(message.size(), bmpStart + bmp.size() + 1);
    QCOMPARE(message.mid(bmpStart, bmp.size()), bmp);
    QCOMPARE(message.back(), ';');

    QImage decoded;
    QVERIFY(decoded.loadFromData(bmp, "BMP"));
    QCOMPARE(decoded.size(), image.size());
    QCOMPARE(decoded.pixelColor(5, 5), QColor(59, 59, 59));
}

void TestHostProtocol::nullImageHasNoBmp()
{
    QVERIFY(hostprotocol::encodeBmp(QImage()).isEmpty());
}

QTEST_GUILESS_MAIN(TestHostProtocol)
#include "tst_hostprotocol.moc"
