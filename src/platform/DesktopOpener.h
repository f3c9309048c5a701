#pragma once

#include <QString>

#include <functional>

namespace kestrel {

// How the desktop's opener took a target.
struct OpenerOutcome {
    bool opened = false; // it ended with status 0, or was still running after the patience
    int status = 0; // when not opened: its exit status; 3 when it could not be started, -1 when it crashed
};

// How long the opener may run before it counts as having opened the target: without a
// desktop environment it runs the browser in the foreground and ends only when that closes.
constexpr int kOpenerPatienceMs = 3000;

// Hands `target` (an address or a local file's URL) to xdg-open, found on PATH, and
// returns at once; `done` is called once, from the event loop, when the outcome is known.
// The opener's own messages go to our standard error. An opener still running when the
// program ends is left running.
void OpenOnDesktop(const QString& target, std::function<void(const OpenerOutcome&)> done,
                   int patienceMs = kOpenerPatienceMs);

} // namespace kestrel
