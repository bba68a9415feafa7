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

// A bound as the settings file would write it: integers in decimal, reals in six digits.
QString bound(const Declaration& d, double value)
{
    return d.type == Type::Int ? QString::number(qint64(value)) : real(value);
}

QString rangeText(const Declaration& d)
{
    return bound(d, d.low) + QStringLiteral(" to ") + bound(d, d.high);
}

bool bounded(const Declaration& d)
{
    return d.low > -Any || d.high < Any;
}

void logOutside(Logs& log, const Declaration& d, const QString& value, const QString& fallback)
{
    log.udebug(QLatin1String(d.owner) + QStringLiteral(": setting ") + QLatin1String(d.key) + QLatin1Char(' ')
               + value + QStringLiteral(" is outside ") + rangeText(d) + QStringLiteral(", using ") + fallback);
}

} // namespace

QString key(const Declaration& d)
{
    return QLatin1String(d.key);
}

bool inRange(const Declaration& d, double value)
{
    // -Any and Any are open ends: every finite value lies inside them.
    return std::isfinite(value) && (d.low <= -Any || value >= d.low) && (d.high >= Any || value <= d.high);
}

int readInt(Registry& registry, Logs& log, const Declaration& d)
{
    return readInt(registry, log, d, int(d.number));
}

int readInt(Registry& registry, Logs& log, const Declaration& d, int fallback)
{
    const int value = registry.GetKeyINT(key(d), fallback);
    if (inRange(d, value))
        return value;
    logOutside(log, d, QString::number(value), QString::number(fallback));
    return fallback;
}

double readReal(Registry& registry, Logs& log, const Declaration& d)
{
    return readReal(registry, log, d, d.number);
}

double readReal(Registry& registry, Logs& log, const Declaration& d, double fallback)
{
    const double value = registry.GetKeyDOUBLE(key(d), fallback);
    if (inRange(d, value))
        return value;
    // A key with a range names it for any value outside, "nan" included; one without says
    // that the value is not a number it can use.
    if (!bounded(d)) {
        log.udebug(QLatin1String(d.owner) + QStringLiteral(": setting ") + QLatin1String(d.key)
                   + QStringLiteral(" is not a finite number, using ") + real(fallback));
        return fallback;
    }
    logOutside(log, d, real(value), real(fallback));
    return fallback;
}

bool readBool(Registry& registry, const Declaration& d)
{
    return registry.GetKeyBOOL(key(d), d.number != 0.0);
}

QString readText(Registry& registry, const Declaration& d)
{
    return registry.GetKeySTR(key(d), QLatin1String(d.text ? d.text : ""));
}

void write(Registry& registry, const Declaration& d, int value)
{
    registry.SetKey(key(d), QString::number(value));
}

void write(Registry& registry, const Declaration& d, double value)
{
    registry.SetKey(key(d), real(value));
}

void write(Registry& registry, const Declaration& d, bool value)
{
    registry.SetKey(key(d), value ? QStringLiteral("1") : QStringLiteral("0"));
}

void write(Registry& registry, const Declaration& d, const QString& value)
{
    registry.SetKey(key(d), value);
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
            meaning += QStringLiteral(" (") + bound(*d, d->low) + QStringLiteral("–") + bound(*d, d->high) + QLatin1Char(')');
        lines << QStringLiteral("| `") + QLatin1String(d->key) + QStringLiteral("` | ") + shown
                     + QStringLiteral(" | ") + meaning + QStringLiteral(" |");
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

} // namespace settings
