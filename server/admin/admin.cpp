#include "admin.h"

#include "bookingfile.h"
#include "cli.h"
#include "dashboard.h"
#include "demoseed.h"
#include "housekeeping.h"
#include "httpfront.h"
#include "memberroutes.h"
#include "memberobject.h"
#include "passwords.h"
#include "printable.h"
#include "season.h"
#include "serverlog.h"
#include "sessionkeys.h"
#include "signinguard.h"
#include "stopsignals.h"
#include "storage.h"
#include "tls.h"
#include "textdecode.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>

namespace qav {

using namespace cli;

namespace {

// "12h", "90m", "45s" as seconds; 0 when unreadable.
qint64 parseDuration(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,7})([smh])$"));
    const auto m = re.match(text.trimmed());
    if (!m.hasMatch())
        return 0;
    const qint64 n = m.captured(1).toLongLong();
    const QChar unit = m.captured(2).at(0);
    return unit == u'h' ? n * 3600 : unit == u'm' ? n * 60 : n;
}

QString localTime(qint64 secs)
{
    return QDateTime::fromSecsSinceEpoch(secs).toString(u"yyyy-MM-dd HH:mm:ss"_qs);
}

QString parseStart(const QString &text)
{
    for (const QString &format : {u"yyyyMMddHHmm"_qs, u"yyyy-MM-dd HH:mm"_qs, u"yyyy-MM-ddTHH:mm"_qs}) {
        const QDateTime t = QDateTime::fromString(text, format);
        if (t.isValid())
            return t.toString(u"yyyyMMddHHmm"_qs);
    }
    throw UsageError{QStringLiteral("bad date-time '%1': use YYYYMMDDhhmm or \"YYYY-MM-DD hh:mm\"").arg(text)};
}

// A positive whole number given to an option.
int positiveOption(const QCommandLineParser &p, const QCommandLineOption &option)
{
    bool ok = false;
    const int value = p.value(option).toInt(&ok);
    if (!ok || value <= 0)
        throw UsageError{QStringLiteral("bad %1 '%2': expected a positive whole number")
                             .arg(option.names().constLast(), p.value(option))};
    return value;
}

