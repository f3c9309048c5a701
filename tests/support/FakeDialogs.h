#pragma once

// Dialogs that answer as a test tells them, in place of the widget dialogs.

#include "app/SettingsDialogs.h"
#include "capture/CaptureDialogs.h"
#include "server/ServerDialogs.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kestrel::test {

// A driver's dialog that chooses, in the setting `key`, the entry whose text is `text`; it is
// cancelled when the setting has no such entry.
class ChoosingCaptureDialogs final : public ICaptureDialogs {
public:
    ChoosingCaptureDialogs(std::string key, std::string text)
        : m_key(std::move(key)), m_text(std::move(text)) {}
    bool EditSettings(const std::string&, std::vector<DeviceSetting>& settings) override {
        for (DeviceSetting& s : settings)
            if (s.key == m_key)
                for (size_t i = 0; i < s.choices.size(); ++i)
                    if (s.choices[i] == m_text) {
                        s.value = static_cast<int>(i);
                        return true;
                    }
        return false;
    }

private:
    std::string m_key, m_text;
};

// The server's dialogs answered from a script. Each question about the web root takes the
// next answer (Cancel once they run out) and is kept in `asked` as "missing:<candidate>" or
// "notfolder:<candidate>". The properties dialog runs `editProperties` when it is set, and
// otherwise answers `propertiesOk`, with `properties` on OK.
class ScriptedServerDialogs final : public IServerDialogs {
public:
    struct Answer {
        bool ok;
        std::string text; // empty: keep the candidate
    };
    std::deque<Answer> answers;
    std::vector<std::string> asked;
    ServerPropertiesData properties;
    bool propertiesOk = true;
    std::function<bool(ServerPropertiesData&)> editProperties;

    bool EditServerProperties(ServerPropertiesData& data) override {
        if (editProperties)
            return editProperties(data);
        if (propertiesOk)
            data = properties;
        return propertiesOk;
    }
    bool AskRootMissing(std::string& c) override { return Next("missing:", c); }
    bool AskRootNotFolder(std::string& c) override { return Next("notfolder:", c); }

private:
    bool Next(const char* kind, std::string& candidate) {
        asked.push_back(kind + candidate);
        if (answers.empty())
            return false;
        Answer a = answers.front();
        answers.pop_front();
        if (a.ok && !a.text.empty())
            candidate = a.text;
        return a.ok;
    }
};

// The settings dialogs answered by the test's functions: each dialog runs its own (Cancel
// without one), after `onOpen`, which runs as any of the three opens. The about box keeps
// the version text it was shown.
class ScriptedSettingsDialogs final : public ISettingsDialogs {
public:
    std::function<void()> onOpen;
    std::function<bool(BasicSettingsForm&)> basic;
    std::function<bool(HtmlSettings&)> html;
    std::function<bool(UrlRegistration&, UrlRegSettings&)> registration;
    std::string aboutVersion;

    bool EditBasicSettings(BasicSettingsForm& form) override {
        Opened();
        return basic && basic(form);
    }
    bool EditHtmlSettings(HtmlSettings& settings) override {
        Opened();
        return html && html(settings);
    }
    bool RunUrlRegistration(UrlRegistration& session, UrlRegSettings& settings) override {
        Opened();
        return registration && registration(session, settings);
    }
    void ShowAbout(const std::string& version) override { aboutVersion = version; }

private:
    void Opened() {
        if (onOpen)
            onOpen();
    }
};

} // namespace kestrel::test
