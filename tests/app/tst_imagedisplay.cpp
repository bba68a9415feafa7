#include "app/imagedisplay.h"

#include <QLabel>
#include <QtTest>

// Turning images into view pictures: size, true colours from B, G, R frames, grey, unsupported images, and that a
// hidden view converts nothing.
class TestImageDisplay : public QObject
{
    Q_OBJECT

    static QPixmap shown(const QLabel& view) { return view.pixmap(Qt::ReturnByValue); }

private slots:
    void stretch_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QSize>("view");
        QTest::addColumn<bool>("shown");
        QTest::newRow("colour 1.3 MP into a page view") << int(CV_8UC3) << QSize(1280, 1024) << QSize(451, 321) << true;
        QTest::newRow("colour 5 MP into the overview") << int(CV_8UC3) << QSize(2592, 1944) << QSize(771, 920) << true;
        QTest::newRow("grey") << int(CV_8UC1) << QSize(640, 480) << QSize(337, 270) << true;
        QTest::newRow("enlarged") << int(CV_8UC3) << QSize(100, 50) << QSize(400, 300) << true;
        QTest::newRow("same size") << int(CV_8UC1) << QSize(337, 270) << QSize(337, 270) << true;
        QTest::newRow("16-bit") << int(CV_16UC1) << QSize(640, 480) << QSize(337, 270) << false;
        QTest::newRow("four channels") << int(CV_8UC4) << QSize(640, 480) << QSize(337, 270) << false;
        QTest::newRow("empty image") << int(CV_8UC3) << QSize(0, 0) << QSize(337, 270) << false;
        QTest::newRow("view without size") << int(CV_8UC3) << QSize(640, 480) << QSize(0, 270) << false;
    }
    void stretch()
    {
        QFETCH(int, type);
        QFETCH(QSize, image);
        QFETCH(QSize, view);
        QFETCH(bool, shown);
        const cv::Mat frame = image.isEmpty() ? cv::Mat() : cv::Mat(image.height(), image.width(), type, cv::Scalar::all(90));
        const cv::Mat scaled = imagedisplay::stretch(frame, view);
        const QImage picture = imagedisplay::viewPicture(frame, view);
        QCOMPARE(!scaled.empty(), shown);
        QCOMPARE(!picture.isNull(), shown);
        if (shown) {
            QCOMPARE(scaled.cols, view.width());
            QCOMPARE(scaled.rows, view.height());
            QCOMPARE(scaled.type(), type);
            QCOMPARE(picture.size(), view);
            QCOMPARE(picture.pixel(view.width() / 2, view.height() / 2), qRgb(90, 90, 90));
        }
    }

    void framesShowInTrueColours_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("c0");
        QTest::addColumn<int>("c1");
        QTest::addColumn<int>("c2");
        QTest::addColumn<uint>("expected");
        QTest::newRow("first channel is blue") << 3 << 200 << 0 << 0 << uint(qRgb(0, 0, 200));
        QTest::newRow("second channel is green") << 3 << 0 << 150 << 0 << uint(qRgb(0, 150, 0));
        QTest::newRow("third channel is red") << 3 << 0 << 0 << 100 << uint(qRgb(100, 0, 0));
        QTest::newRow("grey") << 1 << 77 << 0 << 0 << uint(qRgb(77, 77, 77));
    }
    void framesShowInTrueColours()
    {
        QFETCH(int, channels);
        QFETCH(int, c0);
        QFETCH(int, c1);
        QFETCH(int, c2);
        QFETCH(uint, expected);
        const cv::Mat image(40, 60, CV_8UC(channels), cv::Scalar(c0, c1, c2));
        const QImage picture = imagedisplay::viewPicture(image, QSize(30, 20));
        QCOMPARE(picture.pixel(10, 10), QRgb(expected));
    }

    void decoratorDrawsOnTheFittedImage_data()
    {
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QSize>("view");
        QTest::addColumn<QPoint>("origin"); // where the image's top left lands in the picture
        QTest::addColumn<double>("scale");
        QTest::newRow("wide image, wider view: bars left and right") << QSize(2000, 1000) << QSize(500, 100) << QPoint(150, 0) << 0.1;
        QTest::newRow("portrait Top Large frame in a camera page view") << QSize(1024, 1280) << QSize(451, 321) << QPoint(97, 0)
                                                                        << 257.0 / 1024;
        QTest::newRow("same aspect: no bars") << QSize(1280, 960) << QSize(640, 480) << QPoint(0, 0) << 0.5;
    }
    void decoratorDrawsOnTheFittedImage()
    {
        QFETCH(QSize, image);
        QFETCH(QSize, view);
        QFETCH(QPoint, origin);
        QFETCH(double, scale);
        const cv::Mat frame(image.height(), image.width(), CV_8UC3, cv::Scalar::all(0));
        double seenX = 0;
        const QImage picture = imagedisplay::viewPicture(frame, view, [&](cv::Mat& shown, double sx, double) {
            seenX = sx;
            shown.at<cv::Vec3b>(5, 7) = cv::Vec3b(255, 0, 0);
        });
        QCOMPARE(picture.size(), view);
        QCOMPARE(seenX, scale);
        QCOMPARE(picture.pixel(origin.x() + 7, origin.y() + 5), qRgb(255, 0, 0));
        // Outside the image: the views' background grey; inside: the image.
        const int grey = imagedisplay::BarGrey;
        QCOMPARE(picture.pixel(0, view.height() - 1), origin.isNull() ? qRgb(0, 0, 0) : qRgb(grey, grey, grey));
        QCOMPARE(picture.pixel(view.width() / 2, view.height() / 2), qRgb(0, 0, 0));
        // The image itself is left as it was.
        QCOMPARE(cv::countNonZero(frame.reshape(1)), 0);
    }

    void hiddenViewConvertsNothing()
    {
        QLabel view;
        view.resize(200, 100);
        imagedisplay::show(&view, cv::Mat(50, 50, CV_8UC3, cv::Scalar::all(10)));
        QVERIFY(shown(view).isNull());
    }

    void visibleViewShowsPictureOfItsSize()
    {
        QLabel view;
        view.setFrameShape(QFrame::Box);
        view.resize(200, 100);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        imagedisplay::show(&view, cv::Mat(50, 50, CV_8UC3, cv::Scalar(255, 0, 0)));
        QVERIFY(!shown(view).isNull());
        QCOMPARE(shown(view).size(), view.contentsRect().size());
        const QSize contents = view.contentsRect().size();
        QCOMPARE(shown(view).toImage().pixel(contents.width() / 2, contents.height() / 2), qRgb(0, 0, 255));
        imagedisplay::show(&view, cv::Mat());
        QVERIFY(shown(view).isNull());
    }
};

QTEST_MAIN(TestImageDisplay)
#include "tst_imagedisplay.moc"
