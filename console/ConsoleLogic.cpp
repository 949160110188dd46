#include "console/ConsoleLogic.h"

#include "remote/RecordSet.h"

namespace console {

SignIn signInOf(const RecordSet &answer)
{
    SignIn s;
    if (answer.Fields(QStringLiteral("ErrCode")) == u"-1") {
        s.outcome = SignInOutcome::Refused;
        return s;
    }
    s.bizCode = answer.Fields(QStringLiteral("bizcode"));
    s.venueName = answer.Fields(QStringLiteral("TheaterName"));
    s.goodsName = answer.Fields(QStringLiteral("GoodsName"));
    if (answer.columns().contains(QStringLiteral("SessionKey"), Qt::CaseInsensitive))
        s.sessionKey = answer.FieldsOrEmpty(QStringLiteral("SessionKey"));
    s.outcome = s.bizCode.isEmpty() ? SignInOutcome::Failed : SignInOutcome::SignedIn;
    return s;
}

} // namespace console
