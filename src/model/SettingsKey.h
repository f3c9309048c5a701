#pragma once

#include "platform/SettingsStore.h"

#include <cstdint>
#include <string>

namespace kestrel {

// Status codes of the key operations, as the registry numbers them.
constexpr int ERROR_SUCCESS = 0;
constexpr int ERROR_FILE_NOT_FOUND = 2;
constexpr int ERROR_INVALID_HANDLE = 6;
constexpr int ERROR_MORE_DATA = 234;

// The predefined root under which the settings key lives.
enum class HKEY_ROOT { HKEY_LOCAL_MACHINE };
using enum HKEY_ROOT;

// The settings key class every settings record reads and writes through. It keeps the
// registry's rules: a query reads the stored bytes whatever their type, texts are kept
// with their terminating zero and read into a 1024-byte buffer.
class CSettingsKey {
public:
    static constexpr size_t kStringBuffer = 1024;

    explicit CSettingsKey(SettingsStore& store) : m_store(&store) {}
    virtual ~CSettingsKey() { Close(); }
    CSettingsKey(const CSettingsKey&) = delete;
    CSettingsKey& operator=(const CSettingsKey&) = delete;

    int Create(HKEY_ROOT root, const std::string& path);
    int CreateSubKey(const CSettingsKey& parent, const std::string& name);

    int QueryDword(const std::string& name, uint32_t& value);
    int QueryDword(const std::string& name, int32_t& value);
    int QueryBlob(const std::string& name, void* buffer, size_t size);
    int QueryString(const std::string& name, std::string& text);

    int SetDword(const std::string& name, uint32_t value);
    int SetBlob(const std::string& name, const void* bytes, size_t size);
    int SetString(const std::string& name, const std::string& text);

    void Close() { m_key = nullptr; }
    bool IsOpen() const { return m_key != nullptr; }
    const std::string& Path() const { return m_path; }
    SettingsStore& Store() const { return *m_store; }

private:
    // Warns on standard error when a value is stored with another type than expected.
    void WarnType(const StoredValue& v, ValueType expected) const;
    SettingsStore* m_store;
    StoredKey* m_key = nullptr;
    std::string m_path;
};

} // namespace kestrel
