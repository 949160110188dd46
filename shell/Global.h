#pragma once

#include "shell/Form.h"

#include <QString>

// The values all windows share during one run. Empty at start; never written to disk.
extern QString g_BizCode; // business code of the signed-in venue or performance
extern QString g_AdminId; // operator ID exactly as typed at sign-in
// The session the operator's sign-in opened on the server; empty before one, or when the server
// issues none. The channel proves every later request with it.
extern QString g_SessionKey;
extern QString g_GoodsName; // goods (performance) name of the sign-in
extern QString g_CheckMode; // "I" entry, "O" exit, empty until first set
extern QString g_ServerUrl; // business-object server address, stored before each remote call

// Unloads the summary panel, the station and the console, then drops their references; the
// program then ends.
void CloseStation();

// Unloads the summary panel and drops its reference.
void CloseSummary();

// The characters before the first NUL; the empty text when there is none.
QString TrimAtNul(const QString &text);
