#include "model/SettingsKey.h"

#include <cstdio>
#include <cstring>

namespace kestrel {

namespace {
const char* TypeWord(ValueType t) {
    switch (t) {
    case ValueType::String:
        return "a text";
    case ValueType::Dword:
        return "a number";
    case ValueType::Binary:
        return "a byte blob";
    default:
        return "a value of another type";
    }
}
const char* Syntax(ValueType t) {
    switch (t) {
    case ValueType::String:
        return "\"text\"";
    case ValueType::Dword:
        return "dword:00000050 (hexadecimal)";
    default:
        return "hex:00,01,...";
    }
}
} // namespace

void CSettingsKey::WarnType(const StoredValue& v, ValueType expected) const {
    if (v.type == expected)
        return;
    std::fprintf(stderr, "kestrel: settings value \"%s\" in [%s] is %s, not %s; write it as \"%s\"=%s\n",
                 v.name.c_str(), m_path.c_str(), TypeWord(v.type), TypeWord(expected), v.name.c_str(),
                 Syntax(expected));
}

int CSettingsKey::Create(HKEY_ROOT, const std::string& path) {
    Close();
    if (int failure = m_store->KeyFailure(path))
        return failure;
    m_key = &m_store->CreateKey(path);
    m_path = m_key->path;
    return ERROR_SUCCESS;
}

int CSettingsKey::CreateSubKey(const CSettingsKey& parent, const std::string& name) {
    Close();
    if (!parent.m_key)
        return ERROR_INVALID_HANDLE;
    std::string path = parent.m_path + "\\" + name;
    if (int failure = m_store->KeyFailure(path))
        return failure;
    m_key = &m_store->CreateKey(path);
    m_path = m_key->path;
    return ERROR_SUCCESS;
}

int CSettingsKey::QueryDword(const std::string& name, uint32_t& value) {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    StoredValue* v = m_key->Find(name);
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    WarnType(*v, ValueType::Dword);
    if (v->data.size() > 4)
        return ERROR_MORE_DATA;
    // Only the stored bytes are replaced; the higher bytes keep what the integer held.
    unsigned char bytes[4];
    std::memcpy(bytes, &value, 4);
    std::memcpy(bytes, v->data.data(), v->data.size());
    std::memcpy(&value, bytes, 4);
    return ERROR_SUCCESS;
}

int CSettingsKey::QueryDword(const std::string& name, int32_t& value) {
    uint32_t u = static_cast<uint32_t>(value);
    int rc = QueryDword(name, u);
    if (rc == ERROR_SUCCESS)
        value = static_cast<int32_t>(u);
    return rc;
}

int CSettingsKey::QueryBlob(const std::string& name, void* buffer, size_t size) {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    StoredValue* v = m_key->Find(name);
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    WarnType(*v, ValueType::Binary);
    if (v->data.size() > size)
        return ERROR_MORE_DATA;
    std::memcpy(buffer, v->data.data(), v->data.size());
    return ERROR_SUCCESS;
}

int CSettingsKey::QueryString(const std::string& name, std::string& text) {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    StoredValue* v = m_key->Find(name);
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    WarnType(*v, ValueType::String);
    if (v->data.size() > kStringBuffer)
        return ERROR_MORE_DATA;
    // A text ends at its first zero byte; stored bytes without one are taken whole.
    std::string bytes = v->data;
    auto zero = bytes.find('\0');
    if (zero != std::string::npos)
        bytes.resize(zero);
    else if (bytes.size() == kStringBuffer)
        return ERROR_MORE_DATA; // no room left for the terminating zero
    text = bytes;
    return ERROR_SUCCESS;
}

int CSettingsKey::SetDword(const std::string& name, uint32_t value) {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    std::string data(4, '\0');
    std::memcpy(data.data(), &value, 4);
    m_key->Set(name, ValueType::Dword, std::move(data));
    return ERROR_SUCCESS;
}

int CSettingsKey::SetBlob(const std::string& name, const void* bytes, size_t size) {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    m_key->Set(name, ValueType::Binary, std::string(static_cast<const char*>(bytes), size));
    return ERROR_SUCCESS;
}

int CSettingsKey::SetString(const std::string& name, const std::string& text) {
    if (!m_key)
        return ERROR_INVALID_HANDLE;
    std::string data = text;
    data.push_back('\0');
    m_key->Set(name, ValueType::String, std::move(data));
    return ERROR_SUCCESS;
}

} // namespace kestrel