// Descriptors are what a busy server runs out of first; the soft limit is often far below what
// the system allows the process.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int cmdServe(const QStringList &args)
{
    constexpr int kStopBoundMs = 10000;
    const HttpLimits defaults;
    QCommandLineParser p;
    const QCommandLineOption port({u"p"_qs, u"port"_qs}, u"TCP port (default 8470, 0 picks a free one)."_qs,
                                  u"port"_qs, u"8470"_qs);
    const QCommandLineOption bindOpt(u"bind"_qs, u"Address to listen on (default 127.0.0.1)."_qs,
                                     u"address"_qs, u"127.0.0.1"_qs);
    const QCommandLineOption images(u"images"_qs, u"Folder with venue logos logo_<place code>.jpg."_qs,
                                    u"dir"_qs);
    const QCommandLineOption quiet(u"quiet"_qs, u"Do not log each request."_qs);
    const QCommandLineOption idle(
        u"session-idle"_qs,
        u"A signed-in session ends after this long unused, e.g. 12h, 90m (default 12h)."_qs,
        u"time"_qs, u"12h"_qs);
    const QCommandLineOption connections(
        u"db-connections"_qs,
        u"Database connections (worker threads) for requests (default 16); sign-ins use two more."_qs,
        u"n"_qs, u"16"_qs);
    const QCommandLineOption tlsCert(
        u"tls-cert"_qs, u"Serve HTTPS with this PEM certificate (chain, own first)."_qs,
        u"file"_qs);
    const QCommandLineOption tlsKey(u"tls-key"_qs, u"The PEM private key of --tls-cert."_qs,
                                    u"file"_qs);
    const QCommandLineOption maxConnections(
        u"max-connections"_qs,
        QStringLiteral("Open connections at most (default %1); beyond it a new one gets 503.")
            .arg(defaults.maxConnections),
        u"n"_qs, QString::number(defaults.maxConnections));
    const QCommandLineOption perAddress(
        u"max-connections-per-address"_qs,
        QStringLiteral("Open connections from one client address at most (default %1).")
            .arg(defaults.maxPerAddress),
        u"n"_qs, QString::number(defaults.maxPerAddress));
    const QCommandLineOption hostNames(
        u"host-name"_qs,
        u"A name the dashboard is reached by besides localhost and this machine's own names and "
        "addresses (repeat, or separate with commas)."_qs,
        u"name"_qs);
    const QCommandLineOption idleTimeout(
        u"idle-timeout"_qs,
        QStringLiteral("Seconds a connection may stay silent, or take to send one request "
                       "(default %1).")
            .arg(defaults.idleTimeoutMs / 1000),
        u"seconds"_qs, QString::number(defaults.idleTimeoutMs / 1000));
    const QCommandLineOption keepDays(
        u"keep-days"_qs,
        u"Days to keep sign-in attempts and refusals without a session (default 90)."_qs,
        u"days"_qs, u"90"_qs);
    QCommandLineOption constant(u"constant-answer"_qs, u"Answer a fixed record set (benchmark)."_qs);
    constant.setFlags(QCommandLineOption::HiddenFromHelp);
    // Lets a test play minutes of sign-in attempts in seconds.
    QCommandLineOption clockScale(u"sign-in-clock-scale"_qs,
                                  u"Run the sign-in throttle's clock this many times as fast."_qs,
                                  u"factor"_qs, u"1"_qs);
    clockScale.setFlags(QCommandLineOption::HiddenFromHelp);
    if (!parseCommand(p, args,
                      u"Serve the business object over HTTP, or HTTPS with --tls-cert and --tls-key. "
                      "Logs to standard error; SIGTERM or SIGINT finishes the requests under way "
                      "and stops."_qs,
                      {dbOption, port, bindOpt, images, quiet, idle, connections, maxConnections,
                       perAddress, hostNames, idleTimeout, tlsCert, tlsKey, keepDays, constant,
                       clockScale},
                      {}, true))
        return 0;
    if (p.isSet(tlsCert) != p.isSet(tlsKey))
        throw UsageError{QStringLiteral("--tls-cert and --tls-key go together")};

    bool portOk = false;
    const uint portNumber = p.value(port).toUInt(&portOk);
    if (!portOk || portNumber > 65535)
        throw UsageError{QStringLiteral("bad port '%1'").arg(p.value(port))};
    QHostAddress address;
    const QString bindText = p.value(bindOpt);
    if (bindText == QLatin1String("localhost"))
        address = QHostAddress::LocalHost;
    else if (!address.setAddress(bindText))
        throw UsageError{QStringLiteral("bad address '%1'").arg(bindText)};

    HttpFront::Options options;
    MemberRouteOptions gate;
    gate.imagesDir = p.value(images);
    options.constantAnswer = gate.constantAnswer = p.isSet(constant);
    gate.sessionIdleSecs = parseDuration(p.value(idle));
    if (gate.sessionIdleSecs <= 0)
        throw UsageError{QStringLiteral("bad --session-idle '%1': use e.g. 12h, 90m or 600s")
                             .arg(p.value(idle))};
    if (p.isSet(tlsCert)) {
        QString tlsError;
        options.tls = loadServerTls(p.value(tlsCert), secretFile(p.value(tlsKey)), &tlsError);
        if (!options.tls) {
            err(tlsError);
            return 1;
        }
    }
    options.limits.maxConnections = positiveOption(p, maxConnections);
    options.limits.maxPerAddress = positiveOption(p, perAddress);
    options.limits.idleTimeoutMs = positiveOption(p, idleTimeout) * 1000;
    options.limits.maxBody = kMaxCommandBytes;
    options.limits.busyText = QString::fromUtf8(kBusyText);
    const int keepForDays = positiveOption(p, keepDays);
    setSignInClockScale(positiveOption(p, clockScale));
    installServerLog(p.isSet(quiet));
    raiseDescriptorLimit();

    const QString dbUrl = databaseUrl(p);
    const QString dbPassword = databasePassword(p);
    bool connectionsOk = false;
    options.workers = p.value(connections).toInt(&connectionsOk);
    if (!connectionsOk || options.workers < 1 || options.workers > 256)
        throw UsageError{QStringLiteral("bad number of connections '%1' (1 to 256)").arg(p.value(connections))};
    QString where = QStringLiteral("none (constant answers)");
    if (!options.constantAnswer) {
        // Fail now, not on the first scan, when the database cannot be used.
        auto storage = openAndInit(p);
        where = storage->describe();
    }
    // Made now, so that the first sign-in with an unknown id takes no longer than any other.
    dummyPasswordHash();
    HttpFront front([dbUrl, dbPassword] { return openStorage(dbUrl, dbPassword, StorageUse::Serving); }, options);
    addMemberRoutes(front.routes(), gate);
    if (!options.constantAnswer)
        dashboard::addRoutes(front.routes(),
                             HostNames::ofThisMachine(address, p.values(hostNames).join(u',').split(
                                                                   u',', Qt::SkipEmptyParts)));
    std::optional<Housekeeping> housekeeping;
    if (!options.constantAnswer)
        housekeeping.emplace(
            [dbUrl, dbPassword] { return openStorage(dbUrl, dbPassword, StorageUse::Serving); },
            keepForDays);
    QString listenError;
    const quint16 actual = front.listenOn(address, quint16(portNumber), &listenError);
    if (actual == 0) {
        err(QStringLiteral("cannot listen on %1:%2: %3").arg(bindText).arg(portNumber).arg(listenError));
        return 1;
    }

    StopSignals stopSignals;
    int stopSignal = 0;
    bool gaveUp = false;
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&stopSignals, &StopSignals::received, &front, [&](int signal) {
        if (stopSignal != 0) {
            gaveUp = true; // asked twice: stop without waiting
            QCoreApplication::exit(0);
            return;
        }
        stopSignal = signal;
        bound.start(kStopBoundMs);
        front.stop();
    });
    QObject::connect(&bound, &QTimer::timeout, &front, [&] {
        gaveUp = true;
        QCoreApplication::exit(0);
    });
    QObject::connect(&front, &HttpFront::stopped, &front, [] { QCoreApplication::exit(0); });

    if (!options.tls && !address.isLoopback())
        qCWarning(lcServer).noquote()
            << QStringLiteral(
                   "serving plain HTTP on %1, which is not a loopback address: passwords "
                   "and session keys cross the network readable (give --tls-cert and "
                   "--tls-key)")
                   .arg(address.toString());
    qCInfo(lcServer).noquote() << QStringLiteral("listening on %1://%2:%3 database %4")
                                      .arg(options.tls ? u"https"_qs : u"http"_qs, address.toString())
                                      .arg(actual)
                                      .arg(where);
    const int code = QCoreApplication::exec();
    front.shutDown();
    if (gaveUp)
        qCWarning(lcServer).noquote()
            << "stopped on" << StopSignals::name(stopSignal)
            << "without waiting for the requests still under way; database closed";
    else
        qCInfo(lcServer).noquote() << "stopped on" << StopSignals::name(stopSignal)
                                   << "after the requests under way were answered; database closed";
    return code;
}

