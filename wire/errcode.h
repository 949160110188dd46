#pragma once

// The answer's result column and the values the station tells apart. Every answer of a sign-in,
// a verification or a summary has one row whose `ErrCode` is one of these (as text).
namespace wire {

inline constexpr auto kErrCodeColumn = "ErrCode";
inline constexpr auto kErrMsgColumn = "ErrMsg";

namespace errcode {
inline constexpr auto kOk = "0";        // signed in, summary counted, entry admitted
inline constexpr auto kReEntered = "1"; // admitted again after leaving
inline constexpr auto kExited = "2";    // let out
inline constexpr auto kRefused = "-1";  // wrong sign-in, unknown ticket, wrong performance, ...
inline constexpr auto kRepeated = "-2"; // already inside, never entered, already left
} // namespace errcode

} // namespace wire
