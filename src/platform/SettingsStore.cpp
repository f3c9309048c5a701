#include "platform/SettingsStore.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
        --e;
    return s.substr(b, e - b);
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() &&
           SettingsStore::Lower(s.substr(0, prefix.size())) == SettingsStore::Lower(prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "f0,ff,0a" -> bytes; false on anything else.
bool ParseHexBytes(const std::string& text, std::string& out) {
    out.clear();
    std::string item;
    std::stringstream ss(text);
    while (std::getline(ss, item, ',')) {
        item = Trim(item);
        if (item.empty())
            continue;
        if (item.size() > 2)
            return false;
        int value = 0;
        for (char c : item) {
            int d = HexDigit(c);
            if (d < 0)
                return false;
            value = value * 16 + d;
        }
        out.push_back(static_cast<char>(value));
    }
    return true;
}

// Reads a quoted text starting at s[pos] == '"'; returns the raw (still escaped) inside
// and sets pos past the closing quote. False when the quote never closes.
bool ReadQuoted(const std::string& s, size_t& pos, std::string& raw) {
    raw.clear();
    size_t i = pos + 1;
    while (i < s.size()) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            raw.push_back(c);
            raw.push_back(s[i + 1]);
            i += 2;
            continue;
        }
        if (c == '"') {
            pos = i + 1;
            return true;
        }
        raw.push_back(c);
        ++i;
    }
    return false;
}

std::string HexList(const std::string& data, size_t firstLineUsed) {
    // Wrap long blobs the way an export does: lines of about 80 characters ending in ",\".
    std::string out;
    size_t column = firstLineUsed;
    for (size_t i = 0; i < data.size(); ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(data[i]));
        out += buf;
        column += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

// True when a value line holds a hex value ("name"=hex:…, "name" = HEX(2):…, @=hex:…),
// the only kind that may continue over lines ending in ",\".
bool IsHexValueLine(const std::string& line) {
    std::string s = Trim(line);
    size_t pos = 0;
    if (!s.empty() && s[0] == '"') {
        std::string name;
        if (!ReadQuoted(s, pos, name))
            return false;
    } else if (!s.empty() && s[0] == '@') {
        pos = 1;
    } else {
        return false;
    }
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
        ++pos;
    if (pos >= s.size() || s[pos] != '=')
        return false;
    ++pos;
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
        ++pos;
    return StartsWithNoCase(s.substr(pos), "hex");
}

// Reads a whole regular file; 0 or the errno of the failure.
int ReadWholeFile(const std::string& path, std::string& out) {
    out.clear();
    // Non-blocking open: a pipe in the file's place must not hang the start.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno;
    int err = 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    char buf[65536];
    while (!err) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0)
            break;
        else if (errno != EINTR)
            err = errno;
    }
    ::close(fd);
    return err;
}

} // namespace

void StoredKey::Reindex() {
    m_index.clear();
    for (size_t i = 0; i < values.size(); ++i)
        m_index.emplace(SettingsStore::Lower(values[i].name), i);
}

StoredValue* StoredKey::Find(const std::string& name) {
    std::string lower = SettingsStore::Lower(name);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1 || m_index.size() != values.size())
            Reindex();
        auto it = m_index.find(lower);
        if (it == m_index.end()) {
            if (m_index.size() == values.size())
                return nullptr;
            continue;
        }
        if (it->second < values.size() && SettingsStore::Lower(values[it->second].name) == lower)
            return &values[it->second];
    }
    return nullptr;
}

