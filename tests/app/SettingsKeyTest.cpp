// CSettingsKey: the registry's query rules over the stored bytes, status codes and the
// warning for a value stored with another type.

#include "model/SettingsKey.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace kestrel;

namespace {

const std::string kMain = "Software\\Velmora\\Kestrels";

std::string Z(const std::string& s) {
    return s + std::string(1, '\0');
}

struct DwordRow {
    const char* what;
    ValueType type; // None: the value is missing
    std::string data;
    uint32_t before;
    int rc;
    uint32_t after;
};

class QueryDwordRule : public ::testing::TestWithParam<DwordRow> {};

TEST_P(QueryDwordRule, ReadsAtMostFourStoredBytes) {
    const DwordRow& row = GetParam();
    SettingsStore store;
    if (row.type != ValueType::None)
        store.CreateKey(kMain).Set("v", row.type, row.data);
    CSettingsKey key(store);
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kMain), ERROR_SUCCESS);
    uint32_t value = row.before;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(key.QueryDword("v", value), row.rc) << row.what;
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(value, row.after) << row.what << std::hex << " got 0x" << value;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, QueryDwordRule,
    ::testing::Values(
        DwordRow{"dword", ValueType::Dword, std::string("\x90\x1f\0\0", 4), 0xAABBCCDD, ERROR_SUCCESS, 8080},
        DwordRow{"missing", ValueType::None, "", 0xAABBCCDD, ERROR_FILE_NOT_FOUND, 0xAABBCCDD},
        DwordRow{"text of 2 bytes keeps the higher two", ValueType::String, Z("1"), 0xAABBCCDD, ERROR_SUCCESS,
                 0xAABB0031},
        DwordRow{"empty text replaces the low byte only", ValueType::String, Z(""), 0xFFFFFFFF, ERROR_SUCCESS,
                 0xFFFFFF00},
        DwordRow{"text of 4 bytes", ValueType::String, Z("abc"), 0xAABBCCDD, ERROR_SUCCESS, 0x00636261},
        DwordRow{"text of 5 bytes fails", ValueType::String, Z("8080"), 0xAABBCCDD, ERROR_MORE_DATA,
                 0xAABBCCDD},
        DwordRow{"blob of 3 bytes", ValueType::Binary, std::string("\x01\x02\x03", 3), 0xAABBCCDD,
                 ERROR_SUCCESS, 0xAA030201},
        DwordRow{"empty blob changes nothing", ValueType::Binary, "", 0xAABBCCDD, ERROR_SUCCESS, 0xAABBCCDD},
        DwordRow{"short dword", ValueType::Dword, std::string("\x05", 1), 0xAABBCCDD, ERROR_SUCCESS,
                 0xAABBCC05},
        DwordRow{"blob of 60 bytes fails", ValueType::Binary, std::string(60, 'x'), 7, ERROR_MORE_DATA, 7}));

TEST(SettingsKeyQuery, SignedIntegersKeepTheSameRule) {
    SettingsStore store;
    store.CreateKey(kMain).Set("CaptureDevice", ValueType::String, Z(""));
    store.CreateKey(kMain).Set("Minus", ValueType::Dword, std::string("\xff\xff\xff\xff", 4));
    CSettingsKey key(store);
    key.Create(HKEY_LOCAL_MACHINE, kMain);
    int32_t device = -1;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(key.QueryDword("CaptureDevice", device), ERROR_SUCCESS);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(device, -256);
    int32_t minus = 0;
    EXPECT_EQ(key.QueryDword("Minus", minus), ERROR_SUCCESS);
    EXPECT_EQ(minus, -1);
}

TEST(SettingsKeyQuery, StringBufferHolds1023BytesAndItsZero) {
    struct Row {
        const char* what;
        ValueType type;
        std::string data;
        int rc;
        std::string text;
    } rows[] = {
        {"1023 bytes fit", ValueType::String, Z(std::string(1023, 'a')), ERROR_SUCCESS,
         std::string(1023, 'a')},
        {"1024 bytes do not", ValueType::String, Z(std::string(1024, 'b')), ERROR_MORE_DATA, "before"},
        {"far too long", ValueType::String, Z(std::string(5000, 'c')), ERROR_MORE_DATA, "before"},
        {"1023 bytes without zero", ValueType::String, std::string(1023, 'd'), ERROR_SUCCESS,
         std::string(1023, 'd')},
        {"1024 bytes without zero", ValueType::String, std::string(1024, 'e'), ERROR_MORE_DATA, "before"},
        {"ends at the first zero", ValueType::String, std::string("ab\0cd\0", 6), ERROR_SUCCESS, "ab"},
        {"a dword read as text", ValueType::Dword, std::string("\x50\0\0\0", 4), ERROR_SUCCESS, "P"},
        {"multi-byte text", ValueType::String, Z("ライブ\r\nカメラ"), ERROR_SUCCESS, "ライブ\r\nカメラ"},
    };
    for (const Row& r : rows) {
        SettingsStore store;
        store.CreateKey(kMain).Set("t", r.type, r.data);
        CSettingsKey key(store);
        key.Create(HKEY_LOCAL_MACHINE, kMain);
        std::string text = "before";
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(key.QueryString("t", text), r.rc) << r.what;
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(text, r.text) << r.what;
    }
}

