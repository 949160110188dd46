// `qav-server drill`: a rehearsal of a venue's gates against a running server. It lays out a
// performance, bookings and an operator of its own (codes beginning with kDrillPrefix, and a row
// in drill_runs written before anything else), signs in virtual stations over the wire, scans at
// a venue's pace and removes all it made, on every way out: the end, Ctrl-C, SIGTERM, a failure,
// or, after a kill -9, the next drill.

#include "server/drill/drill.h"

#include "server/accounts/passwords.h"
#include "server/base/commandline.h"
#include "server/base/progress.h"
#include "server/base/stopsignals.h"
#include "server/drill/drillstation.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QLocale>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSysInfo>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <memory>
#include <unistd.h>

namespace qav {

using namespace cli;

namespace {

constexpr int kHeartbeatMs = 5000;
// A drill silent for this long is taken for dead even on another machine.
constexpr qint64 kStaleSecs = 60;
constexpr int kBookingSlice = 1000;
// How long answers under way are waited for once the drill stops.
constexpr int kDrainMs = 6000;

// Shares of the scans that are not a ticket's next ordinary scan.
constexpr double kUnknownShare = 0.03;
constexpr double kRepeatShare = 0.05; // a ticket scanned in again while inside
constexpr double kResendShare = 0.02; // a station sending its last scan again, same replay key
constexpr int kAdmittedKept = 1000;
constexpr int kSignInsAtOnce = 4;
constexpr int kSignInRetries = 200; // over all stations

QString number(qint64 n)
{
    static const QLocale english(QLocale::English);
    return english.toString(n);
}

QString millis(qint64 micros)
{
    return QString::number(double(micros) / 1000.0, 'f', 1) + QStringLiteral(" ms");
}

qint64 percentile(const QList<qint64> &sorted, double share)
{
    if (sorted.isEmpty())
        return 0;
    const qsizetype at = qsizetype(share * double(sorted.size() - 1) + 0.5);
    return sorted[std::clamp<qsizetype>(at, 0, sorted.size() - 1)];
}

bool isStale(const DrillRun &run, qint64 now)
{
    if (run.host == QSysInfo::machineHostName() && run.pid != ::getpid() &&
        ::kill(pid_t(run.pid), 0) != 0 && errno == ESRCH)
        return true;
    return now - run.aliveAt > kStaleSecs;
}

// Removes a run's performance (with its bookings and audit) and then the rest of it. Only runs
// recorded in drill_runs with the drill's codes get here.
void removeDrill(Storage &storage, const DrillRun &run)
{
    if (!isDrillCode(run.bizcode))
        throw StorageError(QStringLiteral("%1 is no drill performance; it is kept")
                               .arg(run.bizcode)
                               .toStdString());
    storage.clearPerformance(run.bizcode);
    try {
        storage.removePerformance(run.bizcode);
    } catch (const StorageError &) {
        // An audit row written since: removeDrillRun takes it with the rest.
    }
    storage.removeDrillRun(run);
}

void removeLeftovers(Storage &storage)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const DrillRun &run : storage.drillRuns()) {
        if (!isStale(run, now)) {
            err(QStringLiteral("another drill is running: %1 (process %2 on %3)")
                    .arg(run.bizcode)
                    .arg(run.pid)
                    .arg(run.host));
            continue;
        }
        removeDrill(storage, run);
        out(QStringLiteral("removed what an earlier drill left: %1 (process %2 on %3)")
                .arg(run.bizcode)
                .arg(run.pid)
                .arg(run.host));
    }
}

// What became of the scans, for the live line and the final table.
struct Tally
{
    qint64 sent = 0;
    qint64 answered = 0;
    qint64 accepted = 0;
    qint64 refused = 0;
    qint64 unexpected = 0;
    qint64 errors = 0;
    qint64 busy = 0;
    qint64 repeats = 0;
    qint64 unknown = 0;
    qint64 resends = 0;
    QList<qint64> micros;
    QString lastError;

