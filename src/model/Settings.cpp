#include "model/Settings.h"

#include "model/HostChecks.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <sys/random.h>

namespace kestrel {

namespace {

const char* const kDefaultCaptionText = "\xE4\xBF\xAE\xE6\xAD\xA3\xE3\x81\x99\xE3\x82\x8B\xE3\x82\xAD\xE3\x83"
                                        "\xA3\xE3\x83\x97\xE3\x82\xB7\xE3\x83\xA7"
                                        "\xE3\x83\xB3\xE3\x82\x92\xE3\x82\xAF\xE3\x83\xAA\xE3\x83\x83\xE3\x82"
                                        "\xAF"; // 修正するキャプションをクリック

// "0/1, else default": a stored 0 or 1 is taken, anything else reads as the default.
void ReadZeroOne(CSettingsKey& key, const char* name, uint32_t& field, uint32_t def) {
    uint32_t v = def;
    field = (key.QueryDword(name, v) == ERROR_SUCCESS && v <= 1) ? v : def;
}

// "non-zero is 1": a stored 0 reads as 0, any other number as 1.
void ReadNonZeroIsOne(CSettingsKey& key, const char* name, uint32_t& field, uint32_t def) {
    uint32_t v = def;
    field = key.QueryDword(name, v) == ERROR_SUCCESS ? (v != 0 ? 1 : 0) : def;
}

// "as stored": any number is taken unchanged; a failed query leaves the default.
template <typename T> void ReadAsStored(CSettingsKey& key, const char* name, T& field, T def) {
    T v = def;
    field = key.QueryDword(name, v) == ERROR_SUCCESS ? v : def;
}

// "in range, else default": a stored number from lo to hi is taken, anything else reads as the default.
void ReadInRange(CSettingsKey& key, const char* name, uint32_t& field, uint32_t lo, uint32_t hi,
                 uint32_t def) {
    uint32_t v = def;
    field = (key.QueryDword(name, v) == ERROR_SUCCESS && v >= lo && v <= hi) ? v : def;
}

// `bytes` random bytes from the kernel as hexadecimal text.
std::string RandomHexText(size_t bytes) {
    std::string raw(bytes, '\0');
    size_t got = 0;
    while (got < bytes) {
        const ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (errno != EINTR)
            break;
    }
    // Should the kernel's call fail, the library's random device stands in.
    if (got < bytes) {
        std::random_device device;
        for (char& c : raw)
            c = static_cast<char>(device());
    }
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : raw) {
        out.push_back(digits[(static_cast<unsigned char>(c) >> 4) & 0xF]);
        out.push_back(digits[static_cast<unsigned char>(c) & 0xF]);
    }
    return out;
}

void ReadText(CSettingsKey& key, const char* name, std::string& field, const std::string& def) {
    std::string v = def;
    field = key.QueryString(name, v) == ERROR_SUCCESS ? v : def;
}

} // namespace

std::string UnreadablePicPassMessage(const std::string& settingsFile) {
    return "The picture password (PicPass) in " + settingsFile +
           " cannot be read, so every picture is refused as with a wrong password. Enter the password "
           "again (or clear it) in the basic settings, or mend the line while Kestrel is stopped.";
}

std::string DefaultWebRoot() {
    std::string home = HomeFolder();
    return (home == "/" ? std::string() : home) + "/" + kWebRootName; // "/WebPages", never "//WebPages"
}
std::string DefaultOverlayBmp() {
    return DefaultWebRoot() + "/overlay.bmp";
}

// --- Caption ---

Caption::Caption() : FontInfo(DefaultCaptionLogFont()), Text(kDefaultCaptionText) {}

int Caption::Load(CSettingsKey& key, int index) {
    CSettingsKey sub(key.Store());
    char name[16];
    std::snprintf(name, sizeof name, "caption%d", index);
    if (int rc = sub.CreateSubKey(key, name))
        return rc;
    // A missing value leaves the field at its current value.
    sub.QueryDword("Enabled", Enabled);
    sub.QueryDword("HPosType", HPosType);
    sub.QueryDword("VPosType", VPosType);
    sub.QueryDword("XPos", XPos);
    sub.QueryDword("YPos", YPos);
    sub.QueryDword("TextColor", TextColor);
    sub.QueryDword("BackColor", BackColor);
    sub.QueryDword("BackType", BackType);
    sub.QueryBlob("FontInfo", &FontInfo, sizeof FontInfo);
    sub.QueryString("Text", Text);
    return 0;
}

