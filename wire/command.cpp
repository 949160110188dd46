#include "wire/command.h"

#include <QStringDecoder>

namespace wire {

namespace {

ParsedCommand refuse(const QString &why)
{
    return {{}, QStringLiteral("잘못된 명령입니다: ") + why};
}

bool isNameChar(QChar c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
           c == u'_';
}

} // namespace

Command operatorSignIn(const QString &operatorId, const QString &password)
{
    return {QString::fromLatin1(kLoginProc), {operatorId, password}};
}

Command placeSignIn(const QString &placeCode)
{
    return {QString::fromLatin1(kLoginProc), {placeCode}};
}

Command verification(const QString &mode, const QString &bizCode, const QString &ticketNo,
                     const QString &operatorId)
{
    return {QString::fromLatin1(kBookingProc), {mode, bizCode, QString(), ticketNo, operatorId}};
}

Command summary(const QString &bizCode)
{
    return {QString::fromLatin1(kBookingProc),
            {QStringLiteral("S"), bizCode, QString(), QString(), QString()}};
}

QString quoted(const QString &value)
{
    QString escaped = value;
    escaped.replace(u'\'', QStringLiteral("''"));
    return u'\'' + escaped + u'\'';
}

QString commandText(const Command &command)
{
    // The station has always put a blank before a verification's operator and nowhere else;
    // servers in the field read it so, and the text stays byte for byte as it was.
    const bool blankBeforeLast = command.procedure == QLatin1String(kBookingProc) &&
                                 command.args.size() == 5 &&
                                 command.args.first() != QLatin1String("S");
    QString text = QStringLiteral("Exec ") + command.procedure + u' ';
    for (qsizetype i = 0; i < command.args.size(); ++i) {
        if (i > 0)
            text += blankBeforeLast && i == command.args.size() - 1 ? QStringLiteral(", ")
                                                                    : QStringLiteral(",");
        text += quoted(command.args[i]);
    }
    return text;
}

ParsedCommand parseCommand(const QByteArray &body)
{
    if (body.size() > kMaxCommandBytes)
        return refuse(QStringLiteral("너무 깁니다"));
    if (body.contains('\0'))
        return refuse(QStringLiteral("NUL 문자가 있습니다"));

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(body);
    if (decoder.hasError())
        return refuse(QStringLiteral("UTF-8이 아닙니다"));

    static const QString prefix = QStringLiteral("Exec ");
    if (!text.startsWith(prefix))
        return refuse(QStringLiteral("Exec로 시작하지 않습니다"));

    qsizetype pos = prefix.size();
    const qsizetype nameStart = pos;
    while (pos < text.size() && isNameChar(text[pos]))
        ++pos;
    Command cmd;
    cmd.procedure = text.mid(nameStart, pos - nameStart);
    if (cmd.procedure.isEmpty())
        return refuse(QStringLiteral("프로시저 이름이 없습니다"));
    if (pos >= text.size() || text[pos] != u' ')
        return refuse(QStringLiteral("프로시저 이름 뒤에 인자가 없습니다"));
    ++pos;

    // Arguments: 'value' { ',' [' '] 'value' } and nothing after the last one.
    for (;;) {
        if (pos >= text.size() || text[pos] != u'\'')
            return refuse(QStringLiteral("인자는 작은따옴표로 감싸야 합니다"));
        ++pos;
        QString value;
        for (;;) {
            if (pos >= text.size())
                return refuse(QStringLiteral("닫는 작은따옴표가 없습니다"));
            if (text[pos] == u'\'') {
                if (pos + 1 < text.size() && text[pos + 1] == u'\'') {
                    value += u'\'';
                    pos += 2;
                    continue;
                }
                ++pos;
                break;
            }
            value += text[pos++];
        }
        cmd.args << value;
        if (pos == text.size())
            break;
        if (text[pos] != u',')
            return refuse(QStringLiteral("인자 뒤에 알 수 없는 글자가 있습니다"));
        ++pos;
        if (pos < text.size() && text[pos] == u' ')
            ++pos;
    }

    if (cmd.procedure == QLatin1String(kLoginProc)) {
        if (cmd.args.size() != 1 && cmd.args.size() != 2)
            return refuse(QStringLiteral("로그인 인자 수가 맞지 않습니다"));
    } else if (cmd.procedure == QLatin1String(kBookingProc)) {
        if (cmd.args.size() != 5)
            return refuse(QStringLiteral("예매 조회 인자 수가 맞지 않습니다"));
    } else {
        return refuse(QStringLiteral("알 수 없는 프로시저입니다"));
    }
    return {cmd, {}};
}

} // namespace wire
