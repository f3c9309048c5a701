#pragma once

#include "platform/MessageBox.h"

#include <functional>
#include <string>
#include <vector>

namespace kestrel::test {

// One message box as it was shown.
struct ShownMessage {
    std::string text, caption;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
};

// A message box that keeps every box shown and answers with the box's default button, as a
// run without a display does. `texts` holds the texts alone, for the many checks that need no
// more; `messages` everything. `onShow`, when set, runs while each box is up (after it is
// recorded), so that a test can look at the program's state at that moment or act as a user
// would then.
class RecordingMessageBox : public IMessageBox {
public:
    int Show(const std::string& text, const std::string& caption, MessageIcon icon, MessageButtons buttons,
             int defaultResult) override {
        texts.push_back(text);
        messages.push_back({text, caption, icon, buttons});
        if (onShow)
            onShow(messages.back());
        return defaultResult;
    }
    // Forgets the boxes shown so far.
    void Clear() {
        texts.clear();
        messages.clear();
    }

    std::vector<std::string> texts;
    std::vector<ShownMessage> messages;
    std::function<void(const ShownMessage&)> onShow;
};

} // namespace kestrel::test
