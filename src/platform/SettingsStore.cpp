#include "platform/SettingsStore.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include "platform/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

std::string Trim(const std::string& s) {
    return std::string(kestrel::Trim(s, kBlanksAndLineEnds));
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() &&
           SettingsStore::Lower(s.substr(0, prefix.size())) == SettingsStore::Lower(prefix);
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
            int d = HexValue(c);
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
    m_layout.push_back(LayoutItem{m_keys.back().get(), {}});
    return *m_keys.back();
}

int SettingsStore::KeyFailure(const std::string& path) const {
    auto it = m_failingKeys.find(Lower(path));
    return it == m_failingKeys.end() ? 0 : it->second;
}

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A line that carries on the hex value of the line before: anything that does not begin
// (after blanks) a value, a key or a comment. A blank line ends the value.
bool IsContinuationLine(const std::string& line) {
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i == line.size())
        return false;
    const char c = line[i];
    return c != '"' && c != '@' && c != '[' && c != ';';
}

// Drops trailing blanks, then one trailing "\"; true when there was one.
bool DropContinuationMark(std::string& line) {
    while (!line.empty() && IsBlank(line.back()))
        line.pop_back();
    if (line.empty() || line.back() != '\\')
        return false;
    line.pop_back();
    return true;
}

// The text's lines without their line ends.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl;
        size_t cut = end > pos && text[end - 1] == '\r' ? end - 1 : end;
        lines.emplace_back(text, pos, cut - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
    }
    return lines;
}

std::string AsUtf8(const std::string& s) {
    return SettingsStore::IsValidUtf8(s) ? s : SettingsStore::Latin1ToUtf8(s);
}

} // namespace

