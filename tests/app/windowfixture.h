#pragma once

// The real window over the simulated rig, in-process: a settings file binding the rig's three
// cameras, the server on a free loopback port, the window shown offscreen.

#include "app/mainwindow.h"
#include "hostlink/veltraxserver.h"
#include "sim/rig/rig.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QSpinBox>
#include <QStackedWidget>
#include <QtTest>

#include <memory>

namespace windowtest {

// Settings lines every window test starts with: the rig's cameras bound to their roles and the
// shared folder inside the test's own directory.
inline QByteArray rigSettings(const QString& sharedFolder)
{
    QByteArray s("Veltrax:Registry\nVersion:1.0.0.1\n");
    s += QByteArray("CAMTLID:") + rig::Rig::TopLargeSerial + "\n";
    s += QByteArray("CAMMFID:") + rig::Rig::FrontSerial + "\n";
    s += QByteArray("CAMTSID:") + rig::Rig::TopStandardSerial + "\n";
    s += "PSHAREDFOLDER:" + sharedFolder.toUtf8() + "\n";
    return s;
}

class Station
{
public:
    // extraSettings: more "KEY:VALUE" lines for Registry.dat.
    explicit Station(const QByteArray& extraSettings = QByteArray(), bool bindCameras = true)
        : work(new testsupport::WorkDir)
    {
        QDir(work->path()).mkpath(QStringLiteral("shared"));
        QByteArray settings = bindCameras ? rigSettings(work->file(QStringLiteral("shared")))
                                          : QByteArray("Veltrax:Registry\nVersion:1.0.0.1\n");
        testsupport::writeAll(work->file(QStringLiteral("Registry.dat")), settings + extraSettings);
        rig::Rig::instance().reset();
        rig::Rig::instance().setNoise(false);
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, 0);
        window.reset(new MainWindow(nullptr));
        window->show();
        exposed = QTest::qWaitForWindowExposed(window.get());
    }
    ~Station()
    {
        // The window's destructor destroys every component it created.
        window.reset();
    }

    template <class T>
    T* widget(const char* name) const
    {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        if (!found)
            qWarning("no widget %s", name);
        return found;
    }
    QLabel* label(const char* name) const { return widget<QLabel>(name); }
    QSpinBox* spin(const char* name) const { return widget<QSpinBox>(name); }
    QDoubleSpinBox* dspin(const char* name) const { return widget<QDoubleSpinBox>(name); }
    QAbstractButton* button(const char* name) const { return widget<QAbstractButton>(name); }
    QStackedWidget* pages() const { return widget<QStackedWidget>("stackedWidgetMain"); }
    void click(const char* name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    // A check box takes clicks on its indicator and caption, not on the rest of its row.
    void tick(const char* name) const
    {
        QAbstractButton* box = button(name);
        QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(8, box->height() / 2));
    }

    // Types the access code into the code field and presses "Service Mode ->".
    void enterCode(const QString& code) const
    {
        QLineEdit* field = widget<QLineEdit>("lineEdit");
        field->setFocus();
        QTest::keyClicks(field, code);
        click("pushButton_3");
    }
    void goToPage(int page) const
    {
        enterCode(QStringLiteral("q7vbx#operate"));
        while (pages()->currentIndex() < page)
            click("pushButton_2");
        while (pages()->currentIndex() > page)
            click("pushButton");
    }
    QByteArray settingsFile() const { return testsupport::readAll(work->file(QStringLiteral("Registry.dat"))); }

    std::unique_ptr<testsupport::WorkDir> work;
    std::unique_ptr<MainWindow> window;
    bool exposed = false;
};

// Closes the next modal message box and reports its title and text.
class MessageBoxCatcher : public QObject
{
public:
    QString title, text;
    bool seen = false;
    void arm()
    {
        QTimer::singleShot(0, this, [this]() { poll(); });
    }

private:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen = true;
            title = box->windowTitle();
            text = box->text();
            box->done(QMessageBox::Ok);
            return;
        }
        QTimer::singleShot(10, this, [this]() { poll(); });
    }
};

} // namespace windowtest
