#pragma once

#include <QString>

// The decisions of the check station, kept apart from its window so they can be checked alone.
namespace station {

// The ticket number a verification sends: the last 15 characters of the box, blanks included.
QString ticketNumberOf(const QString &boxText);

// What an answer's ErrCode means: only "-1" and "-2", exactly, refuse the ticket.
enum class Verdict { Admit, Refuse };
Verdict verdictOf(const QString &errCode);

// The place-code sign-in is accepted unless ErrCode is exactly "-1" or there is no row.
bool placeSignInAccepted(const QString &errCode, bool eof);

// The date caption of a PlayDate "YYYYMMDDhhmm", e.g. "2011년 1월5일 9시 5분 ".
QString playDateCaption(const QString &playDate);

// The venue logo: <image server>/TicketImage/GRVM/logo_<place code>.jpg, code as read.
QString logoAddress(const QString &imageServer, const QString &placeCode);

// The mode a click on the mode button switches to and the save-button pictures that show it.
struct ModeSwitch
{
    QString mode;
    QString normalPicture;
    QString downPicture;
};
ModeSwitch nextMode(const QString &currentMode);

// The Windows key code of a Qt key (13 for both Enter keys), 0 for keys the station ignores.
int keyCodeOf(int qtKey);

} // namespace station
