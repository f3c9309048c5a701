// The settings file: its syntax (read leniently, written exactly), the keys and values it
// keeps, damaged and unreadable files, and saves that fail.

#include "platform/SettingsStore.h"
#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;

namespace {

const std::string kMain = "Software\\Velmora\\Kestrels";
const std::string kHeaderLine = "Windows Registry Editor Version 5.00\n";
const std::string kMainSection = "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels]\n";

std::string Dword(uint32_t v) {
    std::string d(4, '\0');
    for (int i = 0; i < 4; ++i)
        d[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return d;
}

std::string Text(const std::string& s) {
    return s + std::string(1, '\0');
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

const StoredValue* Value(SettingsStore& store, const std::string& key, const std::string& name) {
    StoredKey* k = store.FindKey(key);
    return k ? k->Find(name) : nullptr;
}

} // namespace

// --- Reading the syntax -------------------------------------------------------------

struct ParseRow {
    const char* what;
    std::string line; // one value line in the main section
    const char* name;
    ValueType type;
    std::string data;
};

class ParseValueLine : public ::testing::TestWithParam<ParseRow> {};

TEST_P(ParseValueLine, ReadsTypeAndBytes) {
    const ParseRow& row = GetParam();
    SettingsStore store;
    EXPECT_TRUE(store.Parse(kHeaderLine + "\n" + kMainSection + row.line + "\n")) << row.what;
    const StoredValue* v = Value(store, kMain, row.name);
    ASSERT_NE(v, nullptr) << row.what;
    EXPECT_EQ(v->type, row.type) << row.what;
    EXPECT_EQ(v->data, row.data) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ParseValueLine,
    ::testing::Values(
        ParseRow{"dword", "\"uPort\"=dword:00001f90", "uPort", ValueType::Dword, Dword(8080)},
        ParseRow{"dword minus one", "\"CaptureDevice\"=dword:ffffffff", "CaptureDevice", ValueType::Dword,
                 Dword(0xFFFFFFFFu)},
        ParseRow{"dword upper case, short", "\"uPort\"=DWORD:1F90", "uPort", ValueType::Dword, Dword(8080)},
        ParseRow{"spaces around =", "\"uPort\" = dword:00000050", "uPort", ValueType::Dword, Dword(80)},
        ParseRow{"text keeps its zero", "\"strRoot\"=\"/home/u/WebPages\"", "strRoot", ValueType::String,
                 Text("/home/u/WebPages")},
        ParseRow{"empty text", "\"Email\"=\"\"", "Email", ValueType::String, Text("")},
        ParseRow{"escapes", R"("Freemsg"="a\\b\"c\rd\ne")", "Freemsg", ValueType::String,
                 Text("a\\b\"c\rd\ne")},
        ParseRow{"unknown escape kept as written", R"("Path"="C:\temp\x")", "Path", ValueType::String,
                 Text("C:\\temp\\x")},
        ParseRow{"escaped quote in the name", R"("a\"b"="x")", "a\"b", ValueType::String, Text("x")},
        ParseRow{"Japanese text", "\"Title\"=\"ライブカメラ\"", "Title", ValueType::String,
                 Text("ライブカメラ")},
        ParseRow{"blob", "\"FontInfo\"=hex:f0,ff,ff,ff,0A", "FontInfo", ValueType::Binary,
                 std::string("\xF0\xFF\xFF\xFF\x0A", 5)},
        ParseRow{"empty blob", "\"Blob\"=hex:", "Blob", ValueType::Binary, ""},
        ParseRow{"text as hex(1)", "\"Odd\"=hex(1):61,00,62,00", "Odd", ValueType::String,
                 std::string("a\0b\0", 4)},
        ParseRow{"expandable text hex(2)", "\"Exp\"=hex(2):25,00", "Exp", ValueType::ExpandString,
                 std::string("%\0", 2)},
        ParseRow{"multi text hex(7)", "\"Multi\"=hex(7):61,00,00", "Multi", ValueType::MultiString,
                 std::string("a\0\0", 3)},
        ParseRow{"default value @", "@=\"dflt\"", "", ValueType::String, Text("dflt")}));

TEST(SettingsStoreParse, HexValueContinuesOverLines) {
    SettingsStore store;
    ASSERT_TRUE(store.Parse(kHeaderLine + kMainSection +
                            "\"FontInfo\"=hex:01,02,\\\r\n"
                            "  03,04,\\\n"
                            "\t05\n"
                            "\"After\"=dword:00000007\n"));
    EXPECT_EQ(Value(store, kMain, "FontInfo")->data, std::string("\x01\x02\x03\x04\x05"));
    ASSERT_NE(Value(store, kMain, "After"), nullptr);
    EXPECT_EQ(Value(store, kMain, "After")->data, Dword(7));
}

