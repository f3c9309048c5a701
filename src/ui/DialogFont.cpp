#include "ui/DialogFont.h"

#include "capture/FontMapping.h"

#include <QBoxLayout>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>

namespace kestrel {

QFont DialogFont() {
    // The status face with the Japanese character set: its installed replacement.
    QFont font(ResolveFamily(FaceNameOf(StatusLogFont(12)), SHIFTJIS_CHARSET));
    font.setPixelSize(12);
    return font;
}

int DluX(int dlu) {
    return dlu * 7 / 4;
}

int DluY(int dlu) {
    return dlu * 13 / 8;
}

DialogButtons AddButtonRow(QDialog& dialog, QBoxLayout& layout, const QString& acceptText,
                           const QString& cancelText) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    DialogButtons b{new QPushButton(acceptText, &dialog), new QPushButton(cancelText, &dialog)};
    b.accept->setObjectName(QStringLiteral("accept"));
    b.accept->setDefault(true);
    b.cancel->setObjectName(QStringLiteral("cancel"));
    b.cancel->setAutoDefault(false);
    row->addWidget(b.accept);
    row->addWidget(b.cancel);
    layout.addLayout(row);
    QObject::connect(b.accept, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(b.cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    return b;
}

DialogButtons AddOkCancelBox(QDialog& dialog, QBoxLayout& layout) {
    auto* box = new QDialogButtonBox(&dialog);
    DialogButtons b{box->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole),
                    box->addButton(QStringLiteral("キャンセル"), QDialogButtonBox::RejectRole)};
    b.accept->setObjectName(QStringLiteral("accept"));
    b.accept->setDefault(true);
    b.cancel->setObjectName(QStringLiteral("cancel"));
    QObject::connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout.addWidget(box);
    return b;
}

} // namespace kestrel
