#pragma once

#include <QByteArray>
#include <QString>

// Reads one value from an INI file the way the station's workstation reader does: section and
// key names match without regard to case, blanks around names and values are dropped, lines
// starting with ';' are comments, one pair of matching quotes around a value is removed, and the
// first occurrence wins. The file is read anew on every call; a missing or unreadable file, section
// or key gives the default.
//
// Mirrors the fixed-buffer contract: the value is cut to bufferSize - 1 bytes (never inside a UTF-8
// character) and followed by a NUL, written over the start of `buffer`, which keeps the rest of
// its bytes. Returns the number of bytes copied, without the NUL.
qsizetype GetPrivateProfileString(const QString &section, const QString &key,
                                  const QByteArray &defaultValue, QByteArray &buffer,
                                  qsizetype bufferSize, const QString &fileName);

// The station's place code: section "Quorvanta", key "PlaceCode" of "./qav.ini" in the current
// directory, through a 255-character buffer. The empty text when none is configured.
QString ReadPlaceCode();

// The station's optional layout switch: FitToScreen in the same section of "./qav.ini". True only
// for the value 1; anything else, or no such key, keeps the designed size.
bool ReadFitToScreen();