int cmdInitDb(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Create the database and its tables, or bring an older database's tables up "
                      "to date (safe to repeat). The only command that creates a SQLite file."_qs,
                      {dbOption}, {}))
        return 0;
    auto storage = openAndInit(p, true);
    out(QStringLiteral("database ready: %1").arg(storage->describe()));
    return 0;
}

int cmdAddVenue(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Add or rename a venue."_qs, {dbOption},
                      {u"place-code|Code the station signs in with, e.g. 1234."_qs,
                       u"theater-name|Name shown on the station."_qs}))
        return 0;
    const QStringList pos = p.positionalArguments();
    checkCode(u"place code"_qs, pos[0]);
    if (pos[1].trimmed().isEmpty())
        throw UsageError{u"the theater name must not be empty"_qs};
    auto storage = openAndInit(p);
    storage->putVenue({pos[0], pos[1]});
    out(QStringLiteral("venue %1 %2 saved").arg(pos[0], pos[1]));
    return 0;
}

int cmdAddPerformance(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Add or change a performance."_qs, {dbOption},
                      {u"bizcode|Business code of the performance."_qs,
                       u"place-code|Venue it takes place in."_qs, u"goods-name|Title of the show."_qs,
                       u"starts-at|Start as YYYYMMDDhhmm or \"YYYY-MM-DD hh:mm\"."_qs,
                       u"place-name|Hall inside the venue."_qs}))
        return 0;
    const QStringList pos = p.positionalArguments();
    checkCode(u"business code"_qs, pos[0]);
    const QString start = parseStart(pos[3]);
    auto storage = openAndInit(p);
    if (!storage->findVenue(pos[1]))
        notFound(u"venue"_qs, pos[1]);
    storage->putPerformance({pos[0], pos[1], pos[2], start, pos[4]});
    out(QStringLiteral("performance %1 saved").arg(pos[0]));
    return 0;
}

