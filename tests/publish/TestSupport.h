#pragma once

#include "platform/MessageBox.h"

#include <QTemporaryDir>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace kestrel::test {

// Keeps every message instead of showing it.
class RecordingMessageBox final : public IMessageBox {
public:
    int Show(const std::string& text, const std::string&, MessageIcon, MessageButtons,
             int defaultResult) override {
        messages.push_back(text);
        return defaultResult;
    }
    std::vector<std::string> messages;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace kestrel::test
