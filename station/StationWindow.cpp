#include "station/StationWindow.h"

#include <QIcon>
#include <QPainter>

StationWindow::StationWindow()
{
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setWindowTitle(QStringLiteral("Form2"));
    QPixmap none(1, 1);
    none.fill(Qt::transparent);
    setWindowIcon(QIcon(none));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    m_background.load(QStringLiteral(":/builtin/station_background.jpg"));
}

void StationWindow::setArtworkScale(double scale)
{
    m_scale = scale;
    // Drawn down from twice the size, the artwork stays sharp on a larger screen.
    if (scale > 1.0)
        m_background.load(QStringLiteral(":/builtin/station_background@2x.jpg"));
    update();
}

void StationWindow::paintEvent(QPaintEvent *)
{
    if (m_background.isNull())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform, m_scale != 1.0);
    p.drawPixmap(QRect(QPoint(0, 0), (QSizeF(artworkSize) * m_scale).toSize()), m_background,
                 m_background.rect());
}

void StationWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (focusWhenShown)
        focusWhenShown->setFocus(Qt::OtherFocusReason);
}
