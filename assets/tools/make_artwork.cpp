// Writes every picture and sound of the station into <outdir>/builtin and <outdir>/runtime, and the
// demo venue logo into <outdir>/demo.
// Run as `qav-artwork <repo>/assets` to regenerate the committed files.

#include "assets/tools/PaintKit.h"
#include "assets/tools/Sounds.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <numbers>

using namespace paintkit;

namespace {

// Row boundaries of the booking table; the station's value labels sit inside these rows.
constexpr int kTableRows[] = {365, 411, 457, 503, 549, 595, 641, 688};
constexpr int kTableLeft = 53;
constexpr int kTableRight = 971; // inclusive
constexpr int kHeadingRight = 201;

// At `scale` times the designed 1024 x 768, for a station laid out on a larger screen.
QImage stationBackground(int scale = 1)
{
    QImage img(1024 * scale, 768 * scale, QImage::Format_RGB32);
    QPainter p(&img);
    p.scale(scale, scale);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    fillVertical(p, QRectF(0, 135, 1024, 633), QColor(0xf6, 0xf6, 0xf6), QColor(0xe2, 0xe2, 0xe2));

    // Top band: white shading to light grey, closed by a thin steel edge.
    QLinearGradient top(0, 0, 0, 131);
    top.setColorAt(0, Qt::white);
    top.setColorAt(0.55, QColor(0xf5, 0xf5, 0xf5));
    top.setColorAt(1, QColor(0xd4, 0xd4, 0xd4));
    p.fillRect(QRectF(0, 0, 1024, 131), top);
    fillVertical(p, QRectF(0, 131, 1024, 4), QColor(0xb4, 0xb4, 0xb4), QColor(0x7c, 0x7c, 0x7c));

    crest(p, QPointF(85, 65), 47);

    QLinearGradient divider(0, 14, 0, 118);
    divider.setColorAt(0, QColor(0xa0, 0xa0, 0xa0, 0));
    divider.setColorAt(0.5, QColor(0xa0, 0xa0, 0xa0));
    divider.setColorAt(1, QColor(0xa0, 0xa0, 0xa0, 0));
    p.fillRect(QRectF(152, 14, 1, 104), divider);
    QLinearGradient dividerLight(0, 14, 0, 118);
    dividerLight.setColorAt(0, QColor(255, 255, 255, 0));
    dividerLight.setColorAt(0.5, Qt::white);
    dividerLight.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(QRectF(153, 14, 1, 104), dividerLight);

    closeBox(p, QRectF(962, 18, 42, 40));

    // Dark band with the ticket-number caption and its input field.
    glossyBlackBand(p, QRectF(0, 135, 1024, 90));
    fillVertical(p, QRectF(0, 225, 1024, 6), QColor(0, 0, 0, 70), QColor(0, 0, 0, 0));

    const QRectF caption(224, 154, 112, 56);
    const QRectF field(336, 154, 350, 56);
    softShadow(p, caption.united(field), 4, 3, {0, 1}, 200);
    {
        // Rounded only on the outside: the square inner edge meets the field at x 336.
        p.save();
        p.setClipRect(caption);
        QPainterPath cell;
        cell.addRoundedRect(caption.adjusted(0.5, 0.5, 8, -0.5), 4, 4);
        QLinearGradient g(caption.topLeft(), caption.bottomLeft());
        g.setColorAt(0, QColor(0x55, 0x55, 0x55));
        g.setColorAt(0.5, QColor(0x2e, 0x2e, 0x2e));
        g.setColorAt(1, QColor(0x1e, 0x1e, 0x1e));
        p.setPen(QPen(QColor(0x77, 0x77, 0x77), 1));
        p.setBrush(g);
        p.drawPath(cell);
        p.restore();
        p.fillRect(QRectF(caption.right() - 1, caption.top(), 1, caption.height()),
                   QColor(0x77, 0x77, 0x77));
        p.setPen(QPen(QColor(255, 255, 255, 50), 1));
        p.drawLine(QPointF(caption.left() + 3, caption.top() + 1.5),
                   QPointF(caption.right(), caption.top() + 1.5));
        drawCentredText(p, caption, QStringLiteral("인증번호"), hangulFont(21), Qt::white,
                        QColor(0, 0, 0, 200));
    }
    {
        p.save();
        p.setClipRect(field);
        QPainterPath box;
        box.addRoundedRect(field.adjusted(-8, 0.5, -0.5, -0.5), 4, 4);
        p.setPen(QPen(QColor(0x80, 0x80, 0x80), 1));
        p.setBrush(Qt::white);
        p.drawPath(box);
        p.restore();
        // Inset shading along the top makes the field read as a place to type into.
        QLinearGradient inset(field.topLeft(), field.topLeft() + QPointF(0, 6));
        inset.setColorAt(0, QColor(0, 0, 0, 55));
        inset.setColorAt(1, QColor(0, 0, 0, 0));
        p.fillRect(QRectF(field.left(), field.top() + 1, field.width() - 1, 6), inset);
    }

    // Bottom sweep with the maker's mark: two grey waves, each lit along its crest.
    {
        auto wave = [&](qreal leftY, QPointF c1, QPointF c2, qreal rightY, qreal gradientTop,
                        QColor top, QColor bottom) {
            QPainterPath crest;
            crest.moveTo(0, leftY);
            crest.cubicTo(c1, c2, QPointF(1024, rightY));
            QPainterPath body;
            body.moveTo(0, 768);
            body.lineTo(0, leftY);
            body.cubicTo(c1, c2, QPointF(1024, rightY));
            body.lineTo(1024, 768);
            body.closeSubpath();
            QLinearGradient g(0, gradientTop, 0, 768);
            g.setColorAt(0, top);
            g.setColorAt(1, bottom);
            p.fillPath(body, g);
            return crest;
        };
        const QPainterPath backEdge = wave(716, {330, 748}, {640, 690}, 724, 690,
                                           QColor(0xe4, 0xe4, 0xe4), QColor(0xc6, 0xc6, 0xc6));
        const QPainterPath edge = wave(744, {360, 712}, {700, 772}, 738, 712,
                                       QColor(0xd6, 0xd6, 0xd6), QColor(0xb8, 0xb8, 0xb8));
        p.strokePath(edge, QPen(QColor(255, 255, 255, 200), 1.5));
        p.strokePath(backEdge, QPen(QColor(255, 255, 255, 170), 1.2));
    }
    makerMark(p, QRectF(312, 700, 400, 45));

    // Status box where the verdict appears.
    const QRectF status(53, 245, 919, 111);
    softShadow(p, status, 2, 4, {0, 2}, 70);
    p.fillRect(status, Qt::white);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setBrush(Qt::NoBrush);
    p.setPen(QColor(0x9a, 0x9a, 0x9a));
    p.drawRect(QRect(53, 245, 918, 110));
    p.setPen(QColor(0xe0, 0xe0, 0xe0));
    p.drawRect(QRect(54, 246, 916, 108));

    // Booking table.
    const int tableTop = kTableRows[0];
    const int tableBottom = kTableRows[std::size(kTableRows) - 1];
    const QRectF table(kTableLeft, tableTop, kTableRight - kTableLeft + 1,
                       tableBottom - tableTop + 1);
    p.setRenderHint(QPainter::Antialiasing);
    softShadow(p, table, 2, 4, {0, 2}, 70);
    p.fillRect(table, Qt::white);
    const QString headings[] = {QStringLiteral("예매자명"), QStringLiteral("티켓번호"),
                                QStringLiteral("경기명"),   QStringLiteral("경기일시"),
                                QStringLiteral("경기장소"), QStringLiteral("구 분"),
                                QStringLiteral("좌 석")};
    const QFont headingFont = hangulFont(20);
    for (int i = 0; i < 7; ++i) {
        const QRectF cell(kTableLeft, kTableRows[i], kHeadingRight - kTableLeft,
                          kTableRows[i + 1] - kTableRows[i]);
        fillVertical(p, cell, QColor(0xf2, 0xf2, 0xf2), QColor(0xe0, 0xe0, 0xe0));
        drawCentredText(p, cell, headings[i], headingFont, QColor(0x26, 0x26, 0x26),
                        QColor(255, 255, 255, 220));
    }
    p.setRenderHint(QPainter::Antialiasing, false);
    for (int i = 1; i < 7; ++i) {
        p.fillRect(QRect(kTableLeft, kTableRows[i], kTableRight - kTableLeft + 1, 1),
                   QColor(0xc8, 0xc8, 0xc8));
    }
    p.fillRect(QRect(kHeadingRight, tableTop, 1, tableBottom - tableTop), QColor(0xa8, 0xa8, 0xa8));
    p.setPen(QColor(0x9a, 0x9a, 0x9a));
    p.drawRect(QRect(kTableLeft, tableTop, kTableRight - kTableLeft, tableBottom - tableTop));
    return img;
}

QImage consoleBackground()
{
    QImage img(320, 360, QImage::Format_RGB32);
    img.fill(QColor(0xd2, 0xd2, 0xd2));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF panel(1.5, 1.5, 317, 357);
    QLinearGradient g(panel.topLeft(), panel.bottomLeft());
    g.setColorAt(0, Qt::white);
    g.setColorAt(0.55, QColor(0xfa, 0xfa, 0xfa));
    g.setColorAt(1, QColor(0xdc, 0xdc, 0xdc));
    p.setPen(QPen(QColor(0xb4, 0xb4, 0xb4), 2));
    p.setBrush(g);
    p.drawRoundedRect(panel, 12, 12);
    p.setPen(QPen(QColor(255, 255, 255, 230), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(panel.adjusted(2, 2, -2, -2), 10, 10);

    crest(p, QPointF(274, 47), 31);

    // A faint rule under the title area.
    QLinearGradient rule(24, 0, 296, 0);
    rule.setColorAt(0, QColor(0xb0, 0xb0, 0xb0, 0));
    rule.setColorAt(0.15, QColor(0xb0, 0xb0, 0xb0));
    rule.setColorAt(0.85, QColor(0xb0, 0xb0, 0xb0));
    rule.setColorAt(1, QColor(0xb0, 0xb0, 0xb0, 0));
    p.fillRect(QRectF(24, 88, 272, 1), rule);
    QLinearGradient ruleLight(24, 0, 296, 0);
    ruleLight.setColorAt(0, QColor(255, 255, 255, 0));
    ruleLight.setColorAt(0.15, Qt::white);
    ruleLight.setColorAt(0.85, Qt::white);
    ruleLight.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(QRectF(24, 89, 272, 1), ruleLight);
    return img;
}

QImage consoleIcon()
{
    // Drawn eight times larger and scaled down: the small holes need sub-pixel precision.
    constexpr int k = 8;
    QImage big(36 * k, 35 * k, QImage::Format_ARGB32_Premultiplied);
    big.fill(Qt::transparent);
    {
        QPainter p(&big);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(k, k);

        // Film strip leaving the reel towards the lower right.
        p.save();
        p.translate(12, 20);
        p.rotate(20);
        const QRectF strip(0, -3.7, 32, 7.4);
        QLinearGradient sg(strip.topLeft(), strip.bottomLeft());
        sg.setColorAt(0, QColor(0x5c, 0x5c, 0x5c));
        sg.setColorAt(1, QColor(0x30, 0x30, 0x30));
        p.setPen(QPen(QColor(0x22, 0x22, 0x22), 0.5));
        p.setBrush(sg);
        p.drawRect(strip);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xa8, 0xa8, 0xa8));
        for (qreal x = 11.5; x < 31; x += 5.5)
            p.drawRect(QRectF(x, -1.6, 4.4, 3.2));
        p.setBrush(QColor(0xee, 0xee, 0xee));
        for (qreal x = 10.5; x < 31; x += 2.75) {
            p.drawRect(QRectF(x, -3.1, 1.5, 1.1));
            p.drawRect(QRectF(x, 2.0, 1.5, 1.1));
        }
        p.restore();

        const QPointF c(12.5, 12.5);
        const qreal r = 12;
        QRadialGradient metal(c + QPointF(-4, -5), r * 1.6);
        metal.setColorAt(0, QColor(0xf2, 0xf2, 0xf2));
        metal.setColorAt(0.5, QColor(0xb4, 0xb4, 0xb4));
        metal.setColorAt(1, QColor(0x6c, 0x6c, 0x6c));
        p.setPen(QPen(QColor(0x48, 0x48, 0x48), 0.8));
        p.setBrush(metal);
        p.drawEllipse(c, r, r);
        p.setPen(QPen(QColor(0x80, 0x80, 0x80), 0.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(c, r - 1.6, r - 1.6);

        // Holes through the reel, cut out so the background shows through.
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        for (int i = 0; i < 5; ++i) {
            const qreal a = -std::numbers::pi / 2 + i * 2 * std::numbers::pi / 5;
            p.drawEllipse(c + QPointF(6.0 * std::cos(a), 6.0 * std::sin(a)), 2.9, 2.9);
        }
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.setPen(QPen(QColor(0x55, 0x55, 0x55), 0.6));
        p.setBrush(Qt::NoBrush);
        for (int i = 0; i < 5; ++i) {
            const qreal a = -std::numbers::pi / 2 + i * 2 * std::numbers::pi / 5;
            p.drawEllipse(c + QPointF(6.0 * std::cos(a), 6.0 * std::sin(a)), 2.9, 2.9);
        }
        QRadialGradient hub(c + QPointF(-0.8, -0.8), 3);
        hub.setColorAt(0, QColor(0xe0, 0xe0, 0xe0));
        hub.setColorAt(1, QColor(0x70, 0x70, 0x70));
        p.setPen(QPen(QColor(0x44, 0x44, 0x44), 0.5));
        p.setBrush(hub);
        p.drawEllipse(c, 2.4, 2.4);
        p.setBrush(QColor(0x33, 0x33, 0x33));
        p.drawEllipse(c, 0.9, 0.9);
    }
    return big.scaled(36, 35, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_ARGB32);
}

QImage summaryBackground()
{
    QImage img(477, 507, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient panel(0, 57, 0, 507);
    panel.setColorAt(0, Qt::white);
    panel.setColorAt(0.45, QColor(0xfb, 0xfb, 0xfb));
    panel.setColorAt(1, QColor(0xdb, 0xdb, 0xdb));
    p.fillRect(QRectF(0, 57, 477, 450), panel);
    fillVertical(p, QRectF(0, 57, 477, 5), QColor(0, 0, 0, 60), QColor(0, 0, 0, 0));

    const QRectF strip(0, 0, 477, 57);
    glossyBlackBand(p, strip);
    drawCentredText(p, strip, QStringLiteral("금일 입장객 현황"), hangulFont(23), Qt::white,
                    QColor(0, 0, 0, 220), {0, 1.5});
    closeBox(p, QRectF(421, 12, 42, 38));

    p.setRenderHint(QPainter::Antialiasing, false);
    p.setBrush(Qt::NoBrush);
    p.setPen(QColor(0x9a, 0x9a, 0x9a));
    p.drawRect(QRect(0, 0, 476, 506));
    p.setPen(QColor(255, 255, 255, 200));
    p.drawLine(1, 58, 475, 58);
    return img;
}

QImage closeButton(const QImage &station, int scale = 1)
{
    // Cut from the station background, so it covers the box drawn there without a seam.
    return station.copy(960 * scale, 16 * scale, 48 * scale, 45 * scale);
}

// The demo venue's logo, served by the demo server for place code 1234: it fills the station's
// logo panel (161 x 129 visible pixels).
QImage demoVenueLogo()
{
    QImage img(161, 129, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    fillVertical(p, img.rect(), QColor(255, 255, 255), QColor(226, 230, 236));
    crest(p, QPointF(80.5, 50), 34);
    drawCentredText(p, QRectF(0, 92, 161, 30), QStringLiteral("큐브 아레나"), hangulFont(17),
                    QColor(40, 44, 52));
    return img;
}

bool save(const QImage &img, const QString &path)
{
    QImageWriter w(path);
    if (path.endsWith(QLatin1String(".jpg")))
        w.setQuality(92);
    if (!w.write(img)) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path),
                     qPrintable(w.errorString()));
        return false;
    }
    std::printf("%s %dx%d\n", qPrintable(path), img.width(), img.height());
    return true;
}

bool saveWav(const std::vector<float> &samples, const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(sounds::toWav(samples)) < 0) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path),
                     qPrintable(f.errorString()));
        return false;
    }
    std::printf("%s %.3f s\n", qPrintable(path), double(samples.size()) / sounds::kSampleRate);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: qav-artwork <outdir>\n"
                             "writes <outdir>/builtin/*, <outdir>/runtime/* and <outdir>/demo/*\n");
        return 1;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("builtin")) || !out.mkpath(QStringLiteral("runtime")) ||
        !out.mkpath(QStringLiteral("demo"))) {
        std::fprintf(stderr, "cannot create folders under %s\n", argv[1]);
        return 1;
    }
    auto builtin = [&](const char *name) { return out.filePath(QLatin1String("builtin/") + name); };
    auto runtime = [&](const char *name) { return out.filePath(QLatin1String("runtime/") + name); };

    const QImage station = stationBackground();
    const ButtonColors red = redButton();
    const ButtonColors blue = blueButton();
    const QSize wide(116, 58);
    const QSize narrow(91, 58);
    const QString modeText = QStringLiteral("인증모드");
    const QString entryText = QStringLiteral("입장처리");
    const QString exitText = QStringLiteral("퇴장처리");
    const QString scoreText = QStringLiteral("집계");

    bool ok = true;
    ok &= save(station, builtin("station_background.jpg"));
    ok &= save(consoleBackground(), builtin("console_background.jpg"));
    ok &= save(consoleIcon(), builtin("console_icon.png"));
    ok &= save(summaryBackground(), builtin("summary_background.jpg"));
    ok &= save(pictureButton(wide, modeText, red, false), builtin("btn_mode_up.jpg"));
    ok &= save(pictureButton(wide, modeText, red, true), builtin("btn_mode_down.jpg"));
    ok &= save(pictureButton(wide, entryText, red, false), builtin("btn_save_up.jpg"));
    ok &= save(pictureButton(wide, entryText, red, true), builtin("btn_save_down.jpg"));
    ok &= save(pictureButton(narrow, scoreText, red, false), builtin("btn_score_up.jpg"));
    ok &= save(pictureButton(narrow, scoreText, red, true), builtin("btn_score_down.jpg"));
    ok &= save(closeButton(station), builtin("close.jpg"));
    const QImage station2x = stationBackground(2);
    ok &= save(station2x, builtin("station_background@2x.jpg"));
    ok &= save(closeButton(station2x, 2), builtin("close@2x.jpg"));

    ok &= save(pictureButton(wide, entryText, red, false), runtime("btn3on.jpg"));
    ok &= save(pictureButton(wide, entryText, red, true), runtime("btn3off.jpg"));
    ok &= save(pictureButton(wide, exitText, blue, false), runtime("btn4on.jpg"));
    ok &= save(pictureButton(wide, exitText, blue, true), runtime("btn4off.jpg"));
    ok &= save(pictureButton(narrow, scoreText, red, false), runtime("btn5on.jpg"));
    ok &= save(pictureButton(narrow, scoreText, red, true), runtime("btn5off.jpg"));
    ok &= saveWav(sounds::acceptChime(), runtime("ok.wav"));
    ok &= saveWav(sounds::rejectBuzz(), runtime("no.wav"));

    ok &= save(demoVenueLogo(), out.filePath(QStringLiteral("demo/logo_1234.jpg")));
    return ok ? 0 : 1;
}