int cmdAddOperator(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption venue(u"venue"_qs, u"Place code of the operator's venue."_qs, u"code"_qs);
    if (!parseCommand(p, args,
                      u"Add an operator; an existing id is refused (see set-password). The password "
                      "(at least 8 characters) is read from the terminal without echo, or as the "
                      "first line of standard input."_qs,
                      {dbOption, venue}, {u"operator-id|Id typed at the station."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    if (id.trimmed().isEmpty() || id != id.trimmed())
        throw UsageError{u"the operator id must not be empty or carry blanks at its ends"_qs};
    if (!p.isSet(venue))
        throw UsageError{u"--venue <place code> is required"_qs};
    auto storage = openAndInit(p);
    if (!storage->findVenue(p.value(venue)))
        notFound(u"venue"_qs, p.value(venue));
    if (storage->findOperator(id))
        throw UsageError{
            QStringLiteral("operator %1 exists already (set-password changes its password)").arg(id)};
    const QString password = readPassword();
    checkPassword(password);
    if (!storage->addOperator({id, hashPassword(password), p.value(venue)}))
        throw UsageError{QStringLiteral("operator %1 exists already").arg(id)};
    out(QStringLiteral("operator %1 added").arg(id));
    return 0;
}

int cmdAddAdmin(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption venue(u"place-code"_qs, u"Limit the admin to this venue."_qs,
                                   u"code"_qs);
    const QCommandLineOption everyVenue(u"every-venue"_qs, u"Let the admin see every venue."_qs);
    if (!parseCommand(
            p, args,
            u"Add a dashboard admin, or set a new password (which also enables a disabled "
            "admin and ends its open sessions). A new admin sees every venue unless "
            "--place-code limits it; an existing admin's venue changes only with "
            "--place-code or --every-venue. The password (at least 8 characters) is read "
            "from the terminal without echo, or as the first line of standard input."_qs,
            {dbOption, venue, everyVenue},
            {u"admin-id|Id typed on the dashboard's sign-in page."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    if (id.trimmed().isEmpty() || id != id.trimmed())
        throw UsageError{u"the admin id must not be empty or carry blanks at its ends"_qs};
    if (p.isSet(venue) && p.isSet(everyVenue))
        throw UsageError{u"--place-code and --every-venue exclude each other"_qs};
    auto storage = openAndInit(p);
    if (p.isSet(venue) && !storage->findVenue(p.value(venue)))
        notFound(u"venue"_qs, p.value(venue));
    const std::optional<AdminRecord> existing = storage->findAdmin(id);
    const QString placeCode = p.isSet(venue)                     ? p.value(venue)
                              : existing && !p.isSet(everyVenue) ? existing->placeCode
                                                                 : QString();
    const QString password = readPassword();
    checkPassword(password);
    storage->putAdmin({id, hashPassword(password), placeCode});
    out(QStringLiteral("admin %1 %2 (%3)")
            .arg(id, existing ? u"saved with a new password"_qs : u"added"_qs,
                 placeCode.isEmpty() ? u"every venue"_qs : u"venue "_qs + placeCode));
    return 0;
}

int cmdListAdmins(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"List the dashboard admins."_qs, {dbOption, csvOption}, {}))
        return 0;
    QList<QStringList> rows;
    for (const AdminRecord &a : openAndInit(p)->admins())
        rows << QStringList{a.id, a.placeCode.isEmpty() ? u"*"_qs : a.placeCode,
                            a.disabled() ? u"yes"_qs : u"no"_qs};
    printRows(p, {u"admin_id"_qs, u"place_code"_qs, u"disabled"_qs}, rows);
    return 0;
}

int cmdDisableAdmin(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Disable a dashboard admin and end its sessions; add-admin with a new "
                      "password enables it again."_qs,
                      {dbOption}, {u"admin-id|Id of the admin."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    std::optional<AdminRecord> admin = storage->findAdmin(id);
    if (!admin)
        notFound(u"admin"_qs, id);
    if (admin->disabled()) {
        out(QStringLiteral("admin %1 was disabled already").arg(id));
        return 0;
    }
    admin->passwordHash.prepend('!');
    storage->putAdmin(*admin);
    out(QStringLiteral("admin %1 disabled").arg(id));
    return 0;
}

int cmdRemoveAdmin(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Remove a dashboard admin and its sessions."_qs, {dbOption},
                      {u"admin-id|Id of the admin."_qs}))
        return 0;
    const QString id = p.positionalArguments()[0];
    if (!openAndInit(p)->removeAdmin(id))
        notFound(u"admin"_qs, id);
    out(QStringLiteral("admin %1 removed").arg(id));
    return 0;
}

// Set by SIGINT and SIGTERM while an import writes, which then stops between two slices.
volatile std::sig_atomic_t g_importStop = 0;

extern "C" void stopImport(int)
{
    g_importStop = 1;
}

int cmdImportBookings(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption encodingOpt(u"encoding"_qs,
                                         u"Encoding of the file (UTF-8, UTF-16, CP949, EUC-KR, ...). "
                                         "Default: found out from a byte order mark, else UTF-8 when "
                                         "valid, else CP949."_qs,
                                         u"name"_qs);
    const QCommandLineOption dryRun(u"dry-run"_qs,
                                    u"Read and check the file and say what would change; change nothing."_qs);
    if (!parseCommand(p, args,
                      u"Import bookings from a CSV or tab-separated file (as spreadsheets save "
                      "them). A first line naming the columns, in English or Korean, may put them "
                      "in any order:\n  "_qs +
                          bookingColumnNames().join(u"\n  "_qs) +
                          u"\nWithout one the fields are bizcode,ticket_no,cust_name,seat_grade,"
                          "seat_info[,cancelled] (cancelled: 0/1). Existing tickets are updated, "
                          "their admission state kept. Nothing is imported when any line is bad."_qs,
                      {dbOption, encodingOpt, dryRun}, {u"csv|File to import."_qs}))
        return 0;
    const QString path = p.positionalArguments()[0];
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return 1;
    }
    auto storage = openAndInit(p);

    DecodedText text;
    try {
        text = decodeLines(file.readAll(), p.value(encodingOpt));
    } catch (const DecodeError &e) {
        if (e.line == 0)
            throw UsageError{e.text};
        err(QStringLiteral("%1: line %2: %3; nothing imported").arg(path).arg(e.line).arg(e.text));
        return 1;
    }
    BookingFile read = readBookingLines(text.lines);

    // What is there already, per performance named: unknown ones are bad lines.
    QHash<QString, QHash<QString, BookingRecord>> existing;
    for (qsizetype i = 0; i < read.bookings.size(); ++i) {
        const QString &bizcode = read.bookings[i].bizcode;
        if (existing.contains(bizcode))
            continue;
        if (!storage->findPerformance(bizcode)) {
            read.problems << QStringLiteral("line %1: unknown performance '%2'").arg(read.lineOf[i]).arg(bizcode);
            existing.insert(bizcode, {});
            continue;
        }
        QHash<QString, BookingRecord> &byTicket = existing[bizcode];
        for (const BookingRecord &r : storage->bookings(bizcode))
            byTicket.insert(r.booking.ticketNo, r);
    }
    if (!read.problems.isEmpty()) {
        std::stable_sort(read.problems.begin(), read.problems.end(), [](const QString &a, const QString &b) {
            return a.section(u' ', 1, 1).remove(u':').toInt() < b.section(u' ', 1, 1).remove(u':').toInt();
        });
        for (const QString &problem : std::as_const(read.problems))
            err(QStringLiteral("%1: %2").arg(path, problem));
        err(QStringLiteral("%1 bad line(s); nothing imported").arg(read.problems.size()));
        return 1;
    }
    if (!read.skippedColumns.isEmpty())
        err(QStringLiteral("skipped column(s): %1").arg(read.skippedColumns.join(u", "_qs)));

    QList<Booking> toWrite;
    qsizetype added = 0;
    QStringList admittedCancelled;
    for (const Booking &b : std::as_const(read.bookings)) {
        const auto old = existing[b.bizcode].constFind(b.ticketNo);
        if (old == existing[b.bizcode].constEnd()) {
            ++added;
        } else {
            const Booking &o = old->booking;
            if (o.custName == b.custName && o.seatGrade == b.seatGrade && o.seatInfo == b.seatInfo &&
                o.cancelled == b.cancelled)
                continue;
            if (b.cancelled && !o.cancelled && old->entries > 0)
                admittedCancelled << b.ticketNo;
        }
        toWrite << b;
    }
    const QString counts =
        QStringLiteral("%1 new, %2 changed, %3 unchanged")
            .arg(added)
            .arg(toWrite.size() - added)
            .arg(read.bookings.size() - toWrite.size());
    if (!admittedCancelled.isEmpty())
        err(QStringLiteral("%1 booking(s) %2 cancelled although admitted already: %3%4")
                .arg(admittedCancelled.size())
                .arg(p.isSet(dryRun) ? u"would be"_qs : u"are"_qs)
                .arg(admittedCancelled.mid(0, 10).join(u", "_qs),
                     admittedCancelled.size() > 10 ? u", ..."_qs : QString()));
    if (p.isSet(dryRun)) {
        out(QStringLiteral("dry run, nothing changed: %1 booking(s) read (%2): %3")
                .arg(read.bookings.size())
                .arg(text.encoding, counts));
        return 0;
    }

    // Written in slices, each committed: an interruption stops between two of them, and the same
    // file imported again writes only what is missing.
    constexpr qsizetype kSlice = 1000;
    struct sigaction stop{}, oldInt{}, oldTerm{};
    stop.sa_handler = stopImport;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    g_importStop = 0;
    ::sigaction(SIGINT, &stop, &oldInt);
    ::sigaction(SIGTERM, &stop, &oldTerm);
    auto restore = qScopeGuard([&] {
        ::sigaction(SIGINT, &oldInt, nullptr);
        ::sigaction(SIGTERM, &oldTerm, nullptr);
    });
    for (qsizetype from = 0; from < toWrite.size(); from += kSlice) {
        if (g_importStop) {
            err(QStringLiteral("interrupted: %1 of %2 booking(s) to write are in, the rest is not. "
                               "Import the same file again to complete it: what is in already is "
                               "kept, never doubled")
                    .arg(from)
                    .arg(toWrite.size()));
            return 1;
        }
        storage->putBookings(toWrite.mid(from, kSlice));
    }
    out(QStringLiteral("%1 booking(s) imported (%2): %3").arg(read.bookings.size()).arg(text.encoding, counts));
    return 0;
}

int cmdSeedDemo(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args,
                      u"Lay out the demo venue 1234 with today's performance, operators "
                      "gate01..gate03 and dashboard admin admin (password = id) and 300 bookings. "
                      "Safe to repeat; refused on a database that holds anything else."_qs,
                      {dbOption}, {}))
        return 0;
    auto storage = openAndInit(p);
    const QString foreign = nonDemoData(*storage);
    if (!foreign.isEmpty()) {
        err(QStringLiteral("%1 holds more than the demo (%2): seed-demo only lays out a demo database")
                .arg(storage->describe(), foreign));
        return 1;
    }
    seedDemo(*storage);
    out(QStringLiteral("demo seeded in %1: place code %2, bizcode %3, operators gate01..gate03,"
                       " dashboard admin %4")
            .arg(storage->describe(), QString::fromUtf8(demo::kPlaceCode),
                 QString::fromUtf8(demo::kTodayBizcode), QString::fromUtf8(demo::kAdmin)));
    return 0;
}

