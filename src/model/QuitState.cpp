#include "model/QuitState.h"

namespace kestrel {

namespace {
// Read and written on the user-interface thread only.
bool g_quitPending = false;
} // namespace

bool IsQuitPending() {
    return g_quitPending;
}

void SetQuitPending(bool pending) {
    g_quitPending = pending;
}

} // namespace kestrel
