#pragma once

#include <QString>
#include <QStringList>

class QavError;
class RecordSet;

// The decisions of the check station, kept apart from its window so they can be checked alone.
namespace station {

// The ticket number a verification sends: the last 15 characters of the box, blanks included.
QString ticketNumberOf(const QString &boxText);

// What an answer's ErrCode means: only "-1" and "-2", exactly, refuse the ticket.
enum class Verdict { Admit, Refuse };
Verdict verdictOf(const QString &errCode);

// What the station shows for an answered verification: the verdict, the text of
// lbl_BookingInfo and the seven booking labels in screen order (all empty on a refusal).
struct Display
{
    Verdict verdict = Verdict::Refuse;
    QString message;
    QStringList booking;
};
// Reads the whole answer before anything is shown, so a broken answer cannot half-show a verdict.
// An answer without rows is a refusal ("인증 실패"); a refusal needs ErrCode and ErrMsg, an
// admission every booking column too (a null PlayDate reads as empty). Throws QavError
// (MissingColumn, NullValue) when a needed value is not there.
Display displayOf(const RecordSet &answer);

// The text of lbl_BookingInfo when a verification got no usable answer: the ticket was not
// checked, and why in a word. A busy server and an expired or foreign session say so themselves.
QString notCheckedCaption(const QavError &failure);

// Shown in lbl_BookingInfo while a verification has waited a moment for its answer.
QString checkingCaption();

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
