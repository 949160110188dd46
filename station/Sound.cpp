#include "station/Sound.h"

#include <QApplication>
#include <QFileInfo>
#include <QPointer>
#include <QSoundEffect>
#include <QUrl>

namespace {

SoundPlayer *s_installed = nullptr;

} // namespace

struct QtSoundPlayer::Private
{
    // Belongs to the application, so it goes before the audio back end does at exit.
    QPointer<QSoundEffect> effect;
};

QtSoundPlayer::QtSoundPlayer() : d(new Private) {}

QtSoundPlayer::~QtSoundPlayer()
{
    delete d->effect;
    delete d;
}

void QtSoundPlayer::play(const QString &fileName)
{
    const QFileInfo file(fileName);
    if (!file.isFile() || !file.isReadable()) {
        QApplication::beep();
        return;
    }
    // Created on first use: the audio back end starts only when the first sound is needed.
    if (!d->effect)
        d->effect = new QSoundEffect(QCoreApplication::instance());
    d->effect->stop();
    d->effect->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
    d->effect->play();
}

QString QtSoundPlayer::playing() const
{
    return d->effect && d->effect->isPlaying() ? d->effect->source().toLocalFile() : QString();
}

bool QtSoundPlayer::loaded() const
{
    return d->effect && d->effect->status() == QSoundEffect::Ready;
}

SoundPlayer &soundPlayer()
{
    if (s_installed)
        return *s_installed;
    static QtSoundPlayer real;
    return real;
}

void setSoundPlayer(SoundPlayer *player)
{
    s_installed = player;
}
