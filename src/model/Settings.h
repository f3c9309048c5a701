#pragma once

#include "model/LogFont.h"
#include "model/SettingsKey.h"
#include "platform/MessageBox.h"

#include <array>
#include <cstdint>
#include <string>

namespace kestrel {

// The settings key under the machine root, and the caption subkey pattern.
constexpr const char* kSettingsKeyPath = "Software\\Velmora\\Kestrels";
constexpr const char* kWebRootName = "WebPages";
// The ACME directory used unless AcmeDirectory names another.
constexpr const char* kDefaultAcmeDirectory = "https://acme-v02.api.letsencrypt.org/directory";

// A colour reference laid out 0x00BBGGRR.
using COLORREF = uint32_t;
constexpr COLORREF RGB(int r, int g, int b) {
    return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int GetRValue(COLORREF c) {
    return static_cast<int>(c & 0xFF);
}
constexpr int GetGValue(COLORREF c) {
    return static_cast<int>((c >> 8) & 0xFF);
}
constexpr int GetBValue(COLORREF c) {
    return static_cast<int>((c >> 16) & 0xFF);
}

// The default web root folder ("~/WebPages") and the default overlay file in it.
std::string DefaultWebRoot();
std::string DefaultOverlayBmp();

// Where records read and write. Records copied for a dialog keep pointing at it.
class SettingsRecord {
public:
    explicit SettingsRecord(SettingsStore* store = nullptr) : m_store(store) {}
    virtual ~SettingsRecord() = default;
    void SetStore(SettingsStore* store) { m_store = store; }
    SettingsStore* Store() const { return m_store; }

protected:
    SettingsStore* m_store;
};

// One caption line drawn on every composed frame.
class Caption {
public:
    Caption();
    virtual ~Caption() = default;
    // Opens or creates subkey "caption<index>" of `key`; returns 0 or the error code.
    int Load(CSettingsKey& key, int index);
    int Save(CSettingsKey& key, int index) const;

    uint32_t Enabled = 0;
    int32_t HPosType = 0;
    int32_t VPosType = 0;
    int32_t XPos = 0;
    int32_t YPos = 0;
    COLORREF TextColor = 0;
    COLORREF BackColor = RGB(255, 255, 255);
    int32_t BackType = 0;
    LOGFONTA FontInfo;
    std::string Text;
};

class ImageSettings : public SettingsRecord {
public:
    static constexpr int kCaptionCount = 6;
    using SettingsRecord::SettingsRecord;
    // `box` reports a caption subkey that cannot be opened; may be null.
    void Load(IMessageBox* box = nullptr);
    void Save() const;

    COLORREF OverlayTransColor = 0;
    uint32_t UseOverlay = 0;
    int32_t CaptureDevice = -1;
    // The chosen camera's stable link (/dev/v4l/by-id/... or by-path/...), kept beside
    // CaptureDevice; "" for none, the test pattern, or a camera without one.
    std::string CaptureDevicePath;
    uint32_t PreviewEnabled = 1;
    std::string OverlayBmp = DefaultOverlayBmp();
    uint32_t UseCustomSize = 0;
    int32_t ImageWidth = 160;
    int32_t ImageHeight = 120;
    int32_t JpegQuality = 75;
    int32_t MotionQuality = 75;
    uint32_t UseMotion = 0;
    uint32_t CapFPS = 1;
    // Motion snapshots in "logpic": at most this many MiB (0: no limit; a missing value reads
    // 0, so an upgrade never prunes an owner's snapshots) and this many days (0: no limit).
    uint32_t LogPicMaxMB = 0;
    uint32_t LogPicKeepDays = 0;
    std::array<Caption, kCaptionCount> captions;
};

class CServerSettings : public SettingsRecord {
public:
    using SettingsRecord::SettingsRecord;
    // `hostName` is the default of strServer (the local host name).
    void Load(const std::string& hostName);
    void Save() const;

    std::string strRoot = DefaultWebRoot();
    // strRoot as the file has it, before a folder that does not exist was replaced by the
    // default; a headless start keeps it and makes the folder.
    std::string storedRoot = DefaultWebRoot();
    std::string strServer;
    uint32_t uPort = 80;
    uint32_t bLoggingOn = 1;
    uint32_t bListIcon = 0;
    uint32_t bAllowListing = 0;
    // Open connections one client address may hold (IPv6: one /64); 0 = no cap.
    uint32_t MaxConnPerAddress = 256;
    // Days the daily hit logs are kept after their day (0: all are kept).
    uint32_t HitLogKeepDays = 0;
    // The live motion-JPEG stream "/stream.mjpg": on/off, frames per second (1-30),
    // clients at once (1-256).
    uint32_t StreamEnabled = 1;
    uint32_t StreamMaxFps = 10;
    uint32_t StreamMaxClients = 32;
    // Stream clients one client address may have at once (IPv6: one /64), 1-256.
    uint32_t StreamMaxPerAddress = 4;
    // Scripts running at once, 1-256; a request for one more is answered 503.
    uint32_t ScriptMaxRunning = 16;
    // HTTPS: the port (0 = off), the PEM certificate (with its chain) and key files, the
    // redirect of plain requests to HTTPS (0/1), Strict-Transport-Security's max-age (0 = none).
    uint32_t TlsPort = 0;
    std::string TlsCertFile, TlsKeyFile;
    uint32_t TlsRedirect = 1;
    uint32_t TlsHsts = 0;
    // The one address both ports listen on ("" = every interface, IPv4 and IPv6). While its
    // line cannot be read nothing is served (never every interface instead), and the line
    // is not written back.
    std::string ListenAddress;
    bool ListenAddressUnreadable = false;
    // Proxies whose X-Forwarded-* headers are believed: comma-separated addresses and
    // ranges ("127.0.0.1, 10.0.0.0/8"). While its line cannot be read no proxy is trusted,
    // and the line is not written back.
    std::string TrustedProxies;
    bool TrustedProxiesUnreadable = false;
    // Certificates from an ACME certificate authority: the host names (comma-separated;
    // empty = off), the account's contact address (optional), the CA's directory, and an
    // extra CA bundle trusted for talking to it (optional). Used only while TlsPort is set
    // and TlsCertFile and TlsKeyFile are both empty.
    std::string AcmeDomains, AcmeEmail;
    std::string AcmeDirectory = kDefaultAcmeDirectory;
    std::string AcmeCaFile;
    // Whether the certificate of TlsPort comes from the ACME CA.
    bool AcmeOn() const {
        return TlsPort != 0 && TlsCertFile.empty() && TlsKeyFile.empty() &&
               AcmeDomains.find_first_not_of(" \t,") != std::string::npos;
    }
    int64_t timeStarted = 0; // not stored
};

class HtmlSettings : public SettingsRecord {
public:
    using SettingsRecord::SettingsRecord;
    void Load();
    void Save() const;

    int32_t Template = 0;
    uint32_t HTMLCustomSize = 0;
    int32_t HTMLWidth = 160;
    int32_t HTMLHeight = 120;
    uint32_t CateDisp = 1;
    std::string Email, ICQ, Title1, Link1, Title2, Link2, Freemsg;
};

class UrlRegSettings : public SettingsRecord {
public:
    using SettingsRecord::SettingsRecord;
    void Load();
    void Save() const;

    std::string UserID, Password;
    int32_t Cate = 1;
    std::string Title, Description;
    uint32_t Nicfg = 1;
    uint32_t HPlinkfg = 1;
};

class BasicSettings : public SettingsRecord {
public:
    using SettingsRecord::SettingsRecord;
    // A stored GlobalIP that is no plain address or host name is ignored (it would go into
    // every page and "kestrel.dat") and said once through `box`; the file keeps it until
    // the owner sets another.
    void Load(IMessageBox* box = nullptr);
    void Save() const;

    std::string CGIServer; // empty: no directory server configured
    uint32_t UrlAutoexec = 0;
    uint32_t AddrScout = 0;
    int32_t Power = 0;
    std::string IPAddr, GlobalIP, PicPass, SkinBmp;
    // The file sets PicPass on a line that cannot be read. Pictures then fail closed: they
    // are guarded by a password no one knows, and PicPass is not written back (the line
    // stays as it is) until the owner enters a new one or clears it.
    bool PicPassUnreadable = false;

    // The password the pictures and pages go by: PicPass, or while it cannot be read, a
    // random one made at load that no request can know.
    std::string PicturePassword() const { return PicPassUnreadable ? m_unknowablePassword : PicPass; }

private:
    std::string m_ignoredGlobalIP; // as stored, when it was ignored
    std::string m_unknowablePassword;
};

// What the owner is told at start when PicPass cannot be read; %s is the settings file.
std::string UnreadablePicPassMessage(const std::string& settingsFile);

} // namespace kestrel
