#include "assets/tools/PaintKit.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace paintkit {

namespace {

constexpr auto kHangulFamily = "NanumBarunGothic";
constexpr auto kLatinFamily = "NanumSquare";

QFont makeFont(const char *family, qreal pixelSize, bool bold)
{
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(std::max(1, int(std::lround(pixelSize))));
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    const QString got = QFontInfo(f).family();
    if (got != f.family()) {
        std::fprintf(stderr, "font %s not found (got %s); install fonts-nanum\n", family,
                     qPrintable(got));
        std::exit(2);
    }
    return f;
}

QPointF polar(QPointF centre, qreal radius, qreal angle)
{
    return centre + QPointF(radius * std::cos(angle), radius * std::sin(angle));
}

// Three box-blur passes approximate a Gaussian closely enough for shadows.
void blurAlpha(QImage &img, int radius)
{
    if (radius < 1)
        return;
    const int w = img.width();
    const int h = img.height();
    std::vector<int> a(size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x)
            a[size_t(y) * w + x] = qAlpha(line[x]);
    }
    std::vector<int> tmp(a.size());
    const int span = 2 * radius + 1;
    auto pass = [&](bool horizontal) {
        const int outer = horizontal ? h : w;
        const int inner = horizontal ? w : h;
        auto at = [&](int o, int i) -> int & {
            return horizontal ? a[size_t(o) * w + i] : a[size_t(i) * w + o];
        };
        for (int o = 0; o < outer; ++o) {
            int sum = 0;
            for (int i = -radius; i <= radius; ++i)
                sum += at(o, std::clamp(i, 0, inner - 1));
            for (int i = 0; i < inner; ++i) {
                const size_t idx = horizontal ? size_t(o) * w + i : size_t(i) * w + o;
                tmp[idx] = sum / span;
                sum += at(o, std::min(i + radius + 1, inner - 1));
                sum -= at(o, std::max(i - radius, 0));
            }
        }
        a.swap(tmp);
    };
    for (int k = 0; k < 3; ++k) {
        pass(true);
        pass(false);
    }
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x)
            line[x] = qRgba(0, 0, 0, a[size_t(y) * w + x]);
    }
}

} // namespace

QFont hangulFont(qreal pixelSize, bool bold)
{
    return makeFont(kHangulFamily, pixelSize, bold);
}

QFont latinFont(qreal pixelSize, bool bold)
{
    return makeFont(kLatinFamily, pixelSize, bold);
}

void requireGlyphs(const QFont &font, const QString &text)
{
    const QFontMetricsF fm(font);
    for (const QChar ch : text) {
        if (!ch.isSpace() && !fm.inFont(ch)) {
            std::fprintf(stderr, "font %s lacks U+%04X\n", qPrintable(font.family()),
                         unsigned(ch.unicode()));
            std::exit(2);
        }
    }
}

qreal fittingPixelSize(const QString &text, qreal maxPixelSize, qreal width, bool bold)
{
    for (qreal size = maxPixelSize; size > 6; size -= 1) {
        if (QFontMetricsF(hangulFont(size, bold)).tightBoundingRect(text).width() <= width)
            return size;
    }
    return 6;
}

void drawCentredText(QPainter &p, const QRectF &box, const QString &text, const QFont &font,
                     const QColor &color, const QColor &shadow, QPointF shadowOffset)
{
    requireGlyphs(font, text);
    const QRectF ink = QFontMetricsF(font).tightBoundingRect(text);
    // Whole pixels keep the glyph stems crisp.
    const QPointF origin(std::round(box.center().x() - ink.center().x()),
                         std::round(box.center().y() - ink.center().y()));
    p.save();
    p.setFont(font);
    if (shadow.alpha() > 0) {
        p.setPen(shadow);
        p.drawText(origin + shadowOffset, text);
    }
    p.setPen(color);
    p.drawText(origin, text);
    p.restore();
}

