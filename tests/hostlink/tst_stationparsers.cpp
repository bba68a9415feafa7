// The host simulator's readers of the station's data and video connections, without sockets.
// Each row is a byte stream and the items a host must see; the same stream delivered at once
// and one byte per read must give exactly those items (a reader that depends on how TCP cuts
// the stream would blame the station for faults it did not make).
#include "sim/host/stationdataparser.h"
#include "sim/host/stationvideoparser.h"

#include <QtTest>

namespace {

QByteArray bmp(int payload, char fill)
{
    QByteArray file("BM");
    const quint32 size = quint32(26 + payload);
    for (int i = 0; i < 4; ++i)
        file += char((size >> (8 * i)) & 0xFF);
    file += QByteArray(20, '\0');
    file += QByteArray(payload, fill);
    return file;
}

QByteArray frame(const QByteArray& payload, qint32 announced)
{
    QByteArray bytes = StationVideoParser::sizeMarker();
    for (int i = 0; i < 4; ++i)
        bytes += char((quint32(announced) >> (8 * i)) & 0xFF);
    return bytes + payload;
}

QByteArray frame(const QByteArray& payload) { return frame(payload, payload.size()); }

// One item as a line: "T 3 GMS", "I 4 IMGCAP1 30", "V SequenceOutOfOrder".
QString describe(const StationDataParser::Item& item)
{
    using K = StationDataParser::Kind;
    using F = StationDataParser::Fault;
    if (item.kind == K::Text)
        return QStringLiteral("T %1 %2").arg(item.sequence).arg(item.text);
    if (item.kind == K::Image)
        return QStringLiteral("I %1 %2 %3").arg(item.sequence).arg(item.text).arg(item.bmp.size());
    static const QHash<int, QString> names = {
        {int(F::NoSequenceNumber), "NoSequenceNumber"}, {int(F::SequenceTooLong), "SequenceTooLong"},
        {int(F::SequenceOutOfRange), "SequenceOutOfRange"}, {int(F::SequenceOutOfOrder), "SequenceOutOfOrder"},
        {int(F::NotBmp), "NotBmp"}, {int(F::ImpossibleBmpSize), "ImpossibleBmpSize"},
        {int(F::BmpNotTerminated), "BmpNotTerminated"}, {int(F::TextTooLong), "TextTooLong"}};
    return QStringLiteral("V ") + names.value(int(item.fault), QStringLiteral("?"));
}

QStringList readData(const QByteArray& stream, int readSize, bool* broken, int* left)
{
    StationDataParser parser;
    QStringList items;
    StationDataParser::Item item;
    for (int at = 0; at < stream.size(); at += readSize) {
        parser.append(stream.mid(at, readSize));
        while (parser.next(&item))
            items << describe(item);
    }
    *broken = parser.isBroken();
    *left = parser.pendingBytes();
    return items;
}

QStringList readVideo(const QByteArray& stream, int readSize, bool* broken, int* left)
{
    StationVideoParser parser;
    QStringList items;
    StationVideoParser::Item item;
    for (int at = 0; at < stream.size(); at += readSize) {
        parser.append(stream.mid(at, readSize));
        while (parser.next(&item)) {
            if (item.kind == StationVideoParser::Kind::Violation)
                items << QStringLiteral("V %1").arg(item.index);
            else
                items << QStringLiteral("F %1 %2 %3").arg(item.index).arg(item.payload.size()).arg(item.completeJpeg ? "jpeg" : "other");
        }
    }
    *broken = parser.isBroken();
    *left = parser.pendingBytes();
    return items;
}

} // namespace

class TestStationParsers : public QObject
{
    Q_OBJECT

private slots:
    void dataStream_data();
    void dataStream();
    void videoStream_data();
    void videoStream();
    void resetStartsAConnectionAfresh();
};