TEST(SettingsStoreParse, ContinuationWhateverTheSpacingAndCaseAndOnlyForHex) {
    SettingsStore store;
    ASSERT_TRUE(store.Parse(kHeaderLine + kMainSection +
                            "\"A\" = HEX:01,\\\n  02\n"
                            "@=hex(3):0a,\\\n  0b\n"
                            "\"Name=hex\"=\"text ending in a backslash\\\\\"\n"
                            "\"B\"=dword:00000002\n"));
    EXPECT_EQ(Value(store, kMain, "A")->data, "\x01\x02");
    EXPECT_EQ(Value(store, kMain, "")->data, "\x0a\x0b");
    EXPECT_EQ(Value(store, kMain, "Name=hex")->data, std::string("text ending in a backslash\\\0", 28));
    ASSERT_NE(Value(store, kMain, "B"), nullptr);
    EXPECT_EQ(Value(store, kMain, "B")->data, Dword(2));
}

TEST(SettingsStoreParse, NamesAndKeysMatchWhateverTheirCase) {
    SettingsStore store;
    ASSERT_TRUE(store.Parse(kHeaderLine + "[hkey_local_machine\\SOFTWARE\\velmora\\KESTRELS]\n"
                                          "\"UPORT\"=dword:00000050\n"));
    StoredKey* key = store.FindKey(kMain);
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->Find("uPort"), nullptr);
    EXPECT_EQ(key->Find("uport")->data, Dword(80));
    // Setting it under the program's spelling replaces the value, not a second one.
    key->Set("uPort", ValueType::Dword, Dword(81));
    EXPECT_EQ(key->values.size(), 1u);
    EXPECT_EQ(key->Find("UPORT")->data, Dword(81));
}

TEST(SettingsStoreParse, RepeatedNameTakesTheLastValueAndKeepsOnePlace) {
    SettingsStore store;
    ASSERT_TRUE(store.Parse(kHeaderLine + kMainSection +
                            "\"uPort\"=dword:00000050\n"
                            "\"strRoot\"=\"/a\"\n"
                            "\"UPort\"=\"8080\"\n"));
    StoredKey* key = store.FindKey(kMain);
    ASSERT_EQ(key->values.size(), 2u);
    EXPECT_EQ(key->values[0].name, "uPort");
    EXPECT_EQ(key->values[0].type, ValueType::String);
    EXPECT_EQ(key->values[0].data, Text("8080"));
}

TEST(SettingsStoreParse, RepeatedSectionAddsToTheSameKey) {
    SettingsStore store;
    ASSERT_TRUE(store.Parse(kHeaderLine + kMainSection + "\"a\"=dword:00000001\n" + kMainSection +
                            "\"b\"=dword:00000002\n"));
    EXPECT_EQ(store.Keys().size(), 1u);
    EXPECT_EQ(store.FindKey(kMain)->values.size(), 2u);
}

