#pragma once

// Helpers of the server tests: a temporary web root, a real loopback client run on a
// thread while the test's thread turns the event loop, and response parsing.

#include "model/Settings.h"
#include "platform/MessageBox.h"
#include "server/HitLog.h"
#include "server/WebServer.h"
#include "support/RecordingMessageBox.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::test {

// Makes an empty temporary folder; removes it with everything in it when it goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& bytes, int mode = 0644);
std::string ReadFile(const std::string& path);
void MakeFolder(const std::string& path);
// Turns the event loop until `done` answers true or `timeoutMs` passes.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000);
// Turns the event loop for a while.
void Pump(int ms);
// The capture time the harness's stream composer gives its picture number `number`.
inline int64_t StreamCaptureTimeUs(uint32_t number) {
    return 1733600000000000 + int64_t{number} * 100007;
}
// A small real JPEG picture of the given colour.
std::string SmallJpeg(unsigned rgb);

struct Response {
    bool received = false;
    std::string raw;
    std::string statusLine; // "HTTP/1.0 200 OK"
    int status = 0;
    std::map<std::string, std::string> headers; // lower-case names
    std::vector<std::string> headerLines;
    std::string body;
    std::string Header(const std::string& name) const;
};
Response ParseResponse(const std::string& raw);

// How the client talks.
struct ClientOptions {
    bool ipv6 = false;
    int pieceSize = 0;            // >0: send the request in pieces of this size
    int pauseMs = 0;              // between pieces
    bool closeAfterSend = false;  // shut the sending side once the request is out
    bool hangUpAfterSend = false; // close at once without reading
    unsigned loopbackHost = 1;    // IPv4: connect to 127.0.0.<n>
};

// Connects to the port, sends `request`, reads to the end. The event loop runs meanwhile.
Response Fetch(unsigned port, const std::string& request, ClientOptions options = {});

// A listening web server over a temporary web root, with a fake picture composer.
class ServerHarness {
public:
    ServerHarness();
    ~ServerHarness();
    bool Start();
    unsigned Port() const { return m_port; }
    Response Get(const std::string& path, const std::string& extraHeaders = "Host: cam.test\r\n");
    Response Send(const std::string& request, ClientOptions options = {});
    std::string Root() const { return m_root.Path(); }

    TempFolder m_root;
    CServerSettings settings;
    RecordingMessageBox box;
    std::string password;
    int composeCount = 0;
    bool composeWrites = true;
    std::string frameBytes, frameiBytes;
    std::vector<std::shared_ptr<CRequest>> hits;
    // The live stream's composer: each picture is `streamFrameSize` bytes ending in its
    // 4-byte number (1, 2, ...), so that a client can tell the pictures apart.
    int streamComposeCount = 0;
    bool streamCameraOff = false;
    std::size_t streamFrameSize = 600;
    std::function<void()> onStreamCompose; // runs as each picture is composed
    std::function<void(const std::string&)> onTouchViewer;
    std::unique_ptr<CWebServer> server;

private:
    unsigned m_port = 0;
};

unsigned FreePort();

} // namespace kestrel::test
