#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The command texts of the gate protocol: built as the station sends them, and read back by the
// server. One encoder, the station's; the reader also takes what other senders write.
namespace wire {

// The business object every command goes to.
inline constexpr auto kObjectName = "Velmor.member";
inline constexpr auto kLoginProc = "Proc_GRVM_Admin_GetAdminQAV_LoginInfo";
inline constexpr auto kBookingProc = "Proc_GRVM_Admin_GetAdminQAV_BookingInfo";

// The longest command text the server reads, in bytes.
inline constexpr qsizetype kMaxCommandBytes = 4096;

struct Command
{
    QString procedure;
    QStringList args;
};

// The four commands the station sends. Every value is sent as it is, not trimmed.
Command operatorSignIn(const QString &operatorId, const QString &password);
Command placeSignIn(const QString &placeCode);
Command verification(const QString &mode, const QString &bizCode, const QString &ticketNo,
                     const QString &operatorId);
Command summary(const QString &bizCode);

// `Exec <procedure> '<arg>','<arg>', ...` as the station writes it: every value between
// apostrophes, an apostrophe inside doubled so that it cannot end its argument, arguments joined
// by a comma, except that a verification's last argument (the booking procedure with a mode other
// than S) follows a comma and one blank.
QString commandText(const Command &command);

// 'value' with its apostrophes doubled.
QString quoted(const QString &value);

// Result of reading a request body: either a command that may be run, or the reason it may not
// (error is then a short operator-readable text and command is empty).
struct ParsedCommand
{
    Command command;
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// Strict reader for `Exec <procedure> '<arg>'{,[ ]'<arg>'}`: a comma may be followed by one
// blank anywhere, so both the station's text and a plain comma-joined one are read. Refuses
// anything it does not fully understand, including unknown procedures and wrong argument counts,
// so nothing half-read is run. No I/O.
ParsedCommand parseCommand(const QByteArray &body);

} // namespace wire
