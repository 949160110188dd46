#pragma once

#include <QString>

// Plays the station's signal sounds. play() returns at once; a new sound cuts off one still
// playing; a file that is missing gives the system beep instead. Never fails.
class SoundPlayer
{
public:
    virtual ~SoundPlayer() = default;
    virtual void play(const QString &fileName) = 0;
};

// The player the station uses: the one installed by setSoundPlayer, else the Qt Multimedia one,
// created on first use.
SoundPlayer &soundPlayer();
// Installs a player for the rest of the process (nullptr restores the real one); not owned.
void setSoundPlayer(SoundPlayer *player);

// Plays through the Qt Multimedia sound effect; works (silently) without an audio device.
class QtSoundPlayer : public SoundPlayer
{
public:
    QtSoundPlayer();
    ~QtSoundPlayer() override;
    void play(const QString &fileName) override;

    // The absolute path of the sound now playing, empty when none plays.
    QString playing() const;
    // True once the sound last played has been read and decoded.
    bool loaded() const;

private:
    struct Private;
    Private *d;
};
