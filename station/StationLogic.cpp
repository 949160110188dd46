#include "station/StationLogic.h"

#include "remote/RecordSet.h"
#include "shell/QavError.h"

#include <Qt>

namespace station {

namespace {

// "#0": the piece as a number without leading zeros; text that is no number stays as it is.
QString asNumber(const QString &piece)
{
    if (piece.isEmpty())
        return piece;
    bool ok = false;
    const int value = piece.toInt(&ok);
    return ok ? QString::number(value) : piece;
}

} // namespace

QString ticketNumberOf(const QString &boxText)
{
    return boxText.right(15);
}

Verdict verdictOf(const QString &errCode)
{
    return errCode == u"-1" || errCode == u"-2" ? Verdict::Refuse : Verdict::Admit;
}

Display displayOf(const RecordSet &answer)
{
    Display d;
    if (answer.Eof()) {
        d.message = QStringLiteral("인증 실패");
        d.booking = QStringList(7, QString());
        return d;
    }
    d.verdict = verdictOf(answer.Fields(QStringLiteral("ErrCode")));
    d.message = answer.Fields(QStringLiteral("ErrMsg"));
    if (d.verdict == Verdict::Refuse) {
        d.booking = QStringList(7, QString());
        return d;
    }
    d.booking = {answer.Fields(QStringLiteral("CustName")),
                 answer.Fields(QStringLiteral("TicketNo")),
                 answer.Fields(QStringLiteral("GoodsName")),
                 playDateCaption(answer.FieldsOrEmpty(QStringLiteral("PlayDate"))),
                 answer.Fields(QStringLiteral("PlaceName")),
                 answer.Fields(QStringLiteral("SeatGradeName")),
                 answer.Fields(QStringLiteral("SeatInfo"))};
    return d;
}

QString notCheckedCaption(const QavError &failure)
{
    switch (failure.number()) {
    case QavError::ServerUnreachable:
    case QavError::ServerTimeout:
        return QStringLiteral("서버 응답 없음 – 다시 스캔하세요");
    case QavError::CertificateRefused: // scanning again will not help
        return QStringLiteral("서버 인증서 거부 – 관리자에게 알리세요");
    default:
        break;
    }
    const int status = failure.httpStatus();
    const QString own = trimBlanks(failure.serverMessage());
    if ((status == 503 || status == 401 || status == 403) && !own.isEmpty())
        return own;
    return QStringLiteral("서버 오류 – 다시 스캔하세요");
}

QString checkingCaption()
{
    return QStringLiteral("티켓 확인 중…");
}

bool placeSignInAccepted(const QString &errCode, bool eof)
{
    return errCode != u"-1" && !eof;
}

QString playDateCaption(const QString &playDate)
{
    const QString p = playDate.left(12);
    return p.mid(0, 4) + QStringLiteral("년 ") + asNumber(p.mid(4, 2)) + QStringLiteral("월") +
           asNumber(p.mid(6, 2)) + QStringLiteral("일 ") + asNumber(p.mid(8, 2)) +
           QStringLiteral("시 ") + asNumber(p.mid(10, 2)) + QStringLiteral("분 ");
}

QString logoAddress(const QString &imageServer, const QString &placeCode)
{
    return imageServer + QStringLiteral("/TicketImage/GRVM/logo_") + placeCode +
           QStringLiteral(".jpg");
}

ModeSwitch nextMode(const QString &currentMode)
{
    if (currentMode == u"O")
        return {QStringLiteral("I"), QStringLiteral("./btn3on.jpg"),
                QStringLiteral("./btn3off.jpg")};
    return {QStringLiteral("O"), QStringLiteral("./btn4on.jpg"), QStringLiteral("./btn4off.jpg")};
}

int keyCodeOf(int qtKey)
{
    if (qtKey == Qt::Key_Return || qtKey == Qt::Key_Enter)
        return 13;
    if ((qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) || (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z))
        return qtKey; // same codes as the Windows virtual keys
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24)
        return 112 + (qtKey - Qt::Key_F1);
    switch (qtKey) {
    case Qt::Key_Escape:
        return 27;
    case Qt::Key_Space:
        return 32;
    case Qt::Key_Tab:
        return 9;
    case Qt::Key_Backspace:
        return 8;
    default:
        return 0;
    }
}

} // namespace station
