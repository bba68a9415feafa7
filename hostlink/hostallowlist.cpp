#include "hostlink/hostallowlist.h"

#include <QRegularExpression>

namespace {

// An IPv4 peer reached through an IPv6 listener shows as ::ffff:a.b.c.d.
QHostAddress plainAddress(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

} // namespace

HostAllowList HostAllowList::parse(const QString& text, QStringList* rejected)
{
    HostAllowList list;
    const QStringList entries = text.split(QRegularExpression(QStringLiteral("[,;\\s]+")), Qt::SkipEmptyParts);
    if (entries.isEmpty() || entries.contains(QStringLiteral("*")))
        return list;
    list.all = false;
    for (const QString& entry : entries) {
        QPair<QHostAddress, int> subnet;
        if (entry.contains(QLatin1Char('/'))) {
            subnet = QHostAddress::parseSubnet(entry);
        } else {
            const QHostAddress address = plainAddress(QHostAddress(entry));
            subnet = qMakePair(address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128);
        }
        if (subnet.first.isNull() || subnet.second < 0) {
            if (rejected)
                *rejected << entry;
            continue;
        }
        list.subnets << subnet;
    }
    return list;
}

bool HostAllowList::admits(const QHostAddress& peer) const
{
    if (all)
        return true;
    const QHostAddress address = plainAddress(peer);
    for (const auto& subnet : subnets)
        if (address.isInSubnet(subnet))
            return true;
    return false;
}

QString HostAllowList::describe() const
{
    if (all)
        return QStringLiteral("everyone");
    if (subnets.isEmpty())
        return QStringLiteral("nobody");
    QStringList shown;
    for (const auto& subnet : subnets)
        shown << subnet.first.toString() + QLatin1Char('/') + QString::number(subnet.second);
    return shown.join(QStringLiteral(", "));
}
