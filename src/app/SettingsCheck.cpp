#include "app/SettingsCheck.h"

#include "acme/AcmeCrypto.h"
#include "acme/AcmeState.h"
#include "capture/FrameComposer.h"
#include "capture/V4l2Device.h"
#include "model/Settings.h"
#include "model/SettingsProblems.h"
#include "platform/Paths.h"
#include "platform/RegularFile.h"
#include "server/ListenSocket.h"
#include "server/ProxyAddresses.h"
#include "server/ServerPaths.h"
#include "tls/TlsContext.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sstream>
#include <unistd.h>

namespace kestrel {

namespace {

// How a stored value is read back.
enum class Rule {
    ZeroOne,      // 0 or 1, anything else reads as the default
    NonZeroIsOne, // 0 reads as 0, anything else as 1
    Number,       // any number, unchanged
    Text,         // any text up to the read buffer
    Font,         // the 60-byte logical font
};

// One value of one key: how it is read, the range the program can use, and what it became.
struct ValueRow {
    std::string name;
    ValueType type = ValueType::Dword;
    Rule rule = Rule::Number;
    int64_t minimum = INT64_MIN, maximum = INT64_MAX; // numbers outside are a problem
    bool secret = false;                              // shown by its length only
    std::string used;                                 // the value the program will use
    std::string pathWarning;                          // set when a stored path cannot be used
};

const char* TypeWord(ValueType t) {
    switch (t) {
    case ValueType::Dword:
        return "a number";
    case ValueType::String:
        return "a text";
    case ValueType::Binary:
        return "a byte blob";
    default:
        return "another type";
    }
}

std::string Quoted(const std::string& s) {
    return "\"" + SettingsStore::EscapeText(s) + "\"";
}

std::string Number(int64_t v) {
    return std::to_string(v);
}

std::string Hidden(const std::string& s) {
    return s.empty() ? std::string("(empty)") : "(set, " + std::to_string(s.size()) + " bytes, not shown)";
}

// The stored number as the program reads it: up to 4 bytes, little-endian.
bool StoredNumber(const StoredValue& v, uint32_t& out) {
    if (v.data.size() > 4)
        return false;
    out = 0;
    for (size_t i = 0; i < v.data.size(); ++i)
        out |= static_cast<uint32_t>(static_cast<unsigned char>(v.data[i])) << (8 * i);
    return true;
}

std::string StoredText(const StoredValue& v, bool secret) {
    switch (v.type) {
    case ValueType::Dword: {
        uint32_t n = 0;
        StoredNumber(v, n);
        char buf[32];
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        return buf;
    }
    case ValueType::String: {
        std::string text = v.data;
        if (!text.empty() && text.back() == '\0')
            text.pop_back();
        return secret ? Hidden(text) : Quoted(text);
    }
    default:
        return "hex: " + std::to_string(v.data.size()) + " bytes";
    }
}

// The values a row takes, as the report shows them after each value.
std::string RangeText(const ValueRow& row) {
    switch (row.rule) {
    case Rule::ZeroOne:
        return "0 or 1";
    case Rule::NonZeroIsOne:
        return "0 or 1 (other numbers read as 1)";
    case Rule::Text:
        return "text, at most " + std::to_string(CSettingsKey::kStringBuffer - 1) + " bytes";
    case Rule::Font:
        return std::to_string(sizeof(LOGFONTA)) + "-byte font record";
    case Rule::Number:
        break;
    }
    if (row.minimum <= INT32_MIN && row.maximum >= INT32_MAX)
        return "any number";
    if (row.maximum == 0x00FFFFFF && row.minimum == 0)
        return "colour 0x00BBGGRR";
    return Number(row.minimum) + " to " + Number(row.maximum);
}

// The problems of one stored value against its row.
std::vector<std::string> Problems(const ValueRow& row, const StoredValue& v) {
    std::vector<std::string> out;
    const bool numeric =
        row.rule == Rule::ZeroOne || row.rule == Rule::NonZeroIsOne || row.rule == Rule::Number;
    if (v.type != row.type) {
        std::string wrong = std::string("stored as ") + TypeWord(v.type) + ", not " + TypeWord(row.type);
        // A number is read from whatever bytes are stored, when they fit.
        uint32_t n = 0;
        if (numeric && !StoredNumber(v, n)) {
            out.push_back(wrong + "; not read, the default is used");
            return out;
        }
        out.push_back(wrong);
    }
    if (row.rule == Rule::Font && v.data.size() > sizeof(LOGFONTA))
        out.push_back("longer than the " + std::to_string(sizeof(LOGFONTA)) + "-byte font record; not read");
    if (row.rule == Rule::Text && v.data.size() >= CSettingsKey::kStringBuffer)
        out.push_back("longer than " + std::to_string(CSettingsKey::kStringBuffer - 1) +
                      " bytes; not read, the default is used");
    if (numeric) {
        uint32_t n = 0;
        if (!StoredNumber(v, n)) {
            out.push_back("longer than 4 bytes; not read, the default is used");
        } else if (row.rule == Rule::ZeroOne && n > 1) {
            out.push_back("not 0 or 1; read as the default");
        } else if (row.rule == Rule::NonZeroIsOne && n > 1) {
            out.push_back("not 0 or 1; read as 1");
        } else if (row.rule == Rule::Number) {
            // Signed fields hold negative numbers as their 32-bit pattern.
            const int64_t value = row.minimum < 0 ? static_cast<int64_t>(static_cast<int32_t>(n)) : n;
            if (value < row.minimum || value > row.maximum)
                out.push_back("out of range (" + Number(row.minimum) + " to " + Number(row.maximum) + ")");
        }
    }
    if (!row.pathWarning.empty())
        out.push_back(row.pathWarning);
    return out;
}

ValueRow Flag(const char* name, uint32_t used, Rule rule = Rule::ZeroOne) {
    return {name, ValueType::Dword, rule, 0, 1, false, Number(used), {}};
}
ValueRow Num(const char* name, int64_t used, int64_t lo = INT32_MIN, int64_t hi = INT32_MAX) {
    return {name, ValueType::Dword, Rule::Number, lo, hi, false, Number(used), {}};
}
ValueRow Unsigned(const char* name, uint32_t used, int64_t lo = 0, int64_t hi = UINT32_MAX) {
    return {name, ValueType::Dword, Rule::Number, lo, hi, false, Number(used), {}};
}
ValueRow Colour(const char* name, uint32_t used) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", used);
    return {name, ValueType::Dword, Rule::Number, 0, 0x00FFFFFF, false, buf, {}};
}
ValueRow Txt(const char* name, const std::string& used, bool secret = false) {
    return {name, ValueType::String, Rule::Text, 0, 0, secret, secret ? Hidden(used) : Quoted(used), {}};
}

// A stored path the program replaces by its default, or one it cannot use.
std::string StoredPathWarning(SettingsStore& store, const std::string& key, const char* name,
                              const std::string& probe, const std::string& used) {
    StoredKey* k = store.FindKey(key);
    StoredValue* v = k ? k->Find(name) : nullptr;
    if (!v || v->type != ValueType::String)
        return {};
    std::string stored = v->data;
    if (!stored.empty() && stored.back() == '\0')
        stored.pop_back();
    if (stored.empty())
        return {};
    if (!PathNamesSomething(probe.empty() ? stored : stored + probe))
        return (probe.empty() ? stored : stored + probe) + " does not exist; " +
               (used.empty() ? std::string("nothing") : Quoted(used)) + " is used instead";
    return {};
}

// Edit distance of two names, letters compared without case.
size_t Distance(const std::string& a, const std::string& b) {
    const std::string x = SettingsStore::Lower(a), y = SettingsStore::Lower(b);
    std::vector<size_t> row(y.size() + 1);
    for (size_t j = 0; j <= y.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= x.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= y.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[y.size()];
}

// The known name an unknown one is most likely a misspelling of ("" when none is close).
std::string NearestName(const std::string& name, const std::vector<ValueRow>& rows) {
    std::string best;
    size_t bestDistance = 3;
    for (const ValueRow& row : rows)
        if (const size_t d = Distance(name, row.name); d < bestDistance) {
            bestDistance = d;
            best = row.name;
        }
    return best;
}

void Report(std::ostringstream& out, int& problems, SettingsStore& store, const std::string& keyPath,
            const std::vector<ValueRow>& rows) {
    out << "[" << keyPath << "]\n";
    StoredKey* key = store.FindKey(keyPath);
    for (const ValueRow& row : rows) {
        StoredValue* v = key ? key->Find(row.name) : nullptr;
        out << "  " << row.name << " = " << row.used;
        if (!v) {
            out << "  (not stored: default)  [" << RangeText(row) << "]\n";
            continue;
        }
        out << "  (stored " << StoredText(*v, row.secret) << ")  [" << RangeText(row) << "]\n";
        for (const std::string& p : Problems(row, *v)) {
            out << "    warning: " << p << "\n";
            ++problems;
        }
    }
    // A value the program does not know is never read: most likely a misspelt name.
    if (!key)
        return;
    for (const StoredValue& v : key->values) {
        const bool known = std::any_of(rows.begin(), rows.end(), [&](const ValueRow& row) {
            return SettingsStore::Lower(row.name) == SettingsStore::Lower(v.name);
        });
        if (known)
            continue;
        out << "  warning: line " << v.line << ": \"" << SettingsStore::EscapeText(v.name)
            << "\" is not a value Kestrel reads; it is kept but not used";
        if (const std::string near = NearestName(v.name, rows); !near.empty())
            out << " (did you mean \"" << near << "\"?)";
        out << "\n";
        ++problems;
    }
}

// The names a stored key may hold beside those of the rows: none. Subkeys of the program's
// key that it reads are the captions and the drivers' own settings.
bool IsKnownSubkey(const std::string& path) {
    const std::string lower = SettingsStore::Lower(path);
    const std::string own = SettingsStore::Lower(kSettingsKeyPath) + "\\";
    if (lower.rfind(own, 0) != 0)
        return true; // not the program's: the owner's business
    const std::string rest = lower.substr(own.size());
    for (int i = 0; i < ImageSettings::kCaptionCount; ++i)
        if (rest == "caption" + std::to_string(i))
            return true;
    return rest == "drivers" || rest.rfind("drivers\\", 0) == 0;
}

std::string FontText(const LOGFONTA& f) {
    std::string face(f.lfFaceName, strnlen(f.lfFaceName, sizeof f.lfFaceName));
    return Quoted(face) + ", height " + Number(f.lfHeight) + ", weight " + Number(f.lfWeight);
}

// A folder the program writes into must be one it can enter and write.
std::string WebRootWarning(const std::string& root) {
    if (!IsExistingFolder(root))
        return PathNamesSomething(root) ? root + " is not a folder" : std::string();
    if (::access(root.c_str(), R_OK | W_OK | X_OK) != 0)
        return root + " cannot be written by this user (" + ErrorText(errno) + ")";
    return {};
}

// The server refuses the settings file, its lock, its damaged copy and the hit logs beside
// them wherever they sit, but a web root holding them is worth saying.
std::string PrivateFilesWarning(const std::string& root, const std::string& settingsFile) {
    char buffer[PATH_MAX];
    if (root.empty() || !::realpath(root.c_str(), buffer))
        return {};
    const std::string realRoot = buffer;
    std::string folder = settingsFile.substr(0, settingsFile.rfind('/') + 1);
    if (folder.empty())
        folder = ".";
    if (!::realpath(folder.c_str(), buffer) || !IsAtOrBelow(buffer, realRoot))
        return {};
    return "the web root holds the settings file " + settingsFile +
           " (with its lock and any hit logs beside it): they are never served, but keep them out of the web "
           "root";
}

std::string ListenAddressWarning(const std::string& address) {
    if (address.empty())
        return {};
    sockaddr_storage wanted{};
    socklen_t length = 0;
    if (!ParseListenAddress(address, 0, wanted, length))
        return "not an IPv4 or IPv6 address: nothing would be served";
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    bool found = false;
    for (const ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != wanted.ss_family)
            continue;
        if (wanted.ss_family == AF_INET)
            found =
                std::memcmp(&reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr,
                            &reinterpret_cast<const sockaddr_in*>(&wanted)->sin_addr, sizeof(in_addr)) == 0;
        else
            found = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr,
                                &reinterpret_cast<const sockaddr_in6*>(&wanted)->sin6_addr,
                                sizeof(in6_addr)) == 0;
    }
    ::freeifaddrs(list);
    // 0.0.0.0 and :: are every interface of their family.
    const bool any =
        wanted.ss_family == AF_INET
            ? reinterpret_cast<const sockaddr_in*>(&wanted)->sin_addr.s_addr == htonl(INADDR_ANY)
            : IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&wanted)->sin6_addr);
    if (found || any)
        return {};
    return "not an address of this machine now (see \"ip address\"): nothing would be served";
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names)
        text += (text.empty() ? "" : ", ") + n;
    return text;
}