    QList<qint64> sortedMicros() const
    {
        QList<qint64> sorted = micros;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
    QString line() const
    {
        const QList<qint64> sorted = sortedMicros();
        return QStringLiteral("%1 refused, p50 %2, p95 %3, p99 %4, %5 error(s)")
            .arg(number(refused), millis(percentile(sorted, 0.50)),
                 millis(percentile(sorted, 0.95)), millis(percentile(sorted, 0.99)),
                 number(errors));
    }
};

// The scans of a drill: M stations, a pace, what each scan should be answered and what it was.
class DrillRunner : public QObject
{
public:
    DrillRunner(const DrillSettings &settings, const DrillRun &run, const QString &password,
                Storage &storage)
        : m_settings(settings), m_run(run), m_password(password), m_storage(storage),
          m_state(settings.bookings, Ticket::NotYet), m_inFlight(settings.bookings, false)
    {
        connect(&m_stop, &StopSignals::received, this, [this](int signal) {
            if (m_progress)
                m_progress->finish();
            if (!m_stopping)
                err(QStringLiteral("%1: stopping the drill and removing what it made")
                        .arg(QLatin1String(StopSignals::name(signal))));
            m_interrupted = true;
            stop();
        });
        connect(&m_heartbeat, &QTimer::timeout, this, [this] {
            try {
                m_storage.touchDrillRun(m_run.bizcode, QDateTime::currentSecsSinceEpoch());
            } catch (const StorageError &e) {
                err(QStringLiteral("cannot mark the drill alive: %1").arg(e.what()));
            }
        });
        m_heartbeat.start(kHeartbeatMs);
    }

    bool interrupted() const { return m_interrupted; }
    const Tally &tally() const { return m_tally; }
    qint64 elapsedMs() const { return m_scanClock.isValid() ? m_scanClock.elapsed() : 0; }

    // Lays the bookings in slices; false when stopped meanwhile.
    bool addBookings()
    {
        Progress progress(QStringLiteral("bookings"), m_settings.bookings);
        QList<Booking> slice;
        for (int i = 0; i < m_settings.bookings && !m_interrupted; ++i) {
            slice << Booking{m_run.bizcode, ticket(i), QStringLiteral("리허설 %1").arg(i + 1),
                             QStringLiteral("R석"), QStringLiteral("리허설 %1번").arg(i + 1)};
            if (slice.size() == kBookingSlice || i + 1 == m_settings.bookings) {
                m_storage.putBookings(slice);
                slice.clear();
                progress.set(i + 1);
                QCoreApplication::processEvents();
            }
        }
        return !m_interrupted;
    }

    // Signs the stations in, all at once; false when one could not or the drill was stopped.
    bool signIn()
    {
        for (int i = 0; i < m_settings.stations; ++i) {
            auto *station = new DrillStation(m_settings.server, m_settings.tls, this);
            m_stations << station;
            m_pending.append(Pending{});
            connect(station, &DrillStation::signedIn, this, [this](const QString &bizcode) {
                if (bizcode != m_run.bizcode && m_run.ownVenue)
                    err(QStringLiteral("the drill's venue answered performance %1").arg(bizcode));
                if (++m_signedIn == m_stations.size())
                    m_loop.quit();
                else
                    signInNext();
            });
            connect(station, &DrillStation::failed, this,
                    [this, station](const DrillAnswer &answer, const QString &why) {
                        const bool busy = answer.status == 503 || answer.timedOut;
                        // A password check is slow on purpose and the server takes a few at a
                        // time: a gate told "busy" signs in again, as an operator would.
                        if (busy && m_signInRetries++ < kSignInRetries) {
                            QTimer::singleShot(
                                200 + m_random.bounded(400), station, [this, station] {
                                    station->signIn(m_run.operatorId, m_password, m_run.placeCode);
                                });
                            return;
                        }
                        // The drill's operator refused: the server reads another database.
                        if (!m_signInFailed)
                            err(QStringLiteral("a station could not sign in to %1: %2%3")
                                    .arg(m_settings.server.toString(), why,
                                         answer.status == 200
                                             ? u" (does the server serve this --db?)"_qs
                                             : QString()));
                        m_signInFailed = true;
                        m_loop.quit();
                    });
            connect(station, &DrillStation::answered, this,
                    [this, i](const DrillAnswer &a) { onAnswer(i, a); });
        }
        // A few at a time, as gates open one after another.
        for (int i = 0; i < kSignInsAtOnce; ++i)
            signInNext();
        m_loop.exec();
        return !m_signInFailed && !m_interrupted;
    }

