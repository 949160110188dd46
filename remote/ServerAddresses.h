#pragma once

#include <QHostAddress>
#include <QList>
#include <QNetworkRequest>
#include <QString>

#include <functional>

class QObject;

// The addresses a server name stands for, in the order to try them. A venue gives its server name
// several addresses (its DNS, or the gate PC's hosts file) so that the station carries on when one
// server host dies; the one that answered last is tried first, so a station stays where it works.
namespace ServerAddresses {

// With several addresses, one that does not take the connection within connectMs, or does not
// answer a sent request within answerMs, is passed over for the next, so that a vanished host
// costs a call little of its wait.
constexpr int connectMs = 1000;
constexpr int answerMs = 2000;

// The addresses of host, the last one that answered first. An address literal is itself. The name
// is looked up anew after a while, but never for longer than waitMs (events other than input are
// handled meanwhile); empty when it cannot be looked up, and the caller connects by name.
QList<QHostAddress> of(const QString &host, int waitMs);

// As of(), without waiting: done gets the addresses from the event loop, on context's thread, and
// never once context is gone. For what must not hold up the window, such as its logo.
void ofLater(const QString &host, QObject *context,
             std::function<void(const QList<QHostAddress> &)> done);

// request sent to address instead of its URL's host name. The name stays the server's name: in
// the Host header and for the certificate.
QNetworkRequest to(const QNetworkRequest &request, const QHostAddress &address);

// address answered for host: try it first from now on.
void answered(const QString &host, const QHostAddress &address);

// Tests give a name its addresses without a resolver of their own; an empty list undoes it.
void setForTests(const QString &host, const QList<QHostAddress> &addresses);

} // namespace ServerAddresses