// The certificate kept for AcmeDomains, from its folder; the problems found.
int ReportAcmeState(std::ostream& out, const std::string& folder, const std::vector<std::string>& names) {
    int problems = 0;
    out << "ACME certificate (kept in " << folder << "):\n  names: " << JoinNames(names) << "\n";
    AcmeState state;
    std::string text, error;
    if (ReadRegularFile(folder + "/" + kStateFile, text, 1024 * 1024) == 0 &&
        !ParseAcmeState(text, state, error)) {
        out << "  warning: " << folder << "/" << kStateFile << " " << error << "\n";
        ++problems;
    }
    std::string chain;
    const CertificateFacts facts = ReadRegularFile(folder + "/" + kChainFile, chain, 1024 * 1024) == 0
                                       ? ReadCertificateFacts(chain)
                                       : CertificateFacts{};
    if (facts.ok) {
        out << "  certificate: for " << JoinNames(facts.names) << ", issued by " << facts.issuer
            << ", expires " << UtcText(facts.notAfter) << "\n  next renewal: "
            << (SameNames(facts.names, names) ? UtcText(RenewalTime(facts.notBefore, facts.notAfter))
                                              : std::string("at start (the names differ)"))
            << "\n";
    } else {
        out << "  certificate: none issued yet; HTTPS serves a self-signed stand-in until one is\n";
    }
    if (!state.lastError.empty()) {
        out << "  warning: the last attempt failed at " << UtcText(state.lastErrorAt) << ": "
            << TerminalSafeText(state.lastError) << "; next attempt " << UtcText(state.nextAttempt) << "\n";
        ++problems;
    }
    out << "  terms of service: "
        << (state.termsOfService.empty() ? std::string("(not read from the CA yet)") : state.termsOfService)
        << " (setting AcmeDomains agrees to them)\n";
    return problems;
}

} // namespace

