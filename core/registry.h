#pragma once

#include "singleton.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QThread>

class Logs;

// Persistent key/value settings in "Registry.dat" (working directory). The whole file is held
// in RegBase; lookups and updates work in memory, SaveReg() rewrites the file as a whole.
// Used from the main thread only, so it takes no lock.
class Registry : public QThread
{
    Q_OBJECT
    VELTRAX_SINGLETON_ACCESS(Registry)

public:
    ~Registry() override;

    bool Init();
    bool SetKey(QString Key, QString Val);
    QString GetKeySTR(QString Key, QString Default);
    // The typed getters return Default when the key is absent, and also (with a log line) when
    // its value is not of the getter's kind: an integer key holding "2000.0", "20.5" or "NAN",
    // a real key holding text that is no number, a flag holding anything but 1 or 0.
    int GetKeyINT(QString Key, int Default);
    double GetKeyDOUBLE(QString Key, double Default);
    bool GetKeyBOOL(QString Key, bool Default);
    bool SaveReg();
    QStringList GetRegBaseCopy();

    // What SaveReg() writes.
    QByteArray Content() const;
    // Takes content as the file's, as Init() reads a writable file, without touching the disk.
    void Load(const QByteArray& content);

    // The content with the two header lines in front. A content that starts with them (in any
    // letter case) keeps everything after them byte for byte.
    static QByteArray WithHeader(const QByteArray& content);
    // The entries of a settings text, one per line, normalised as they are held in memory.
    static QStringList Parse(const QByteArray& content);

    static const char* FileName;
    static const char* HeaderLine1;
    static const char* HeaderLine2;

    // Keys whose values keep their letter case (and spaces) in memory and in the file, because
    // they name things on a case-sensitive file system. Every other value is upper-cased.
    static bool IsVerbatimKey(const QString& key);
    // The shared folder's key and default (settings::store::SharedFolder), named here too for
    // the fixtures that point the folder elsewhere.
    static const char* SharedFolderKey;
    static const char* SharedFolderDefault;

protected:
    void run() override {}

private:
    explicit Registry(QObject* parent = nullptr);

    // Index of the entry holding key, or -1. firstIndex 1 skips the first header line.
    int findEntry(const QString& key, int firstIndex) const;
    bool lookup(const QString& key, QString* value);
    void refuseValue(const QString& key, const QString& value, const QString& why, const QString& fallback);
    static QString normaliseLine(const QString& line);
    static QStringList Parse(QIODevice& text);

    Logs* logging = nullptr;
    QFile file;
    QStringList RegBase;
};
