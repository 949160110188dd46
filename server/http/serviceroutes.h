#pragma once

#include "server/http/exchange.h"

namespace qav {

// The routes a venue's own tools use rather than people: GET / sends a browser to the dashboard;
// GET /healthz answers 200 "ok" while the database answers a read and (SQLite) its writer is not
// stuck, else 503, for a load balancer or systemd watchdog; GET /metrics gives serverMetrics() in
// Prometheus text format. None needs a session or shows anything secret. Without a database
// (constant answers) /healthz is always 200.
void addServiceRoutes(Routes &routes, bool withDatabase);

} // namespace qav
