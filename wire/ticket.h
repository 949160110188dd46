#pragma once

// The text a gate or a dashboard sends, as the server takes it: the ticket's one normal form and
// the characters no text may carry. Qt Core only, so every side of the wire can use it.

#include <QString>
#include <QStringView>

namespace wire {

// The longest ticket taken, in characters of its normal form; a station sends at most 15.
inline constexpr qsizetype kMaxTicketChars = 64;

// A ticket as the booking, the audit, the replay store and the dashboard all know it: what was
// sent without the whitespace a scanner adds at either end (blanks, tabs, CR, LF, Unicode spaces
// such as U+3000; QChar::isSpace). Nothing inside is changed.
inline QString normalTicket(const QString &sent)
{
    return sent.trimmed();
}

// True when text holds a C0 control character (NUL included) or DEL. Callers pass a value as
// they use it (a ticket in normal form, an id trimmed), so whitespace they strip never counts.
inline bool hasControlCharacter(QStringView text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

} // namespace wire
