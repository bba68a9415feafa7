#pragma once

// The station's window in this process, used the way the operator uses it: the service code
// typed in, the page with a control brought up with the arrow buttons, buttons clicked. The
// host port is a free loopback port, so these tests never compete for port 5050.

#include "app/mainwindow.h"
#include "camera/cammf.h"
#include "camera/camtl.h"
#include "camera/camts.h"
#include "camera/camvsharedconfig.h"
#include "core/logs.h"
#include "core/registry.h"
#include "hostlink/veltraxserver.h"
#include "motion/motioncore.h"
#include "scan/gridlestitcher.h"
#include "sim/rig/rig.h"
#include "station/stationassembly.h"
#include "vision/gridleanalyser.h"
#include "vision/topstonetracker.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTabWidget>
#include <QtTest>

#include <memory>

namespace e2e {

// Whatever is still alive (a window that failed half-way through its construction, or
// components a test created itself), in the reverse of the creation order.
inline void destroyLeftoverComponents()
{
    StationAssembly::tearDown();
}

class OperatorSession
{
public:
    // Opens the window in the current working directory; the host server binds 127.0.0.1 at
    // listenPort (0: any free port). Without cameras the rig has none plugged in.
    explicit OperatorSession(quint16 listenPort = 0, bool withCameras = true)
    {
        rig::Rig::instance().reset();
        if (!withCameras)
            rig::Rig::instance().clearCameras();
        VeltraxServer::SetListenEndpoint(QHostAddress::LocalHost, listenPort);
        window.reset(new MainWindow(nullptr));
        window->show();
        exposed = QTest::qWaitForWindowExposed(window.get());
    }
    ~OperatorSession()
    {
        close();
        destroyLeftoverComponents();
        rig::Rig::instance().reset();
    }

    // Closes and destroys the window (its destructor tears the components down); returns the
    // milliseconds that took.
    qint64 close()
    {
        if (!window)
            return 0;
        QElapsedTimer clock;
        clock.start();
        window->close();
        window.reset();
        return clock.elapsed();
    }

    quint16 hostPort() const { return VeltraxServer::Existing() ? VeltraxServer::Existing()->ListenPort() : 0; }

    template <class T>
    T* find(const QString& name) const
    {
        return window ? window->findChild<T*>(name) : nullptr;
    }

    // Types the access code and brings up the page (and tab) holding the named widget. False
    // when there is no such widget or its page cannot be reached with the arrow buttons.
    bool reveal(const QString& name)
    {
        QWidget* target = find<QWidget>(name);
        auto* pages = find<QStackedWidget>(QStringLiteral("stackedWidgetMain"));
        if (!target || !pages)
            return false;
        int page = -1;
        for (int i = 0; i < pages->count(); ++i)
            if (pages->widget(i)->isAncestorOf(target))
                page = i;
        if (page < 0)
            return false;
        if (page > 0 && !window->isServiceMode()) {
            auto* code = find<QLineEdit>(QStringLiteral("lineEdit"));
            if (!code)
                return false;
            code->setFocus();
            QTest::keyClicks(code, QStringLiteral("q7vbx#operate"));
            click(QStringLiteral("pushButton_3"));
        }
        for (int step = 0; step < pages->count() && pages->currentIndex() != page; ++step)
            click(pages->currentIndex() < page ? QStringLiteral("pushButton_2") : QStringLiteral("pushButton"));
        for (QWidget* w = target->parentWidget(); w; w = w->parentWidget()) {
            if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
                for (int i = 0; i < tabs->count(); ++i)
                    if (tabs->widget(i)->isAncestorOf(target))
                        tabs->setCurrentIndex(i);
            }
        }
        return target->isVisible();
    }

    bool click(const QString& name)
    {
        auto* button = find<QAbstractButton>(name);
        if (!button || !button->isVisible() || !button->isEnabled())
            return false;
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }

    std::unique_ptr<MainWindow> window;
    bool exposed = false;
};

} // namespace e2e
