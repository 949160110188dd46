#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

// The addresses a server name stands for, in the order to try them. A venue gives its server name
// several addresses (its DNS, or the gate PC's hosts file) so that the station carries on when one
// server host dies; the one that answered last is tried first, so a station stays where it works.
namespace ServerAddresses {

// The addresses of host, the last one that answered first. An address literal is itself. The name
// is looked up anew after a while, but never for longer than waitMs (events other than input are
// handled meanwhile); empty when it cannot be looked up, and the caller connects by name.
QList<QHostAddress> of(const QString &host, int waitMs);

// address answered for host: try it first from now on.
void answered(const QString &host, const QHostAddress &address);

// Tests give a name its addresses without a resolver of their own; an empty list undoes it.
void setForTests(const QString &host, const QList<QHostAddress> &addresses);

} // namespace ServerAddresses