void fillVertical(QPainter &p, const QRectF &rect, const QColor &top, const QColor &bottom)
{
    QLinearGradient g(rect.topLeft(), rect.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(rect, g);
}

void softShadow(QPainter &p, const QRectF &rect, qreal radius, int blur, QPointF offset, int alpha)
{
    const int margin = blur * 3;
    QImage shape(rect.size().toSize() + QSize(2 * margin, 2 * margin),
                 QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    {
        QPainter sp(&shape);
        sp.setRenderHint(QPainter::Antialiasing);
        sp.setPen(Qt::NoPen);
        sp.setBrush(Qt::black);
        sp.drawRoundedRect(QRectF(margin, margin, rect.width(), rect.height()), radius, radius);
    }
    blurAlpha(shape, blur);
    p.save();
    p.setOpacity(alpha / 255.0);
    p.drawImage(rect.topLeft() + offset - QPointF(margin, margin), shape);
    p.restore();
}

void glossyBlackBand(QPainter &p, const QRectF &r)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient base(r.topLeft(), r.bottomLeft());
    base.setColorAt(0.0, QColor(0x4a, 0x4a, 0x4a));
    base.setColorAt(0.06, QColor(0x2c, 0x2c, 0x2c));
    base.setColorAt(0.48, QColor(0x12, 0x12, 0x12));
    base.setColorAt(0.52, QColor(0x04, 0x04, 0x04));
    base.setColorAt(0.85, QColor(0x0b, 0x0b, 0x0b));
    base.setColorAt(1.0, QColor(0x1c, 0x1c, 0x1c));
    p.fillRect(r, base);

    // The reflection ends in a shallow curve, the way light falls on a rounded glass edge.
    const qreal h = r.height();
    const qreal w = r.width();
    QPainterPath shine;
    shine.moveTo(r.left(), r.top() + 1);
    shine.lineTo(r.right(), r.top() + 1);
    shine.lineTo(r.right(), r.top() + h * 0.40);
    shine.cubicTo(r.right() - w * 0.35, r.top() + h * 0.52, r.left() + w * 0.35, r.top() + h * 0.36,
                  r.left(), r.top() + h * 0.47);
    shine.closeSubpath();
    QLinearGradient sg(r.topLeft(), QPointF(r.left(), r.top() + h * 0.5));
    sg.setColorAt(0, QColor(255, 255, 255, 72));
    sg.setColorAt(1, QColor(255, 255, 255, 10));
    p.fillPath(shine, sg);

    p.setPen(QPen(QColor(0x80, 0x80, 0x80), 1));
    p.drawLine(QPointF(r.left(), r.top() + 0.5), QPointF(r.right(), r.top() + 0.5));
    p.setPen(QPen(QColor(0x33, 0x33, 0x33), 1));
    p.drawLine(QPointF(r.left(), r.bottom() - 0.5), QPointF(r.right(), r.bottom() - 0.5));
    p.restore();
}

void closeBox(QPainter &p, const QRectF &r)
{
    p.save();
    softShadow(p, r, 3, 2, {0, 1}, 110);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body = r.adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, QColor(0xfd, 0xfd, 0xfd));
    g.setColorAt(0.5, QColor(0xe8, 0xe8, 0xe8));
    g.setColorAt(1, QColor(0xc4, 0xc4, 0xc4));
    p.setPen(QPen(QColor(0x86, 0x86, 0x86), 1));
    p.setBrush(g);
    p.drawRoundedRect(body, 3, 3);
    p.setPen(QPen(QColor(255, 255, 255, 200), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(body.adjusted(1, 1, -1, -1), 2, 2);

    const qreal s = std::min(r.width(), r.height());
    const qreal inset = s * 0.30;
    const QRectF xr(r.center().x() - (s / 2 - inset), r.center().y() - (s / 2 - inset),
                    s - 2 * inset, s - 2 * inset);
    const qreal stroke = std::max(2.0, s * 0.11);
    auto cross = [&](const QPen &pen, QPointF shift) {
        p.setPen(pen);
        p.drawLine(xr.topLeft() + shift, xr.bottomRight() + shift);
        p.drawLine(xr.topRight() + shift, xr.bottomLeft() + shift);
    };
    cross(QPen(QColor(255, 255, 255, 210), stroke, Qt::SolidLine, Qt::RoundCap), {0, 1});
    cross(QPen(QColor(0x2a, 0x2a, 0x2a), stroke, Qt::SolidLine, Qt::RoundCap), {0, 0});
    p.restore();
}

void crest(QPainter &p, QPointF c, qreal R)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QColor rayColors[] = {QColor(0xe0, 0x31, 0x31), QColor(0xf0, 0x8c, 0x00),
                                QColor(0xfa, 0xb0, 0x05), QColor(0x2f, 0x9e, 0x44),
                                QColor(0x19, 0x71, 0xc2), QColor(0x70, 0x48, 0xe8)};
    constexpr int rays = 24;
    const qreal pi = std::numbers::pi;
    const qreal base = R * 0.58;
    for (int i = 0; i < rays; ++i) {
        const qreal a = -pi / 2 + i * 2 * pi / rays;
        const qreal half = pi / rays * 0.82;
        const qreal tip = (i % 2 == 0) ? R : R * 0.86;
        QPainterPath spike;
        spike.moveTo(polar(c, base * 0.96, a - half));
        spike.lineTo(polar(c, tip, a));
        spike.lineTo(polar(c, base * 0.96, a + half));
        spike.closeSubpath();
        const QColor col = rayColors[i % 6];
        QRadialGradient g(c, tip);
        g.setColorAt(0.55, col.lighter(125));
        g.setColorAt(1.0, col.darker(110));
        p.setPen(QPen(col.darker(150), std::max(0.5, R * 0.012)));
        p.setBrush(g);
        p.drawPath(spike);
    }

    // Navy and white rings set the ball off from the rays.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1b, 0x29, 0x4f));
    p.drawEllipse(c, R * 0.62, R * 0.62);
    p.setBrush(Qt::white);
    p.drawEllipse(c, R * 0.565, R * 0.565);

    const qreal rb = R * 0.51;
    QRadialGradient ball(c + QPointF(-rb * 0.35, -rb * 0.4), rb * 1.45);
    ball.setColorAt(0.0, QColor(0xff, 0xc9, 0x8b));
    ball.setColorAt(0.35, QColor(0xf7, 0x7f, 0x1c));
    ball.setColorAt(0.8, QColor(0xc8, 0x4a, 0x0c));
    ball.setColorAt(1.0, QColor(0x8a, 0x2f, 0x05));
    p.setBrush(ball);
    p.drawEllipse(c, rb, rb);

    QPainterPath clip;
    clip.addEllipse(c, rb, rb);
    p.setClipPath(clip);
    p.setPen(QPen(QColor(0x3b, 0x1d, 0x0a), std::max(1.0, rb * 0.055)));
    p.setBrush(Qt::NoBrush);
    p.drawLine(c + QPointF(0, -rb), c + QPointF(0, rb));
    p.drawLine(c + QPointF(-rb, 0), c + QPointF(rb, 0));
    p.drawEllipse(c + QPointF(-rb * 1.12, 0), rb * 0.82, rb * 0.95);
    p.drawEllipse(c + QPointF(rb * 1.12, 0), rb * 0.82, rb * 0.95);
    p.setClipping(false);

    QRadialGradient gloss(c + QPointF(-rb * 0.3, -rb * 0.45), rb * 0.6);
    gloss.setColorAt(0, QColor(255, 255, 255, 150));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawEllipse(c + QPointF(-rb * 0.3, -rb * 0.45), rb * 0.6, rb * 0.45);

    p.setPen(QPen(QColor(0x5a, 0x23, 0x05), std::max(0.7, rb * 0.035)));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, rb, rb);
    p.restore();
}

