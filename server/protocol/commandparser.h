#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace qav {

inline constexpr qsizetype kMaxCommandBytes = 4096;

inline constexpr auto kLoginProc = "Proc_GRVM_Admin_GetAdminQAV_LoginInfo";
inline constexpr auto kBookingProc = "Proc_GRVM_Admin_GetAdminQAV_BookingInfo";

struct Command
{
    QString procedure;
    QStringList args;
};

// Result of reading a request body: either a command that may be run, or the reason it may not
// (error is then a short operator-readable text and command is empty).
struct ParsedCommand
{
    Command command;
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// Strict reader for `Exec <procedure> '<arg>','<arg>', ...`. Refuses anything it does not fully
// understand, including unknown procedures and wrong argument counts, so nothing half-read is run.
ParsedCommand parseCommand(const QByteArray &body);

// The text a station sends for a command, which parseCommand reads back unchanged: apostrophes
// inside an argument are doubled.
QByteArray commandText(const Command &command);

} // namespace qav
