// Message boxes show their text as typed, the first 2,000 characters of a longer one in
// the body and the whole of it in the details.

#include "ui/WidgetMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
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
