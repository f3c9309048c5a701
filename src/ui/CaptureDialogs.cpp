#include "ui/CaptureDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>

#include <functional>

namespace kestrel {

bool WidgetCaptureDialogs::EditSettings(const std::string& title, std::vector<DeviceSetting>& settings) {
    QDialog dialog(QApplication::activeWindow());
    dialog.setWindowTitle(QString::fromStdString(title));
    auto* form = new QFormLayout(&dialog);
    // Reads each control back into its setting on OK.
    std::vector<std::function<void()>> readers;
    for (DeviceSetting& s : settings) {
        const QString label = QString::fromStdString(s.label);
        switch (s.kind) {
        case DeviceSetting::Kind::Choice: {
            auto* box = new QComboBox(&dialog);
            for (const std::string& c : s.choices)
                box->addItem(QString::fromStdString(c));
            box->setCurrentIndex(s.value);
            form->addRow(label, box);
            readers.push_back([box, &s] { s.value = box->currentIndex(); });
            break;
        }
        case DeviceSetting::Kind::Check: {
            auto* check = new QCheckBox(label, &dialog);
            check->setChecked(s.value != 0);
            form->addRow(QString(), check);
            readers.push_back([check, &s] { s.value = check->isChecked() ? 1 : 0; });
            break;
        }
        case DeviceSetting::Kind::Slider: {
            auto* row = new QWidget(&dialog);
            auto* layout = new QHBoxLayout(row);
            layout->setContentsMargins(0, 0, 0, 0);
            auto* slider = new QSlider(Qt::Horizontal, row);
            slider->setRange(s.minimum, s.maximum);
            slider->setSingleStep(s.step);
            slider->setValue(s.value);
            auto* value = new QLabel(QString::number(s.value), row);
            value->setMinimumWidth(40);
            QObject::connect(slider, &QSlider::valueChanged, value, [value](int v) { value->setNum(v); });
            layout->addWidget(slider);
            layout->addWidget(value);
            form->addRow(label, row);
            readers.push_back([slider, &s] { s.value = slider->value(); });
            break;
        }
        }
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    for (auto& read : readers)
        read();
    return true;
}

void InstallWidgetCaptureDialogs() {
    InstallCaptureDialogs(std::make_unique<WidgetCaptureDialogs>());
}

} // namespace kestrel
