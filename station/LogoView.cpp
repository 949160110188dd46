#include "station/LogoView.h"

#include "remote/ReportFailure.h"
#include "remote/ServerCertificates.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>

LogoView::LogoView(QWidget *parent) : QWidget(parent), m_network(new QNetworkAccessManager(this))
{
    // In the tab order, but a tap on the logo must not take the keyboard from the ticket box.
    setFocusPolicy(Qt::TabFocus);
}

void LogoView::Navigate(const QString &url)
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    m_image = QImage();
    m_url = QUrl(url);
    update();

    QNetworkRequest request(m_url);
    request.setTransferTimeout(timeoutMs);
    // The same trust as the station's server calls: an unverified picture is not shown.
    if (m_url.scheme() == u"https")
        request.setSslConfiguration(ServerCertificates::configuration());
    QNetworkReply *reply = m_network->get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
}

void LogoView::onFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_reply)
        return;
    m_reply = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QImage image;
    if (reply->error() == QNetworkReply::NoError && status == 200) {
        if (!image.loadFromData(reply->readAll()))
            reportFailure(m_url, QStringLiteral("the logo is not a picture"));
    } else {
        reportFailure(m_url,
                      status != 0 ? QStringLiteral("HTTP %1").arg(status) : reply->errorString());
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
