#include "server/sync/syncjson.h"

#include "server/import/bookingfile.h"
#include "wire/ticket.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>

namespace qav {

namespace {

// The body as one JSON object; false with a problem naming the body otherwise.
bool objectOf(const QByteArray &body, QJsonObject &object, JsonProblem &problem)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        problem = {
            u"body"_qs,
            QStringLiteral("not JSON at offset %1: %2").arg(error.offset).arg(error.errorString())};
        return false;
    }
    if (!doc.isObject()) {
        problem = {u"body"_qs, u"not a JSON object"_qs};
        return false;
    }
    object = doc.object();
    return true;
}

// A field that must be text when present: false with a problem when it is there and is not.
bool textField(const QJsonObject &o, const QString &name, const QString &path, QString &value,
               JsonProblem &problem)
{
    const QJsonValue v = o.value(name);
    if (v.isUndefined())
        return true;
    if (!v.isString()) {
        problem = {path, u"must be a string"_qs};
        return false;
    }
    value = v.toString();
    return true;
}

// The first key of o that is not among known, or an empty text.
QString unknownKey(const QJsonObject &o, const QSet<QString> &known)
{
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!known.contains(it.key()))
            return it.key();
    }
    return {};
}

// The import's field names in a booking problem ("ticket_no: ...") as the API names them.
JsonProblem apiProblem(const QString &problem, qsizetype index)
{
    static const QHash<QString, QString> names = {{u"ticket_no"_qs, u"ticketNo"_qs},
                                                  {u"cust_name"_qs, u"custName"_qs},
                                                  {u"seat_grade"_qs, u"seatGrade"_qs},
                                                  {u"seat_info"_qs, u"seatInfo"_qs},
                                                  {u"bizcode"_qs, u"bizcode"_qs}};
    const QString field = problem.section(u": "_qs, 0, 0);
    const QString reason = problem.section(u": "_qs, 1);
    return {QStringLiteral("bookings[%1].%2").arg(index).arg(names.value(field, field)), reason,
            index};
}

} // namespace

bool bizcodeAllowed(const QString &bizcode, QString &reason)
{
    // As the command line's add-performance takes them: a code ends up in the stations'
    // settings and in file names.
    const bool plain = std::all_of(bizcode.begin(), bizcode.end(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
               c == u'-' || c == u'_';
    });
    if (bizcode.isEmpty() || bizcode.size() > kMaxBizcodeChars || !plain)
        reason = QStringLiteral("1 to %1 letters, digits, '-' or '_'").arg(kMaxBizcodeChars);
    else if (isDrillCode(bizcode))
        reason = u"reserved for drills"_qs;
    else
        return true;
    return false;
}

bool readPerformanceBody(const QByteArray &body, Performance &p, JsonProblem &problem)
{
    QJsonObject o;
    if (!objectOf(body, o, problem))
        return false;
    if (const QString key = unknownKey(o, {u"goodsName"_qs, u"startsAt"_qs, u"placeName"_qs});
        !key.isEmpty()) {
        problem = {key, u"not a field of a performance"_qs};
        return false;
    }
    if (!textField(o, u"goodsName"_qs, u"goodsName"_qs, p.goodsName, problem) ||
        !textField(o, u"startsAt"_qs, u"startsAt"_qs, p.startsAt, problem) ||
        !textField(o, u"placeName"_qs, u"placeName"_qs, p.placeName, problem))
        return false;
    const QList<std::pair<QString, const QString *>> texts = {{u"goodsName"_qs, &p.goodsName},
                                                              {u"placeName"_qs, &p.placeName}};
    for (const auto &[name, text] : texts) {
        if (wire::hasControlCharacter(*text))
            problem = {name, u"control character"_qs};
        else if (text->size() > kMaxPerformanceText)
            problem = {name, QStringLiteral("longer than %1 characters").arg(kMaxPerformanceText)};
        else
            continue;
        return false;
    }
    if (p.goodsName.trimmed().isEmpty()) {
        problem = {u"goodsName"_qs, u"required"_qs};
        return false;
    }
    const bool digits =
        p.startsAt.size() == 12 && std::all_of(p.startsAt.begin(), p.startsAt.end(),
                                               [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (!digits || !QDateTime::fromString(p.startsAt, u"yyyyMMddHHmm"_qs).isValid()) {
        problem = {u"startsAt"_qs, u"required, as yyyyMMddHHmm"_qs};
        return false;
    }
    return true;
}

BookingBatch readBookingBatch(const QByteArray &body, const QString &bizcode)
{
    BookingBatch batch;
    QJsonObject o;
    JsonProblem problem;
    if (!objectOf(body, o, problem)) {
        batch.problems << problem;
        return batch;
    }
    if (const QString key = unknownKey(o, {u"bookings"_qs}); !key.isEmpty()) {
        batch.problems << JsonProblem{key, u"not a field of a batch"_qs};
        return batch;
    }
    if (!o.value(u"bookings"_qs).isArray()) {
        batch.problems << JsonProblem{u"bookings"_qs, u"required, an array"_qs};
        return batch;
    }
    const QJsonArray items = o.value(u"bookings"_qs).toArray();
    if (items.size() > kMaxBatch) {
        batch.tooMany = true;
        batch.problems << JsonProblem{u"bookings"_qs,
                                      QStringLiteral("more than %1 items").arg(kMaxBatch)};
        return batch;
    }
    static const QSet<QString> fields = {u"ticketNo"_qs, u"custName"_qs, u"seatGrade"_qs,
                                         u"seatInfo"_qs, u"cancelled"_qs};
    QSet<QString> seen;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const auto at = [i](const QString &field) {
            return QStringLiteral("bookings[%1].%2").arg(i).arg(field);
        };
        if (!items[i].isObject()) {
            batch.problems << JsonProblem{QStringLiteral("bookings[%1]").arg(i),
                                          u"not an object"_qs, i};
            continue;
        }
        const QJsonObject item = items[i].toObject();
        if (const QString key = unknownKey(item, fields); !key.isEmpty()) {
            batch.problems << JsonProblem{at(key), u"not a field that can be written"_qs, i};
            continue;
        }
        Booking b;
        b.bizcode = bizcode;
        if (!item.value(u"ticketNo"_qs).isString()) {
            batch.problems << JsonProblem{at(u"ticketNo"_qs), u"required, a string"_qs, i};
            continue;
        }
        b.ticketNo = item.value(u"ticketNo"_qs).toString();
        if (!textField(item, u"custName"_qs, at(u"custName"_qs), b.custName, problem) ||
            !textField(item, u"seatGrade"_qs, at(u"seatGrade"_qs), b.seatGrade, problem) ||
            !textField(item, u"seatInfo"_qs, at(u"seatInfo"_qs), b.seatInfo, problem)) {
            problem.index = i;
            batch.problems << problem;
            continue;
        }
        const QJsonValue cancelled = item.value(u"cancelled"_qs);
        if (!cancelled.isUndefined() && !cancelled.isBool()) {
            batch.problems << JsonProblem{at(u"cancelled"_qs), u"must be true or false"_qs, i};
            continue;
        }
        b.cancelled = cancelled.toBool(false);
        if (const QString bad = bookingProblem(b); !bad.isEmpty()) {
            batch.problems << apiProblem(bad, i);
            continue;
        }
        if (seen.contains(b.ticketNo)) {
            batch.problems << JsonProblem{
                at(u"ticketNo"_qs), QStringLiteral("ticket %1 appears twice").arg(b.ticketNo), i};
            continue;
        }
        seen.insert(b.ticketNo);
        batch.bookings << b;
    }
    return batch;
}

} // namespace qav