int Caption::Save(CSettingsKey& key, int index) const {
    CSettingsKey sub(key.Store());
    char name[16];
    std::snprintf(name, sizeof name, "caption%d", index);
    if (int rc = sub.CreateSubKey(key, name))
        return rc;
    sub.SetDword("BackColor", BackColor);
    sub.SetDword("BackType", static_cast<uint32_t>(BackType));
    sub.SetDword("Enabled", Enabled);
    sub.SetBlob("FontInfo", &FontInfo, sizeof FontInfo);
    sub.SetDword("HPosType", static_cast<uint32_t>(HPosType));
    sub.SetString("Text", Text);
    sub.SetDword("TextColor", TextColor);
    sub.SetDword("VPosType", static_cast<uint32_t>(VPosType));
    sub.SetDword("XPos", static_cast<uint32_t>(XPos));
    sub.SetDword("YPos", static_cast<uint32_t>(YPos));
    return 0;
}

// --- ImageSettings ---

void ImageSettings::Load(IMessageBox* box) {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    const ImageSettings def;
    ReadText(key, "OverlayBmp", OverlayBmp, def.OverlayBmp);
    if (!PathNamesSomething(OverlayBmp))
        OverlayBmp = def.OverlayBmp;
    ReadZeroOne(key, "PreviewEnabled", PreviewEnabled, def.PreviewEnabled);
    ReadAsStored(key, "CaptureDevice", CaptureDevice, def.CaptureDevice);
    ReadText(key, "CaptureDevicePath", CaptureDevicePath, "");
    ReadAsStored(key, "ImageHeight", ImageHeight, def.ImageHeight);
    ReadAsStored(key, "ImageWidth", ImageWidth, def.ImageWidth);
    ReadAsStored(key, "JpegQuality", JpegQuality, def.JpegQuality);
    ReadZeroOne(key, "UseCustomSize", UseCustomSize, def.UseCustomSize);
    ReadZeroOne(key, "UseOverlay", UseOverlay, def.UseOverlay);
    ReadZeroOne(key, "UseMotion", UseMotion, def.UseMotion);
    ReadAsStored(key, "MotionQuality", MotionQuality, def.MotionQuality);
    ReadAsStored(key, "CapFPS", CapFPS, def.CapFPS);
    ReadAsStored(key, "OverlayTransColor", OverlayTransColor, def.OverlayTransColor);
    ReadAsStored(key, "LogPicMaxMB", LogPicMaxMB, 0u);
    ReadAsStored(key, "LogPicKeepDays", LogPicKeepDays, 0u);
    for (int i = 0; i < kCaptionCount; ++i) {
        int rc = captions[static_cast<size_t>(i)].Load(key, i);
        if (rc != 0 && box)
            box->Show(ErrorText(rc), "Error opening key", MessageIcon::Information);
    }
    key.Close();
}

void ImageSettings::Save() const {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    key.SetString("OverlayBmp", OverlayBmp);
    key.SetDword("PreviewEnabled", PreviewEnabled);
    key.SetDword("CaptureDevice", static_cast<uint32_t>(CaptureDevice));
    key.SetString("CaptureDevicePath", CaptureDevicePath);
    key.SetDword("ImageHeight", static_cast<uint32_t>(ImageHeight));
    key.SetDword("ImageWidth", static_cast<uint32_t>(ImageWidth));
    key.SetDword("JpegQuality", static_cast<uint32_t>(JpegQuality));
    key.SetDword("UseCustomSize", UseCustomSize);
    key.SetDword("UseOverlay", UseOverlay);
    key.SetDword("OverlayTransColor", OverlayTransColor);
    key.SetDword("UseMotion", UseMotion);
    key.SetDword("MotionQuality", static_cast<uint32_t>(MotionQuality));
    key.SetDword("CapFPS", CapFPS);
    key.SetDword("LogPicMaxMB", LogPicMaxMB);
    key.SetDword("LogPicKeepDays", LogPicKeepDays);
    for (int i = 0; i < kCaptionCount; ++i)
        captions[static_cast<size_t>(i)].Save(key, i);
    key.Close();
}

// --- CServerSettings ---

