#pragma once

#include "server/import/bookingimport.h"
#include "server/storage/storage.h"

#include <QHash>

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace qav {

// The booking files managers upload on the dashboard, kept in memory under a random id from the
// dry run to the confirm, and the writes of those confirmed. An upload is its admin's alone; it
// is forgotten kKeepSecs after its dry run unless confirmed, or kKeepSecs after its write ended;
// all uploads together hold at most kHeldBytes. A confirm claims its upload, so a second confirm
// of the same dry run is refused. A write runs on a thread of its own with its own connection,
// in slices each committed, so the page polls its progress; the destructor stops the writes
// between two slices and waits for them. Thread-safe.
class BookingUploads
{
public:
    using Opener = std::function<std::unique_ptr<Storage>()>;
    static constexpr qint64 kKeepSecs = 15 * 60;
    static constexpr qint64 kHeldBytes = 256 * 1024 * 1024;
    static constexpr qsizetype kSlice = 500;

    enum class State { Planned, Checking, Writing, Done, Failed };

    struct Upload
    {
        QString adminId;
        QString bizcode;
        QString fileName;
        QByteArray data;
        BookingImport plan;
        State state = State::Planned;
        qsizetype written = 0;
        QString failure; // why the write stopped, when Failed
    };

    // What Claim found.
    enum class Claim { Claimed, Missing, Taken };
    // The audit row written once a write has ended, from the upload as it ended.
    using Finished = std::function<SeasonAudit(const Upload &)>;

    BookingUploads() = default;
    ~BookingUploads();
    BookingUploads(const BookingUploads &) = delete;
    BookingUploads &operator=(const BookingUploads &) = delete;

    // Keeps a planned upload; returns its new id, or an empty one when the uploads held would
    // pass kHeldBytes.
    QString keep(Upload upload);
    // The upload id of adminId, if it is still kept.
    std::optional<Upload> find(const QString &id, const QString &adminId);
    // Takes a planned upload for its confirm (Checking), copied to *upload.
    Claim claim(const QString &id, const QString &adminId, Upload *upload);
    // Gives a claimed upload back as planned anew, its bookings having changed since its dry run.
    void replan(const QString &id, const BookingImport &plan);
    // Writes a claimed upload's plan on a thread of its own, then its finished row.
    void start(const QString &id, Opener opener, Finished finished);

private:
    struct Kept
    {
        Upload upload;
        qint64 untilMs = 0;
    };
    void write(const QString &id, const Opener &opener, const Finished &finished);
    void forgetExpired(); // under m_mutex
    void setState(const QString &id, State state, qsizetype written, const QString &failure = {});

    std::mutex m_mutex;
    QHash<QString, Kept> m_kept;
    std::atomic<bool> m_stopping{false};
    struct Writer
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    std::list<Writer> m_writers; // those ended joined by the next start, the rest by the destructor
};

} // namespace qav
