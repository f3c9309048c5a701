#include "capture/CaptureDevice.h"

#include "capture/TestPattern.h"
#include "capture/V4l2Device.h"
#include "model/Settings.h"
#include "model/SettingsKey.h"

#include <cctype>
#include <cstring>

namespace kestrel {

DriverSettings::DriverSettings(SettingsStore* store, const std::string& name)
    : m_store(store), m_path(std::string(kSettingsKeyPath) + "\\Drivers\\" + KeyName(name)) {}

std::string DriverSettings::KeyName(const std::string& busInfo) {
    std::string out = busInfo;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) && u < 0x80) && c != '-' && c != '.' && c != ':')
            c = '_';
    }
    return out.empty() ? "_" : out;
}

int DriverSettings::Get(const std::string& value, int fallback) const {
    if (!m_store || !m_store->FindKey(m_path))
        return fallback; // reading never creates the key
    CSettingsKey key(*m_store);
    if (key.Create(HKEY_LOCAL_MACHINE, m_path) != ERROR_SUCCESS)
        return fallback;
    int32_t number = 0;
    return key.QueryDword(value, number) == ERROR_SUCCESS ? number : fallback;
}

void DriverSettings::Set(const std::string& value, int number) {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    if (key.Create(HKEY_LOCAL_MACHINE, m_path) == ERROR_SUCCESS)
        key.SetDword(value, static_cast<uint32_t>(number));
}

std::map<std::string, int> DriverSettings::AllWithPrefix(const std::string& prefix) const {
    std::map<std::string, int> out;
    StoredKey* key = m_store ? m_store->FindKey(m_path) : nullptr;
    if (!key)
        return out;
    for (const StoredValue& v : key->values) {
        if (v.name.compare(0, prefix.size(), prefix) != 0 || v.type != ValueType::Dword || v.data.size() < 4)
            continue;
        int32_t number;
        std::memcpy(&number, v.data.data(), 4);
        out[v.name] = number;
    }
    return out;
}

DriverCatalog::DriverCatalog(SettingsStore* store, Source cameras)
    : m_store(store), m_cameras(std::move(cameras)) {
    if (!m_cameras)
        m_cameras = [store] { return EnumerateV4l2Drivers("/dev", store); };
}

std::vector<DriverEntry> DriverCatalog::Enumerate() const {
    std::vector<DriverEntry> list;
    SettingsStore* store = m_store;
    list.push_back({TestPatternDevice::kDescription, TestPatternDevice::kBusInfo,
                    [store] { return std::make_unique<TestPatternDevice>(store); }, {}});
    for (DriverEntry& e : m_cameras())
        list.push_back(std::move(e));
    return list;
}

bool DriverCatalog::Description(int index, std::string& name) const {
    if (index < 0 || static_cast<size_t>(index) >= m_entries.size())
        return false;
    name = m_entries[index].description;
    return true;
}

} // namespace kestrel
