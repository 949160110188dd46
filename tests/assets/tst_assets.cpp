#include "assets/Assets.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QtTest>

#include <cstdint>
#include <cstdlib>

// The windows place their controls over these pictures by pixel, and the station plays the
// sounds through a plain PCM player, so sizes and formats are checked exactly.
class TstAssets : public QObject
{
    Q_OBJECT
private slots:
    void pictureSizes_data();
    void pictureSizes();
    void everyBuiltinPictureIsEmbedded();
    void sounds_data();
    void sounds();
};

namespace {

const QString kAssets = QStringLiteral(QAV_SOURCE_DIR "/assets/");

uint32_t le(const QByteArray &b, qsizetype at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | uint8_t(b.at(at + i));
    return v;
}

} // namespace

void TstAssets::pictureSizes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    const QSize wide(116, 58);
    const QSize narrow(91, 58);
    const std::pair<const char *, QSize> files[] = {
        {"builtin/station_background.jpg", {1024, 768}},
        {"builtin/console_background.jpg", {320, 360}},
        {"builtin/console_icon.png", {36, 35}},
        {"builtin/summary_background.jpg", {477, 507}},
        {"builtin/btn_mode_up.jpg", wide},
        {"builtin/btn_mode_down.jpg", wide},
        {"builtin/btn_save_up.jpg", wide},
        {"builtin/btn_save_down.jpg", wide},
        {"builtin/btn_score_up.jpg", narrow},
        {"builtin/btn_score_down.jpg", narrow},
        {"builtin/close.jpg", {48, 45}},
        {"runtime/btn3on.jpg", wide},
        {"runtime/btn3off.jpg", wide},
        {"runtime/btn4on.jpg", wide},
        {"runtime/btn4off.jpg", wide},
        {"runtime/btn5on.jpg", narrow},
        {"runtime/btn5off.jpg", narrow},
    };
    for (const auto &[path, size] : files)
        QTest::newRow(path) << QString::fromLatin1(path) << size;
}

void TstAssets::pictureSizes()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    const QImage img(kAssets + path);
    QVERIFY2(!img.isNull(), qPrintable(path));
    QCOMPARE(img.size(), size);
    if (path.endsWith(QLatin1String(".png")))
        QVERIFY(img.hasAlphaChannel());
}

void TstAssets::everyBuiltinPictureIsEmbedded()
{
    qav::initAssets();
    qav::initAssets();
    const QStringList committed = QDir(kAssets + QStringLiteral("builtin")).entryList(QDir::Files);
    QVERIFY(!committed.isEmpty());
    QCOMPARE(QDir(QStringLiteral(":/builtin")).entryList(QDir::Files), committed);
    for (const QString &name : committed) {
        const QImage embedded(QStringLiteral(":/builtin/") + name);
        QVERIFY2(!embedded.isNull(), qPrintable(name));
        QCOMPARE(embedded.size(), QImage(kAssets + QStringLiteral("builtin/") + name).size());
    }
}

void TstAssets::sounds_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<double>("minSeconds");
    QTest::addColumn<double>("maxSeconds");
    QTest::newRow("ok") << QStringLiteral("runtime/ok.wav") << 0.25 << 0.45;
    QTest::newRow("no") << QStringLiteral("runtime/no.wav") << 0.40 << 0.60;
}

void TstAssets::sounds()
{
    QFETCH(QString, path);
    QFETCH(double, minSeconds);
    QFETCH(double, maxSeconds);
    QFile f(kAssets + path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray b = f.readAll();
    QVERIFY(b.size() >= 44);
    QCOMPARE(b.left(4), QByteArray("RIFF"));
    QCOMPARE(le(b, 4, 4), uint32_t(b.size() - 8));
    QCOMPARE(b.mid(8, 4), QByteArray("WAVE"));

    qsizetype dataAt = -1;
    uint32_t dataSize = 0;
    bool sawFormat = false;
    for (qsizetype at = 12; at + 8 <= b.size();) {
        const QByteArray id = b.mid(at, 4);
        const uint32_t size = le(b, at + 4, 4);
        QVERIFY(at + 8 + qsizetype(size) <= b.size());
        if (id == "fmt ") {
            QVERIFY(size >= 16);
            QCOMPARE(le(b, at + 8, 2), 1u);      // PCM
            QCOMPARE(le(b, at + 10, 2), 1u);     // mono
            QCOMPARE(le(b, at + 12, 4), 22050u); // sample rate
            QCOMPARE(le(b, at + 16, 4), 44100u); // byte rate
            QCOMPARE(le(b, at + 20, 2), 2u);     // block align
            QCOMPARE(le(b, at + 22, 2), 16u);    // bits
            sawFormat = true;
        } else if (id == "data") {
            dataAt = at + 8;
            dataSize = size;
        }
        at += 8 + size + (size & 1);
    }
    QVERIFY(sawFormat);
    QVERIFY(dataAt > 0);
    QVERIFY(dataSize % 2 == 0);

    const int samples = int(dataSize / 2);
    const double seconds = samples / 22050.0;
    QVERIFY2(seconds >= minSeconds && seconds <= maxSeconds, qPrintable(QString::number(seconds)));
    auto sample = [&](int i) { return int(int16_t(le(b, dataAt + 2 * i, 2))); };
    // Fading in and out keeps the speaker from clicking.
    QVERIFY(std::abs(sample(0)) < 300);
    QVERIFY(std::abs(sample(samples - 1)) < 300);
    int peak = 0;
    for (int i = 0; i < samples; ++i)
        peak = std::max(peak, std::abs(sample(i)));
    QVERIFY2(peak > 8000 && peak < 32767, qPrintable(QString::number(peak)));
}

QTEST_GUILESS_MAIN(TstAssets)
#include "tst_assets.moc"
