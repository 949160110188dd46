#pragma once

#include "storage.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

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
    ~AuditSealer();

private:
    void run();
    void seal(std::unique_ptr<Storage> &storage, bool last);

    Opener m_opener;
    SealKey m_key;
    int m_everySecs;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace qav
