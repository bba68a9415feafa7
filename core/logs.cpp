#include "logs.h"

#include <QDateTime>
#include <QDebug>
#include <QMutexLocker>

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
    QMutexLocker fileLocker(&writeLock);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text))
        return false;
    const QByteArray separator = QByteArray("\n") + QByteArray(101, '#');
    const bool written = file.write(separator) == separator.size();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        qDebug().noquote() << QStringLiteral("[File Reset] Logging failure: ") + file.errorString();
        file.unsetError();
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
    QMutexLocker recordLocker(&writeLock);
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
    const QByteArray record = QByteArray("\n") + message.toLocal8Bit();
    const bool written = file.write(record) == record.size();
    file.close(); // flushes; a full disk shows up here
    if (!written || file.error() != QFileDevice::NoError) {
        const QString reason = file.errorString();
        file.unsetError();
        reportFailure(QStringLiteral("Can not Write into Log file:") + reason);
    }
}
