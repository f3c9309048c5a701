// Fuzz target for the request parser and the byte parsers next to it.
// Build and run (clang's libFuzzer):
//   tests/fuzz/run_request_parser_fuzz.sh [seconds]

#include "model/HostChecks.h"
#include "server/HttpSyntax.h"
#include "server/RequestParser.h"
#include "server/ScriptEnvironment.h"
#include "server/UrlMapping.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    // The request, fed whole and in two pieces split where the first byte says.
    std::size_t split = size ? data[0] % (size + 1) : 0;
    CRequest whole, pieces;
    RequestParser a("pw"), b("pw");
    a.Feed(bytes, size, whole);
    b.Feed(bytes, split, pieces);
    b.Feed(bytes + split, size - split, pieces);
    if (a.Complete() != b.Complete() || whole.url != pieces.url || whole.body != pieces.body ||
        whole.headers != pieces.headers || a.Error() != b.Error())
        std::abort();
    if (whole.body.size() > static_cast<std::size_t>(whole.contentLength) ||
        whole.contentLength > kMaxContentLength)
        std::abort();
    if (a.Complete() && a.Error() == 0)
        for (char c : whole.url)
            if (static_cast<unsigned char>(c) < 0x20)
                std::abort();

    std::string text(bytes, size);
    std::string out;
    DecodeUrl(text, true);
    DecodeUrlStrict(text, out);
    ParseHttpDate(text);
    ParseScriptHead(text);
    IsValidHostHeader(text);
    ScriptArguments(text);
    if (MapUrlToPath("/srv/web", text, out) && out != "/srv/web" && out.rfind("/srv/web/", 0) != 0)
        std::abort();
    return 0;
}
