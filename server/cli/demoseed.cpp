#include "server/cli/demoseed.h"

#include "server/accounts/passwords.h"

#include <QDate>

namespace qav {

namespace {

QString seatGrade(int i)
{
    if (i < 30)
        return QStringLiteral("VIP석");
    if (i < 120)
        return QStringLiteral("R석");
    if (i < 220)
        return QStringLiteral("S석");
    return QStringLiteral("A석");
}

QString seatInfo(int i)
{
    const int floor = i < 220 ? 1 : 2;
    const int row = (i % 220) / 20;
    const int seat = i % 20 + 1;
    return QStringLiteral("%1층 %2열 %3번").arg(floor).arg(QChar(u'A' + row)).arg(seat);
}

QString koreanName(int i)
{
    static const QStringList family = {u"김"_qs, u"이"_qs, u"박"_qs, u"최"_qs, u"정"_qs, u"강"_qs,
                                       u"조"_qs, u"윤"_qs, u"장"_qs, u"임"_qs, u"한"_qs, u"오"_qs};
    static const QStringList given = {u"민준"_qs, u"서연"_qs, u"도윤"_qs, u"지우"_qs, u"하준"_qs,
                                      u"서윤"_qs, u"시우"_qs, u"하은"_qs, u"지호"_qs, u"수아"_qs,
                                      u"예준"_qs, u"지민"_qs, u"유진"_qs, u"현우"_qs, u"채원"_qs,
                                      u"준서"_qs, u"다은"_qs};
    return family[i % family.size()] + given[(i * 7 + i / family.size()) % given.size()];
}

} // namespace

void seedDemo(Storage &storage)
{
    const QDate today = QDate::currentDate();
    storage.initSchema();
    storage.putVenue({QString::fromUtf8(demo::kPlaceCode), QString::fromUtf8(demo::kTheater)});
    storage.putPerformance({QString::fromUtf8(demo::kTodayBizcode),
                            QString::fromUtf8(demo::kPlaceCode), u"뮤지컬 별빛 기차"_qs,
                            today.toString(u"yyyyMMdd"_qs) + u"1930"_qs, u"그랜드 홀"_qs});
    storage.putPerformance({QString::fromUtf8(demo::kOtherBizcode),
                            QString::fromUtf8(demo::kPlaceCode), u"콘서트 겨울 바다"_qs,
                            today.addDays(1).toString(u"yyyyMMdd"_qs) + u"1800"_qs,
                            u"그랜드 홀"_qs});
    storage.clearPerformance(QString::fromUtf8(demo::kTodayBizcode));
    storage.clearPerformance(QString::fromUtf8(demo::kOtherBizcode));

    QList<Booking> bookings;
    for (int i = 0; i < demo::kTodayBookings; ++i) {
        Booking b{QString::fromUtf8(demo::kTodayBizcode), QString::number(10000001 + i),
                  koreanName(i), seatGrade(i), seatInfo(i)};
        b.cancelled = b.ticketNo == QLatin1String(demo::kCancelledTicket);
        bookings << b;
    }
    for (int i = 0; i < 20; ++i)
        bookings << Booking{QString::fromUtf8(demo::kOtherBizcode), QString::number(20000001 + i),
                            koreanName(i + 5), u"R석"_qs, seatInfo(i + 40)};
    storage.putBookings(bookings);

    for (const QString &id : {u"gate01"_qs, u"gate02"_qs, u"gate03"_qs})
        storage.putOperator({id, hashPassword(id), QString::fromUtf8(demo::kPlaceCode)});
    storage.putAdmin(
        {QString::fromUtf8(demo::kAdmin), hashPassword(QString::fromUtf8(demo::kAdmin)), {}});

    // Real scans, so the demo state has its audit rows like any other.
    auto scan = [&](const char *mode, const char *ticket, const QString &op) {
        storage.scan({QString::fromLatin1(mode), QString::fromUtf8(demo::kTodayBizcode),
                      QString::fromLatin1(ticket), op, 0});
    };
    scan("I", demo::kLeftTicket, u"gate01"_qs);
    scan("O", demo::kLeftTicket, u"gate01"_qs);
    scan("I", demo::kInsideTicket, u"gate02"_qs);
    scan("I", demo::kInside2Ticket, u"gate03"_qs);
}

QString nonDemoData(SeasonStore &storage)
{
    for (const Venue &v : storage.venues())
        if (v.placeCode != QLatin1String(demo::kPlaceCode))
            return QStringLiteral("venue %1").arg(v.placeCode);
    for (const Performance &p : storage.performances({}))
        if (p.bizcode != QLatin1String(demo::kTodayBizcode) &&
            p.bizcode != QLatin1String(demo::kOtherBizcode))
            return QStringLiteral("performance %1").arg(p.bizcode);
    for (const OperatorRecord &o : storage.operators({}))
        if (!QStringList{u"gate01"_qs, u"gate02"_qs, u"gate03"_qs}.contains(o.id))
            return QStringLiteral("operator %1").arg(o.id);
    return {};
}

} // namespace qav
