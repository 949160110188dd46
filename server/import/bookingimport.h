#pragma once

#include "server/import/bookingfile.h"
#include "server/import/filelimits.h"
#include "server/storage/storage.h"

#include <QByteArray>
#include <QStringList>

#include <csignal>

namespace qav {

class Progress;

// What importing a booking file (see BookingFile) would do to a database, worked out without
// changing it: the file decoded (see decodeLines), or its first sheet read when it is an .xlsx
// workbook (see readXlsxSheet), its lines checked, every ticket compared with what is stored.
// `qav-server import-bookings` prints it and, unless it is a dry run, writes it with
// writeBookingImport.
struct BookingImport
{
    QString encoding;              // as decoded: "UTF-8", "CP949", ..., "xlsx, sheet 'Sheet1'"
    qsizetype read = 0;            // bookings in the file
    qsizetype added = 0;           // of toWrite, the tickets not stored yet
    QList<Booking> toWrite;        // new and changed bookings; empty when there are problems
    QStringList problems;          // "line 7: ...", by line; nothing may be written when any
    QStringList skippedColumns;    // header names that are no booking field
    QStringList admittedCancelled; // tickets the file cancels although their holder was admitted

    qsizetype changed() const { return toWrite.size() - added; }
    qsizetype unchanged() const { return read - toWrite.size(); }
    QString counts() const; // "2 new, 1 changed, 0 unchanged"
};

// Throws FileRefused for a file over one of limits, a workbook that cannot be read, a web page
// or an old binary workbook; DecodeError for data that is not text in the encoding (named, or
// found out when empty); StorageError when the database fails. The encoding is not used for a
// workbook, whose text is Unicode. With onlyBizcode, a booking of another performance is a bad
// line (a file uploaded for one performance).
BookingImport planBookingImport(Storage &storage, const QByteArray &data,
                                const QString &encoding = {}, const ImportLimits &limits = {},
                                const QString &onlyBizcode = {});

// The planning of planBookingImport for bookings already read and checked (file.problems as
// found so far, file.lineOf naming each booking's line or item): unknown or drill performances,
// and others than onlyBizcode when it is given, are problems; every ticket is compared with what
// is stored, read by ticket when there are few.
BookingImport planBookings(Storage &storage, BookingFile file, const QString &onlyBizcode = {});

// Writes toWrite in slices of sliceSize, each committed, so an interruption leaves whole slices
// and importing the same file again writes only what is missing. Checks *stop (set from a signal
// handler) before each slice; returns how many bookings were written. Each slice written is
// counted on progress when one is given.
qsizetype writeBookingImport(Storage &storage, const BookingImport &import,
                             const volatile std::sig_atomic_t *stop = nullptr,
                             qsizetype sliceSize = 1000, Progress *progress = nullptr);

} // namespace qav
