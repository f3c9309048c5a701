#pragma once

#include "capture/Dib.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

class SettingsStore;

// Which of its own dialogs a driver offers.
struct DriverCaps {
    bool hasSourceDialog = false;
    bool hasFormatDialog = false;
    bool hasDisplayDialog = false;
};

// One setting a driver dialog shows: a choice among texts, a slider or a check box.
struct DeviceSetting {
    enum class Kind { Choice, Slider, Check };
    std::string key;   // stored under this name
    std::string label; // shown to the owner
    Kind kind = Kind::Slider;
    int minimum = 0, maximum = 0, step = 1, value = 0, defaultValue = 0;
    std::vector<std::string> choices; // Choice: the texts; value is the position
};

// A frame source. Drivers speak only our own bitmap types; the capture layer never sees
// what kind of device is behind one.
class ICaptureDevice {
public:
    virtual ~ICaptureDevice() = default;

    virtual std::string Description() const = 0;
    // Identifies the device across unplugging and renumbering.
    virtual std::string BusInfo() const = 0;
    // Opens the device with its stored format; false when it cannot deliver.
    virtual bool Connect() = 0;
    virtual void Disconnect() = 0;
    virtual DriverCaps Caps() const = 0;
    virtual int FrameWidth() const = 0;
    virtual int FrameHeight() const = 0;
    // The newest frame as a bottom-up picture in the driver's pixel format; false when the
    // device delivers nothing (unplugged, I/O error).
    virtual bool TakeFrame(DibBuffer& frame) = 0;
    virtual bool IsDelivering() const = 0;
    // The newest frame only when it is not the one numbered `number` (the last one the
    // caller took), which then becomes its number; false when there is no newer one.
    // A device that makes a frame on every call delivers a new one every time.
    virtual bool TakeNewFrame(DibBuffer& frame, uint64_t& number) {
        if (!TakeFrame(frame))
            return false;
        ++number;
        return true;
    }
    // A device whose frames arrive by themselves calls `notify` (on any thread) after each
    // one; an empty function stops the calls, and once that returns no call is under way.
    // Devices that make frames on demand never call it.
    virtual void SetFrameNotifier(std::function<void()> /*notify*/) {}
    // A device that finds itself again after it was lost (on a thread of its own) says so;
    // Connections() then counts its successful connections, and FrameWidth/FrameHeight
    // follow the latest one. Other devices are reconnected by the capture window.
    virtual bool ReconnectsItself() const { return false; }
    virtual uint64_t Connections() const { return 0; }

    // The settings of the format and source dialogs; Apply stores and uses them.
    virtual std::vector<DeviceSetting> FormatSettings() const { return {}; }
    virtual bool ApplyFormatSettings(const std::vector<DeviceSetting>&) { return false; }
    virtual std::vector<DeviceSetting> SourceSettings() const { return {}; }
    virtual bool ApplySourceSettings(const std::vector<DeviceSetting>&) { return false; }
};

// Where a driver keeps its own settings: subkey "Drivers\<name>" of the program's key.
class DriverSettings {
public:
    DriverSettings(SettingsStore* store, const std::string& name);
    // Letters, digits, "-", "." and ":" are kept; everything else becomes "_".
    static std::string KeyName(const std::string& busInfo);
    int Get(const std::string& value, int fallback) const;
    void Set(const std::string& value, int number);
    // Every number stored under a name that starts with `prefix`.
    std::map<std::string, int> AllWithPrefix(const std::string& prefix) const;
    const std::string& Path() const { return m_path; }

private:
    SettingsStore* m_store;
    std::string m_path;
};

// One entry of the driver list.
struct DriverEntry {
    std::string description;
    std::string busInfo;
    std::function<std::unique_ptr<ICaptureDevice>()> open;
    std::string node; // the device file ("/dev/video0"); empty for the test pattern
};

// The drivers by index: 0 is the built-in test pattern, then the cameras of the machine.
class DriverCatalog {
public:
    using Source = std::function<std::vector<DriverEntry>()>;
    // `cameras` lists the camera entries (by default the V4L2 nodes of /dev).
    explicit DriverCatalog(SettingsStore* store, Source cameras = {});
    // Lists the drivers afresh.
    std::vector<DriverEntry> Enumerate() const;
    // The description of driver `index` from the last listing (Refresh makes one).
    bool Description(int index, std::string& name) const;
    void Refresh() { m_entries = Enumerate(); }
    const std::vector<DriverEntry>& Entries() const { return m_entries; }
    SettingsStore* Store() const { return m_store; }

private:
    SettingsStore* m_store;
    Source m_cameras;
    std::vector<DriverEntry> m_entries;
};

} // namespace kestrel
