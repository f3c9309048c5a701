#pragma once

#include <string>

namespace kestrel {

// "<config>/Velmora": the folder of the settings file and the instance lock.
// <config> is $XDG_CONFIG_HOME, else ~/.config. Created when missing.
std::string ConfigFolder();
// The same folder's path, without creating it.
std::string ConfigFolderPath();
// The user's home folder, without a trailing "/".
std::string HomeFolder();

// True when `path` names an existing file or folder. As on the original platform,
// a path that ends in "/" names nothing by itself, and an empty path names nothing.
bool PathNamesSomething(const std::string& path);
bool IsExistingFile(const std::string& path);
bool IsExistingFolder(const std::string& path);

// strerror's text for an errno value, thread-safe.
std::string ErrorText(int err);

// The folder holding the running program (from /proc/self/exe), without a trailing "/".
std::string ProgramFolder();
std::string ProgramPath();

// The folder of the help pages for the program at `programPath`: "<program>.help" beside
// it in a build tree, else "<prefix>/share/kestrel/help" for a program in "<prefix>/bin".
// When neither exists, the build-tree folder (messages then name where they belong).
std::string HelpFolderFor(const std::string& programPath);
// HelpFolderFor the running program.
std::string HelpFolder();

} // namespace kestrel