int cmdSummary(const QStringList &args)
{
    QCommandLineParser p;
    if (!parseCommand(p, args, u"Print the counters of a performance."_qs, {dbOption},
                      {u"bizcode|Business code of the performance."_qs}))
        return 0;
    const QString bizcode = p.positionalArguments()[0];
    auto storage = openAndInit(p);
    const RecordSet rs = MemberObject(*storage).run({QString::fromLatin1(kBookingProc),
                                                     {u"S"_qs, bizcode, {}, {}, {}}});
    if (rs.rows.isEmpty())
        notFound(u"performance"_qs, bizcode);
    const auto perf = storage->findPerformance(bizcode);
    out(QStringLiteral("%1 %2 %3").arg(bizcode, perf->goodsName, perf->startsAt));
    for (const QString &column : MemberObject::summaryColumns().mid(2))
        out(rs.value(column));
    return 0;
}

int cmdSessions(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption op(u"operator"_qs, u"Only this operator's sessions."_qs, u"id"_qs);
    if (!parseCommand(
            p, args,
            u"List the signed-in sessions: id, operator, venue, address, signed in, last used."_qs,
            {dbOption, op}, {}))
        return 0;
    auto storage = openAndInit(p);
    if (p.isSet(op) && !storage->findOperator(p.value(op)))
        notFound(u"operator"_qs, p.value(op));
    const QList<SessionRecord> list = storage->sessions(p.value(op));
    for (const SessionRecord &s : list)
        out(QStringLiteral("%1  %2  %3  %4  signed in %5  last used %6")
                .arg(s.shortId(), s.operatorId, s.placeCode, s.clientAddress,
                     localTime(s.createdAt), localTime(s.lastUsedAt)));
    out(QStringLiteral("%1 session(s)").arg(list.size()));
    return 0;
}

