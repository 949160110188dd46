#pragma once

namespace qav {

// Where a request runs: Quick for database work (the many short requests), Slow for work that
// keeps a CPU busy for a long time (password hashing), so the two never queue behind each other.
// SlowUntrusted is the Slow work of clients that failed lately, kept apart so that it never
// queues ahead of a client in good standing. Inline runs on the socket's thread and suits only
// handlers that never block.
enum class Lane { Quick, Slow, SlowUntrusted, Inline };

} // namespace qav
