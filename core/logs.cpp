#include "logs.h"

#include "filewrites.h"

#include <QDateTime>
#include <QDebug>

const char* Logs::FileName = "Logs.ini";

namespace {
void announceStart()
{
    qDebug().noquote() << "Starting Logs";
}
} // namespace

Logs* Logs::AccessMemory()
{
    return ::veltrax::Singleton<Logs>::access(&announceStart);
}

Logs::Logs(QObject* parent)
    : QThread(parent)
    , file(QString::fromLatin1(FileName))
{
    loadingfilefaild = true;
    if (Reset())
        loadingfilefaild = false;
    else
        qDebug().noquote() << QStringLiteral("[Construction] Logging failure: ") + QStringLiteral("Failed to open Log File.");
}

Logs::~Logs()
{
    udebug(QStringLiteral("Log Component Destrution"));
    udebug(QStringLiteral("Exit"));
}

bool Logs::Reset()
{
    std::lock_guard<std::mutex> fileLocker(writeLock);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text))
        return false;
    const qint64 before = file.size();
    const QByteArray separator = QByteArray("\n") + QByteArray(101, '#');
    const bool written = file.write(separator) == separator.size();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        qDebug().noquote() << QStringLiteral("[File Reset] Logging failure: ") + file.errorString();
        file.unsetError();
        filewrites::CutBackTo(file, before);
        return false;
    }
    return true;
}

QString Logs::getDateTime()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss[zzz]"));
}

void Logs::udebug(QString message)
{
    std::lock_guard<std::mutex> recordLocker(writeLock);
    const QString stamped = QStringLiteral("[") + getDateTime() + QStringLiteral("]: ") + message;
    qDebug().noquote() << QStringLiteral(" Log:") + stamped;
    emit sendtotextarea(stamped);
    writetofile(QStringLiteral(" Log:") + stamped);
}

// Console and signal only: a failure of the file must never recurse into the file.
void Logs::reportFailure(const QString& text)
{
    const QString stamped = QStringLiteral("[") + getDateTime() + QStringLiteral("]: ") + text;
    qDebug().noquote() << QStringLiteral(" Log:") + stamped;
    emit sendtotextarea(stamped);
}

void Logs::writetofile(QString message)
{
    if (loadingfilefaild)
        return;
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text)) {
        file.unsetError();
        reportFailure(QStringLiteral("Can not Read or Create Log file."));
        return;
    }
    const qint64 before = file.size();
    const QByteArray record = QByteArray("\n") + message.toLocal8Bit();
    const bool written = file.write(record) == record.size();
    file.close(); // flushes; a full disk shows up here
    if (!written || file.error() != QFileDevice::NoError) {
        const QString reason = filewrites::IsShortWrite(file)
            ? QStringLiteral("only part of the record was written (disk full?)")
            : file.errorString();
        file.unsetError();
        // A disk that fills up in the middle of a record keeps the part that fitted: cut back,
        // the file holds whole records only.
        filewrites::CutBackTo(file, before);
        reportFailure(QStringLiteral("Can not Write into Log file:") + reason);
    }
}