int cmdRevokeSession(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption op(u"operator"_qs,
                                u"Revoke every session of this operator instead."_qs, u"id"_qs);
    p.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const bool all = args.contains(u"--operator"_qs) || args.filter(u"--operator="_qs).size() > 0;
    if (!parseCommand(
            p, args,
            u"End a signed-in session (its id as listed by 'sessions'), or with --operator every "
            "session of an operator. The station then has to sign in again."_qs,
            {dbOption, op},
            all ? QStringList{} : QStringList{u"session-id|Id shown by 'sessions'."_qs}))
        return 0;
    auto storage = openAndInit(p);
    if (p.isSet(op)) {
        if (!storage->findOperator(p.value(op)))
            notFound(u"operator"_qs, p.value(op));
        const int n = storage->revokeSessions(p.value(op));
        out(QStringLiteral("%1 session(s) of %2 revoked").arg(n).arg(p.value(op)));
        return 0;
    }
    const QString id = p.positionalArguments()[0].trimmed().toLower();
    if (id.size() < 6)
        throw UsageError{u"give at least 6 characters of the session id"_qs};
    QList<SessionRecord> matches;
    for (const SessionRecord &s : storage->sessions())
        if (s.keyHash.startsWith(id))
            matches << s;
    if (matches.isEmpty())
        notFound(u"session"_qs, id);
    if (matches.size() > 1) {
        err(QStringLiteral("'%1' names %2 sessions; give more of the id")
                .arg(id)
                .arg(matches.size()));
        return 1;
    }
    storage->revokeSession(matches[0].keyHash);
    out(QStringLiteral("session %1 of %2 revoked")
            .arg(matches[0].shortId(), matches[0].operatorId));
    return 0;
}

