#include "app/SettingsRecords.h"

namespace kestrel {

SettingsRecords::SettingsRecords(SettingsStore& store)
    : urlReg(&store), server(&store), image(&store), basic(&store), html(&store) {}

void SettingsRecords::Load(const std::string& hostName, IMessageBox& box) {
    urlReg.Load();
    server.Load(hostName);
    image.Load(&box);
    basic.Load(&box);
    html.Load();
}

void SettingsRecords::Save() const {
    urlReg.Save();
    server.Save();
    image.Save();
    basic.Save();
    html.Save();
}

} // namespace kestrel
