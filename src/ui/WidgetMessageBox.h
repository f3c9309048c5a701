#pragma once

#include "platform/MessageBox.h"

#include <QString>

namespace kestrel {

// The most characters a message box shows in its body; a longer text is cut there and
// the whole of it goes into the box's details, where it can be read and copied.
constexpr int kMessageBoxTextLimit = 2000;

// The first `limit` characters of `text`, a character never split (a surrogate pair
// counts as one character).
QString FirstCharacters(const QString& text, int limit);

// A modal message box with the given text, icon and buttons. Texts are shown as typed:
// markup in them is never interpreted.
class WidgetMessageBox final : public IMessageBox {
public:
    int Show(const std::string& text, const std::string& caption, MessageIcon icon, MessageButtons buttons,
             int defaultResult) override;
};

} // namespace kestrel
