#include "registry.h"

#include "settingscatalog.h"

#include "filewrites.h"
#include "logs.h"

#include <QBuffer>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

#include <cerrno>
#include <cstring>
#include <exception>

#include <unistd.h>

const char* Registry::FileName = "Registry.dat";
const char* Registry::HeaderLine1 = "Veltrax:Registry";
const char* Registry::HeaderLine2 = "Version:1.0.0.1";
const char* Registry::SharedFolderKey = settings::store::SharedFolder.key;
const char* Registry::SharedFolderDefault = settings::store::SharedFolder.text;

namespace {

// Why a write failed.
QString writeFailure(const QFileDevice& device)
{
    return filewrites::IsShortWrite(device) ? QStringLiteral("only part of the file was written (disk full?)")
                                            : device.errorString();
}

// Puts content in place of the file that out replaces, or leaves the old file as it was.
// QSaveFile buffers, and a short write at its final flush does not stop commit() from renaming
// the cut temporary file over the old one; so the data is flushed and synced here first, and
// on any failure the temporary file is discarded (by out's destructor) instead of committed.
bool replaceWhole(QSaveFile& out, const QByteArray& content, QString* error)
{
    if (out.write(content) != content.size() || !out.flush()) {
        *error = writeFailure(out);
        out.cancelWriting();
        return false;
    }
    // EINVAL: a file that cannot be synced (not a disk file); anything else means the data may
    // not be on the disk.
    if (::fsync(out.handle()) != 0 && errno != EINVAL) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        out.cancelWriting();
        return false;
    }
    if (!out.commit()) {
        *error = out.errorString();
        return false;
    }
    return true;
}

// A file whose owner may not write it is left alone, also by root, which the system would let
// through: that is how a settings file is frozen.
bool isWriteProtected(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() && !(info.permissions() & QFileDevice::WriteOwner);
}

} // namespace

bool Registry::IsVerbatimKey(const QString& key)
{
    return key.compare(settings::key(settings::store::SharedFolder), Qt::CaseInsensitive) == 0;
}

Registry::Registry(QObject* parent)
    : QThread(parent)
{
    logging = Logs::AccessMemory();
    logging->udebug(QStringLiteral("Loading Registry Component"));
    try {
        RegBase.clear();
        file.setFileName(QString::fromLatin1(FileName));
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Registry: ") + QString::fromLocal8Bit(e.what()));
    }
    Init();
}

Registry::~Registry()
{
    logging->udebug(QStringLiteral("Registry Component Destrution"));
}

// A loaded line loses its spaces and is upper-cased; a verbatim key keeps its value as written.
QString Registry::normaliseLine(const QString& line)
{
    const int colon = line.indexOf(QLatin1Char(':'));
    if (colon > 0) {
        const QString key = line.left(colon).remove(QLatin1Char(' '));
        if (IsVerbatimKey(key))
            return key.toUpper() + line.mid(colon);
    }
    QString entry = line;
    entry.remove(QLatin1Char(' '));
    return entry.toUpper();
}

QByteArray Registry::WithHeader(const QByteArray& content)
{
    // A file that already starts with the header (in any letter case) keeps everything else
    // byte for byte; a file without it (new, empty, or edited by hand) gets the header in front
    // of its content, so no stored line is lost.
    const QByteArray header = QByteArray(HeaderLine1) + '\n' + QByteArray(HeaderLine2) + '\n';
    QByteArray rest = content;
    const int firstEnd = content.indexOf('\n');
    const int secondEnd = firstEnd < 0 ? -1 : content.indexOf('\n', firstEnd + 1);
    if (secondEnd > 0) {
        const QByteArray l1 = content.left(firstEnd).trimmed();
        const QByteArray l2 = content.mid(firstEnd + 1, secondEnd - firstEnd - 1).trimmed();
        if (l1.toUpper() == QByteArray(HeaderLine1).toUpper() && l2.toUpper() == QByteArray(HeaderLine2).toUpper())
            rest = content.mid(secondEnd + 1);
    } else if (content.trimmed().toUpper() == QByteArray(HeaderLine1).toUpper()) {
        rest.clear();
    }
    return header + rest;
}

QStringList Registry::Parse(QIODevice& text)
{
    QStringList entries;
    QTextStream in(&text);
    while (!in.atEnd())
        entries.append(normaliseLine(in.readLine()));
    return entries;
}

QStringList Registry::Parse(const QByteArray& content)
{
    QByteArray copy = content;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    return Parse(buffer);
}

QByteArray Registry::Content() const
{
    QByteArray content;
    for (const QString& entry : RegBase)
        content += entry.toLocal8Bit() + '\n';
    return content;
}

void Registry::Load(const QByteArray& content)
{
    RegBase = Parse(WithHeader(content));
}

bool Registry::Init()
{
    try {
        QByteArray content;
        bool exists = file.exists();
        if (exists && file.open(QIODevice::ReadOnly)) {
            content = file.readAll();
            file.close();
        }
        const QByteArray wanted = WithHeader(content);
        if (wanted != content && !isWriteProtected(file.fileName())) {
            // On failure the file keeps its old header and everything else; it is read as it is.
            QSaveFile out(file.fileName());
            QString ignored;
            if (out.open(QIODevice::WriteOnly))
                replaceWhole(out, wanted, &ignored);
        }

        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            logging->udebug(QStringLiteral("Registry: Can not read file."));
        } else if (file.size() == 0) {
            logging->udebug(QStringLiteral("Registry: Empty."));
        } else {
            RegBase.append(Parse(file));
        }
        file.close();
        logging->udebug(QStringLiteral("Registry Class imported successfully"));
        return true;
    } catch (const std::exception& e) {
        file.close();
        logging->udebug(QStringLiteral("RegistryInit:") + QString::fromLocal8Bit(e.what()));
        return false;
    }
}

