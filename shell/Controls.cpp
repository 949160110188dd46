#include "shell/Controls.h"

#include "shell/QavError.h"

#include <QFileInfo>
#include <QImageReader>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

Label::Label(QWidget *parent, bool autoSize) : QLabel(parent), m_autoSize(autoSize)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAutoFillBackground(false);
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setWordWrap(!autoSize);
    setFocusPolicy(Qt::NoFocus);
    setContentsMargins(0, 0, 0, 0);
}

void Label::shrinkToFit(double minimumScale, int maxWidth)
{
    m_designedFont = font();
    m_minimumScale = qBound(0.1, minimumScale, 1.0);
    m_maxWidth = maxWidth;
}

bool Label::fits(const QFont &font, const QString &shown) const
{
    const QFontMetrics metrics(font);
    if (m_autoSize)
        return metrics.size(0, shown).width() + 2 <= m_maxWidth;
    const QRect needed = metrics.boundingRect(QRect(0, 0, width(), 1 << 20),
                                              int(alignment()) | Qt::TextWordWrap, shown);
    return needed.width() <= width() && needed.height() <= height();
}

void Label::setCaption(const QString &caption)
{
    m_caption = caption;
    QString shown = caption;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(u'\r', u'\n');
    if (m_minimumScale < 1.0 && (!m_autoSize || m_maxWidth > 0)) {
        // Largest size in steps of 5 % that fits, no smaller than the floor.
        QFont shrunk = m_designedFont;
        const double designed = m_designedFont.pointSizeF();
        for (int step = 0;; ++step) {
            const double scale = qMax(1.0 - 0.05 * step, m_minimumScale);
            shrunk.setPointSizeF(designed * scale);
            if (scale <= m_minimumScale || fits(shrunk, shown))
                break;
        }
        setFont(shrunk);
    }
    setText(shown);
    if (m_autoSize) {
        const QPoint topLeft = pos();
        QSize size = fontMetrics().size(0, shown);
        size.setHeight(qMax(size.height(), fontMetrics().height()));
        resize(size + QSize(2, 0));
        move(topLeft);
    }
}

PictureButton::PictureButton(QWidget *parent) : QAbstractButton(parent)
{
    // Reached by Tab, but a click leaves the keyboard where it was: a scan right after a click
    // must still land in the ticket box.
    setFocusPolicy(Qt::TabFocus);
}

void PictureButton::setPicture(const QPixmap &picture)
{
    m_picture = picture;
    m_pictureFile.clear();
    update();
}

void PictureButton::setDownPicture(const QPixmap &picture)
{
    m_downPicture = picture;
    m_downPictureFile.clear();
    update();
}

void PictureButton::loadPicture(const QString &fileName)
{
    setPicture(LoadPicture(fileName));
    m_pictureFile = fileName;
}

void PictureButton::loadDownPicture(const QString &fileName)
{
    setDownPicture(LoadPicture(fileName));
    m_downPictureFile = fileName;
}

void PictureButton::setPictureScale(double scale)
{
    m_pictureScale = scale;
    update();
}

QSize PictureButton::sizeHint() const
{
    return m_picture.isNull() ? QSize(80, 30) : m_picture.size();
}

void PictureButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().button());
    const QPixmap &shown = (isDown() && !m_downPicture.isNull()) ? m_downPicture : m_picture;
    if (!shown.isNull()) {
        p.setRenderHint(QPainter::SmoothPixmapTransform, m_pictureScale != 1.0);
        const QSize s = (shown.deviceIndependentSize() * m_pictureScale).toSize();
        p.drawPixmap(QRect(QPoint((width() - s.width()) / 2, (height() - s.height()) / 2), s),
                     shown);
    }
    if (hasFocus()) {
        QStyleOptionFocusRect option;
        option.initFrom(this);
        option.rect = rect().adjusted(3, 3, -3, -3);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
    }
}

ImageControl::ImageControl(QWidget *parent) : QLabel(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
}

void ImageControl::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

QLineEdit *makeTextBox(QWidget *parent, bool flat)
{
    auto *box = new QLineEdit(parent);
    if (flat)
        box->setStyleSheet(
            QStringLiteral("QLineEdit { border: 1px solid #7a7a7a; background: white; }"));
    return box;
}

QPixmap LoadPicture(const QString &fileName)
{
    QImageReader reader(fileName);
    const QImage image = reader.read();
    if (image.isNull())
        throw QavError(QavError::PictureNotLoaded,
                       QStringLiteral("그림 파일을 읽을 수 없습니다: %1 (%2)")
                           .arg(fileName, reader.errorString()));
    return QPixmap::fromImage(image);
}
