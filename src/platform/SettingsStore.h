#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kestrel {

// Value types of the key/value store, numbered as the registry numbers them.
enum class ValueType : uint32_t {
    None = 0,
    String = 1,
    ExpandString = 2,
    Binary = 3,
    Dword = 4,
    MultiString = 7
};

struct StoredValue {
    std::string name; // as first written; looked up case-insensitively
    ValueType type = ValueType::None;
    std::string data; // the stored bytes; a String keeps its terminating zero
    size_t line = 0;  // where the file set it last (1 = first line); 0: not read from a file
};

// A line inside a key that sets no value because it cannot be read. It is kept in the
// file as it stands; the value it meant keeps its default.
struct UnreadableLine {
    size_t line = 0;     // 1 = the file's first line
    std::string keyPath; // the key it stands in
    std::string name;    // the value it seems to set; "" when that cannot be told
    std::string reason;  // what is wrong with it, for the owner
    std::vector<std::string> text; // the line as read (a hex value may run over several)
    // A later line of the same key sets the same name readably: that one counts.
    bool superseded = false;
};

// One key: its values in the order they were first set.
struct StoredKey {
    std::string path; // full path below the hive, e.g. "Software\Velmora\Kestrels\caption0"
    std::vector<StoredValue> values;
    // Lines read inside the key that hold no value (";" comments, lines that cannot be
    // read), each with the number of values read before it, so it is written back where
    // it stood.
    std::vector<std::pair<size_t, std::string>> keptLines;

    StoredValue* Find(const std::string& name);
    void Set(const std::string& name, ValueType type, std::string data);

private:
    // Lower-case name -> position in `values`, so a file with many values reads in linear
    // time. Rebuilt whenever `values` was changed behind its back.
    std::unordered_map<std::string, size_t> m_index;
    void Reindex();
};

// The settings store: a text file in the registry-export syntax holding every key and
// value it read (unknown ones included) and writing them all back. Keys of other hives,
// comments and lines it cannot read are kept as text, in their place. Names, key paths
// and kept lines that are not UTF-8 are taken as Latin-1, so what the store writes is
// UTF-8 and reads back unchanged.
class SettingsStore {
public:
    static constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
    static constexpr const char* kHive = "HKEY_LOCAL_MACHINE";

    SettingsStore() = default;
    explicit SettingsStore(std::string filePath) : m_filePath(std::move(filePath)) {}

    // Where the store lives by default: <config>/Velmora/Kestrels.reg.
    static std::string DefaultFilePath();

    // Reads the file. A missing file is an empty store (true). A damaged file (first
    // non-blank line not the header, or not UTF-8) is copied to "<file>.bad", read as far
    // as it can be, and reported through DamageReport(); so is a file that exists but
    // cannot be read (false in both cases). A damaged file whose copy cannot be made is
    // treated like an unreadable one: it is never replaced. Never fails hard.
    bool Load();
    // Parses text in the export syntax into the store (used by Load and by tests).
    // Returns false when the text is damaged; what could be read is kept.
    bool Parse(const std::string& text);
    // The whole store in the export syntax.
    std::string Serialize() const;
    // Writes the whole file at once (temporary file, flushed to disk, renamed over the
    // old one; mode 0600). A file that is a symbolic link is written through it: the
    // link's final target is replaced and the link stays. Returns 0 or the errno of the
    // failure. When Load found the file but could not read it (or could not keep a copy
    // of a damaged one), nothing is written (that errno is returned) so the owner's
    // settings are never replaced by defaults.
    int Save() const;
    // The file a save replaces: the path itself, or the final target of the symbolic
    // link(s) it names, which need not exist yet.
    static std::string FinalTarget(const std::string& path);

    const std::string& FilePath() const { return m_filePath; }
    void SetFilePath(std::string path) { m_filePath = std::move(path); }
    // A message for the owner when Load met a damaged file; empty otherwise.
    const std::string& DamageReport() const { return m_damageReport; }

    // Keys, looked up case-insensitively by their path below the hive.
    StoredKey* FindKey(const std::string& path);
    StoredKey& CreateKey(const std::string& path);
    const std::vector<std::unique_ptr<StoredKey>>& Keys() const { return m_keys; }

    // The lines Parse could not read, in file order.
    const std::vector<UnreadableLine>& Unreadable() const { return m_unreadable; }
    // True when the last line that sets `name` in key `path` could not be read: the file
    // says the owner set it, but not to what.
    bool ValueUnreadable(const std::string& path, const std::string& name) const;
    // The owner set `name` anew: its unreadable lines are forgotten and no longer written back.
    void DropUnreadable(const std::string& path, const std::string& name);

    // Tests only: opening or creating the key with this path fails with `error`.
    void FailKeyForTest(const std::string& path, int error) { m_failingKeys[Lower(path)] = error; }
    int KeyFailure(const std::string& path) const;

    static std::string Lower(const std::string& s);
    static bool IsValidUtf8(const std::string& s);
    // Each byte as the Latin-1 character of that number, in UTF-8.
    static std::string Latin1ToUtf8(const std::string& s);
    static std::string EscapeText(const std::string& s);
    static std::string UnescapeText(const std::string& s);

private:
    // Reads one value line (continuations joined) into `key`; false when it is no value,
    // with what is wrong in `reason`. `name` is the value's name, or when the line cannot
    // be read, the name it seems to set.
    static bool ParseValueLine(const std::string& line, StoredKey& key, std::string& name, std::string& reason);
    // The file's order: the keys of the store and blocks of kept lines (another hive's
    // keys, lines before the first key) as they were read; new keys go at the end.
    struct LayoutItem {
        StoredKey* key = nullptr;
        std::vector<std::string> lines;
    };

    std::string m_filePath;
    std::string m_damageReport;
    int m_readError = 0;
    std::vector<std::unique_ptr<StoredKey>> m_keys;
    std::unordered_map<std::string, StoredKey*> m_keyIndex; // lower-case path -> key
    std::vector<LayoutItem> m_layout;
    std::map<std::string, int> m_failingKeys;
    std::vector<UnreadableLine> m_unreadable;
};

} // namespace kestrel
