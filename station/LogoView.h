#pragma once

#include <QImage>
#include <QPointer>
#include <QUrl>
#include <QWidget>

class QNetworkAccessManager;
class QNetworkReply;

// Shows the venue logo near its top-left corner, as a browser shows a picture page. Navigate starts
// the download in the background and returns at once; a missing, unreachable or unreadable picture,
// or an https image server whose certificate the station does not trust, leaves the view blank.
// Never throws.
class LogoView : public QWidget
{
    Q_OBJECT
public:
    explicit LogoView(QWidget *parent = nullptr);

    void Navigate(const QString &url);

    const QImage &image() const { return m_image; }
    // The picture and its margin are drawn this many times their own size.
    void setScale(double scale);
    QUrl url() const { return m_url; }

    static constexpr int timeoutMs = 5000;
    static constexpr int pageMargin = 8;

signals:
    // The download ended: with a picture shown or left blank.
    void finished(bool shown);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    void onFinished(QNetworkReply *reply);

    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    QImage m_image;
    QUrl m_url;
    double m_scale = 1.0;
};
