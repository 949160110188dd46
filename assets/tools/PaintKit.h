#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QString>

// Drawing pieces shared by several pictures, so that close boxes, glossy bands and buttons look
// the same wherever they appear.
namespace paintkit {

// Hangul font; exits the program if the font is missing or lacks a glyph, because the fallback
// would silently write boxes into committed artwork.
QFont hangulFont(qreal pixelSize, bool bold = true);
QFont latinFont(qreal pixelSize, bool bold = true);
void requireGlyphs(const QFont &font, const QString &text);

// Largest pixel size (up to maxPixelSize) at which the text fits into the width.
qreal fittingPixelSize(const QString &text, qreal maxPixelSize, qreal width, bool bold = true);

// Draws the text optically centred on its ink, not on the font's line box, which sits Hangul
// visibly high. A shadow is drawn first when its colour is not transparent.
void drawCentredText(QPainter &p, const QRectF &box, const QString &text, const QFont &font,
                     const QColor &color, const QColor &shadow = Qt::transparent,
                     QPointF shadowOffset = {0, 1});

void fillVertical(QPainter &p, const QRectF &rect, const QColor &top, const QColor &bottom);

// Soft drop shadow under a (rounded) rectangle.
void softShadow(QPainter &p, const QRectF &rect, qreal radius, int blur, QPointF offset, int alpha);

// Glossy black strip with a light reflection on its upper half.
void glossyBlackBand(QPainter &p, const QRectF &rect);

// Light-grey square with a dark X.
void closeBox(QPainter &p, const QRectF &rect);

// Our sports-club crest: a basketball in a ring of coloured rays.
void crest(QPainter &p, QPointF centre, qreal radius);

// The maker's red mark and word mark, centred in the box.
void makerMark(QPainter &p, const QRectF &box);

struct ButtonColors
{
    QColor light;
    QColor mid;
    QColor dark;
    QColor frame;
};
ButtonColors redButton();
ButtonColors blueButton();

// A picture button face: glossy when up, darker and pressed in when down.
QImage pictureButton(QSize size, const QString &text, const ButtonColors &colors, bool down);

} // namespace paintkit