void CServerSettings::Load(const std::string& hostName) {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    ReadText(key, "strRoot", strRoot, DefaultWebRoot());
    storedRoot = strRoot;
    if (!PathNamesSomething(strRoot))
        strRoot = DefaultWebRoot();
    ReadText(key, "strServer", strServer, hostName);
    ReadAsStored(key, "uPort", uPort, 80u);
    ReadZeroOne(key, "bLoggingOn", bLoggingOn, 1);
    ReadZeroOne(key, "bListIcon", bListIcon, 0);
    ReadZeroOne(key, "bAllowListing", bAllowListing, 0);
    ReadAsStored(key, "MaxConnPerAddress", MaxConnPerAddress, 256u);
    ReadAsStored(key, "HitLogKeepDays", HitLogKeepDays, 0u);
    ReadZeroOne(key, "StreamEnabled", StreamEnabled, 1);
    ReadInRange(key, "StreamMaxFps", StreamMaxFps, 1, 30, 10);
    ReadInRange(key, "StreamMaxClients", StreamMaxClients, 1, 256, 32);
    ReadInRange(key, "StreamMaxPerAddress", StreamMaxPerAddress, 1, 256, 4);
    ReadInRange(key, "ScriptMaxRunning", ScriptMaxRunning, 1, 256, 16);
    ReadInRange(key, "TlsPort", TlsPort, 0, 65535, 0);
    ReadText(key, "TlsCertFile", TlsCertFile, "");
    ReadText(key, "TlsKeyFile", TlsKeyFile, "");
    ReadZeroOne(key, "TlsRedirect", TlsRedirect, 1);
    ReadAsStored(key, "TlsHsts", TlsHsts, 0u);
    ReadText(key, "ListenAddress", ListenAddress, "");
    ListenAddressUnreadable = m_store->ValueUnreadable(kSettingsKeyPath, "ListenAddress");
    ReadText(key, "TrustedProxies", TrustedProxies, "");
    TrustedProxiesUnreadable = m_store->ValueUnreadable(kSettingsKeyPath, "TrustedProxies");
    if (TrustedProxiesUnreadable)
        TrustedProxies.clear();
    ReadText(key, "AcmeDomains", AcmeDomains, "");
    ReadText(key, "AcmeEmail", AcmeEmail, "");
    ReadText(key, "AcmeDirectory", AcmeDirectory, kDefaultAcmeDirectory);
    ReadText(key, "AcmeCaFile", AcmeCaFile, "");
    key.Close();
}

void CServerSettings::Save() const {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    key.SetString("strRoot", strRoot);
    key.SetString("strServer", strServer);
    key.SetDword("uPort", uPort);
    key.SetDword("bLoggingOn", bLoggingOn);
    key.SetDword("bListIcon", bListIcon);
    key.SetDword("bAllowListing", bAllowListing);
    key.SetDword("MaxConnPerAddress", MaxConnPerAddress);
    key.SetDword("HitLogKeepDays", HitLogKeepDays);
    key.SetDword("StreamEnabled", StreamEnabled);
    key.SetDword("StreamMaxFps", StreamMaxFps);
    key.SetDword("StreamMaxClients", StreamMaxClients);
    key.SetDword("StreamMaxPerAddress", StreamMaxPerAddress);
    key.SetDword("ScriptMaxRunning", ScriptMaxRunning);
    key.SetDword("TlsPort", TlsPort);
    key.SetString("TlsCertFile", TlsCertFile);
    key.SetString("TlsKeyFile", TlsKeyFile);
    key.SetDword("TlsRedirect", TlsRedirect);
    key.SetDword("TlsHsts", TlsHsts);
    // A line that cannot be read stays as it is: a readable value written beside it would
    // count at the next start instead of the owner's (listen everywhere, trust no proxy).
    if (!ListenAddressUnreadable) {
        m_store->DropUnreadable(kSettingsKeyPath, "ListenAddress");
        key.SetString("ListenAddress", ListenAddress);
    }
    if (!TrustedProxiesUnreadable) {
        m_store->DropUnreadable(kSettingsKeyPath, "TrustedProxies");
        key.SetString("TrustedProxies", TrustedProxies);
    }
    key.SetString("AcmeDomains", AcmeDomains);
    key.SetString("AcmeEmail", AcmeEmail);
    key.SetString("AcmeDirectory", AcmeDirectory);
    key.SetString("AcmeCaFile", AcmeCaFile);
    key.Close();
}

// --- HtmlSettings ---

