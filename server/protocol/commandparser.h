#pragma once

#include "wire/command.h"

// The server's rooms read commands with the wire's reader (command.h); these are its names as
// they use them inside namespace qav.
namespace qav {

using wire::Command;
using wire::kBookingProc;
using wire::kLoginProc;
using wire::kMaxCommandBytes;
using wire::parseCommand;
using wire::ParsedCommand;

} // namespace qav
