// hostsim: plays the host's side of the link against a running station.
#include "sim/host/hostscript.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    HostScriptOptions options;
    QString error;
    if (!hostscript::parseArguments(app.arguments().mid(1), &options, &error)) {
        if (!error.isEmpty())
            err << "hostsim: " << error << '\n';
        err << hostscript::usage();
        return error.isEmpty() ? hostscript::Ok : hostscript::Usage;
    }
    return hostscript::run(options, out);
}
