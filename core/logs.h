#pragma once

#include "singleton.h"

#include <QFile>
#include <QString>
#include <QThread>

#include <mutex>

// The one log of the station: every record is stamped, echoed on the debug console,
// announced with sendtotextarea() and appended to "Logs.ini" in the working directory.
class Logs : public QThread
{
    Q_OBJECT

public:
    static Logs* AccessMemory();
    static void Destroy() { ::veltrax::Singleton<Logs>::destroy(); }
    static Logs* Existing() { return ::veltrax::Singleton<Logs>::peek(); }

    ~Logs() override;

    bool Reset();
    void udebug(QString message);
    QString getDateTime();

    static const char* FileName;

signals:
    void sendtotextarea(QString);

protected:
    void run() override {}

private:
    friend class ::veltrax::Singleton<Logs>;
    explicit Logs(QObject* parent = nullptr);
    Logs(const Logs&) = delete;
    Logs& operator=(const Logs&) = delete;

    void writetofile(QString message);
    void reportFailure(const QString& text);

    // writeLock guards file and serialises whole udebug calls, so records never interleave.
    std::mutex writeLock;
    QFile file;
    bool loadingfilefaild = true; // set once at construction, read-only afterwards
};
