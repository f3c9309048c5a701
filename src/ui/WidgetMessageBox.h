#pragma once

#include "platform/MessageBox.h"

namespace kestrel {

// A modal message box with the given text, icon and buttons.
class WidgetMessageBox final : public IMessageBox {
public:
    int Show(const std::string& text, const std::string& caption, MessageIcon icon, MessageButtons buttons,
             int defaultResult) override;
};

} // namespace kestrel
