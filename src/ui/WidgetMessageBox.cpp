#include "ui/WidgetMessageBox.h"

#include "ui/DialogFont.h"

#include <QMessageBox>

namespace kestrel {

QString FirstCharacters(const QString& text, int limit) {
    int units = 0;
    for (int chars = 0; units < text.size() && chars < limit; ++chars)
        units += text[units].isHighSurrogate() && units + 1 < text.size() && text[units + 1].isLowSurrogate()
                     ? 2
                     : 1;
    return text.left(units);
}

int WidgetMessageBox::Show(const std::string& text, const std::string& caption, MessageIcon icon,
                           MessageButtons buttons, int defaultResult) {
    QMessageBox box;
    box.setFont(DialogFont()); // the dialogs' font, not the desktop's
    box.setWindowTitle(QString::fromStdString(caption));
    // Texts from outside (directory replies, file names) are never markup.
    box.setTextFormat(Qt::PlainText);
    const QString whole = QString::fromStdString(text);
    const QString shown = FirstCharacters(whole, kMessageBoxTextLimit);
    box.setText(shown);
    if (shown.size() < whole.size())
        box.setDetailedText(whole);
    switch (icon) {
    case MessageIcon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case MessageIcon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case MessageIcon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
    case MessageIcon::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case MessageIcon::None:
        break;
    }
    switch (buttons) {
    case MessageButtons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MessageButtons::OkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(defaultResult == IDCANCEL ? QMessageBox::Cancel : QMessageBox::Ok);
        break;
    case MessageButtons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(defaultResult == IDNO ? QMessageBox::No : QMessageBox::Yes);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Ok:
        return IDOK;
    case QMessageBox::Cancel:
        return IDCANCEL;
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    default:
        return buttons == MessageButtons::YesNo ? IDNO : IDCANCEL;
    }
}

} // namespace kestrel
