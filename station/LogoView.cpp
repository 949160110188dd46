#include "station/LogoView.h"

#include "remote/ReportFailure.h"
#include "remote/ServerAddresses.h"
#include "remote/ServerCertificates.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QTimer>

LogoView::LogoView(QWidget *parent)
    : QWidget(parent), m_network(new QNetworkAccessManager(this)), m_share(new QTimer(this))
{
    // In the tab order, but a tap on the logo must not take the keyboard from the ticket box.
    setFocusPolicy(Qt::TabFocus);
    m_share->setSingleShot(true);
    connect(m_share, &QTimer::timeout, this, [this] {
        m_passedOver = true;
        if (m_reply)
            m_reply->abort();
    });
}

void LogoView::Navigate(const QString &url)
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    m_share->stop();
    const int navigation = ++m_navigation;
    m_image = QImage();
    m_url = QUrl(url);
    m_deadline.setRemainingTime(timeoutMs);
    update();

    m_addresses.clear();
    m_next = 0;
    m_slow = false;
    if (m_url.host().isEmpty()) {
        tryNext();
        return;
    }
    ServerAddresses::ofLater(m_url.host(), this,
                             [this, navigation](const QList<QHostAddress> &addresses) {
                                 if (navigation != m_navigation)
                                     return;
                                 m_addresses = addresses;
                                 tryNext();
                             });
}

void LogoView::tryNext()
{
    QNetworkRequest request(m_url);
    request.setTransferTimeout(int(qMax<qint64>(1, m_deadline.remainingTime())));
    // The same trust as the station's server calls: an unverified picture is not shown.
    if (m_url.scheme() == u"https")
        request.setSslConfiguration(ServerCertificates::configuration());
    // One address or none: the name as it is, with the whole wait.
    QHostAddress address;
    m_passedOver = false;
    if (m_addresses.size() > 1) {
        address = m_addresses[m_next++];
        request = ServerAddresses::to(request, address);
        m_share->start(ServerAddresses::connectMs);
    }
    QNetworkReply *reply = m_network->get(request);
    m_reply = reply;
    if (!address.isNull()) {
        connect(reply, &QNetworkReply::requestSent, this, [this, reply] {
            if (reply == m_reply)
                m_share->start(ServerAddresses::answerMs);
        });
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
            if (reply == m_reply)
                m_share->stop();
        });
    }
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, address] { onFinished(reply, address); });
}

void LogoView::onFinished(QNetworkReply *reply, const QHostAddress &address)
{
    reply->deleteLater();
    if (reply != m_reply)
        return;
    m_reply = nullptr;
    m_share->stop();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Nothing reached a server that answers (refused, or silent past its share): the next address
    // may, while the wait lasts. A refused certificate is an answer.
    const bool unanswered =
        !status.isValid() && reply->error() != QNetworkReply::SslHandshakeFailedError;
    if (!address.isNull() && unanswered && !m_deadline.hasExpired()) {
        m_slow = m_slow || m_passedOver;
        if (m_next == m_addresses.size() && m_slow) {
            m_next = 0;
            m_slow = false;
        }
        if (m_next < m_addresses.size()) {
            tryNext();
            return;
        }
    }
    QImage image;
    if (reply->error() == QNetworkReply::NoError && status.toInt() == 200) {
        if (!address.isNull())
            ServerAddresses::answered(m_url.host(), address);
        if (!image.loadFromData(reply->readAll()))
            reportFailure(m_url, QStringLiteral("the logo is not a picture"));
    } else {
        reportFailure(m_url, status.isValid() ? QStringLiteral("HTTP %1").arg(status.toInt())
                                              : reply->errorString());
    }
    m_image = image;
    update();
    emit finished(!m_image.isNull());
}

void LogoView::paintEvent(QPaintEvent *)
{
    if (m_image.isNull())
        return;
    // A web page's default margin: the logo frame hides exactly that much of the view, so the
    // picture starts at the frame's visible top-left corner.
    QPainter p(this);
    if (m_scale == 1.0) {
        p.drawImage(QPoint(pageMargin, pageMargin), m_image);
        return;
    }
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRectF(QPointF(pageMargin, pageMargin) * m_scale, QSizeF(m_image.size()) * m_scale),
                m_image);
}

void LogoView::setScale(double scale)
{
    m_scale = scale;
    update();
}