    // Scans at the pace until the time is up or the drill is stopped.
    void scan()
    {
        // The one performance the drill may scan: its own, as recorded before it was made.
        const QList<DrillRun> runs = m_storage.drillRuns();
        if (!isDrillCode(m_run.bizcode) ||
            std::none_of(runs.begin(), runs.end(),
                         [&](const DrillRun &r) { return r.bizcode == m_run.bizcode; }))
            throw StorageError(QStringLiteral("%1 is not the drill's own performance; no scan")
                                   .arg(m_run.bizcode)
                                   .toStdString());
        m_progress = std::make_unique<Progress>(QStringLiteral("scans"),
                                                qint64(m_settings.rate * m_settings.seconds),
                                                stdout, QStringLiteral("answered"));
        m_scanClock.start();
        QTimer pace;
        pace.setTimerType(Qt::PreciseTimer);
        connect(&pace, &QTimer::timeout, this, [this] { tick(); });
        pace.start(10);
        m_loop.exec();
        m_progress->finish();
    }

private:
    enum class Ticket { NotYet, Inside, Left, Unsure };
    enum class Kind { None, Ordinary, Repeat, Unknown, Resend };
    struct Pending
    {
        Kind kind = Kind::None;
        int ticket = -1;
        QString expect;
        QString lastCode; // the station's last answer, which a resend must get again
    };

    void signInNext()
    {
        if (m_signInStarted < m_stations.size())
            m_stations[m_signInStarted++]->signIn(m_run.operatorId, m_password, m_run.placeCode);
    }

    static QString ticket(int i) { return QStringLiteral("DRILL%1").arg(i, 7, 10, QChar(u'0')); }

    void stop()
    {
        if (m_stopping)
            return;
        m_stopping = true;
        // Every call is answered within the station's wait; past it nothing the server does
        // for the drill is left to come.
        QTimer::singleShot(kDrainMs, this, [this] {
            for (DrillStation *s : std::as_const(m_stations))
                s->abort();
            m_loop.quit();
        });
        drainCheck();
    }

    void drainCheck()
    {
        if (std::none_of(m_stations.begin(), m_stations.end(),
                         [](const DrillStation *s) { return s->busy(); }))
            m_loop.quit();
    }

    void tick()
    {
        if (m_stopping)
            return;
        const qint64 ms = m_scanClock.elapsed();
        if (ms >= qint64(m_settings.seconds) * 1000) {
            stop();
            return;
        }
        const qint64 due = qint64(double(ms) * m_settings.rate / 1000.0);
        for (int tries = 0; m_tally.sent < due && tries < m_stations.size(); ++tries) {
            const int at = m_next;
            m_next = (m_next + 1) % int(m_stations.size());
            if (!m_stations[at]->busy())
                send(at);
        }
        if (m_noteClock.isValid() && m_noteClock.elapsed() < 500)
            return;
        m_noteClock.start();
        m_progress->setNote(m_tally.line());
        m_progress->set(m_tally.answered);
    }

    // An ordinary scan of the next ticket no other station holds: in, out, in again.
    bool ordinary(DrillStation *station, Pending &pending)
    {
        const int n = m_settings.bookings;
        for (int tries = 0; tries < n; ++tries) {
            const int i = m_cursor;
            m_cursor = (m_cursor + 1) % n;
            if (m_inFlight[i] || m_state[i] == Ticket::Unsure)
                continue;
            const Ticket t = m_state[i];
            pending = {Kind::Ordinary, i,
                       t == Ticket::NotYet   ? QStringLiteral("0")
                       : t == Ticket::Inside ? QStringLiteral("2")
                                             : QStringLiteral("1"),
                       pending.lastCode};
            m_inFlight[i] = true;
            station->scan(t == Ticket::Inside ? QStringLiteral("O") : QStringLiteral("I"),
                          m_run.bizcode, ticket(i));
            return true;
        }
        return false;
    }

