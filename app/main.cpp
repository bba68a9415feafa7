#include "mainwindow.h"

#include "core/stoprequest.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here; the event loop picks the byte up. The flag lets a
    // blocking write to a host that stopped reading give up at once.
    veltrax::StopRequested.store(true);
    ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);

    // SIGINT and SIGTERM close the window exactly as its close button does, so the
    // components are torn down in order and the log ends properly. The handler is in place
    // before the window is built: a signal during start-up waits for the event loop.
    const bool signalsHandled = ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0;
    if (signalsHandled) {
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }

    MainWindow* window = new MainWindow(nullptr);

    if (signalsHandled) {
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, window, [window, notifier]() {
            char byte = 0;
            ssize_t ignored = ::read(signalPipe[0], &byte, 1);
            (void)ignored;
            notifier->setEnabled(false);
            window->close();
        });
    }

    window->show();
    const int status = app.exec();
    delete window;
    return status;
}
