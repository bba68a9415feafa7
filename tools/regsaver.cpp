// regsaver: saves the settings over and over with the station's own settings store, so that it
// can be killed in the middle of a save (scripts/killsave). It works in DIR, the working
// directory where the store keeps "Registry.dat" and the log keeps "Logs.ini".
//
//   regsaver DIR reference N   save settings set N (0 or 1) once and end
//   regsaver DIR loop          save set 0, print "ready", then save sets 1, 0, 1, ... until killed
//
// The two sets hold the same keys with values of different lengths, so that a file cut short,
// or made of pieces of both, never equals either set saved whole.
//
// In loop mode the file DIR/progress tells where a kill found the loop. It always holds one
// 13-byte line, rewritten in place: "S <generation>" while generation g is being saved (set
// g % 2; the file must then hold set (g - 1) % 2 or set g % 2), "D <generation>" once that save
// returned (the file must hold set g % 2). Generation 0 is the save before "ready".
// Exit status: 0 reference saved, 1 a save failed, 2 usage error.

#include "core/logs.h"
#include "core/registry.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int KeyCount = 120;

QString keyName(int i)
{
    return QStringLiteral("PSAVETEST%1").arg(i, 3, 10, QLatin1Char('0'));
}

// Set 0: short values; set 1: longer ones.
QString value(int set, int i)
{
    return set == 0 ? QStringLiteral("OLD%1").arg(i) : QStringLiteral("NEWVALUE%1X").arg(i * 7);
}

void setAll(Registry* registry, int set)
{
    for (int i = 0; i < KeyCount; ++i)
        registry->SetKey(keyName(i), value(set, i));
}

// One fixed-size pwrite: it reaches the page cache at once, so it outlives a SIGKILL.
void markProgress(int fd, char state, long generation)
{
    char line[32];
    std::snprintf(line, sizeof line, "%c %010ld\n", state, generation);
    if (::pwrite(fd, line, 13, 0) != 13)
        std::perror("regsaver: progress");
}

int usage()
{
    std::fprintf(stderr, "usage: regsaver DIR reference 0|1\n       regsaver DIR loop\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return usage();
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QByteArray mode = argv[2];
    if (!QDir().mkpath(dir) || !QDir::setCurrent(dir)) {
        std::fprintf(stderr, "regsaver: can not work in %s\n", argv[1]);
        return 2;
    }

    if (mode == "reference") {
        if (argc < 4 || (std::strcmp(argv[3], "0") != 0 && std::strcmp(argv[3], "1") != 0))
            return usage();
        Logs::AccessMemory();
        Registry* registry = Registry::AccessMemory();
        setAll(registry, argv[3][0] - '0');
        const bool saved = registry->SaveReg();
        Registry::Destroy();
        Logs::Destroy();
        return saved ? 0 : 1;
    }
    if (mode != "loop")
        return usage();

    const int progress = ::open("progress", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (progress < 0) {
        std::perror("regsaver: progress");
        return 1;
    }
    Logs::AccessMemory();
    Registry* registry = Registry::AccessMemory();
    for (long generation = 0;; ++generation) {
        setAll(registry, int(generation % 2));
        markProgress(progress, 'S', generation);
        if (!registry->SaveReg()) {
            std::fprintf(stderr, "regsaver: save %ld failed\n", generation);
            return 1;
        }
        markProgress(progress, 'D', generation);
        if (generation == 0) {
            std::printf("ready\n");
            std::fflush(stdout);
        }
    }
}