int Registry::findEntry(const QString& key, int firstIndex) const
{
    const QString search = key.toUpper() + QLatin1Char(':');
    for (int i = firstIndex; i < RegBase.size(); ++i) {
        if (RegBase.at(i).toUpper().contains(search))
            return i;
    }
    return -1;
}

bool Registry::lookup(const QString& key, QString* value)
{
    const int index = findEntry(key, 1);
    if (index < 0) {
        logging->udebug(QStringLiteral("Can not Found Registry key:") + key);
        return false;
    }
    *value = RegBase.at(index).mid(key.size() + 1);
    return true;
}

QString Registry::GetKeySTR(QString Key, QString Default)
{
    try {
        QString value;
        return lookup(Key, &value) ? value : Default;
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Get Key STR:") + QString::fromLocal8Bit(e.what()));
        return Default;
    }
}

int Registry::GetKeyINT(QString Key, int Default)
{
    try {
        QString value;
        if (!lookup(Key, &value))
            return Default;
        bool ok = false;
        const int number = value.toInt(&ok, 10);
        if (ok)
            return number;
        refuseValue(Key, value, QStringLiteral("is not an integer"), QString::number(Default));
        return Default;
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Get Key INT:") + QString::fromLocal8Bit(e.what()));
        return Default;
    }
}

double Registry::GetKeyDOUBLE(QString Key, double Default)
{
    try {
        QString value;
        if (!lookup(Key, &value))
            return Default;
        bool ok = false;
        const double number = value.toDouble(&ok);
        if (ok)
            return number;
        refuseValue(Key, value, QStringLiteral("is not a number"), QString::number(Default, 'g', 6));
        return Default;
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Get Key DOUBLE:") + QString::fromLocal8Bit(e.what()));
        return Default;
    }
}

bool Registry::GetKeyBOOL(QString Key, bool Default)
{
    try {
        QString value;
        if (!lookup(Key, &value))
            return Default;
        bool ok = false;
        const int number = value.toInt(&ok, 10);
        if (ok && (number == 0 || number == 1))
            return number == 1;
        refuseValue(Key, value, QStringLiteral("is neither 1 nor 0"), Default ? QStringLiteral("1") : QStringLiteral("0"));
        return Default;
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Get Key BOOL:") + QString::fromLocal8Bit(e.what()));
        return Default;
    }
}

// A value of the wrong kind would otherwise read as 0 without a word ("2000.0" as 0 ms); the
// caller's default is used instead and the log says why, in the words the range checks use.
void Registry::refuseValue(const QString& key, const QString& value, const QString& why, const QString& fallback)
{
    logging->udebug(QStringLiteral("Registry: setting ") + key + QLatin1Char(' ')
                    + (value.isEmpty() ? QStringLiteral("(empty)") : value) + QLatin1Char(' ') + why
                    + QStringLiteral(", using ") + fallback);
}

bool Registry::SetKey(QString Key, QString Val)
{
    try {
        const QString entry = Key.toUpper() + QLatin1Char(':') + (IsVerbatimKey(Key) ? Val : Val.toUpper());
        const int index = findEntry(Key, 0);
        if (index >= 0) {
            RegBase[index] = entry;
            logging->udebug(QStringLiteral("Registry key ") + Key + QStringLiteral(" updated as:") + Val);
            return true;
        }
        if (isWriteProtected(file.fileName()) || !file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text)) {
            file.unsetError();
            logging->udebug(QStringLiteral("Can not write Registry key:") + entry);
            return false;
        }
        const qint64 before = file.size();
        const QByteArray line = entry.toLocal8Bit() + '\n';
        const bool written = file.write(line) == line.size();
        file.close();
        if (!written || file.error() != QFileDevice::NoError) {
            file.unsetError();
            // A disk that filled up in the middle of the line keeps its start; without it cut
            // off again, the next key created would be glued to that torn line.
            filewrites::CutBackTo(file, before);
            logging->udebug(QStringLiteral("Can not write Registry key:") + entry);
            return false;
        }
        RegBase.append(entry);
        logging->udebug(QStringLiteral("New Registry key Created as:") + entry);
        return true;
    } catch (const std::exception& e) {
        file.close();
        logging->udebug(QStringLiteral("Setting Registry Key:") + QString::fromLocal8Bit(e.what()));
        return false;
    }
}

bool Registry::SaveReg()
{
    try {
        // The new content goes to a temporary file that replaces the old one only once it is
        // completely on disk: a crash or a full disk leaves the previous file intact.
        QSaveFile out(file.fileName());
        if (isWriteProtected(file.fileName()) || !out.open(QIODevice::WriteOnly | QIODevice::Text)) {
            logging->udebug(QStringLiteral("Can not open reg file"));
            return false;
        }
        QString error;
        if (!replaceWhole(out, Content(), &error)) {
            logging->udebug(QStringLiteral("Can not write registry file :") + error);
            return false;
        }
        logging->udebug(QStringLiteral("Reg file saved"));
        return true;
    } catch (const std::exception& e) {
        logging->udebug(QStringLiteral("Can not write registry file :") + QString::fromLocal8Bit(e.what()));
        return false;
    }
}

QStringList Registry::GetRegBaseCopy()
{
    return RegBase.mid(1);
}
