#pragma once

#include "Addresses.h"
#include "Global.h"
#include "Lifecycle.h"
#include "MessageBox.h"
#include "Sound.h"
#include "StationSite.h"
#include "WindowTesting.h"
#include "frm01.h"
#include "frm03.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QtTest>

namespace fixture {

// Opens the station the way the console does, through its reference and the shell's handler;
// null when the start-up closed it again.
inline frm01 *openStation()
{
    frm01 *station = nullptr;
    runHandler([&] {
        Global::frm01->Show();
        station = Global::frm01.instance();
    });
    return station;
}

inline QByteArray jpeg(int width, int height, QColor colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

} // namespace fixture
