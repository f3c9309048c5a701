// Message boxes show their text as typed, the first 2,000 characters of a longer one in
// the body and the whole of it in the details; they use the dialogs' font, and Qt's own
// texts speak Japanese once the catalogue is installed.

#include "ui/WidgetMessageBox.h"
#include "ui/DialogFont.h"
#include "ui/JapaneseUi.h"

#include <QApplication>
#include <QColorDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <gtest/gtest.h>

using namespace kestrel;

namespace {

struct Seen {
    QString text, details;
    Qt::TextFormat format = Qt::AutoText;
};

// Shows `text` in a box, reads what the box holds, then answers it.
Seen ShowAndRead(const std::string& text) {
    Seen seen;
    QTimer::singleShot(0, [&seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        seen = {box->text(), box->detailedText(), box->textFormat()};
        box->accept();
    });
    WidgetMessageBox().Show(text, "Kestrel", MessageIcon::Exclamation, MessageButtons::Ok, IDOK);
    return seen;
}

TEST(WidgetMessageBox, MarkupIsShownAsTyped) {
    const std::string text = "<b>太字</b> &amp; <a href=\"x\">link</a>\n2 行目";
    Seen seen = ShowAndRead(text);
    EXPECT_EQ(seen.format, Qt::PlainText);
    EXPECT_EQ(seen.text.toStdString(), text);
    EXPECT_TRUE(seen.details.isEmpty());
}

TEST(WidgetMessageBox, LongTextsAreCutWithoutSplittingACharacter) {
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two UTF-16 units
    struct Row {
        const char* rule;
        QString text, shown;
    } rows[] = {
        {"exactly the limit", QString(2000, 'a'), QString(2000, 'a')},
        {"one over", QString(2001, 'a'), QString(2000, 'a')},
        {"a pair across the cut", QString(1999, 'a') + face + "b", QString(1999, 'a') + face},
        {"pairs count as one", face.repeated(2001), face.repeated(2000)},
        {"Japanese", QString::fromUtf8("あ").repeated(2500), QString::fromUtf8("あ").repeated(2000)},
    };
    for (const Row& r : rows) {
        Seen seen = ShowAndRead(r.text.toStdString());
        EXPECT_EQ(seen.text, r.shown) << r.rule;
        EXPECT_EQ(seen.details, r.shown == r.text ? QString() : r.text) << r.rule;
    }
    // A lone half of a pair at the cut is cut like any character.
    const QString lone = QString(1999, 'a') + QChar(0xD83D) + "bc";
    EXPECT_EQ(FirstCharacters(lone, 2000), QString(1999, 'a') + QChar(0xD83D));
}

} // namespace

namespace {

// Every text a dialog's widgets show, joined.
QString TextsOf(QWidget& w) {
    QStringList texts;
    for (auto* l : w.findChildren<QLabel*>())
        texts << l->text();
    for (auto* b : w.findChildren<QAbstractButton*>())
        texts << b->text();
    return texts.join('|');
}

} // namespace

TEST(JapaneseUi, QtsDialogsAndButtonsSpeakJapaneseInTheDialogsFont) {
    ASSERT_TRUE(InstallJapaneseUi(*qApp)) << "qtbase_ja missing: install qt6-translations-l10n";
    QFileDialog files;
    files.setOption(QFileDialog::DontUseNativeDialog);
    QColorDialog colours;
    colours.setOption(QColorDialog::DontUseNativeDialog);
    const QString fileTexts = TextsOf(files), colourTexts = TextsOf(colours);
    for (const char* english : {"Look in:", "File &name:", "&Open", "Cancel"})
        EXPECT_FALSE(fileTexts.contains(QString::fromUtf8(english)))
            << english << " in " << fileTexts.toStdString();
    for (const char* english : {"&Basic colors", "&Pick Screen Color", "Cancel"})
        EXPECT_FALSE(colourTexts.contains(QString::fromUtf8(english)))
            << english << " in " << colourTexts.toStdString();
    EXPECT_TRUE(fileTexts.contains(QString::fromUtf8("キャンセル"))) << fileTexts.toStdString();

    // A line edit's context menu.
    QLineEdit edit(QStringLiteral("x"));
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList items;
    for (QAction* a : menu->actions())
        items << a->text();
    EXPECT_FALSE(items.join('|').contains(QStringLiteral("Copy"))) << items.join('|').toStdString();

    // A message box: Japanese standard buttons, the dialogs' face.
    QString cancel, family;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        cancel = box->button(QMessageBox::Cancel)->text();
        family = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->font().family();
        box->reject();
    });
    WidgetMessageBox().Show("x", "Kestrel", MessageIcon::Question, MessageButtons::OkCancel, IDOK);
    EXPECT_EQ(cancel, QString::fromUtf8("キャンセル"));
    EXPECT_EQ(family, DialogFont().family());

    // Later tests of this program see Qt's English again.
    for (auto* t : qApp->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(t);
        delete t;
    }
    QLocale::setDefault(QLocale::c());
}