void makerMark(QPainter &p, const QRectF &box)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QString word = QStringLiteral("Quorvanta");
    const qreal tile = box.height() * 0.86;
    const QFont font = latinFont(box.height() * 0.56);
    const QFontMetricsF fm(font);
    const qreal gap = box.height() * 0.24;
    const qreal wordWidth = fm.horizontalAdvance(word);
    const qreal left = std::round(box.center().x() - (tile + gap + wordWidth) / 2);
    const QRectF t(left, box.center().y() - tile / 2, tile, tile);

    softShadow(p, t, tile * 0.22, 2, {0, 1.5}, 90);
    QLinearGradient g(t.topLeft(), t.bottomLeft());
    g.setColorAt(0, QColor(0xf2, 0x4a, 0x3e));
    g.setColorAt(1, QColor(0xae, 0x10, 0x0c));
    p.setPen(QPen(QColor(0x80, 0x0a, 0x07), 1));
    p.setBrush(g);
    p.drawRoundedRect(t.adjusted(0.5, 0.5, -0.5, -0.5), tile * 0.22, tile * 0.22);

    // A "Q": a ring with a tail leaving it at the lower right.
    const QPointF c = t.center() - QPointF(tile * 0.02, tile * 0.02);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, tile * 0.12, Qt::SolidLine, Qt::RoundCap));
    p.drawEllipse(c, tile * 0.24, tile * 0.24);
    p.drawLine(c + QPointF(tile * 0.10, tile * 0.10), c + QPointF(tile * 0.30, tile * 0.30));

    QPainterPath shine;
    shine.addRoundedRect(t.adjusted(2, 2, -2, -tile * 0.5), tile * 0.18, tile * 0.18);
    QLinearGradient sg(t.topLeft(), QPointF(t.left(), t.center().y()));
    sg.setColorAt(0, QColor(255, 255, 255, 110));
    sg.setColorAt(1, QColor(255, 255, 255, 15));
    p.fillPath(shine, sg);

    // Baseline on the tile's centre plus half the cap height centres the capitals on the tile.
    // The outline thickens the letters a little: the bold face alone looks thin next to the tile.
    const QPointF origin(t.right() + gap, std::round(t.center().y() + fm.capHeight() / 2));
    QPainterPath letters;
    letters.addText(origin, font, word);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 190));
    p.drawPath(letters.translated(0, 1));
    const QColor ink(0x38, 0x38, 0x38);
    p.setBrush(ink);
    p.setPen(QPen(ink, box.height() * 0.018));
    p.drawPath(letters);
    p.restore();
}

