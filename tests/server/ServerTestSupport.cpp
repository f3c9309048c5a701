#include "ServerTestSupport.h"
#include "support/TestPorts.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrel::test {

TempFolder::TempFolder() {
    std::string pattern = ::testing::TempDir() + "kestrel-server-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    m_path = made ? made : "";
}

TempFolder::~TempFolder() {
    std::error_code ec;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ec);
}

void WriteFile(const std::string& path, const std::string& bytes, int mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void MakeFolder(const std::string& path) {
    std::filesystem::create_directories(path);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void Pump(int ms) {
    PumpUntil([] { return false; }, ms);
}

std::string SmallJpeg(unsigned rgb) {
    QImage image(16, 12, QImage::Format_RGB32);
    image.fill(QColor::fromRgb(rgb));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return bytes.toStdString();
}

std::string Response::Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

Response ParseResponse(const std::string& raw) {
    Response r;
    r.raw = raw;
    r.received = !raw.empty();
    auto end = raw.find("\r\n\r\n");
    std::string head = raw.substr(0, end);
    r.body = end == std::string::npos ? std::string() : raw.substr(end + 4);
    std::size_t pos = 0;
    bool first = true;
    while (pos <= head.size()) {
        auto eol = head.find("\r\n", pos);
        std::string line = head.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        if (first) {
            r.statusLine = line;
            if (line.size() > 12)
                r.status = std::atoi(line.c_str() + 9);
            first = false;
        } else if (!line.empty()) {
            r.headerLines.push_back(line);
            auto colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (char& c : name)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                std::string value = line.substr(colon + 1);
                while (!value.empty() && value[0] == ' ')
                    value.erase(0, 1);
                r.headers[name] = value;
            }
        }
        if (eol == std::string::npos)
            break;
        pos = eol + 2;
    }
    return r;
}

namespace {
std::string ClientExchange(unsigned port, const std::string& request, ClientOptions options) {
    int fd = ::socket(options.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int rc;
    if (options.ipv6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK + options.loopbackHost - 1);
        a.sin_port = htons(static_cast<uint16_t>(port));
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        ::close(fd);
        return {};
    }
    std::size_t piece = options.pieceSize > 0 ? static_cast<std::size_t>(options.pieceSize) : request.size();
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t n = ::send(fd, request.data() + sent, std::min(piece, request.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue; // a script ending in this process signals whichever thread it finds
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
        if (options.pauseMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseMs));
    }
    if (options.hangUpAfterSend) {
        ::close(fd);
        return {};
    }
    if (options.closeAfterSend)
        ::shutdown(fd, SHUT_WR);
    std::string raw;
    char buf[8192];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        raw.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return raw;
}
} // namespace

Response Fetch(unsigned port, const std::string& request, ClientOptions options) {
    auto future = std::async(std::launch::async, ClientExchange, port, request, options);
    PumpUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 15000);
    if (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return {};
    Response r = ParseResponse(future.get());
    Pump(5); // let the server finish with the connection
    return r;
}

// Below the range outgoing connections are given: another test's client cannot take it
// before the server listens.
unsigned FreePort() {
    return kestrel::testing::ServerTestPort();
}

ServerHarness::ServerHarness() {
    settings.strRoot = m_root.Path();
    settings.strServer = "";
    settings.bAllowListing = 0;
    settings.bListIcon = 0;
    frameBytes = SmallJpeg(0xff0000);
    frameiBytes = SmallJpeg(0x00ff00);
    ServerHooks hooks;
    hooks.composeFrame = [this] {
        ++composeCount;
        if (composeWrites) {
            WriteFile(m_root.Path() + "/frame.jpg", frameBytes);
            WriteFile(m_root.Path() + "/framei.jpg", frameiBytes);
        }
    };
    hooks.picturePassword = [this] { return password; };
    hooks.recordHit = [this](const std::shared_ptr<CRequest>& r) { hits.push_back(r); };
    hooks.composeStreamFrame = [this](std::vector<uint8_t>& jpeg, bool& cameraOff, int64_t& capturedUs) {
        const uint32_t number = static_cast<uint32_t>(++streamComposeCount);
        capturedUs = StreamCaptureTimeUs(number);
        if (onStreamCompose)
            onStreamCompose();
        jpeg.assign(std::max<std::size_t>(streamFrameSize, 4), 0xAB);
        std::memcpy(jpeg.data() + jpeg.size() - 4, &number, 4);
        cameraOff = streamCameraOff;
        return true;
    };
    hooks.touchViewer = [this](const std::string& address) {
        if (onTouchViewer)
            onTouchViewer(address);
    };
    server = std::make_unique<CWebServer>(settings, box, std::move(hooks));
}

ServerHarness::~ServerHarness() {
    server.reset();
}

bool ServerHarness::Start() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        settings.uPort = FreePort();
        box.Clear();
        if (server->StartServer()) {
            m_port = settings.uPort;
            return true;
        }
    }
    return false;
}

Response ServerHarness::Get(const std::string& path, const std::string& extraHeaders) {
    return Send("GET " + path + " HTTP/1.0\r\n" + extraHeaders + "\r\n");
}

Response ServerHarness::Send(const std::string& request, ClientOptions options) {
    return Fetch(m_port, request, options);
}

} // namespace kestrel::test
