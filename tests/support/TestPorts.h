#pragma once

namespace kestrel::testing {

// A port the web server can take now: below the range the system hands out to outgoing
// connections (so a busy machine's clients never take it meanwhile), tried the way the
// server binds (all addresses, both families). 0 when none was found.
unsigned ServerTestPort();

} // namespace kestrel::testing