    void send(int at)
    {
        DrillStation *station = m_stations[at];
        Pending &pending = m_pending[at];
        const double r = m_random.generateDouble();
        bool sent = false;
        if (r < kUnknownShare) {
            pending = {Kind::Unknown, -1, QStringLiteral("-1"), pending.lastCode};
            station->scan(
                QStringLiteral("I"), m_run.bizcode,
                QStringLiteral("DRILLX%1").arg(m_random.bounded(1000000), 6, 10, QChar(u'0')));
            sent = true;
        } else if (r < kUnknownShare + kRepeatShare) {
            for (int tries = 0; tries < 8 && !sent && !m_admitted.isEmpty(); ++tries) {
                const int i = m_admitted[m_random.bounded(int(m_admitted.size()))];
                if (m_inFlight[i] || m_state[i] != Ticket::Inside)
                    continue;
                pending = {Kind::Repeat, i, QStringLiteral("-2"), pending.lastCode};
                m_inFlight[i] = true;
                station->scan(QStringLiteral("I"), m_run.bizcode, ticket(i));
                sent = true;
            }
        } else if (r < kUnknownShare + kRepeatShare + kResendShare && station->hasLast() &&
                   !pending.lastCode.isEmpty()) {
            pending = {Kind::Resend, -1, pending.lastCode, pending.lastCode};
            station->resendLast();
            sent = true;
        }
        if (!sent && !ordinary(station, pending))
            return;
        ++m_tally.sent;
    }

    void onAnswer(int at, const DrillAnswer &a)
    {
        Pending &pending = m_pending[at];
        const int i = pending.ticket;
        if (i >= 0)
            m_inFlight[i] = false;
        ++m_tally.answered;
        if (a.status == 200) {
            m_tally.micros << a.micros;
            const bool refused = a.code == QLatin1String("-1") || a.code == QLatin1String("-2");
            ++(refused ? m_tally.refused : m_tally.accepted);
            if (a.code != pending.expect)
                ++m_tally.unexpected;
            pending.lastCode = a.code;
            switch (pending.kind) {
            case Kind::Ordinary:
                if (a.code == pending.expect && a.code == QLatin1String("2")) {
                    m_state[i] = Ticket::Left;
                } else if (a.code == pending.expect) {
                    m_state[i] = Ticket::Inside;
                    // The holders a repeat is drawn from: the latest admitted.
                    if (m_admitted.size() < kAdmittedKept)
                        m_admitted << i;
                    else
                        m_admitted[m_random.bounded(kAdmittedKept)] = i;
                } else
                    m_state[i] = Ticket::Unsure;
                break;
            case Kind::Repeat:
                ++m_tally.repeats;
                break;
            case Kind::Unknown:
                ++m_tally.unknown;
                break;
            case Kind::Resend:
                ++m_tally.resends;
                break;
            case Kind::None:
                break;
            }
        } else {
            ++m_tally.errors;
            if (a.status == 503)
                ++m_tally.busy;
            m_tally.lastError = a.error;
            // Whether the server took it is not known: the ticket's state is no longer ours to
            // predict, and the station starts afresh.
            if (pending.kind == Kind::Ordinary)
                m_state[i] = Ticket::Unsure;
            pending.lastCode.clear();
        }
        if (m_stopping)
            drainCheck();
    }

    DrillSettings m_settings;
    DrillRun m_run;
    QString m_password;
    Storage &m_storage;
    StopSignals m_stop;
    QTimer m_heartbeat;
    QEventLoop m_loop;
    QList<DrillStation *> m_stations;
    QList<Pending> m_pending;
    QList<Ticket> m_state;
    QList<bool> m_inFlight;
    QList<int> m_admitted;
    qsizetype m_signedIn = 0;
    qsizetype m_signInStarted = 0;
    int m_signInRetries = 0;
    bool m_signInFailed = false;
    int m_cursor = 0;
    int m_next = 0;
    bool m_stopping = false;
    bool m_interrupted = false;
    Tally m_tally;
    std::unique_ptr<Progress> m_progress;
    QElapsedTimer m_scanClock;
    QElapsedTimer m_noteClock;
    QRandomGenerator m_random{QRandomGenerator::securelySeeded()};
};

void printTable(const DrillSettings &s, const Tally &t, qint64 elapsedMs, qint64 auditRows)
{
    const QList<qint64> sorted = t.sortedMicros();
    const double secs = std::max<double>(double(elapsedMs) / 1000.0, 0.001);
    const QList<std::pair<QString, QString>> rows = {
        {u"stations"_qs, number(s.stations)},
        {u"seconds"_qs, QString::number(secs, 'f', 1)},
        {u"scans"_qs, number(t.sent)},
        {u"per second"_qs, QString::number(double(t.answered) / secs, 'f', 1)},
        {u"accepted"_qs, number(t.accepted)},
        {u"refused"_qs, number(t.refused)},
        {u"repeats"_qs, number(t.repeats)},
        {u"unknown tickets"_qs, number(t.unknown)},
        {u"resent"_qs, number(t.resends)},
        {u"unexpected"_qs, number(t.unexpected)},
        {u"errors"_qs, number(t.errors)},
        {u"busy"_qs, number(t.busy)},
        {u"audit rows"_qs, number(auditRows)},
        {u"p50"_qs, millis(percentile(sorted, 0.50))},
        {u"p95"_qs, millis(percentile(sorted, 0.95))},
        {u"p99"_qs, millis(percentile(sorted, 0.99))},
        {u"max"_qs, millis(sorted.isEmpty() ? 0 : sorted.last())},
    };
    for (const auto &[name, value] : rows)
        out(QStringLiteral("%1%2").arg(name, -17).arg(value));
    if (!t.lastError.isEmpty())
        out(QStringLiteral("last error       %1").arg(t.lastError));
}

} // namespace

