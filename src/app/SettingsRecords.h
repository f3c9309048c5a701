#pragma once

#include "model/Settings.h"

#include <string>

namespace kestrel {

// The five settings records of a running program. They are loaded and saved in one
// fixed order: URL registration, server, image, basic, HTML.
struct SettingsRecords {
    explicit SettingsRecords(SettingsStore& store);

    // `hostName` is the server record's default server name; `box` hears of caption keys
    // and values that cannot be read.
    void Load(const std::string& hostName, IMessageBox& box);
    void Save() const;

    UrlRegSettings urlReg;
    CServerSettings server;
    ImageSettings image;
    BasicSettings basic;
    HtmlSettings html;
};

} // namespace kestrel
