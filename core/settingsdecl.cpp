#include "settingsdecl.h"

#include "logs.h"
#include "registry.h"

#include <QStringList>

#include <cmath>

namespace settings {

namespace {

QString real(double value)
{
    return QString::number(value, 'g', 6);
}

QString rangeText(const Declaration& d)
{
    return real(d.low) + QStringLiteral(" to ") + real(d.high);
}

bool bounded(const Declaration& d)
{
    return d.low > -Any || d.high < Any;
}

void logOutside(Logs& log, const Declaration& d, const QString& value)
{
    log.udebug(QLatin1String(d.owner) + QStringLiteral(": setting ") + QLatin1String(d.key) + QLatin1Char(' ')
               + value + QStringLiteral(" is outside ") + rangeText(d) + QStringLiteral(", using ")
               + defaultText(d));
}

} // namespace

bool inRange(const Declaration& d, double value)
{
    return std::isfinite(value) && value >= d.low && value <= d.high;
}

int readInt(Registry& registry, Logs& log, const Declaration& d)
{
    const int fallback = int(d.number);
    const int value = registry.GetKeyINT(QLatin1String(d.key), fallback);
    if (inRange(d, value))
        return value;
    logOutside(log, d, QString::number(value));
    return fallback;
}

double readReal(Registry& registry, Logs& log, const Declaration& d)
{
    const double value = registry.GetKeyDOUBLE(QLatin1String(d.key), d.number);
    if (!std::isfinite(value)) {
        log.udebug(QLatin1String(d.owner) + QStringLiteral(": setting ") + QLatin1String(d.key)
                   + QStringLiteral(" is not a finite number, using ") + real(d.number));
        return d.number;
    }
    if (inRange(d, value))
        return value;
    logOutside(log, d, real(value));
    return d.number;
}

bool readBool(Registry& registry, const Declaration& d)
{
    return registry.GetKeyBOOL(QLatin1String(d.key), d.number != 0.0);
}

QString readText(Registry& registry, const Declaration& d)
{
    return registry.GetKeySTR(QLatin1String(d.key), QLatin1String(d.text ? d.text : ""));
}

void write(Registry& registry, const Declaration& d, int value)
{
    registry.SetKey(QLatin1String(d.key), QString::number(value));
}

void write(Registry& registry, const Declaration& d, double value)
{
    registry.SetKey(QLatin1String(d.key), real(value));
}

void write(Registry& registry, const Declaration& d, bool value)
{
    registry.SetKey(QLatin1String(d.key), value ? QStringLiteral("1") : QStringLiteral("0"));
}

void write(Registry& registry, const Declaration& d, const QString& value)
{
    registry.SetKey(QLatin1String(d.key), value);
}

QString defaultText(const Declaration& d)
{
    switch (d.type) {
    case Type::Int:
        return QString::number(int(d.number));
    case Type::Real:
        return real(d.number);
    case Type::Bool:
        return d.number != 0.0 ? QStringLiteral("1") : QStringLiteral("0");
    case Type::Text:
        break;
    }
    return QLatin1String(d.text ? d.text : "");
}

QString markdownTable()
{
    QStringList lines;
    lines << QStringLiteral("| Key | Default | Meaning |") << QStringLiteral("|---|---|---|");
    for (const Declaration* d : all()) {
        QString shown = d->tableDefault ? QString::fromUtf8(d->tableDefault) : defaultText(*d);
        if (d->type == Type::Text && !d->tableDefault)
            shown = QLatin1Char('`') + shown + QLatin1Char('`');
        QString meaning = QString::fromUtf8(d->meaning);
        if (bounded(*d) && d->type != Type::Bool && d->type != Type::Text)
            meaning += QStringLiteral(" (") + real(d->low) + QStringLiteral("–") + real(d->high) + QLatin1Char(')');
        lines << QStringLiteral("| `") + QLatin1String(d->key) + QStringLiteral("` | ") + shown
                     + QStringLiteral(" | ") + meaning + QStringLiteral(" |");
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace settings