int cmdSignIns(const QStringList &args)
{
    QCommandLineParser p;
    const QCommandLineOption last(u"last"_qs, u"How many of the newest attempts (default 50)."_qs,
                                  u"n"_qs, u"50"_qs);
    if (!parseCommand(p, args, u"List the newest sign-in attempts: time, id, address, result."_qs,
                      {dbOption, last}, {}))
        return 0;
    bool ok = false;
    const int n = p.value(last).toInt(&ok);
    if (!ok || n <= 0)
        throw UsageError{QStringLiteral("bad --last '%1'").arg(p.value(last))};
    auto storage = openAndInit(p);
    for (const SignInAttempt &a : storage->signInLog(n))
        out(QStringLiteral("%1  %2  %3  %4")
                .arg(a.attemptedAt, printable(a.operatorId), a.clientAddress, printable(a.result)));
    // Refusals before any sign-in are kept as counts per address and minute, their last text
    // stored already escaped.
    for (const RefusalCount &c : storage->refusalCounts(n))
        out(QStringLiteral("%1     %2  %3  refused %4 x%5, last: %6")
                .arg(c.minute, u"-"_qs, c.clientAddress, c.what)
                .arg(c.count)
                .arg(c.lastText));
    return 0;
}

QString usage()
{
    QString text = QStringLiteral(
        "Usage: qav-server <command> [options]\n"
        "\n"
        "Commands:\n"
        "  serve               serve the business object over HTTP(S) (default port 8470)\n"
        "  init-db             create the database or bring its tables up to date\n"
        "  add-venue           add or rename a venue\n"
        "  add-performance     add or change a performance\n"
        "  add-operator        add an operator\n"
        "  add-admin           add a dashboard admin or set a new password\n"
        "  list-admins         list the dashboard admins\n"
        "  disable-admin       stop a dashboard admin from signing in\n"
        "  remove-admin        remove a dashboard admin\n"
        "  import-bookings     import bookings from a CSV file\n"
        "  seed-demo           lay out the demo venue, operators and bookings\n"
        "  summary             print the counters of a performance\n"
        "  sessions            list signed-in sessions\n"
        "  revoke-session      end one session, or all of an operator\n"
        "  sign-ins            list the newest sign-in attempts\n");
    for (const AdminCommand &c : seasonCommands())
        text += QStringLiteral("  %1%2\n")
                    .arg(QString::fromLatin1(c.name), -20)
                    .arg(QString::fromLatin1(c.summary));
    text += QStringLiteral(
        "\nEvery command takes --db <url>, --config <file> and --help. Without either, the\n"
        "service's /etc/qav/qav-server.conf is read when it exists, else qav.db here is used;\n"
        "every command but init-db refuses a SQLite file that does not exist.\n"
        "qav-server --version prints the version.\n");
    return text;
}

} // namespace

