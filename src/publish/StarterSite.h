#pragma once

#include <string>

namespace kestrel {

// The result of laying the starter site.
struct StarterSiteResult {
    int filesWritten = 0;
    int filesKept = 0;      // already there: left as they were
    int error = 0;          // errno of the first failure, 0 when none
    std::string failedPath; // where it failed
};

// Lays the starter web site (templates, camera-off pictures, the password picture, the
// listing icons, an empty "logpic" folder and a first "index.html") into `rootFolder`,
// creating the folders it needs. Nothing that exists is ever overwritten.
StarterSiteResult LayStarterSite(const std::string& rootFolder);

// A message for the owner when laying failed ("" when it did not):
// "<path> に初期ページを置けませんでした（<error>）".
std::string StarterSiteReport(const StarterSiteResult& result);

} // namespace kestrel
