#pragma once

#include <QPixmap>
#include <QSize>
#include <QWidget>

// The station's window: the background picture once at the top-left at its own size, the
// window colour around it; focus goes to the ticket box whenever it is shown.
class StationWindow : public QWidget
{
public:
    // The designed size of the station's artwork, in pixels.
    static constexpr QSize artworkSize{1024, 768};

    StationWindow();

    QWidget *focusWhenShown = nullptr;

    // The background is drawn this many times its own size.
    void setArtworkScale(double scale);

protected:
    void paintEvent(QPaintEvent *) override;
    void showEvent(QShowEvent *event) override;

private:
    QPixmap m_background;
    double m_scale = 1.0;
};
