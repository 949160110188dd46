#pragma once

#include "server/storage/records.h"

namespace qav {

// How the replay store keys and keeps a scan's answer; shared by the scan's statements.
// Whose key it is: the signed-in operator's, or the gate's own id without a session.
QString replayOperator(const ScanRequest &request);
// What a replayed answer must match: a key reused for another ticket is not a repeat.
QString replayRequest(const ScanRequest &request);
// A stored answer is what decided it, not its text: the result and what its message names. The
// booking's and performance's names are read again when it is replayed.
QString encodeAnswer(const ScanOutcome &outcome);

} // namespace qav