TEST(SettingsStoreParse, LinesItCannotUseAreSkipped) {
    SettingsStore store;
    ASSERT_TRUE(store.Parse(kHeaderLine +
                            "\"Orphan\"=dword:00000001\n" // before any section
                            "[HKEY_CURRENT_USER\\Software\\Other]\n"
                            "\"Elsewhere\"=dword:00000001\n"
                            "[-HKEY_LOCAL_MACHINE\\Software\\Gone]\n" +
                            kMainSection +
                            "; a comment\n"
                            "garbage line\n"
                            "\"NoEquals\" dword:00000001\n"
                            "\"BadDword\"=dword:12345678\x39\n"
                            "\"BadDigits\"=dword:0000zz00\n"
                            "\"EmptyDword\"=dword:\n"
                            "\"BadHex\"=hex:1,2g\n"
                            "\"LongHexItem\"=hex:123\n"
                            "\"BadType\"=hex(zz):00\n"
                            "\"Unclosed\"=\"abc\n"
                            "\"NoValue\"=\n"
                            "\"Good\"=dword:00000002\n"));
    ASSERT_EQ(store.Keys().size(), 1u);
    StoredKey* key = store.FindKey(kMain);
    ASSERT_EQ(key->values.size(), 1u);
    EXPECT_EQ(key->values[0].name, "Good");
    // None of them is lost: each is written back as it was, where it was.
    const std::string text = store.Serialize();
    for (const char* line :
         {"\"Orphan\"=dword:00000001\n\n[", "\n\n[HKEY_CURRENT_USER\\Software\\Other]\n\"Elsewhere\"",
          "\n\n[-HKEY_LOCAL_MACHINE\\Software\\Gone]\n\n[HKEY_LOCAL_MACHINE",
          "Kestrels]\n; a comment\ngarbage line\n", "\"NoValue\"=\n\"Good\"=dword:00000002\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

// Every line of a key that sets nothing is recorded with its line number, the name it
// seems to set and why, so the owner is told instead of silently getting the default.
TEST(SettingsStoreParse, UnreadableLinesAreRecordedWithLineNameAndReason) {
    struct Row {
        const char* line;
        const char* name;
        const char* reasonHas;
    };
    const Row rows[] = {
        {"\"PicPass\"=\"x", "PicPass", "closing double quote is missing"},
        {"\"PicPass\"=\"se\"cret\"", "PicPass", "follows the text's closing double quote"},
        {"\"uPort\"=dword:1f90 ; note", "uPort", "no 0x, no comment"},
        {"\"uPort\"=dword:0x1f90", "uPort", "hexadecimal digits"},
        {"\"uPort\"=dword:123456789", "uPort", "1 to 8"},
        {"uPort=dword:00001f90", "uPort", "begins with its name in double quotes"},
        {"\"uPort dword:00001f90", "uPort dword:00001f90", "name's closing double quote"},
        {"\"uPort\" dword:00001f90", "uPort", "no \"=\""},
        {"\"uPort\"=", "uPort", "nothing after"},
        {"\"FontInfo\"=hex:1,2g", "FontInfo", "two hexadecimal digits"},
        {"\"uPort\"=8080", "uPort", "neither a text"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        SettingsStore store;
        const std::string text = kHeaderLine + "\n" + kMainSection + "; note\n" + r.line + "\n";
        store.Parse(text);
        ASSERT_EQ(store.Unreadable().size(), 1u);
        const UnreadableLine& u = store.Unreadable()[0];
        EXPECT_EQ(u.line, 5u);
        EXPECT_EQ(u.keyPath, kMain);
        EXPECT_EQ(u.name, r.name);
        EXPECT_NE(u.reason.find(r.reasonHas), std::string::npos) << u.reason;
        EXPECT_TRUE(store.ValueUnreadable(kMain, SettingsStore::Lower(r.name)));
        EXPECT_EQ(store.FindKey(kMain)->values.size(), 0u) << "nothing is read from it";
        EXPECT_NE(store.Serialize().find(std::string("\n") + r.line + "\n"), std::string::npos)
            << "kept as it was";
    }
}

TEST(SettingsStoreParse, LastLineOfANameDecidesWhetherItIsUnreadableAndDroppingForgetsIt) {
    SettingsStore store;
    store.Parse(kHeaderLine + kMainSection +
                "\"uPort\"=dword:0x50\n\"uPort\"=dword:00000050\n"  // mended by a later line
                "\"PicPass\"=\"old\"\n\"PicPass\"=\"x\n");           // a later line that cannot be read
    ASSERT_EQ(store.Unreadable().size(), 2u);
    EXPECT_TRUE(store.Unreadable()[0].superseded);
    EXPECT_FALSE(store.ValueUnreadable(kMain, "uPort"));
    EXPECT_TRUE(store.ValueUnreadable(kMain, "PicPass"));
    EXPECT_EQ(store.FindKey(kMain)->Find("uPort")->line, 4u);

    store.DropUnreadable(kMain, "picpass");
    EXPECT_FALSE(store.ValueUnreadable(kMain, "PicPass"));
    const std::string text = store.Serialize();
    EXPECT_EQ(text.find("\"PicPass\"=\"x\n"), std::string::npos) << "the unreadable line went: " << text;
    EXPECT_NE(text.find("\"uPort\"=dword:0x50\n"), std::string::npos) << "other names keep theirs";
}

TEST(SettingsStoreKeys, LookupsFollowValuesAndPathsChangedDirectly) {
    SettingsStore store;
    StoredKey& key = store.CreateKey(kMain);
    for (int i = 0; i < 1000; ++i)
        key.Set("Value" + std::to_string(i), ValueType::Dword, Dword(static_cast<uint32_t>(i)));
    for (int i = 0; i < 1000; i += 97)
        ASSERT_NE(key.Find("VALUE" + std::to_string(i)), nullptr) << i;
    EXPECT_EQ(key.Find("value999")->data, Dword(999));
    key.values.erase(key.values.begin()); // behind the lookup's back
    EXPECT_EQ(key.Find("Value0"), nullptr);
    ASSERT_NE(key.Find("Value500"), nullptr);
    EXPECT_EQ(key.Find("Value500")->data, Dword(500));
    key.values.push_back(StoredValue{"Added", ValueType::Dword, Dword(7)});
    ASSERT_NE(key.Find("added"), nullptr);
    key.values.back().name = "Renamed"; // same count, other name
    EXPECT_EQ(key.Find("Added"), nullptr);
    ASSERT_NE(key.Find("renamed"), nullptr);

    key.path = kMain + "\\moved";
    EXPECT_EQ(store.FindKey(kMain), nullptr);
    EXPECT_EQ(store.FindKey(kMain + "\\MOVED"), &key);
    EXPECT_EQ(&store.CreateKey(kMain + "\\moved"), &key);
}

TEST(SettingsStoreParse, ByteOrderMarkBeforeTheHeaderIsAccepted) {
    SettingsStore store;
    EXPECT_TRUE(store.Parse("\xEF\xBB\xBF" + kHeaderLine + kMainSection + "\"a\"=dword:00000001\n"));
    EXPECT_NE(Value(store, kMain, "a"), nullptr);
}

TEST(SettingsStoreParse, EmptyOrBlankTextIsAnEmptyStoreNotDamage) {
    SettingsStore a, b;
    EXPECT_TRUE(a.Parse(""));
    EXPECT_TRUE(b.Parse("\n  \n\r\n"));
    EXPECT_TRUE(a.Keys().empty());
}

TEST(SettingsStoreParse, ContinuationLinesSurviveHandEditSlips) {
    struct Row {
        const char* what;
        std::string lines;
        std::string blob; // "Blob" expected
        bool nextRead;    // "Next"=dword:7 read after it
    } rows[] = {
        {"blanks after the backslash", "\"Blob\"=hex:01,02,\\  \t\n  03\n", "\x01\x02\x03", true},
        {"stray backslash on the last line", "\"Blob\"=hex:01,02,\\\n", "\x01\x02", true},
        {"stray backslash before a comment", "\"Blob\"=hex:01,\\\n; note\n", "\x01", true},
        {"stray backslash before a key", "\"Blob\"=hex:01,\\\n" + kMainSection, "\x01", true},
        {"stray backslash before a default value", "\"Blob\"=hex:01,\\\n@=\"d\"\n", "\x01", true},
        {"blank line ends the value", "\"Blob\"=hex:01,\\\n\n", "\x01", true},
        {"continuation indented with tabs", "\"Blob\"=hex:01,\\\n\t\t02,\\\r\n\t03\n", "\x01\x02\x03", true},
    };
    for (const Row& r : rows) {
        SettingsStore store;
        store.Parse(kHeaderLine + kMainSection + r.lines + "\"Next\"=dword:00000007\n");
        const StoredValue* blob = Value(store, kMain, "Blob");
        ASSERT_NE(blob, nullptr) << r.what;
        EXPECT_EQ(blob->data, r.blob) << r.what;
        const StoredValue* next = Value(store, kMain, "Next");
        ASSERT_EQ(next != nullptr, r.nextRead) << r.what;
        EXPECT_EQ(next->data, Dword(7)) << r.what;
    }
}

TEST(SettingsStoreParse, LongHexBlobOverManyLinesReadsBackByteForByte) {
    // 100 000 continuation lines, as a blob pasted by hand.
    std::string blob;
    std::string text = kHeaderLine + kMainSection + "\"Big\"=hex:";
    for (int line = 0; line < 100000; ++line) {
        for (int i = 0; i < 4; ++i) {
            const auto b = static_cast<unsigned char>((line * 7 + i * 31) & 0xFF);
            blob.push_back(static_cast<char>(b));
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02x", b);
            text += hex;
            text += line == 99999 && i == 3 ? "" : ",";
        }
        text += line == 99999 ? "\n" : "\\\n  ";
    }
    text += "\"After\"=dword:00000001\n";
    SettingsStore store;
    ASSERT_TRUE(store.Parse(text));
    ASSERT_NE(Value(store, kMain, "Big"), nullptr);
    EXPECT_EQ(Value(store, kMain, "Big")->data, blob);
    EXPECT_NE(Value(store, kMain, "After"), nullptr);
    SettingsStore back;
    ASSERT_TRUE(back.Parse(store.Serialize()));
    EXPECT_EQ(Value(back, kMain, "Big")->data, blob);
}

TEST(SettingsStoreParse, OtherHivesAndCommentsStayInTheirPlace) {
    const std::string text = kHeaderLine + "; written by hand\n\n" + kMainSection +
                             "; the port\n"
                             "\"uPort\"=dword:00001f90\n"
                             ";   indented note \n"
                             "\"strRoot\"=\"/w\"\n"
                             "; last line of the key\n"
                             "\n[HKEY_CURRENT_USER\\Software\\Other]\n"
                             "\"X\"=hex:01,\\\n  02\n"
                             "; theirs\n" +
                             "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption0]\n"
                             "\"Text\"=\"t\"\n";
    SettingsStore store;
    ASSERT_TRUE(store.Parse(text));
    // A value the program sets anew goes after what the key held.
    store.FindKey(kMain)->Set("CaptureDevice", ValueType::Dword, Dword(0));
    store.FindKey(kMain)->Set("uPort", ValueType::Dword, Dword(80));
    EXPECT_EQ(store.Serialize(), kHeaderLine + "; written by hand\n\n" + kMainSection +
                                     "; the port\n"
                                     "\"uPort\"=dword:00000050\n"
                                     ";   indented note \n"
                                     "\"strRoot\"=\"/w\"\n"
                                     "; last line of the key\n"
                                     "\"CaptureDevice\"=dword:00000000\n"
                                     "\n[HKEY_CURRENT_USER\\Software\\Other]\n"
                                     "\"X\"=hex:01,\\\n  02\n"
                                     "; theirs\n"
                                     "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption0]\n"
                                     "\"Text\"=\"t\"\n");
}

TEST(SettingsStoreParse, Latin1NamesKeysAndLinesAreReadAsLatin1) {
    SettingsStore store;
    EXPECT_FALSE(store.Parse(kHeaderLine + kMainSection + "; caf\xE9\n\"Gr\xFC\xDF\"=dword:00000001\n" +
                             "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\\xC4rger]\n\"a\"=\"\xE9\"\n"))
        << "a file that is not UTF-8 is still reported";
    const StoredValue* v = Value(store, kMain, "Grüß");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->data, Dword(1));
    ASSERT_NE(store.FindKey(kMain + "\\Ärger"), nullptr);
    // The value's own bytes are the owner's and stay as they are.
    EXPECT_EQ(Value(store, kMain + "\\Ärger", "a")->data, std::string("\xE9\0", 2));
    const std::string text = store.Serialize();
    EXPECT_NE(text.find("; café\n"), std::string::npos) << text;
    EXPECT_TRUE(SettingsStore::IsValidUtf8(text));
    SettingsStore back;
    EXPECT_TRUE(back.Parse(text));
    EXPECT_EQ(back.Serialize(), text);
}

// --- Damaged text ---------------------------------------------------------------------

struct DamageRow {
    const char* what;
    std::string text;
};

class DamagedText : public ::testing::TestWithParam<DamageRow> {};

TEST_P(DamagedText, IsReportedAndWhatCanBeReadIsRead) {
    SettingsStore store;
    EXPECT_FALSE(store.Parse(GetParam().text)) << GetParam().what;
    const StoredValue* v = Value(store, kMain, "uPort");
    ASSERT_NE(v, nullptr) << GetParam().what;
    EXPECT_EQ(v->data, Dword(8080));
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedText,
    ::testing::Values(
        DamageRow{"no header", kMainSection + "\"uPort\"=dword:00001f90\n"},
        DamageRow{"other header", "REGEDIT4\n" + kMainSection + "\"uPort\"=dword:00001f90\n"},
        DamageRow{"header not first", kMainSection + kHeaderLine + "\"uPort\"=dword:00001f90\n"},
        DamageRow{"not UTF-8", kHeaderLine + kMainSection + "\"Title\"=\"\x83\x4A\x83\x81\x83\x89\"\n" +
                                   "\"uPort\"=dword:00001f90\n"},
        DamageRow{"truncated UTF-8 at the end",
                  kHeaderLine + kMainSection + "\"uPort\"=dword:00001f90\n\"T\"=\"\xE3\x82"}));

// What the store writes it reads back intact, and writing again changes nothing: for the
// damaged texts above and for hand edits of every kind.
TEST(SettingsStoreFixedPoint, WhatIsWrittenReadsBackIntactAndWritesTheSame) {
    std::vector<std::string> corpus;
    for (const DamageRow& row :
         {DamageRow{"no header", kMainSection + "\"uPort\"=dword:00001f90\n"},
          DamageRow{"other header", "REGEDIT4\n" + kMainSection + "\"uPort\"=dword:00001f90\n"},
          DamageRow{"header not first", kMainSection + kHeaderLine + "\"uPort\"=dword:1\n"}})
        corpus.push_back(row.text);
    const std::string latin1Key = "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\Gr\xFC\xDF]\n";
    corpus.insert(
        corpus.end(),
        {
            kHeaderLine + kMainSection + "\"Title\"=\"\x83\x4A\x83\x81\"\n\"uPort\"=dword:00001f90\n",
            kHeaderLine + kMainSection + "\"uPort\"=dword:00001f90\n\"T\"=\"\xE3\x82",
            "\xEF\xBB\xBF" + kHeaderLine + kMainSection + "\"a\"=dword:1\r\n",
            kHeaderLine + kMainSection + "\"Caf\xE9\"=dword:1\n\"\xFF\xFE\"=\"x\"\n" + latin1Key +
                "@=hex:00\n",
            kHeaderLine + "[HKEY_CURRENT_USER\\Caf\xE9]\n\"n\xE9\"=\"v\xE9\"\n; \xE9t\xE9\n" + kMainSection,
            kHeaderLine + kMainSection + "\"Bad\"=hex:zz,\\\n  01\n\n  loose\n\"B\"=hex:01,\\\ngarbage\n",
            kHeaderLine + kMainSection + "\"H\"=hex:01,\\   \n02,\\\n\"N\"=dword:2\n;c,\\\n  03\n",
            kHeaderLine + "\"Orphan\"=1\n[HKEY_LOCAL_MACHINE]\n\"x\"=dword:1\n[-HKEY_LOCAL_MACHINE\\A]\n" +
                kMainSection +
                "\"a\"=dword:1\n[hkey_local_machine\\software\\velmora\\kestrels]\n; again\n\"A\"=\"2\"\n",
            kHeaderLine + kMainSection +
                "\"a\"=\"unterminated\\\n\"b\"=dword:123456789\n\"c\"=hex(zz):1\n@\n=\n",
            kHeaderLine + "[HKEY_LOCAL_MACHINE\\]\n\"\"=\"empty "
                          "name\"\n[HKEY_LOCAL_MACHINE\\a]b]\n\"q\"=hex(2):41,00\n",
            kHeaderLine + kMainSection +
                "\"n\\\"q\\\\\"=\"line\\r\\nnext\"\n\"m\"=hex(7):61,00,00\n\"s\"=hex(1):61\n",
            kHeaderLine + kHeaderLine + "; after two headers\n" + kMainSection +
                std::string("\"z\"=\"a\0b\"\n", 10),
            "garbage first\n" + kMainSection + "\"a\"=dword:1\n",
            "",
            "\n\n",
            "; only a comment\n",
            std::string("\x80\x81\n\xC3\n", 5),
        });
    for (const std::string& input : corpus) {
        SettingsStore first;
        first.Parse(input);
        const std::string written = first.Serialize();
        EXPECT_TRUE(SettingsStore::IsValidUtf8(written)) << ::testing::PrintToString(input);
        SettingsStore second;
        EXPECT_TRUE(second.Parse(written)) << "its own file called damaged:\n" << written;
        EXPECT_EQ(second.Serialize(), written) << ::testing::PrintToString(input);
        // Every value survives the second reading.
        for (const auto& key : first.Keys()) {
            StoredKey* again = second.FindKey(key->path);
            ASSERT_NE(again, nullptr) << key->path;
            ASSERT_EQ(again->values.size(), key->values.size()) << key->path;
            for (size_t i = 0; i < key->values.size(); ++i)
                EXPECT_EQ(again->values[i].data, key->values[i].data) << key->values[i].name;
        }
    }
}

TEST(SettingsStoreUtf8, Validation) {
    struct Row {
        std::string text;
        bool valid;
    } rows[] = {
        {"", true},
        {"plain", true},
        {"ＭＳ Ｐゴシック", true},
        {"\xF0\x9F\x93\xB7", true},  // four-byte character
        {"\xE3\x82", false},         // cut at the end
        {"\x80", false},             // stray continuation byte
        {"\xC0\xAF", false},         // overlong
        {"\xED\xA0\x80", false},     // surrogate
        {"\xF4\x90\x80\x80", false}, // past U+10FFFF
        {"\xE3\x41\x82", false},     // continuation missing
        {"\xFF", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(SettingsStore::IsValidUtf8(r.text), r.valid) << ::testing::PrintToString(r.text);
}

// --- Writing ----------------------------------------------------------------------------

TEST(SettingsStoreSerialize, WritesEachTypeInItsSyntax) {
    SettingsStore store;
    StoredKey& key = store.CreateKey(kMain);
    key.Set("uPort", ValueType::Dword, Dword(80));
    key.Set("CaptureDevice", ValueType::Dword, Dword(0xFFFFFFFFu));
    key.Set("strRoot", ValueType::String, Text("/home/u/WebPages"));
    key.Set("Freemsg", ValueType::String, Text("line1\r\nline2 \"q\" back\\slash"));
    key.Set("Blob", ValueType::Binary, std::string("\xF0\xFF\x00\x0a", 4));
    key.Set("Raw", ValueType::String, std::string("no zero"));        // not zero-terminated
    key.Set("Inner", ValueType::String, std::string("a\0b\0", 4));    // inner zero
    key.Set("Sjis", ValueType::String, std::string("\x83\x4A\0", 3)); // not UTF-8
    key.Set("Exp", ValueType::ExpandString, std::string("%\0", 2));
    key.Set("ShortDword", ValueType::Dword, std::string("\x01\x02", 2));
    store.CreateKey(kMain + "\\caption0").Set("Text", ValueType::String, Text("修正"));

    const std::string expected = kHeaderLine + "\n" + kMainSection +
                                 "\"uPort\"=dword:00000050\n"
                                 "\"CaptureDevice\"=dword:ffffffff\n"
                                 "\"strRoot\"=\"/home/u/WebPages\"\n"
                                 "\"Freemsg\"=\"line1\\r\\nline2 \\\"q\\\" back\\\\slash\"\n"
                                 "\"Blob\"=hex:f0,ff,00,0a\n"
                                 "\"Raw\"=hex(1):6e,6f,20,7a,65,72,6f\n"
                                 "\"Inner\"=hex(1):61,00,62,00\n"
                                 "\"Sjis\"=hex(1):83,4a,00\n"
                                 "\"Exp\"=hex(2):25,00\n"
                                 "\"ShortDword\"=hex(4):01,02\n"
                                 "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\caption0]\n"
                                 "\"Text\"=\"修正\"\n";
    EXPECT_EQ(store.Serialize(), expected);
}

TEST(SettingsStoreSerialize, EveryValueSurvivesARoundTripExactly) {
    SettingsStore store;
    StoredKey& key = store.CreateKey(kMain);
    std::string allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<char>(i));
    key.Set("All", ValueType::Binary, allBytes); // long: wraps over lines
    key.Set("Multi", ValueType::String, Text("一行目\r\n二行目\n\"三\"\\"));
    key.Set("Raw", ValueType::String, std::string("x"));
    key.Set("Sjis", ValueType::String, std::string("\x83\x4A\0", 3));
    key.Set("@default", ValueType::Dword, Dword(5));
    key.Set("", ValueType::String, Text("the default value"));
    store.CreateKey(kMain + "\\Unknown\\Deeper").Set("Keep", ValueType::MultiString, std::string("a\0\0", 3));

    std::string text = store.Serialize();
    for (const std::string& line : {std::string("\"All\"=hex:"), std::string("@=\"the default value\"")})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    // Wrapped lines stay short, as an export writes them.
    std::stringstream ss(text);
    for (std::string line; std::getline(ss, line);)
        EXPECT_LE(line.size(), 82u) << line;

    SettingsStore back;
    ASSERT_TRUE(back.Parse(text));
    ASSERT_EQ(back.Keys().size(), store.Keys().size());
    for (size_t k = 0; k < store.Keys().size(); ++k) {
        const StoredKey& a = *store.Keys()[k];
        const StoredKey& b = *back.Keys()[k];
        EXPECT_EQ(a.path, b.path);
        ASSERT_EQ(a.values.size(), b.values.size()) << a.path;
        for (size_t i = 0; i < a.values.size(); ++i) {
            EXPECT_EQ(a.values[i].name, b.values[i].name);
            EXPECT_EQ(a.values[i].type, b.values[i].type) << a.values[i].name;
            EXPECT_EQ(a.values[i].data, b.values[i].data) << a.values[i].name;
        }
    }
    EXPECT_EQ(back.Serialize(), text);
}

// --- The file ---------------------------------------------------------------------------

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    std::string Path(const std::string& name = "Kestrels.reg") const {
        return m_dir.path().toStdString() + "/" + name;
    }
    QTemporaryDir m_dir;
};

TEST_F(SettingsFile, MissingFileIsAFreshEmptyStore) {
    SettingsStore store(Path());
    EXPECT_TRUE(store.Load());
    EXPECT_TRUE(store.DamageReport().empty());
    EXPECT_TRUE(store.Keys().empty());
    EXPECT_FALSE(PathNamesSomething(Path() + ".bad"));
}

TEST_F(SettingsFile, UnknownKeysAndValuesAreWrittenBackWithMode0600) {
    const std::string original = kHeaderLine + "\n" + kMainSection +
                                 "\"uPort\"=dword:00001f90\n"
                                 "\"SomethingNew\"=\"kept\"\n"
                                 "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\plugin]\n"
                                 "\"Blob\"=hex:01,02\n";
    WriteFile(Path(), original);
    ::chmod(Path().c_str(), 0644);
    SettingsStore store(Path());
    ASSERT_TRUE(store.Load());
    store.FindKey(kMain)->Set("CaptureDevice", ValueType::Dword, Dword(0));
    ASSERT_EQ(store.Save(), 0);
    EXPECT_EQ(
        ReadFile(Path()),
        original.substr(0, original.find("\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\plugin")) +
            "\"CaptureDevice\"=dword:00000000\n"
            "\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Kestrels\\plugin]\n"
            "\"Blob\"=hex:01,02\n");
    struct stat st {};
    ASSERT_EQ(::stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    QDir dir(m_dir.path());
    EXPECT_EQ(dir.entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(SettingsFile, DamagedFileKeepsABadCopyAndIsReadAsFarAsPossible) {
    const std::string damaged = "this is not the header\n" + kMainSection + "\"uPort\"=dword:00001f90\n";
    WriteFile(Path(), damaged);
    SettingsStore store(Path());
    EXPECT_FALSE(store.Load());
    EXPECT_EQ(ReadFile(Path() + ".bad"), damaged);
    EXPECT_NE(store.DamageReport().find(Path()), std::string::npos) << store.DamageReport();
    EXPECT_NE(store.DamageReport().find(Path() + ".bad"), std::string::npos) << store.DamageReport();
    ASSERT_NE(Value(store, kMain, "uPort"), nullptr);
    EXPECT_EQ(Value(store, kMain, "uPort")->data, Dword(8080));
    // The next save writes a sound file in place of the damaged one.
    ASSERT_EQ(store.Save(), 0);
    SettingsStore again(Path());
    EXPECT_TRUE(again.Load());
    EXPECT_EQ(Value(again, kMain, "uPort")->data, Dword(8080));
}

TEST_F(SettingsFile, DamagedFileWhoseCopyCannotBeKeptIsNeverReplaced) {
    const std::string damaged = "garbage\n" + kMainSection + "\"uPort\"=dword:00001f90\n";
    WriteFile(Path(), damaged);
    ASSERT_EQ(::mkdir((Path() + ".bad").c_str(), 0700), 0); // the copy's name is taken by a folder
    SettingsStore store(Path());
    EXPECT_FALSE(store.Load());
    EXPECT_NE(store.DamageReport().find(ErrorText(EISDIR)), std::string::npos) << store.DamageReport();
    EXPECT_NE(store.DamageReport().find("will not be overwritten"), std::string::npos)
        << store.DamageReport();
    EXPECT_EQ(Value(store, kMain, "uPort")->data, Dword(8080)) << "what could be read is used";
    store.FindKey(kMain)->Set("uPort", ValueType::Dword, Dword(80));
    EXPECT_EQ(store.Save(), EISDIR);
    EXPECT_EQ(ReadFile(Path()), damaged);
}

TEST_F(SettingsFile, SymbolicLinkIsSavedThroughAndStays) {
    const std::string realFolder = m_dir.path().toStdString() + "/real";
    ASSERT_EQ(::mkdir(realFolder.c_str(), 0700), 0);
    const std::string original = kHeaderLine + kMainSection + "\"uPort\"=dword:00001f90\n";
    struct Row {
        const char* what;
        std::string link;   // what Kestrels.reg points at
        std::string target; // the file that must receive the save
        bool targetExists;
    } rows[] = {
        {"absolute link", realFolder + "/a.reg", realFolder + "/a.reg", true},
        {"relative link", "real/b.reg", realFolder + "/b.reg", true},
        {"link to a link", "c-link.reg", realFolder + "/c.reg", true},
        {"dangling link", realFolder + "/d.reg", realFolder + "/d.reg", false},
    };
    ASSERT_EQ(::symlink((realFolder + "/c.reg").c_str(), Path("c-link.reg").c_str()), 0);
    for (const Row& r : rows) {
        ::unlink(Path().c_str());
        if (r.targetExists)
            WriteFile(r.target, original);
        ASSERT_EQ(::symlink(r.link.c_str(), Path().c_str()), 0) << r.what;
        SettingsStore store(Path());
        ASSERT_TRUE(store.Load()) << r.what;
        store.CreateKey(kMain).Set("uPort", ValueType::Dword, Dword(81));
        ASSERT_EQ(store.Save(), 0) << r.what;
        struct stat st {};
        ASSERT_EQ(::lstat(Path().c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << r.what << ": the link was replaced by a file";
        EXPECT_NE(ReadFile(r.target).find("\"uPort\"=dword:00000051"), std::string::npos) << r.what;
        EXPECT_EQ(ReadFile(Path()), ReadFile(r.target)) << r.what;
        // No temporary file is left beside the link or the target.
        EXPECT_EQ(QDir(QString::fromStdString(realFolder))
                      .entryList(QDir::Files | QDir::Hidden)
                      .filter(".tmp")
                      .size(),
                  0);
    }
}

TEST_F(SettingsFile, UnreadableFileIsReportedAndNeverReplacedByDefaults) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const std::string original = kHeaderLine + kMainSection + "\"uPort\"=dword:00001f90\n";
    WriteFile(Path(), original);
    ::chmod(Path().c_str(), 0);
    SettingsStore store(Path());
    EXPECT_FALSE(store.Load());
    EXPECT_NE(store.DamageReport().find(ErrorText(EACCES)), std::string::npos) << store.DamageReport();
    store.CreateKey(kMain).Set("uPort", ValueType::Dword, Dword(80));
    EXPECT_EQ(store.Save(), EACCES);
    ::chmod(Path().c_str(), 0600);
    EXPECT_EQ(ReadFile(Path()), original);
}

TEST_F(SettingsFile, PipeInPlaceOfTheFileNeitherHangsNorIsReplaced) {
    ASSERT_EQ(::mkfifo(Path().c_str(), 0600), 0);
    SettingsStore store(Path());
    EXPECT_FALSE(store.Load());
    EXPECT_NE(store.DamageReport().find("cannot be read"), std::string::npos) << store.DamageReport();
    store.CreateKey(kMain).Set("uPort", ValueType::Dword, Dword(80));
    EXPECT_EQ(store.Save(), EINVAL);
    struct stat st {};
    ASSERT_EQ(::stat(Path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(SettingsFile, FolderInPlaceOfTheFileIsReportedAndKept) {
    ASSERT_EQ(::mkdir(Path().c_str(), 0700), 0);
    SettingsStore store(Path());
    EXPECT_FALSE(store.Load());
    EXPECT_NE(store.DamageReport().find(ErrorText(EISDIR)), std::string::npos) << store.DamageReport();
    EXPECT_EQ(store.Save(), EISDIR);
    EXPECT_TRUE(IsExistingFolder(Path()));
}

TEST_F(SettingsFile, FailedSaveLeavesTheOldFileWholeAndNoTemporaryFile) {
    const std::string original = kHeaderLine + kMainSection + "\"uPort\"=dword:00001f90\n";
    const std::string sub = m_dir.path().toStdString() + "/ro";
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    const std::string target = sub + "/Kestrels.reg";
    WriteFile(target, original);
    SettingsStore store(target);
    ASSERT_TRUE(store.Load());
    store.FindKey(kMain)->Set("uPort", ValueType::Dword, Dword(81));
    ::chmod(sub.c_str(), 0500);
    int err = store.Save();
    ::chmod(sub.c_str(), 0700);
    if (::geteuid() != 0) {
        EXPECT_EQ(err, EACCES);
        EXPECT_EQ(ReadFile(target), original);
    }
    EXPECT_EQ(QDir(QString::fromStdString(sub)).entryList(QDir::Files | QDir::Hidden).size(), 1);

    // Whatever the user: a save into a folder that is gone fails and says why.
    SettingsStore nowhere(m_dir.path().toStdString() + "/missing/Kestrels.reg");
    EXPECT_EQ(nowhere.Save(), ENOENT);
}

// --- AtomicFile -------------------------------------------------------------------------

TEST_F(SettingsFile, AtomicFileWithoutCommitLeavesTheTargetAlone) {
    WriteFile(Path("page.html"), "old");
    {
        AtomicFile file(Path("page.html"));
        ASSERT_TRUE(file.Open());
        ASSERT_TRUE(file.Write("new content", 11));
        // Destroyed without Commit: an interrupted write.
    }
    EXPECT_EQ(ReadFile(Path("page.html")), "old");
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);

    AtomicFile file(Path("page.html"), 0640);
    file.SetDurable(true);
    ASSERT_TRUE(file.Open());
    ASSERT_TRUE(file.Write("new", 3));
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(ReadFile(Path("page.html")), "new");
    struct stat st {};
    ASSERT_EQ(::stat(Path("page.html").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(SettingsFile, AtomicFileOverAFolderFailsWithItsErrno) {
    ASSERT_EQ(::mkdir(Path("dir").c_str(), 0700), 0);
    EXPECT_EQ(WriteFileAtomically(Path("dir"), "x"), EISDIR);
    EXPECT_TRUE(IsExistingFolder(Path("dir")));
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
}