TEST(SettingsKeyQuery, BlobReadsAtMostTheBufferSize) {
    SettingsStore store;
    StoredKey& k = store.CreateKey(kMain);
    k.Set("short", ValueType::Binary, "\x01\x02");
    k.Set("long", ValueType::Binary, std::string(61, '\x09'));
    CSettingsKey key(store);
    key.Create(HKEY_LOCAL_MACHINE, kMain);
    unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(key.QueryBlob("short", buf, sizeof buf), ERROR_SUCCESS);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 2);
    EXPECT_EQ(buf[2], 0xEE);
    unsigned char big[60] = {};
    EXPECT_EQ(key.QueryBlob("long", big, sizeof big), ERROR_MORE_DATA);
    EXPECT_EQ(big[0], 0);
    EXPECT_EQ(key.QueryBlob("absent", big, sizeof big), ERROR_FILE_NOT_FOUND);
}

TEST(SettingsKeyWrite, ValueTypesAndTheTerminatingZero) {
    SettingsStore store;
    CSettingsKey key(store);
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kMain), ERROR_SUCCESS);
    EXPECT_EQ(key.SetDword("n", 0xFFFFFFFFu), ERROR_SUCCESS);
    EXPECT_EQ(key.SetString("s", "ゴ"), ERROR_SUCCESS);
    EXPECT_EQ(key.SetBlob("b", "\x00\x01", 2), ERROR_SUCCESS);
    StoredKey* k = store.FindKey(kMain);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->Find("n")->type, ValueType::Dword);
    EXPECT_EQ(k->Find("n")->data, std::string("\xff\xff\xff\xff", 4));
    EXPECT_EQ(k->Find("s")->type, ValueType::String);
    EXPECT_EQ(k->Find("s")->data, Z("ゴ")); // length + 1 bytes
    EXPECT_EQ(k->Find("b")->type, ValueType::Binary);
    EXPECT_EQ(k->Find("b")->data, std::string("\x00\x01", 2));
}

TEST(SettingsKeyWrite, ClosedKeyRefusesEverything) {
    SettingsStore store;
    CSettingsKey key(store);
    uint32_t v = 1;
    std::string s;
    EXPECT_EQ(key.QueryDword("x", v), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key.QueryString("x", s), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key.SetDword("x", 1), ERROR_INVALID_HANDLE);
    CSettingsKey sub(store);
    EXPECT_EQ(sub.CreateSubKey(key, "caption0"), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(store.Keys().empty());
}

TEST(SettingsKeyOpen, CreateMakesTheKeyAndAFailingSubkeyReturnsItsCode) {
    SettingsStore store;
    store.FailKeyForTest(kMain + "\\CAPTION3", EACCES);
    CSettingsKey key(store);
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kMain), ERROR_SUCCESS);
    EXPECT_NE(store.FindKey(kMain), nullptr);
    CSettingsKey good(store), bad(store);
    EXPECT_EQ(good.CreateSubKey(key, "caption2"), ERROR_SUCCESS);
    EXPECT_EQ(good.Path(), kMain + "\\caption2");
    EXPECT_EQ(bad.CreateSubKey(key, "caption3"), EACCES);
    EXPECT_FALSE(bad.IsOpen());
    EXPECT_EQ(store.FindKey(kMain + "\\caption3"), nullptr);
}

TEST(SettingsKeyWarning, AnotherStoredTypeIsNamedWithTheSyntaxExpected) {
    SettingsStore store;
    StoredKey& k = store.CreateKey(kMain);
    k.Set("uPort", ValueType::String, Z("80"));
    k.Set("strRoot", ValueType::Dword, std::string(4, '\0'));
    k.Set("FontInfo", ValueType::String, Z("x"));
    k.Set("Right", ValueType::Dword, std::string(4, '\0'));
    CSettingsKey key(store);
    key.Create(HKEY_LOCAL_MACHINE, kMain);
    uint32_t n = 0;
    std::string s;
    char blob[60];

    ::testing::internal::CaptureStderr();
    key.QueryDword("uPort", n);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"uPort\""), std::string::npos) << err;
    EXPECT_NE(err.find("is a text, not a number"), std::string::npos) << err;
    EXPECT_NE(err.find("=dword:"), std::string::npos) << err;

    ::testing::internal::CaptureStderr();
    key.QueryString("strRoot", s);
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("\"strRoot\""), std::string::npos) << err;
    EXPECT_NE(err.find("=\"text\""), std::string::npos) << err;

    ::testing::internal::CaptureStderr();
    key.QueryBlob("FontInfo", blob, sizeof blob);
    err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("=hex:"), std::string::npos) << err;

    ::testing::internal::CaptureStderr();
    key.QueryDword("Right", n);
    key.QueryDword("Missing", n);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

} // namespace
