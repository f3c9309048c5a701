#include "platform/MessageBox.h"

namespace kestrel {

int HeadlessMessageBox::Show(const std::string& text, const std::string&, MessageIcon, MessageButtons,
                             int defaultResult) {
    if (m_out) {
        std::fprintf(m_out, "kestrel: %s\n", text.c_str());
        std::fflush(m_out);
    }
    return defaultResult;
}

} // namespace kestrel
