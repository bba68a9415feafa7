#pragma once

// File faults that also bite a test running as root, which ignores mode bits:
// - /dev/full: every write fails with ENOSPC, as on a full disk;
// - a file size limit (RLIMIT_FSIZE): a write past it stores what fits and then fails with
//   EFBIG, as on a disk that fills up in the middle of a record.

#include <QFile>
#include <QString>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

namespace filefaults {

// Files of this process may not grow beyond `bytes` while the object lives. SIGXFSZ, which
// would end the process at the limit, is ignored meanwhile, so writes just fail.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &previous);
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &previousAction);
        struct rlimit limit = previous;
        limit.rlim_cur = bytes;
        active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { lift(); }
    bool isActive() const { return active; }
    // Room on the disk again.
    void lift()
    {
        if (!active)
            return;
        ::setrlimit(RLIMIT_FSIZE, &previous);
        ::sigaction(SIGXFSZ, &previousAction, nullptr);
        active = false;
    }

private:
    struct rlimit previous = {};
    struct sigaction previousAction = {};
    bool active = false;
};

// Puts a link to /dev/full at `path`, keeping what was there as path + ".kept"; restore()
// brings it back.
class FullDevice
{
public:
    explicit FullDevice(const QString& path)
        : path(path)
    {
        if (QFile::exists(path))
            moved = QFile::rename(path, path + QStringLiteral(".kept"));
        linked = QFile::link(QStringLiteral("/dev/full"), path);
    }
    ~FullDevice() { restore(); }
    bool isActive() const { return linked; }
    void restore()
    {
        if (linked)
            QFile::remove(path);
        if (moved)
            QFile::rename(path + QStringLiteral(".kept"), path);
        linked = moved = false;
    }

private:
    QString path;
    bool moved = false;
    bool linked = false;
};

// Resident memory of this process in kilobytes (0 when /proc is not there).
inline long residentKb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLong() * (::sysconf(_SC_PAGESIZE) / 1024) : 0;
}

} // namespace filefaults