ButtonColors redButton()
{
    return {QColor(0xff, 0x72, 0x64), QColor(0xdc, 0x24, 0x18), QColor(0x98, 0x0c, 0x05),
            QColor(0x36, 0x06, 0x03)};
}

ButtonColors blueButton()
{
    return {QColor(0x74, 0xb6, 0xff), QColor(0x1f, 0x6c, 0xde), QColor(0x0a, 0x38, 0x8a),
            QColor(0x05, 0x16, 0x38)};
}

QImage pictureButton(QSize size, const QString &text, const ButtonColors &c, bool down)
{
    QImage img(size, QImage::Format_RGB32);
    // The surround matches the dark band the buttons sit on, so the corners blend in.
    img.fill(QColor(0x14, 0x14, 0x14));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QRectF outer(0.5, 0.5, size.width() - 1.0, size.height() - 1.0);
    const QRectF face = outer.adjusted(1, 1, -1, -1);

    QLinearGradient g(face.topLeft(), face.bottomLeft());
    if (down) {
        g.setColorAt(0, c.dark.darker(135));
        g.setColorAt(0.5, c.mid.darker(150));
        g.setColorAt(1, c.mid.darker(125));
    } else {
        g.setColorAt(0, c.light);
        g.setColorAt(0.48, c.mid);
        g.setColorAt(0.52, c.mid.darker(112));
        g.setColorAt(1, c.dark);
    }
    p.setPen(QPen(c.frame, 1));
    p.setBrush(g);
    p.drawRoundedRect(outer, 3, 3);

    QPainterPath gloss;
    const QRectF top(face.left() + 1.5, face.top() + 1, face.width() - 3, face.height() * 0.46);
    gloss.addRoundedRect(top, 2.5, 2.5);
    QLinearGradient gg(top.topLeft(), top.bottomLeft());
    gg.setColorAt(0, QColor(255, 255, 255, down ? 40 : 150));
    gg.setColorAt(1, QColor(255, 255, 255, down ? 6 : 35));
    p.fillPath(gloss, gg);

    if (down) {
        // Pressed in: a shadow along the top edge instead of a highlight.
        QLinearGradient inner(face.topLeft(), face.topLeft() + QPointF(0, 6));
        inner.setColorAt(0, QColor(0, 0, 0, 120));
        inner.setColorAt(1, QColor(0, 0, 0, 0));
        p.fillRect(face.adjusted(0, 0, 0, -face.height() + 6), inner);
    } else {
        // Light bouncing off the lower edge gives the face its rounded look.
        QRadialGradient glow(QPointF(face.center().x(), face.bottom()), face.width() * 0.55);
        glow.setColorAt(0, QColor(c.light.red(), c.light.green(), c.light.blue(), 110));
        glow.setColorAt(1, QColor(c.light.red(), c.light.green(), c.light.blue(), 0));
        QPainterPath lower;
        lower.addRoundedRect(face.adjusted(1, face.height() * 0.5, -1, -1), 2.5, 2.5);
        p.fillPath(lower, glow);
        p.setPen(QPen(QColor(255, 255, 255, 90), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(face.adjusted(0.5, 0.5, -0.5, -0.5), 2.5, 2.5);
    }

    const qreal px = fittingPixelSize(text, size.height() * 0.37, size.width() - 20);
    const QRectF textBox = face.translated(down ? QPointF(1, 1) : QPointF(0, 0));
    drawCentredText(p, textBox, text, hangulFont(px), down ? QColor(0xee, 0xee, 0xee) : Qt::white,
                    QColor(0, 0, 0, down ? 110 : 150), {0, 1});
    return img;
}

} // namespace paintkit
