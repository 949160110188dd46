#pragma once

#include "Addresses.h"
#include "Commands.h"
#include "DataSpace.h"
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

// Signs the operator in at the server the way the console does, so that the station's calls
// carry the session; false when the server refuses.
inline bool signIn(const QString &serverUrl, const QString &id, const QString &password)
{
    bool ok = false;
    runHandler([&] {
        auto object = DataSpace().CreateObject(QStringLiteral("Velmor.member"), serverUrl);
        auto answer = object->Query(Commands::OperatorSignIn(id, password));
        if (answer->Fields(QStringLiteral("ErrCode")) != u"0")
            return;
        g_AdminId = id;
        g_SessionKey = answer->FieldsOrEmpty(QStringLiteral("SessionKey"));
        ok = !g_SessionKey.isEmpty();
    });
    return ok;
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
