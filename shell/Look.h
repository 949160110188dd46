#pragma once

#include <QFont>
#include <QRect>

// Window layouts are given in twips: 15 twips are one pixel at 96 dpi.
constexpr int tw(int twips)
{
    return twips >= 0 ? (twips + 7) / 15 : -((-twips + 7) / 15);
}

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(tw(left), tw(top), tw(width), tw(height));
}

// The Korean face every window uses ("굴림"), mapped to a Korean font that is installed.
QFont gulim(double pointSize, bool bold = false);

// Maps "굴림" to an installed Korean font; call once after the application object exists.
void installKoreanFonts();
