// settings-table: prints README's settings table, made from the settings declarations
// (core/settingscatalog.cpp). A test fails while README's table differs from it; paste this
// output over the table after declaring, changing or removing a key.

#include "core/settingscatalog.h"

#include <cstdio>

int main()
{
    const QByteArray table = settings::markdownTable().toUtf8();
    std::fwrite(table.constData(), 1, size_t(table.size()), stdout);
    return 0;
}
