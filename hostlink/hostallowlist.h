#pragma once

#include <QHostAddress>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// The allow-list in effect: everyone, or a list of subnets (a single address is a subnet of
// full length).
class HostAllowList
{
public:
    // Entries that are neither an address nor a subnet are ignored and named in *rejected;
    // a list with entries but none valid admits nobody.
    static HostAllowList parse(const QString& text, QStringList* rejected);
    bool admits(const QHostAddress& peer) const;
    bool everyone() const { return all; }
    QString describe() const;

private:
    bool all = true;
    QVector<QPair<QHostAddress, int>> subnets;
};
