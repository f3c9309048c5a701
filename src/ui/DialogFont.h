#pragma once

#include <QFont>
#include <QString>

class QBoxLayout;
class QDialog;
class QPushButton;

namespace kestrel {

// The font of every dialog: the Japanese proportional gothic face, 12 pixels high.
QFont DialogFont();

// Dialog units to pixels for that font (base units 7 x 13 pixels).
int DluX(int dlu);
int DluY(int dlu);

// The accepting and the cancelling button of a dialog, added as its last row: the accepting
// one is the default; they call the dialog's own accept() and reject().
struct DialogButtons {
    QPushButton* accept;
    QPushButton* cancel;
};
// Right-aligned buttons in this order, as the settings dialogs show them.
DialogButtons AddButtonRow(QDialog& dialog, QBoxLayout& layout, const QString& acceptText,
                           const QString& cancelText);
// "OK" and "キャンセル" in the platform's button order.
DialogButtons AddOkCancelBox(QDialog& dialog, QBoxLayout& layout);

} // namespace kestrel
