#pragma once

#include "server/storage/storage.h"

namespace qav {

// The demo venue, laid anew each time (idempotent): its performances move to today and tomorrow,
// its bookings and audit rows are replaced, its operators get their demo passwords back.
namespace demo {
inline constexpr auto kPlaceCode = "1234";
inline constexpr auto kTheater = "큐브 아레나";
inline constexpr auto kTodayBizcode = "GRVM0001";
inline constexpr auto kOtherBizcode = "GRVM0002";
inline constexpr auto kFirstTicket = "10000001";   // ordinary bookings: 10000001 .. 10000296
inline constexpr auto kLeftTicket = "10000297";    // admitted and went out: re-entry
inline constexpr auto kInsideTicket = "10000298";  // already inside (admitted by gate02)
inline constexpr auto kInside2Ticket = "10000299"; // already inside (admitted by gate03)
inline constexpr auto kCancelledTicket = "10000300";
inline constexpr auto kOtherTicket = "20000001"; // tomorrow's performance: 20000001 .. 20000020
inline constexpr auto kUnknownTicket = "99999999";
inline constexpr int kTodayBookings = 300;
inline constexpr auto kAdmin = "admin"; // dashboard admin of every venue, password = id
} // namespace demo

// Operators gate01, gate02, gate03 and the dashboard admin, with passwords equal to their ids.
// Throws StorageError.
void seedDemo(Storage &storage);

// What the database holds beyond the demo venue, its two performances and three operators, as
// "venue 777" and the like; empty when nothing.
QString nonDemoData(SeasonStore &storage);

} // namespace qav
