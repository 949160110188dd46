#include "server/web/bookinguploads.h"

#include "server/base/steadyclock.h"

#include <QRandomGenerator>

namespace qav {

BookingUploads::~BookingUploads()
{
    m_stopping = true;
    for (Writer &w : m_writers)
        w.thread.join();
}

void BookingUploads::forgetExpired()
{
    const qint64 now = steadyMs();
    for (auto i = m_kept.begin(); i != m_kept.end();) {
        const State s = i->upload.state;
        if ((s == State::Planned || s == State::Done || s == State::Failed) && i->untilMs < now)
            i = m_kept.erase(i);
        else
            ++i;
    }
}

QString BookingUploads::keep(Upload upload)
{
    quint32 bits[4];
    QRandomGenerator::system()->fillRange(bits);
    const QString id =
        QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bits), sizeof bits).toHex());
    const std::lock_guard lock(m_mutex);
    forgetExpired();
    qint64 held = upload.data.size();
    for (const Kept &k : std::as_const(m_kept))
        held += k.upload.data.size();
    if (held > kHeldBytes)
        return {};
    m_kept.insert(id, {std::move(upload), steadyMs() + kKeepSecs * 1000});
    return id;
}

std::optional<BookingUploads::Upload> BookingUploads::find(const QString &id,
                                                           const QString &adminId)
{
    const std::lock_guard lock(m_mutex);
    forgetExpired();
    const auto i = m_kept.constFind(id);
    if (i == m_kept.constEnd() || i->upload.adminId != adminId)
        return std::nullopt;
    return i->upload;
}

BookingUploads::Claim BookingUploads::claim(const QString &id, const QString &adminId,
                                            Upload *upload)
{
    const std::lock_guard lock(m_mutex);
    forgetExpired();
    const auto i = m_kept.find(id);
    if (i == m_kept.end() || i->upload.adminId != adminId)
        return Claim::Missing;
    if (i->upload.state != State::Planned)
        return Claim::Taken;
    i->upload.state = State::Checking;
    *upload = i->upload;
    return Claim::Claimed;
}

void BookingUploads::replan(const QString &id, const BookingImport &plan)
{
    const std::lock_guard lock(m_mutex);
    const auto i = m_kept.find(id);
    if (i == m_kept.end())
        return;
    i->upload.plan = plan;
    i->upload.state = State::Planned;
    i->untilMs = steadyMs() + kKeepSecs * 1000;
}

void BookingUploads::setState(const QString &id, State state, qsizetype written,
                              const QString &failure)
{
    const std::lock_guard lock(m_mutex);
    const auto i = m_kept.find(id);
    if (i == m_kept.end())
        return;
    i->upload.state = state;
    i->upload.written = written;
    i->upload.failure = failure;
    i->untilMs = steadyMs() + kKeepSecs * 1000;
}

void BookingUploads::start(const QString &id, Opener opener, Finished finished)
{
    const std::lock_guard lock(m_mutex);
    for (auto w = m_writers.begin(); w != m_writers.end();) {
        if (*w->ended) {
            w->thread.join();
            w = m_writers.erase(w);
        } else {
            ++w;
        }
    }
    const auto i = m_kept.find(id);
    if (i == m_kept.end())
        return;
    i->upload.state = State::Writing;
    auto ended = std::make_shared<std::atomic<bool>>(false);
    m_writers.push_back(
        {std::thread([this, id, opener = std::move(opener), finished = std::move(finished), ended] {
             write(id, opener, finished);
             *ended = true;
         }),
         ended});
}

void BookingUploads::write(const QString &id, const Opener &opener, const Finished &finished)
{
    std::optional<Upload> upload;
    {
        const std::lock_guard lock(m_mutex);
        if (m_kept.contains(id))
            upload = m_kept.value(id).upload;
    }
    if (!upload)
        return;
    const QList<Booking> &all = upload->plan.toWrite;
    qsizetype written = 0;
    QString failure;
    std::unique_ptr<Storage> storage;
    try {
        storage = opener();
        for (; written < all.size(); written += kSlice) {
            if (m_stopping) {
                failure = QStringLiteral("the server stopped");
                break;
            }
            storage->putBookings(all.mid(written, kSlice));
            setState(id, State::Writing, std::min(written + kSlice, all.size()));
        }
        written = std::min(written, all.size());
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
    }
    upload->state = failure.isEmpty() ? State::Done : State::Failed;
    upload->written = written;
    upload->failure = failure;
    // The row says what came of it, even when the write failed: the slices before stand.
    try {
        if (!storage)
            storage = opener();
        storage->addSeasonAudit(finished(*upload));
    } catch (const std::exception &e) {
        if (upload->failure.isEmpty())
            upload->failure = QString::fromUtf8(e.what());
        upload->state = State::Failed;
    }
    setState(id, upload->state, written, upload->failure);
}

} // namespace qav
