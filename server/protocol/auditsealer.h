#pragma once

#include "server/base/periodicthread.h"
#include "server/storage/storage.h"

#include <functional>
#include <memory>

namespace qav {

// Seals the audit every few seconds on a thread of its own with its own connection
// (Storage::sealAudit), and once more when it stops, so a server stopped in order leaves every
// row sealed. Several processes may seal one database: a round another made first is dropped. A
// failure is logged and the round tried again next time.
class AuditSealer
{
public:
    using Opener = std::function<std::unique_ptr<Storage>()>;
    AuditSealer(Opener opener, SealKey key, int everySecs);

private:
    void seal(bool last);

    Opener m_opener;
    SealKey m_key;
    std::unique_ptr<Storage> m_storage; // the thread's own
    PeriodicThread m_thread;            // last: stops before the rest goes
};

} // namespace qav
