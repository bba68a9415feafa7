// station-screenshots: pictures of every page of the running station, for people to look at.
//
// Builds the real window over the simulated rig in a working directory of its own, lets the
// host simulator (hostsim) connect, align the stone and scan its girdle (so that the panorama
// page shows the girdle panorama), enters service mode by typing the
// access code into the code field as an operator does, steps through the pages with the arrow
// buttons and saves each page as page<N>-<name>.png (and the settings page's host command tab
// as page5-host-command.png), first with the window maximised, then at the form's 1556x1010,
// each set in a folder of its own (maximised-1920x1080/, 1556x1010/).
//
//   station-screenshots OUTPUT_DIR
#include "mainwindow.h"

#include "core/settingscatalog.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "sim/rig/rig.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>

namespace {

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(20);
    }
    return true;
}

bool hasPicture(QLabel* view)
{
    return view && !view->pixmap(Qt::ReturnByValue).isNull();
}

void say(const QString& text)
{
    std::fprintf(stderr, "station-screenshots: %s\n", qPrintable(text));
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: station-screenshots OUTPUT_DIR\n");
        return 64;
    }
    const QString outDir = QDir(args.at(1)).absolutePath();
    if (!QDir().mkpath(outDir)) {
        say("cannot create " + outDir);
        return 1;
    }

    // A station of its own: settings binding the rig's cameras, the shared folder inside.
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    QDir(work.path()).mkpath(QStringLiteral("shared"));
    QFile file(QStringLiteral("Registry.dat"));
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write("Veltrax:Registry\nVersion:1.0.0.1\n");
    const auto entry = [&file](const settings::Declaration& d, const QByteArray& value) {
        file.write(QByteArray(d.key) + ':' + value + '\n');
    };
    entry(settings::camera::TLSerial, rig::Rig::TopLargeSerial);
    entry(settings::camera::MFSerial, rig::Rig::FrontSerial);
    entry(settings::camera::TSSerial, rig::Rig::TopStandardSerial);
    entry(settings::store::SharedFolder, QDir(work.path()).filePath(QStringLiteral("shared")).toUtf8());
    // The operator's calibration for the rig's optics: centring row through the middle of the
    // view, circles around the holder's axis, focal marks on the stone's right edge and on
    // the front camera's reference column.
    entry(settings::motion::OverlayTLCenterH, "640");
    entry(settings::motion::OverlayTLCenterV, "505");
    entry(settings::window::ChargingH, "505");
    entry(settings::window::ChargingV, "640");
    entry(settings::motion::OverlayTLCenterCirclesNumber, "6");
    entry(settings::motion::OverlayTLCenterCirclesSpace, "20");
    entry(settings::motion::OverlayTLFocalX, "609");
    entry(settings::motion::OverlayTLFocalY, "640");
    entry(settings::motion::OverlayMFCenterV, "200");
    entry(settings::motion::OverlayMFFocalX, "540");
    entry(settings::motion::OverlayMFFocalY, "200");
    file.close();

    VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
    MainWindow window(nullptr);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        say("the window did not show");
        return 1;
    }
    const quint16 port = VeltraxServer::AccessMemory()->ListenPort();

    // The host: align for inscription, then for the front camera, scan the girdle, then stay
    // connected.
    // A host's requests are answered to its own session (TXCMDTO).
    QStringList ends;
    QObject::connect(MotionCore::AccessMemory(), &MotionCore::TXCMDTO, &window, [&ends](quint64, const QString& text) {
        if (text == QLatin1String("ALIGNEND") || text == QLatin1String("SCANEND"))
            ends << text;
    });
    QProcess host;
    host.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    host.setStandardOutputFile(QDir(outDir).filePath(QStringLiteral("hostsim.txt")));
    host.start(QCoreApplication::applicationDirPath() + QStringLiteral("/hostsim"),
               {QStringLiteral("--port"), QString::number(port), QStringLiteral("--speed"), QStringLiteral("20"),
                QStringLiteral("--align"), QStringLiteral("--ralign"), QStringLiteral("--scan"), QStringLiteral("--wait"),
                QStringLiteral("600")});
    if (!host.waitForStarted(10000)) {
        say("hostsim did not start: " + host.errorString());
        return 1;
    }
    if (!waitFor([&]() { return ends.count(QStringLiteral("ALIGNEND")) >= 2; }, 120000))
        say("the host's alignments did not end; taking the pictures as they are");
    else if (!waitFor([&]() { return ends.contains(QStringLiteral("SCANEND")); }, 300000))
        say("the host's scan did not end; taking the pictures as they are");

    auto find = [&window](const char* name) { return window.findChild<QWidget*>(QString::fromLatin1(name)); };
    auto press = [&](const char* name) { QTest::mouseClick(static_cast<QAbstractButton*>(find(name)), Qt::LeftButton); };
    auto* pages = static_cast<QStackedWidget*>(find("stackedWidgetMain"));

    // Service mode, typed as the operator types it.
    auto* code = static_cast<QLineEdit*>(find("lineEdit"));
    code->setFocus();
    QTest::keyClicks(code, QStringLiteral("q7vbx#operate"));
    press("pushButton_3");
    if (!window.isServiceMode()) {
        say("service mode refused the access code");
        return 1;
    }

    struct Shot {
        const char* name;
        std::function<bool()> ready;
    };
    auto label = [&](const char* name) { return static_cast<QLabel*>(find(name)); };
    const Shot shots[] = {
        {"overview", [&]() { return hasPicture(label("labelCamTopLargeOverView")) && hasPicture(label("labelCamMarkingFrontOverView")); }},
        {"top-standard", [&]() { return hasPicture(label("labelCamTopStandardMainView")); }},
        {"top-large", [&]() { return hasPicture(label("labelCamTopLargeMainView")) && hasPicture(label("labelCamTopLargeMainViewCanny")); }},
        {"marking-front", [&]() { return hasPicture(label("labelCamMarkingFrontMainView")) && hasPicture(label("labelCamMarkingFrontMainViewLines")); }},
        {"panorama", [&]() { return hasPicture(label("labelMFPanorama")); }},
        {"settings", [&]() { return true; }},
    };
    auto* tabs = static_cast<QTabWidget*>(find("tabWidgetSettings"));
    // A command typed, not sent, so the host command tab shows how it is used.
    static_cast<QLineEdit*>(find("lineEditTessarixCommand"))->setText(QStringLiteral("GMS"));

    // The window as the screen shows it, frame and title bar of the window manager included;
    // the window's own rendering where the platform cannot read the screen.
    auto picture = [&window]() {
        const QRect frame = window.frameGeometry();
        QPixmap shot;
        if (QScreen* screen = window.screen())
            shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
        return shot.isNull() ? window.grab() : shot;
    };
    int saved = 0;
    auto save = [&](const QString& folder, const QString& name) {
        QTest::qWait(300);
        const QString file = QDir(folder).filePath(name + QStringLiteral(".png"));
        if (picture().save(file)) {
            ++saved;
            std::printf("%s\n", qPrintable(file));
        } else {
            say("cannot write " + file);
        }
    };

    // Maximised, as the station starts, then at the form's own size.
    const bool maximisedSizes[] = {true, false};
    for (const bool maximised : maximisedSizes) {
        if (maximised) {
            window.showMaximized();
            waitFor([&]() { return window.isMaximized(); }, 10000);
        } else {
            window.showNormal();
            window.resize(1556, 1010);
            waitFor([&]() { return window.size() == QSize(1556, 1010); }, 10000);
        }
        QTest::qWait(1000); // the window manager's last configure
        const QSize screen = window.screen() ? window.screen()->size() : QSize();
        const QString folder = QDir(outDir).filePath(maximised ? QStringLiteral("maximised-%1x%2").arg(screen.width()).arg(screen.height())
                                                               : QStringLiteral("%1x%2").arg(window.width()).arg(window.height()));
        QDir().mkpath(folder);
        say(QStringLiteral("window %1x%2, pictures in %3").arg(window.width()).arg(window.height()).arg(folder));
        while (pages->currentIndex() > 0)
            press("pushButton");
        for (int page = 0; page < 6; ++page) {
            if (page > 0)
                press("pushButton_2");
            if (pages->currentIndex() != page) {
                say(QStringLiteral("the arrow did not reach page %1").arg(page));
                return 1;
            }
            if (page == MainWindow::TopLargePage) {
                // The operator unticks "Low CPU Mode" to see the tracker's intermediate images.
                auto* lowCpu = static_cast<QCheckBox*>(find("checkBoxLowCpuMode"));
                if (lowCpu->isChecked())
                    QTest::mouseClick(lowCpu, Qt::LeftButton, Qt::NoModifier, QPoint(8, lowCpu->height() / 2));
            }
            if (page == MainWindow::SettingsPage)
                tabs->setCurrentIndex(0);
            if (!waitFor(shots[page].ready, 30000))
                say(QStringLiteral("page %1 is not complete; saving it as it is").arg(page));
            // Views on a page just shown get their pictures with the next frames.
            QTest::qWait(500);
            save(folder, QStringLiteral("page%1-%2").arg(page).arg(QLatin1String(shots[page].name)));
        }
        tabs->setCurrentIndex(1);
        save(folder, QStringLiteral("page5-host-command"));
    }

    host.terminate();
    if (!host.waitForFinished(10000))
        host.kill();
    return saved == 14 ? 0 : 1;
}