int runAdmin(const QStringList &arguments)
{
    const QString command = arguments.value(1);
    if (command.isEmpty() || command == QLatin1String("--help") || command == QLatin1String("-h")
        || command == QLatin1String("help")) {
        std::fputs(usage().toUtf8().constData(), command.isEmpty() ? stderr : stdout);
        return command.isEmpty() ? 2 : 0;
    }
    if (command == QLatin1String("--version") || command == QLatin1String("version")) {
        out(QStringLiteral("qav-server %1").arg(QStringLiteral(QAV_VERSION)));
        return 0;
    }
    using Handler = int (*)(const QStringList &);
    static const QHash<QString, Handler> handlers = [] {
        QHash<QString, Handler> h = {
        {u"serve"_qs, cmdServe},
        {u"init-db"_qs, cmdInitDb},
        {u"add-venue"_qs, cmdAddVenue},
        {u"add-performance"_qs, cmdAddPerformance},
        {u"add-operator"_qs, cmdAddOperator},
        {u"add-admin"_qs, cmdAddAdmin},
        {u"list-admins"_qs, cmdListAdmins},
        {u"disable-admin"_qs, cmdDisableAdmin},
        {u"remove-admin"_qs, cmdRemoveAdmin},
        {u"import-bookings"_qs, cmdImportBookings},
        {u"seed-demo"_qs, cmdSeedDemo},
        {u"summary"_qs, cmdSummary},
        {u"sessions"_qs, cmdSessions},
        {u"revoke-session"_qs, cmdRevokeSession},
        {u"sign-ins"_qs, cmdSignIns},
        };
        for (const AdminCommand &c : seasonCommands())
            h.insert(QString::fromLatin1(c.name), c.handler);
        return h;
    }();
    const auto handler = handlers.find(command);
    if (handler == handlers.end()) {
        err(QStringLiteral("unknown command '%1'\n\n%2").arg(command, usage()));
        return 2;
    }
    // The database and everything else the server writes hold password hashes and customers' names.
    ::umask(077);
    // The parser sees "qav-server <command>" as its program name, so --help reads naturally.
    QStringList args = arguments.mid(2);
    args.prepend(QStringLiteral("qav-server ") + command);
    try {
        return (*handler)(args);
    } catch (const UsageError &e) {
        err(QStringLiteral("%1: %2 (see qav-server %1 --help)").arg(command, e.text));
        return 2;
    } catch (const NotFound &e) {
        err(e.text);
        return 1;
    } catch (const std::exception &e) {
        err(QString::fromUtf8(e.what()));
        return 1;
    }
}

} // namespace qav
