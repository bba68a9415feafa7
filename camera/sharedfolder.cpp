#include "sharedfolder.h"

#include "camera/pngencoder.h"
#include "core/logs.h"
#include "core/registry.h"
#include "core/settingscatalog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <thread>
#include <vector>

#include <unistd.h>

QString SharedFolderPath()
{
    // Only read here: the folder is created by the first write into it (EnsureFolder), so a
    // station that never writes a snapshot or a scan frame leaves the file system alone.
    return settings::readText(*Registry::AccessMemory(), settings::store::SharedFolder);
}

bool EnsureFolder(const QString& path)
{
    if (path.isEmpty()) {
        Logs::AccessMemory()->udebug(QStringLiteral("Shared folder is not set"));
        return false;
    }
    if (QFileInfo(path).isDir())
        return true;
    if (QDir().mkpath(path) && QFileInfo(path).isDir()) {
        Logs::AccessMemory()->udebug(QStringLiteral("Shared folder created: ") + path);
        return true;
    }
    Logs::AccessMemory()->udebug(QStringLiteral("Shared folder can not be created: ") + path);
    return false;
}

namespace {
// From this size on an image is encoded on every core (a scan's panorama; frames are smaller).
constexpr size_t LargeImagePixels = 4u << 20;
} // namespace

bool WritePngAtomically(const QString& path, const cv::Mat& frame, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (frame.empty())
        return fail(QStringLiteral("no frame"));
    std::vector<uchar> png;
    // Large images (a scan's panorama) on every core; a frame on the calling thread. The
    // station's encoder codes a frame in less than half the image library's time, at the same
    // size: a scan's frames are written beside its motion, on the cores the cameras need.
    const bool large = frame.total() >= LargeImagePixels;
    const int threads = large ? static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) : 1;
    if (pngencoder::Encode(frame, &png, threads))
        return WriteBytesAtomically(path, QByteArray::fromRawData(reinterpret_cast<const char*>(png.data()), int(png.size())),
                                    error);
    try {
        if (!cv::imencode(".png", frame, png))
            return fail(QStringLiteral("PNG encoding failed"));
    } catch (const std::exception& e) {
        return fail(QStringLiteral("PNG encoding failed: ") + QString::fromLocal8Bit(e.what()));
    }
    return WriteBytesAtomically(path, QByteArray::fromRawData(reinterpret_cast<const char*>(png.data()), int(png.size())),
                                error);
}

bool WriteBytesAtomically(const QString& path, const QByteArray& bytes, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    const QFileInfo target(path);
    const QString partial = target.dir().filePath(QLatin1Char('.') + target.fileName() + QStringLiteral(".partial"));
    QFile file(partial);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot create ") + partial + QStringLiteral(": ") + file.errorString());
    const qint64 size = bytes.size();
    const bool whole = file.write(bytes.constData(), size) == size && file.flush()
                       && ::fsync(file.handle()) == 0;
    const QString writeError = file.errorString();
    file.close();
    if (!whole || file.error() != QFileDevice::NoError) {
        QFile::remove(partial);
        return fail(QStringLiteral("cannot write ") + QString::number(size) + QStringLiteral(" bytes to ") + partial
                    + QStringLiteral(": ") + writeError);
    }
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) != 0) {
        QFile::remove(partial);
        return fail(QStringLiteral("cannot rename ") + partial + QStringLiteral(" to ") + path);
    }
    return true;
}
