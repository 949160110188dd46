#pragma once

#include <QString>

class RecordSet;

// The decisions of the sign-in console, kept apart from its window so they can be checked alone.
namespace console {

enum class SignInOutcome {
    Refused,  // ErrCode "-1": the ID or the password is wrong; the operator may try again
    SignedIn, // a row with a business code
    Failed,   // a row without a business code: the station cannot run
};

// What an operator sign-in's answer means, with the values the station keeps from it (all empty
// on a refusal). A server that keeps no sessions answers without SessionKey.
struct SignIn
{
    SignInOutcome outcome = SignInOutcome::Failed;
    QString bizCode;
    QString venueName;
    QString goodsName;
    QString sessionKey;
};
// Throws QavError (NoCurrentRow, MissingColumn, NullValue) when a needed value is not there;
// the console treats that as a failed sign-in.
SignIn signInOf(const RecordSet &answer);

} // namespace console