SettingsCheckResult CheckSettingsFile(const std::string& path, const std::string& hostName) {
    SettingsCheckResult result;
    std::ostringstream out;
    SettingsStore store(path);
    out << "Settings file: " << path << "\n";

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            out << "  not there yet: every value takes its default, and the file is written at the first "
                   "exit\n";
        } else {
            out << "  warning: cannot be read (" << ErrorText(errno) << ")\n";
            ++result.problems;
        }
    } else {
        std::stringstream text;
        text << in.rdbuf();
        if (!store.Parse(text.str())) {
            out << "  warning: the file is damaged (no header line, a line that cannot be read, or not "
                   "UTF-8);"
                   " at start a copy is kept as "
                << path << ".bad and what can be read is used\n";
            ++result.problems;
        }
    }

    // Lines of the program's keys that set nothing because they cannot be read.
    for (const UnreadableLine& line : store.Unreadable()) {
        if (!IsProgramKey(line.keyPath))
            continue;
        out << "  warning: " << UnreadableLineText(line) << "\n";
        ++result.problems;
    }

    // The records read a copy of the store; nothing is ever saved from here.
    ImageSettings image(&store);
    image.Load(nullptr);
    CServerSettings server(&store);
    server.Load(hostName);
    HtmlSettings html(&store);
    html.Load();
    UrlRegSettings urlReg(&store);
    urlReg.Load();
    BasicSettings basic(&store);
    basic.Load();

    const std::string main = kSettingsKeyPath;
    ValueRow root = Txt("strRoot", server.strRoot);
    root.pathWarning = StoredPathWarning(store, main, "strRoot", "", server.strRoot);
    if (root.pathWarning.empty())
        root.pathWarning = WebRootWarning(server.strRoot);
    if (root.pathWarning.empty())
        root.pathWarning = PrivateFilesWarning(server.strRoot, path);
    ValueRow overlay = Txt("OverlayBmp", image.OverlayBmp);
    overlay.pathWarning = StoredPathWarning(store, main, "OverlayBmp", "", image.OverlayBmp);
    ValueRow skin = Txt("SkinBmp", basic.SkinBmp);
    skin.pathWarning = StoredPathWarning(store, main, "SkinBmp", "base.bmp", basic.SkinBmp);

    // A camera index the machine has no camera for (a service started before its camera
    // appears waits for it, so this is said, not changed).
    ValueRow device = Num("CaptureDevice", image.CaptureDevice, -1, 100);
    const size_t drivers = EnumerateV4l2Drivers("/dev", nullptr).size() + 1; // + the test pattern
    if (image.CaptureDevice >= 0 && static_cast<size_t>(image.CaptureDevice) >= drivers)
        device.pathWarning = "there is no capture device " + Number(image.CaptureDevice) + " now (" +
                             Number(static_cast<int64_t>(drivers)) +
                             " found, 0 being the test pattern; see kestrel --list-cameras)";

    ValueRow pass = Txt("PicPass", basic.PicPass, true);
    if (basic.PicPassUnreadable)
        pass.used = "(cannot be read: every picture is refused)";

    ValueRow deviceLink = Txt("CaptureDevicePath", image.CaptureDevicePath);
    if (!image.CaptureDevicePath.empty() && !PathNamesSomething(image.CaptureDevicePath))
        deviceLink.pathWarning = image.CaptureDevicePath + " is not there now; CaptureDevice is used instead";
    // HTTPS: the port must differ from the plain one, and the pair must load as it will at start.
    ValueRow tlsPort = Unsigned("TlsPort", server.TlsPort, 0, 65535);
    if (server.TlsPort != 0 && server.TlsPort == server.uPort) {
        tlsPort.pathWarning = "the same as uPort: HTTPS would not be served";
    } else if (server.TlsPort != 0 && !server.AcmeOn()) {
        TlsContextResult pair = LoadTlsContext(server.TlsCertFile, server.TlsKeyFile);
        if (!pair.context)
            tlsPort.pathWarning = pair.error + "; HTTPS would not be served";
    }

    // The listen address: an address of this machine (looked up without opening a socket).
    ValueRow listen = Txt("ListenAddress", server.ListenAddress);
    if (server.ListenAddressUnreadable)
        listen.used = "(cannot be read: nothing is served)";
    else
        listen.pathWarning = ListenAddressWarning(server.ListenAddress);
    ValueRow proxies = Txt("TrustedProxies", server.TrustedProxies);
    std::string proxiesError;
    if (server.TrustedProxiesUnreadable)
        proxies.used = "(cannot be read: no proxy is trusted)";
    else if (!ParseAddressRanges(server.TrustedProxies, &proxiesError))
        proxies.pathWarning = proxiesError + "; no proxy would be trusted";
    // Certificates from an ACME CA: the names must be ones it can validate, and the rest of
    // the HTTPS settings must leave the certificate to it.
    ValueRow acmeDomains = Txt("AcmeDomains", server.AcmeDomains);
    std::vector<std::string> acmeNames;
    std::string acmeError;
    if (!ParseAcmeDomains(server.AcmeDomains, acmeNames, acmeError))
        acmeDomains.pathWarning = acmeError + "; no certificate would be ordered";
    else if (!acmeNames.empty() && server.TlsPort == 0)
        acmeDomains.pathWarning = "TlsPort is 0: no certificate would be ordered";
    else if (!acmeNames.empty() && !server.AcmeOn())
        acmeDomains.pathWarning = "not used while TlsCertFile or TlsKeyFile is set";
    ValueRow acmeDirectory = Txt("AcmeDirectory", server.AcmeDirectory);
    if (!server.AcmeDirectory.empty() && server.AcmeDirectory.rfind("https://", 0) != 0)
        acmeDirectory.pathWarning = "not an https:// address: no certificate would be ordered";
    ValueRow acmeCaFile = Txt("AcmeCaFile", server.AcmeCaFile);
    if (!server.AcmeCaFile.empty()) {
        std::string pem;
        if (int err = ReadRegularFile(server.AcmeCaFile, pem, 4 * 1024 * 1024))
            acmeCaFile.pathWarning = server.AcmeCaFile + " cannot be read (" + ErrorText(err) + ")";
        else if (pem.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
            acmeCaFile.pathWarning = server.AcmeCaFile + " holds no PEM certificate";
    }

    std::vector<ValueRow> rows = {
        // Server
        root, Txt("strServer", server.strServer), Unsigned("uPort", server.uPort, 1, 65535),
        Flag("bLoggingOn", server.bLoggingOn), Flag("bListIcon", server.bListIcon),
        Flag("bAllowListing", server.bAllowListing),
        Unsigned("MaxConnPerAddress", server.MaxConnPerAddress, 0, UINT32_MAX),
        Flag("StreamEnabled", server.StreamEnabled), Unsigned("StreamMaxFps", server.StreamMaxFps, 1, 30),
        Unsigned("StreamMaxClients", server.StreamMaxClients, 1, 256),
        Unsigned("StreamMaxPerAddress", server.StreamMaxPerAddress, 1, 256),
        Unsigned("ScriptMaxRunning", server.ScriptMaxRunning, 1, 256), tlsPort,
        Txt("TlsCertFile", server.TlsCertFile), Txt("TlsKeyFile", server.TlsKeyFile),
        Flag("TlsRedirect", server.TlsRedirect), Unsigned("TlsHsts", server.TlsHsts), listen, proxies,
        acmeDomains, Txt("AcmeEmail", server.AcmeEmail), acmeDirectory, acmeCaFile,
        // Image
        overlay, Flag("PreviewEnabled", image.PreviewEnabled), device, deviceLink,
        Num("ImageHeight", image.ImageHeight, 0, kMaxOutputDimension),
        Num("ImageWidth", image.ImageWidth, 0, kMaxOutputDimension),
        Num("JpegQuality", image.JpegQuality, 0, 100), Flag("UseCustomSize", image.UseCustomSize),
        Flag("UseOverlay", image.UseOverlay), Flag("UseMotion", image.UseMotion),
        Num("MotionQuality", image.MotionQuality, 0, 100), Unsigned("CapFPS", image.CapFPS, 0, 1),
        Colour("OverlayTransColor", image.OverlayTransColor),
        Unsigned("LogPicMaxMB", image.LogPicMaxMB, 0, 1 << 22),
        Unsigned("LogPicKeepDays", image.LogPicKeepDays, 0, 36500),
        Unsigned("HitLogKeepDays", server.HitLogKeepDays, 0, 36500),
        // Pages
        Num("Template", html.Template, 0, 3), Num("HTMLHeight", html.HTMLHeight, 1, kMaxOutputDimension),
        Num("HTMLWidth", html.HTMLWidth, 1, kMaxOutputDimension), Flag("HTMLCustomSize", html.HTMLCustomSize),
        Flag("CateDisp", html.CateDisp, Rule::NonZeroIsOne), Txt("Email", html.Email), Txt("ICQ", html.ICQ),
        Txt("Title1", html.Title1), Txt("Title2", html.Title2), Txt("Link1", html.Link1),
        Txt("Link2", html.Link2), Txt("Freemsg", html.Freemsg),
        // Directory registration
        Txt("UserID", urlReg.UserID), Txt("Password", urlReg.Password, true), Num("Cate", urlReg.Cate, 0),
        Txt("Title", urlReg.Title), Txt("Description", urlReg.Description),
        Flag("Nicfg", urlReg.Nicfg, Rule::NonZeroIsOne), Flag("HPlinkfg", urlReg.HPlinkfg),
        // Basic
        Txt("CGIServer", basic.CGIServer), Flag("UrlAutoexec", basic.UrlAutoexec),
        Flag("AddrScout", basic.AddrScout), Num("Power", basic.Power), Txt("IPAddr", basic.IPAddr),
        Txt("GlobalIP", basic.GlobalIP), pass, skin};
    Report(out, result.problems, store, main, rows);

    if (server.AcmeOn() && !acmeNames.empty())
        result.problems += ReportAcmeState(out, AcmeFolderFor(path), acmeNames);

    for (int i = 0; i < ImageSettings::kCaptionCount; ++i) {
        const Caption& c = image.captions[static_cast<size_t>(i)];
        std::vector<ValueRow> captionRows = {
            Colour("BackColor", c.BackColor),
            Num("BackType", c.BackType),
            Unsigned("Enabled", c.Enabled, 0, 1),
            {"FontInfo", ValueType::Binary, Rule::Font, 0, 0, false, FontText(c.FontInfo), {}},
            Num("HPosType", c.HPosType),
            Txt("Text", c.Text),
            Colour("TextColor", c.TextColor),
            Num("VPosType", c.VPosType),
            Num("XPos", c.XPos),
            Num("YPos", c.YPos)};
        Report(out, result.problems, store, main + "\\caption" + std::to_string(i), captionRows);
    }

    for (const auto& key : store.Keys()) {
        if (!IsProgramKey(key->path) || IsKnownSubkey(key->path))
            continue;
        out << "[" << key->path
            << "]\n  warning: Kestrel reads no key of this name; its values are kept but "
               "not used\n";
        ++result.problems;
    }

    if (result.problems == 0)
        out << "No problems found.\n";
    else
        out << result.problems << (result.problems == 1 ? " problem" : " problems") << " found.\n";
    result.report = out.str();
    return result;
}

} // namespace kestrel