void HtmlSettings::Load() {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    const HtmlSettings def;
    ReadAsStored(key, "Template", Template, def.Template);
    ReadAsStored(key, "HTMLHeight", HTMLHeight, def.HTMLHeight);
    ReadAsStored(key, "HTMLWidth", HTMLWidth, def.HTMLWidth);
    ReadZeroOne(key, "HTMLCustomSize", HTMLCustomSize, def.HTMLCustomSize);
    ReadNonZeroIsOne(key, "CateDisp", CateDisp, def.CateDisp);
    ReadText(key, "Email", Email, "");
    ReadText(key, "ICQ", ICQ, "");
    ReadText(key, "Title1", Title1, "");
    ReadText(key, "Title2", Title2, "");
    ReadText(key, "Link1", Link1, "");
    ReadText(key, "Link2", Link2, "");
    ReadText(key, "Freemsg", Freemsg, "");
    key.Close();
}

void HtmlSettings::Save() const {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    key.SetDword("Template", static_cast<uint32_t>(Template));
    key.SetDword("HTMLHeight", static_cast<uint32_t>(HTMLHeight));
    key.SetDword("HTMLWidth", static_cast<uint32_t>(HTMLWidth));
    key.SetDword("HTMLCustomSize", HTMLCustomSize);
    key.SetDword("CateDisp", CateDisp);
    key.SetString("Email", Email);
    key.SetString("ICQ", ICQ);
    key.SetString("Title1", Title1);
    key.SetString("Title2", Title2);
    key.SetString("Link1", Link1);
    key.SetString("Link2", Link2);
    key.SetString("Freemsg", Freemsg);
    key.Close();
}

// --- UrlRegSettings ---

void UrlRegSettings::Load() {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    ReadText(key, "UserID", UserID, "");
    ReadText(key, "Password", Password, "");
    ReadAsStored(key, "Cate", Cate, 1);
    ReadText(key, "Title", Title, "");
    ReadText(key, "Description", Description, "");
    ReadNonZeroIsOne(key, "Nicfg", Nicfg, 1);
    ReadZeroOne(key, "HPlinkfg", HPlinkfg, 1);
    key.Close();
}

void UrlRegSettings::Save() const {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    key.SetString("UserID", UserID);
    key.SetString("Password", Password);
    key.SetDword("Cate", static_cast<uint32_t>(Cate));
    key.SetString("Title", Title);
    key.SetString("Description", Description);
    key.SetDword("Nicfg", Nicfg);
    key.SetDword("HPlinkfg", HPlinkfg);
    key.Close();
}

// --- BasicSettings ---

void BasicSettings::Load(IMessageBox* box) {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    ReadText(key, "CGIServer", CGIServer, "");
    ReadZeroOne(key, "UrlAutoexec", UrlAutoexec, 0);
    ReadZeroOne(key, "AddrScout", AddrScout, 0);
    ReadAsStored(key, "Power", Power, 0);
    ReadText(key, "IPAddr", IPAddr, "");
    ReadText(key, "GlobalIP", GlobalIP, "");
    m_ignoredGlobalIP.clear();
    if (!GlobalIP.empty() && !IsAcceptableAddress(GlobalIP)) {
        m_ignoredGlobalIP = GlobalIP;
        GlobalIP.clear();
        if (box)
            box->Show("The page address (GlobalIP) \"" + m_ignoredGlobalIP +
                          "\" in the settings is not an address or host name and is ignored.",
                      "Kestrel", MessageIcon::Exclamation);
    }
    ReadText(key, "PicPass", PicPass, "");
    PicPassUnreadable = m_store->ValueUnreadable(kSettingsKeyPath, "PicPass");
    if (PicPassUnreadable) {
        PicPass.clear();
        m_unknowablePassword = RandomHexText(32);
    }
    ReadText(key, "SkinBmp", SkinBmp, "");
    if (!PathNamesSomething(SkinBmp + "base.bmp"))
        SkinBmp.clear();
    key.Close();
}

void BasicSettings::Save() const {
    if (!m_store)
        return;
    CSettingsKey key(*m_store);
    key.Create(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    key.SetString("CGIServer", CGIServer);
    key.SetDword("UrlAutoexec", UrlAutoexec);
    key.SetDword("AddrScout", AddrScout);
    key.SetDword("Power", static_cast<uint32_t>(Power));
    key.SetString("IPAddr", IPAddr);
    key.SetString("GlobalIP", GlobalIP.empty() ? m_ignoredGlobalIP : GlobalIP);
    // An unreadable PicPass line stays in the file untouched: writing a readable value
    // beside it would make the next start read the default, "no password".
    if (!PicPassUnreadable) {
        m_store->DropUnreadable(kSettingsKeyPath, "PicPass");
        key.SetString("PicPass", PicPass);
    }
    key.SetString("SkinBmp", SkinBmp);
    key.Close();
}

} // namespace kestrel