int runDrill(Storage &storage, const DrillSettings &s)
{
    removeLeftovers(storage);
    std::optional<Venue> realVenue;
    if (!s.venue.isEmpty() && !(realVenue = storage.findVenue(s.venue)))
        notFound(u"venue"_qs, s.venue);

    const QDateTime now = QDateTime::currentDateTime();
    const QString code = QLatin1String(kDrillPrefix) + now.toString(u"yyMMdd-HHmmss"_qs) + u'-' +
                         QString::number(QRandomGenerator::system()->bounded(0x10000), 16);
    DrillRun run{code,
                 code,
                 realVenue ? realVenue->placeCode : code,
                 !realVenue,
                 QSysInfo::machineHostName(),
                 ::getpid(),
                 now.toSecsSinceEpoch(),
                 now.toSecsSinceEpoch()};
    QByteArray secret(24, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(secret.data()),
                                         reinterpret_cast<quint32 *>(secret.data() + 24));
    const QString password = QString::fromLatin1(secret.toBase64(QByteArray::Base64UrlEncoding));

    // Takes Ctrl-C and SIGTERM from here on, until the removal below is done.
    DrillRunner runner(s, run, password, storage);
    // Recorded before anything is made, so that nothing is made that cannot be found again.
    storage.addDrillRun(run);
    auto cleanup = qScopeGuard([&] {
        try {
            removeDrill(storage, run);
            out(QStringLiteral("removed the drill's performance, bookings, operator and audit (%1)")
                    .arg(run.bizcode));
        } catch (const std::exception &e) {
            err(QStringLiteral("could not remove drill %1: %2; the next drill removes it")
                    .arg(run.bizcode, QString::fromUtf8(e.what())));
        }
    });

    if (run.ownVenue)
        storage.putVenue({run.placeCode, QStringLiteral("리허설 공연장")});
    storage.putPerformance({run.bizcode, run.placeCode, QStringLiteral("게이트 리허설"),
                            now.toString(u"yyyyMMddHHmm"_qs), QStringLiteral("리허설")});
    if (!storage.addOperator({run.operatorId, hashPassword(password), run.placeCode}))
        throw StorageError(
            QStringLiteral("operator %1 exists already").arg(run.operatorId).toStdString());
    out(QStringLiteral("drill %1: %2 booking(s), %3 station(s) on %4, %5 s at %6 scans/s")
            .arg(run.bizcode, number(s.bookings), number(s.stations),
                 s.server.toString(QUrl::RemoveUserInfo), number(s.seconds))
            .arg(s.rate));
    if (!runner.addBookings() || !runner.signIn())
        return 1;
    out(QStringLiteral("%1 station(s) signed in; scanning").arg(s.stations));
    runner.scan();
    printTable(s, runner.tally(), runner.elapsedMs(), storage.scanCount(run.bizcode));
    return runner.interrupted() || runner.tally().errors > 0 || runner.tally().unexpected > 0 ? 1
                                                                                              : 0;
}

} // namespace qav
