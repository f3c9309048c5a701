#pragma once

namespace kestrel {

// The quit-pending flag. The exit mechanism sets it; while it is set the command router
// drops every command but exit, and no dialog opens, reopens or starts an exchange.
bool IsQuitPending();
void SetQuitPending(bool pending);

} // namespace kestrel