std::string SettingsStore::Latin1ToUtf8(const std::string& s) {
    std::string out;
    out.reserve(s.size() + s.size() / 2);
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

namespace {

// The name a line that cannot be read seems to set: its quoted name, or what stands
// before "=" without quotes and blanks.
std::string GuessedName(const std::string& line) {
    size_t pos = 0;
    std::string raw;
    if (!line.empty() && line[0] == '"' && ReadQuoted(line, pos, raw))
        return SettingsStore::UnescapeText(raw);
    const auto eq = line.find('=');
    std::string name = Trim(line.substr(0, eq));
    while (!name.empty() && name.front() == '"')
        name.erase(0, 1);
    while (!name.empty() && name.back() == '"')
        name.pop_back();
    return Trim(name);
}

} // namespace

bool SettingsStore::ParseValueLine(const std::string& line, StoredKey& key, std::string& name,
                                   std::string& reason) {
    name.clear();
    reason.clear();
    auto fail = [&](const char* why) {
        if (name.empty())
            name = AsUtf8(GuessedName(line));
        reason = why;
        return false;
    };
    if (line.empty() || (line[0] != '"' && line[0] != '@'))
        return fail("not a value: a value line begins with its name in double quotes (\"name\"=...)");
    size_t pos = 0;
    if (line[0] == '"') {
        std::string rawName;
        if (!ReadQuoted(line, pos, rawName))
            return fail("the name's closing double quote is missing");
        name = AsUtf8(UnescapeText(rawName));
    } else {
        pos = 1; // "@": the key's default value, kept with an empty name
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    if (pos >= line.size() || line[pos] != '=')
        return fail("no \"=\" after the name");
    std::string rest = Trim(line.substr(pos + 1));
    if (rest.empty())
        return fail("nothing after \"=\"");
    if (rest[0] == '"') {
        size_t p = 0;
        std::string rawText;
        if (!ReadQuoted(rest, p, rawText))
            return fail("the text's closing double quote is missing");
        if (!Trim(rest.substr(p)).empty())
            return fail("something follows the text's closing double quote (a quote inside a text is "
                        "written \\\")");
        std::string data = UnescapeText(rawText);
        data.push_back('\0');
        key.Set(name, ValueType::String, std::move(data));
        return true;
    }
    if (StartsWithNoCase(rest, "dword:")) {
        std::string digits = Trim(rest.substr(6));
        const bool hexOnly = std::all_of(digits.begin(), digits.end(), [](char c) { return HexValue(c) >= 0; });
        if (digits.empty() || digits.size() > 8 || !hexOnly)
            return fail("dword: takes 1 to 8 hexadecimal digits and nothing else (no 0x, no comment), "
                        "e.g. dword:00001f90 for 8080");
        uint32_t v = 0;
        for (char c : digits)
            v = v * 16 + static_cast<uint32_t>(HexValue(c));
        std::string data(4, '\0');
        for (int i = 0; i < 4; ++i)
            data[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
        key.Set(name, ValueType::Dword, std::move(data));
        return true;
    }
    if (StartsWithNoCase(rest, "hex:") || StartsWithNoCase(rest, "hex(")) {
        ValueType type = ValueType::Binary;
        size_t colon = rest.find(':');
        if (rest[3] == '(') {
            size_t closeParen = rest.find(')');
            if (closeParen == std::string::npos || colon == std::string::npos || colon != closeParen + 1)
                return fail("hex(n): needs its type number in parentheses, then \":\"");
            try {
                type = static_cast<ValueType>(std::stoul(rest.substr(4, closeParen - 4), nullptr, 16));
            } catch (...) {
                return fail("hex(n): needs its type number in parentheses, then \":\"");
            }
        }
        std::string data;
        if (!ParseHexBytes(rest.substr(colon + 1), data))
            return fail("hex: takes bytes of two hexadecimal digits separated by commas");
        key.Set(name, type, std::move(data));
        return true;
    }
    return fail("the value is neither a text in double quotes nor dword: nor hex:");
}

bool SettingsStore::ValueUnreadable(const std::string& path, const std::string& name) const {
    const std::string keyLower = Lower(path), nameLower = Lower(name);
    return std::any_of(m_unreadable.begin(), m_unreadable.end(), [&](const UnreadableLine& u) {
        return !u.superseded && Lower(u.keyPath) == keyLower && Lower(u.name) == nameLower;
    });
}

void SettingsStore::DropUnreadable(const std::string& path, const std::string& name) {
    const std::string keyLower = Lower(path), nameLower = Lower(name);
    StoredKey* key = FindKey(path);
    for (auto it = m_unreadable.begin(); it != m_unreadable.end();) {
        if (Lower(it->keyPath) != keyLower || Lower(it->name) != nameLower) {
            ++it;
            continue;
        }
        if (key) {
            // Each of its lines goes once from the lines kept in the key.
            for (const std::string& text : it->text) {
                auto& kept = key->keptLines;
                auto found = std::find_if(kept.begin(), kept.end(),
                                          [&](const std::pair<size_t, std::string>& k) { return k.second == text; });
                if (found != kept.end())
                    kept.erase(found);
            }
        }
        it = m_unreadable.erase(it);
    }
}

bool SettingsStore::Parse(const std::string& text) {
    const bool intact = IsValidUtf8(text);
    const std::vector<std::string> lines = SplitLines(text);

    bool headerSeen = false;
    bool firstNonBlank = true;
    StoredKey* current = nullptr;
    // The kept-lines block that lines outside the store's keys go to (-1: none yet).
    long block = -1;
    auto keepOutside = [&](const std::string& raw) {
        if (block < 0) {
            m_layout.push_back(LayoutItem{});
            block = static_cast<long>(m_layout.size()) - 1;
        }
        m_layout[static_cast<size_t>(block)].lines.push_back(AsUtf8(raw));
    };
    const std::string hivePrefix = std::string(kHive) + "\\";
    for (size_t i = 0; i < lines.size();) {
        const std::string& raw = lines[i];
        std::string line = Trim(raw);
        if (line.empty()) {
            ++i;
            continue;
        }
        if (firstNonBlank) {
            firstNonBlank = false;
            // Tolerate a byte-order mark before the header; the older export header is
            // replaced by ours.
            std::string h = line.rfind("\xEF\xBB\xBF", 0) == 0 ? line.substr(3) : line;
            if (h == kHeader || h == "REGEDIT4") {
                headerSeen = h == kHeader;
                ++i;
                continue;
            }
        }
        if (line == kHeader) {
            ++i;
            continue;
        }
        if (line[0] == '[') {
            ++i;
            const auto close = line.rfind(']');
            std::string path = close == std::string::npos ? std::string() : line.substr(1, close - 1);
            if (close != std::string::npos && StartsWithNoCase(path, hivePrefix)) {
                path = AsUtf8(path.substr(hivePrefix.size()));
                current = FindKey(path);
                if (!current)
                    current = &CreateKey(path);
                block = -1;
                continue;
            }
            // Another hive's key or a deletion: kept as text with the lines under it.
            current = nullptr;
            block = -1;
            keepOutside(raw);
            continue;
        }
        if (!current) {
            keepOutside(raw);
            ++i;
            continue;
        }
        if (line[0] == ';') {
            current->keptLines.emplace_back(current->values.size(), AsUtf8(raw));
            ++i;
            continue;
        }
        // A hex value may go on over the following lines, each but the last ending in
        // "\". Its text is built once, so a long blob reads in linear time.
        size_t next = i + 1;
        if (IsHexValueLine(line)) {
            while (DropContinuationMark(line) && next < lines.size() && IsContinuationLine(lines[next])) {
                line += Trim(lines[next]);
                ++next;
            }
        }
        std::string name, reason;
        if (ParseValueLine(line, *current, name, reason)) {
            current->Find(name)->line = i + 1;
            // A readable line after unreadable ones of the same name is the one that counts.
            for (UnreadableLine& u : m_unreadable)
                if (u.keyPath == current->path && Lower(u.name) == Lower(name))
                    u.superseded = true;
        } else {
            UnreadableLine u{i + 1, current->path, name, reason, {}, false};
            for (size_t k = i; k < next; ++k) {
                current->keptLines.emplace_back(current->values.size(), AsUtf8(lines[k]));
                u.text.push_back(AsUtf8(lines[k]));
            }
            m_unreadable.push_back(std::move(u));
        }
        i = next;
    }
    return intact && (headerSeen || firstNonBlank);
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
    if (err == 0) {
        m_damageReport += "A copy was kept as " + badPath + "; ";
        m_damageReport += "what could be read is used, the rest takes its default values.";
        return false;
    }
    // Without the copy the original is all the owner has: it is never replaced.
    m_readError = err;
    m_damageReport += "A copy could not be kept as " + badPath + " (" + ErrorText(err) + "); ";
    m_damageReport += "what could be read is used, the rest takes its default values, and the file will "
                      "not be overwritten.";
    return false;
}

std::string SettingsStore::Serialize() const {
    std::string out = std::string(kHeader) + "\n";
    for (const LayoutItem& item : m_layout) {
        if (!item.key) {
            for (const std::string& line : item.lines) {
                if (!line.empty() && Trim(line)[0] == '[')
                    out += "\n";
                out += line + "\n";
            }
            continue;
        }
        const StoredKey& key = *item.key;
        out += "\n[" + std::string(kHive) + "\\" + key.path + "]\n";
        size_t kept = 0;
        auto writeKeptBefore = [&](size_t valueIndex) {
            while (kept < key.keptLines.size() && key.keptLines[kept].first <= valueIndex)
                out += key.keptLines[kept++].second + "\n";
        };
        for (size_t i = 0; i < key.values.size(); ++i) {
            writeKeptBefore(i);
            const StoredValue& v = key.values[i];
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
                    for (int b = 3; b >= 0; --b)
                        x = (x << 8) | static_cast<unsigned char>(v.data[static_cast<size_t>(b)]);
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
        writeKeptBefore(SIZE_MAX);
    }
    return out;
}

std::string SettingsStore::FinalTarget(const std::string& path) {
    std::string current = path;
    // A loop of links is left to the save to report (ELOOP from the rename's folder).
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size())
            return current;
        target.resize(static_cast<size_t>(n));
        if (target[0] != '/') {
            const auto slash = current.rfind('/');
            target = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + target;
        }
        current = target;
    }
    return current;
}

int SettingsStore::Save() const {
    if (m_readError)
        return m_readError;
    // Through a symbolic link: the temporary file goes beside the final target and is
    // renamed over it, so the link (and the owner's arrangement) stays.
    AtomicFile file(FinalTarget(m_filePath), 0600);
    file.SetDurable(true); // the file holds everything the owner set up: survive a power cut
    std::string content = Serialize();
    if (!file.Open() || !file.Write(content.data(), content.size()) || !file.Commit())
        return file.Error() ? file.Error() : EIO;
    return 0;
}

} // namespace kestrel