void StoredKey::Set(const std::string& name, ValueType type, std::string data) {
    if (StoredValue* v = Find(name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    values.push_back(StoredValue{name, type, std::move(data)});
    m_index.emplace(SettingsStore::Lower(name), values.size() - 1);
}

std::string SettingsStore::DefaultFilePath() {
    return ConfigFolder() + "/Kestrels.reg";
}

std::string SettingsStore::Lower(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool SettingsStore::IsValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string SettingsStore::EscapeText(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string SettingsStore::UnescapeText(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[i + 1];
            if (n == '\\' || n == '"') {
                out.push_back(n);
                ++i;
                continue;
            }
            if (n == 'r') {
                out.push_back('\r');
                ++i;
                continue;
            }
            if (n == 'n') {
                out.push_back('\n');
                ++i;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

StoredKey* SettingsStore::FindKey(const std::string& path) {
    std::string lower = Lower(path);
    auto it = m_keyIndex.find(lower);
    if (it != m_keyIndex.end() && Lower(it->second->path) == lower)
        return it->second;
    if (it == m_keyIndex.end() && m_keyIndex.size() == m_keys.size())
        return nullptr;
    // A key's path was changed by hand: look through them all and index afresh.
    m_keyIndex.clear();
    StoredKey* found = nullptr;
    for (auto& k : m_keys) {
        m_keyIndex.emplace(Lower(k->path), k.get());
        if (!found && Lower(k->path) == lower)
            found = k.get();
    }
    return found;
}

StoredKey& SettingsStore::CreateKey(const std::string& path) {
    if (StoredKey* k = FindKey(path))
        return *k;
    m_keys.push_back(std::make_unique<StoredKey>());
    m_keys.back()->path = path;
    m_keyIndex.emplace(Lower(path), m_keys.back().get());
    return *m_keys.back();
}

int SettingsStore::KeyFailure(const std::string& path) const {
    auto it = m_failingKeys.find(Lower(path));
    return it == m_failingKeys.end() ? 0 : it->second;
}

bool SettingsStore::Parse(const std::string& text) {
    bool intact = IsValidUtf8(text);

    // Split into logical lines: a line ending in "\" continues on the next one.
    std::vector<std::string> lines;
    {
        std::string line;
        std::stringstream ss(text);
        std::string pending;
        while (std::getline(ss, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::string trimmed = Trim(line);
            if (!pending.empty()) {
                pending += trimmed;
            } else {
                pending = line;
            }
            if (!pending.empty() && pending.back() == '\\' && IsHexValueLine(pending)) {
                pending.pop_back();
                continue;
            }
            lines.push_back(pending);
            pending.clear();
        }
        if (!pending.empty())
            lines.push_back(pending);
    }

    bool headerSeen = false;
    bool firstNonBlank = true;
    StoredKey* current = nullptr;
    const std::string hivePrefix = std::string(kHive) + "\\";
    for (const std::string& raw : lines) {
        std::string line = Trim(raw);
        if (line.empty())
            continue;
        if (firstNonBlank) {
            firstNonBlank = false;
            // Tolerate a byte-order mark before the header.
            std::string h = line.rfind("\xEF\xBB\xBF", 0) == 0 ? line.substr(3) : line;
            if (h == kHeader) {
                headerSeen = true;
                continue;
            }
        }
        if (line[0] == ';')
            continue;
        if (line[0] == '[') {
            current = nullptr;
            auto close = line.rfind(']');
            if (close == std::string::npos)
                continue;
            std::string path = line.substr(1, close - 1);
            if (!path.empty() && path[0] == '-')
                continue; // deletions are not ours to perform
            if (!StartsWithNoCase(path, hivePrefix))
                continue;
            current = &CreateKey(path.substr(hivePrefix.size()));
            continue;
        }
        if (!current || (line[0] != '"' && line[0] != '@'))
            continue;
        std::string name;
        size_t pos = 0;
        if (line[0] == '"') {
            std::string rawName;
            if (!ReadQuoted(line, pos, rawName))
                continue;
            name = UnescapeText(rawName);
        } else {
            pos = 1; // "@": the key's default value, kept with an empty name
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size() || line[pos] != '=')
            continue;
        std::string rest = Trim(line.substr(pos + 1));
        if (rest.empty())
            continue;
        if (rest[0] == '"') {
            size_t p = 0;
            std::string rawText;
            if (!ReadQuoted(rest, p, rawText))
                continue;
            std::string data = UnescapeText(rawText);
            data.push_back('\0');
            current->Set(name, ValueType::String, std::move(data));
        } else if (StartsWithNoCase(rest, "dword:")) {
            std::string digits = Trim(rest.substr(6));
            if (digits.empty() || digits.size() > 8)
                continue;
            uint32_t v = 0;
            bool ok = true;
            for (char c : digits) {
                int d = HexDigit(c);
                if (d < 0) {
                    ok = false;
                    break;
                }
                v = v * 16 + static_cast<uint32_t>(d);
            }
            if (!ok)
                continue;
            std::string data(4, '\0');
            for (int i = 0; i < 4; ++i)
                data[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
            current->Set(name, ValueType::Dword, std::move(data));
        } else if (StartsWithNoCase(rest, "hex:") || StartsWithNoCase(rest, "hex(")) {
            ValueType type = ValueType::Binary;
            size_t colon = rest.find(':');
            if (rest[3] == '(') {
                size_t closeParen = rest.find(')');
                if (closeParen == std::string::npos || colon == std::string::npos || colon != closeParen + 1)
                    continue;
                try {
                    type = static_cast<ValueType>(std::stoul(rest.substr(4, closeParen - 4), nullptr, 16));
                } catch (...) {
                    continue;
                }
            }
            std::string data;
            if (!ParseHexBytes(rest.substr(colon + 1), data))
                continue;
            current->Set(name, type, std::move(data));
        }
    }
    return intact && (headerSeen || lines.empty() || firstNonBlank);
}

bool SettingsStore::Load() {
    m_damageReport.clear();
    m_readError = 0;
    std::string text;
    if (int err = ReadWholeFile(m_filePath, text)) {
        if (err == ENOENT)
            return true; // a fresh installation: every default
        // The file is there but cannot be read: keep it rather than replace it with
        // defaults at exit.
        m_readError = err;
        m_damageReport = "The settings file " + m_filePath + " cannot be read (" + ErrorText(err) +
                         "); the default values are used and the file will not be overwritten.";
        return false;
    }
    if (Parse(text))
        return true;
    std::string badPath = m_filePath + ".bad";
    int err = WriteFileAtomically(badPath, text, 0600);
    m_damageReport = "The settings file " + m_filePath + " is damaged. ";
    if (err == 0)
        m_damageReport += "A copy was kept as " + badPath + "; ";
    else
        m_damageReport += "A copy could not be kept as " + badPath + " (" + ErrorText(err) + "); ";
    m_damageReport += "what could be read is used, the rest takes its default values.";
    return false;
}

std::string SettingsStore::Serialize() const {
    std::string out = std::string(kHeader) + "\n";
    for (const auto& key : m_keys) {
        out += "\n[" + std::string(kHive) + "\\" + key->path + "]\n";
        for (const auto& v : key->values) {
            std::string lhs = v.name.empty() ? std::string("@") : "\"" + EscapeText(v.name) + "\"";
            lhs += "=";
            switch (v.type) {
            case ValueType::String: {
                // A text is written up to its terminating zero; stored bytes that are not a
                // zero-terminated UTF-8 text without inner zeros keep their exact bytes as hex(1).
                std::string text = v.data;
                bool terminated = !text.empty() && text.back() == '\0';
                if (terminated)
                    text.pop_back();
                if (terminated && text.find('\0') == std::string::npos && IsValidUtf8(text)) {
                    out += lhs + "\"" + EscapeText(text) + "\"\n";
                    continue;
                }
                out += lhs + "hex(1):" + HexList(v.data, lhs.size() + 7) + "\n";
                continue;
            }
            case ValueType::Dword:
                if (v.data.size() == 4) {
                    uint32_t x = 0;
                    for (int i = 3; i >= 0; --i)
                        x = (x << 8) | static_cast<unsigned char>(v.data[static_cast<size_t>(i)]);
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "%08x", x);
                    out += lhs + "dword:" + buf + "\n";
                    continue;
                }
                out += lhs + "hex(4):" + HexList(v.data, lhs.size() + 7) + "\n";
                continue;
            case ValueType::Binary:
                out += lhs + "hex:" + HexList(v.data, lhs.size() + 4) + "\n";
                continue;
            default: {
                char buf[16];
                std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
                out += lhs + buf + HexList(v.data, lhs.size() + std::string(buf).size()) + "\n";
            }
            }
        }
    }
    return out;
}

int SettingsStore::Save() const {
    if (m_readError)
        return m_readError;
    AtomicFile file(m_filePath, 0600);
    file.SetDurable(true); // the file holds everything the owner set up: survive a power cut
    std::string content = Serialize();
    if (!file.Open() || !file.Write(content.data(), content.size()) || !file.Commit())
        return file.Error() ? file.Error() : EIO;
    return 0;
}

} // namespace kestrel
