// The driver dialog widget reads its controls back into the settings on OK only.

#include "ui/CaptureDialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

using namespace kestrel;

namespace {

std::vector<DeviceSetting> Sample() {
    return {
        {"Size", "Size", DeviceSetting::Kind::Choice, 0, 2, 1, 0, 0, {"160 x 120", "320 x 240", "640 x 480"}},
        {"Control1", "Brightness", DeviceSetting::Kind::Slider, -64, 64, 1, 0, 0, {}},
        {"Still", "Still", DeviceSetting::Kind::Check, 0, 1, 1, 0, 0, {}}};
}

// Changes every control of the open dialog, then presses `button`.
void AnswerWith(QDialogButtonBox::StandardButton button) {
    QTimer::singleShot(0, [button] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QComboBox*>()->setCurrentIndex(2);
        dialog->findChild<QSlider*>()->setValue(-20);
        dialog->findChild<QCheckBox*>()->setChecked(true);
        dialog->findChild<QDialogButtonBox*>()->button(button)->click();
    });
}

} // namespace

TEST(CaptureDialogWidget, OkStoresTheControlsCancelKeepsTheSettings) {
    WidgetCaptureDialogs dialogs;
    auto settings = Sample();
    AnswerWith(QDialogButtonBox::Cancel);
    EXPECT_FALSE(dialogs.EditSettings("Kestrel Test Pattern", settings));
    EXPECT_EQ(settings[0].value, 0);
    EXPECT_EQ(settings[1].value, 0);
    AnswerWith(QDialogButtonBox::Ok);
    EXPECT_TRUE(dialogs.EditSettings("Kestrel Test Pattern", settings));
    EXPECT_EQ(settings[0].value, 2);
    EXPECT_EQ(settings[1].value, -20);
    EXPECT_EQ(settings[2].value, 1);
}