void TestStationParsers::dataStream_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("broken");
    QTest::addColumn<int>("left");

    const QByteArray image = bmp(30, ';');
    QTest::newRow("texts") << QByteArray("1:NCQ;2:MOVEX1.5:Y-2:;3:ALIGNEND;")
                           << QStringList{"T 1 NCQ", "T 2 MOVEX1.5:Y-2:", "T 3 ALIGNEND"} << false << 0;
    QTest::newRow("numbers wrap after 1001") << QByteArray("1000:GMS;1001:GMS;1:GMS;")
                                             << QStringList{"T 1000 GMS", "T 1001 GMS", "T 1 GMS"} << false << 0;
    QTest::newRow("number skipped") << QByteArray("5:GMS;7:GMS;")
                                    << QStringList{"T 5 GMS", "V SequenceOutOfOrder", "T 7 GMS"} << false << 0;
    QTest::newRow("number out of range") << QByteArray("0:GMS;")
                                         << QStringList{"V SequenceOutOfRange", "T 0 GMS"} << false << 0;
    QTest::newRow("image with ; in its BMP") << QByteArray("3:IMGCAP1COORDS1&2&3->") + image + QByteArray(";4:GMS;")
                                             << QStringList{"I 3 IMGCAP1COORDS1&2&3 56", "T 4 GMS"} << false << 0;
    QTest::newRow("arrow after the text's ;") << QByteArray("1:GMS;2:X->") + image + ";"
                                              << QStringList{"T 1 GMS", "I 2 X 56"} << false << 0;
    // The garbage's ";" arrives after the garbage itself: one fault, then the next message.
    QTest::newRow("garbage resynchronises at ;") << QByteArray("x12;3:NCQ;")
                                                 << QStringList{"V NoSequenceNumber", "T 3 NCQ"} << false << 0;
    QTest::newRow("empty number") << QByteArray(":GMS;4:GMS;")
                                  << QStringList{"V NoSequenceNumber", "T 4 GMS"} << false << 0;
    // Eleven digits are too many whether or not the ":" came in the same read.
    QTest::newRow("eleven-digit number") << QByteArray("12345678901:GMS;1:GMS;")
                                         << QStringList{"V SequenceTooLong"} << true << 22;
    QTest::newRow("ten-digit number") << QByteArray("9999999999:GMS;")
                                      << QStringList{"V SequenceOutOfRange", "T 0 GMS"} << false << 0;
    QTest::newRow("image without BMP") << QByteArray("9:X->XX\x10\0\0\0;", 12) << QStringList{"V NotBmp"} << true << 12;
    QTest::newRow("BMP too small") << QByteArray("9:X->BM\x05\0\0\0;;;;", 15) << QStringList{"V ImpossibleBmpSize"} << true << 15;
    QTest::newRow("BMP not followed by ;") << QByteArray("9:X->") + image + "Z;"
                                           << QStringList{"V BmpNotTerminated"} << true << 5 + 56 + 2;
    QTest::newRow("message still on its way") << QByteArray("1:GMS;2:ALIGN") << QStringList{"T 1 GMS"} << false << 7;
    QTest::newRow("image still on its way") << QByteArray("1:X->") + image.left(40) << QStringList{} << false << 45;
}

void TestStationParsers::dataStream()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);
    QFETCH(bool, broken);
    QFETCH(int, left);
    for (const int readSize : {int(stream.size()), 1, 7}) {
        bool isBroken = false;
        int pending = -1;
        QCOMPARE(readData(stream, readSize, &isBroken, &pending), expected);
        QCOMPARE(isBroken, broken);
        if (!broken)
            QCOMPARE(pending, left);
    }
}

void TestStationParsers::videoStream_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("broken");
    QTest::addColumn<int>("left");

    const QByteArray jpeg = QByteArray("\xFF\xD8;-SIZE-;\xFF\xD9");
    QTest::newRow("two frames") << frame(jpeg) + frame(jpeg + jpeg)
                                << QStringList{"F 1 12 jpeg", "F 2 24 jpeg"} << false << 0;
    QTest::newRow("empty and cut-off JPEG") << frame(QByteArray()) + frame(jpeg.left(10))
                                            << QStringList{"F 1 0 other", "F 2 10 other"} << false << 0;
    QTest::newRow("frame still on its way") << frame(jpeg) + frame(jpeg).left(20)
                                            << QStringList{"F 1 12 jpeg"} << false << 20;
    QTest::newRow("header still on its way") << frame(jpeg).left(15) << QStringList{} << false << 15;
    QByteArray wrongMarker = frame(jpeg);
    wrongMarker[2] = 'X';
    QTest::newRow("wrong marker") << frame(jpeg) + wrongMarker << QStringList{"F 1 12 jpeg", "V 2"} << true << 0;
    QTest::newRow("negative size") << frame(jpeg, -1) << QStringList{"V 1"} << true << 0;
    QTest::newRow("size above the limit") << frame(QByteArray(), StationVideoParser::MaxFrameSize + 1)
                                          << QStringList{"V 1"} << true << 0;
}

void TestStationParsers::videoStream()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);
    QFETCH(bool, broken);
    QFETCH(int, left);
    for (const int readSize : {int(stream.size()), 1, 5}) {
        bool isBroken = false;
        int pending = -1;
        QCOMPARE(readVideo(stream, readSize, &isBroken, &pending), expected);
        QCOMPARE(isBroken, broken);
        if (!broken)
            QCOMPARE(pending, left);
    }
}

void TestStationParsers::resetStartsAConnectionAfresh()
{
    // A broken connection, then a new one: its first number is taken as it comes.
    StationDataParser data;
    StationDataParser::Item item;
    data.append("7:GMS;xx:");
    QVERIFY(data.next(&item));
    QVERIFY(data.next(&item));
    QCOMPARE(describe(item), QStringLiteral("V NoSequenceNumber"));
    data.reset();
    data.append("200:NCQ;201:GMS;");
    QStringList items;
    while (data.next(&item))
        items << describe(item);
    QCOMPARE(items, (QStringList{"T 200 NCQ", "T 201 GMS"}));

    // Frame numbers count on over a new video connection, as the saved frame files do.
    StationVideoParser video;
    StationVideoParser::Item frameItem;
    video.append(frame("ab") + frame("c").left(9));
    QVERIFY(video.next(&frameItem));
    QVERIFY(!video.next(&frameItem));
    video.reset();
    QCOMPARE(video.pendingBytes(), 0);
    video.append(frame("xyz"));
    QVERIFY(video.next(&frameItem));
    QCOMPARE(frameItem.index, 2);
    QCOMPARE(frameItem.payload, QByteArray("xyz"));
}

QTEST_APPLESS_MAIN(TestStationParsers)
#include "tst_stationparsers.moc"
