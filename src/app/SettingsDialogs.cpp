#include "app/SettingsDialogs.h"

#include <atomic>
#include <cstdio>

namespace kestrel {

namespace {
SettingsDialogsFactory& Factory() {
    static SettingsDialogsFactory factory;
    return factory;
}
} // namespace

void SayRegistrationNeedsDisplay() {
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        std::fprintf(stderr, "kestrel: the URL registration needs a display; it was not opened\n");
}

bool HeadlessSettingsDialogs::RunUrlRegistration(UrlRegistration&, UrlRegSettings&) {
    SayRegistrationNeedsDisplay();
    return false;
}

void SetSettingsDialogsFactory(SettingsDialogsFactory factory) {
    Factory() = std::move(factory);
}

std::unique_ptr<ISettingsDialogs> MakeSettingsDialogs(bool headless) {
    if (!headless && Factory())
        if (auto dialogs = Factory()())
            return dialogs;
    return std::make_unique<HeadlessSettingsDialogs>();
}

} // namespace kestrel
