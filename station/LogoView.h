#pragma once

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QImage>
#include <QPointer>
#include <QUrl>
#include <QWidget>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Shows the venue logo near its top-left corner, as a browser shows a picture page. Navigate starts
// the download in the background and returns at once; a server name with several addresses is
// tried address by address as the station's calls try it, all within timeoutMs. A missing,
// unreachable or unreadable picture, or an https image server whose certificate the station does
// not trust, leaves the view blank. Never throws.
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
    void tryNext();
    void onFinished(QNetworkReply *reply, const QHostAddress &address);

    QNetworkAccessManager *m_network = nullptr;
    QPointer<QNetworkReply> m_reply;
    // This download's addresses, the next one to try, and whether one of those tried was only
    // slow (a later round may find it answering).
    QList<QHostAddress> m_addresses;
    qsizetype m_next = 0;
    bool m_slow = false;
    bool m_passedOver = false; // the current address missed its share of the wait
    QTimer *m_share = nullptr;
    QDeadlineTimer m_deadline;
    int m_navigation = 0; // a lookup that ends after the next Navigate is dropped
    QImage m_image;
    QUrl m_url;
    double m_scale = 1.0;
};
