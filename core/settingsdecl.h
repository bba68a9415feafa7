#pragma once

#include <QString>

#include <vector>

class Logs;
class Registry;

// One declaration per settings key: its name, type, default, accepted range and a short meaning.
// Loading, saving, the range check and README's settings table all come from the declaration,
// so a key, its default and its range are written once.
//
// The declarations live in one catalogue (settingscatalog.cpp), grouped by the component that
// owns them; components refer to them by name (settings::motion::SettleMs) and never spell a
// key themselves.
namespace settings {

enum class Type { Int, Real, Bool, Text };

struct Declaration
{
    const char* key;           // upper case, as in Registry.dat
    Type type;
    double number;             // default of Int, Real and Bool keys (Bool: 0 or 1)
    const char* text;          // default of Text keys; nullptr for the others
    double low;                // accepted range of Int and Real keys, inclusive; a value outside
    double high;               // is logged and read as the default
    const char* owner;         // log prefix of the component that reads it ("Motion Core")
    const char* meaning;       // README's settings table
    const char* tableDefault;  // README's default column when it is not the number itself
                               // ("sensor width"); nullptr: the default as written
};

// Unbounded range for keys that accept any finite number.
constexpr double Any = 1.0e300;

// The default of an Int or Bool key, for the fields that start from it.
inline int intDefault(const Declaration& d)
{
    return int(d.number);
}
inline bool boolDefault(const Declaration& d)
{
    return d.number != 0.0;
}

// The key as the settings store takes it.
QString key(const Declaration& d);

// Readers: the stored value, or the default when the key is missing (the store logs that),
// not finite, or outside the declared range (logged here with the owner's prefix, naming the
// key, the value and the range: "Motion Core: setting PMALSETTLE 20000 is outside 0 to 10000,
// using 20"). A value the store cannot parse reads as 0, as the store's getters read it, and
// is then checked against the range like any other.
int readInt(Registry& registry, Logs& log, const Declaration& d);
double readReal(Registry& registry, Logs& log, const Declaration& d);
bool readBool(Registry& registry, const Declaration& d);
QString readText(Registry& registry, const Declaration& d);
// The same with a default known only at run time (an area of interest as large as the sensor;
// a residual limit of two pixels of the current calibration) in place of the declared one.
int readInt(Registry& registry, Logs& log, const Declaration& d, int fallback);
double readReal(Registry& registry, Logs& log, const Declaration& d, double fallback);

// True when a value lies inside the declaration's range (and is finite).
bool inRange(const Declaration& d, double value);

// Writers: the value as the settings file writes it (integers in decimal, reals with at most
// six significant digits, booleans 1/0).
void write(Registry& registry, const Declaration& d, int value);
void write(Registry& registry, const Declaration& d, double value);
void write(Registry& registry, const Declaration& d, bool value);
void write(Registry& registry, const Declaration& d, const QString& value);

// The default as the settings file writes it.
QString defaultText(const Declaration& d);

// Every declared key, in README's order.
const std::vector<const Declaration*>& all();

// README's settings table (header line, separator and one row per key), generated from all().
QString markdownTable();

} // namespace settings
