#pragma once

#include <QString>

// The HTTP side of a gate call: where it goes and the headers station and server read.
namespace wire {

// Every business-object call carries this header with kStationClient; a web page cannot add it
// to a request to another site, so the server takes calls only with it.
inline constexpr auto kClientHeader = "X-QAV-Client";
inline constexpr auto kStationClient = "station";
// "Bearer <session key>" once the operator has signed in.
inline constexpr auto kAuthorizationHeader = "Authorization";
inline constexpr auto kBearerPrefix = "Bearer ";
// The gate's name for one scan: a re-send carries the same one.
inline constexpr auto kReplayKeyHeader = "Idempotency-Key";

// The path a business object's commands are posted to, under the server's own path.
inline QString queryPath(const QString &objectName)
{
    return QStringLiteral("/rds/%1/Query").arg(objectName);
}

} // namespace wire
