// The program's web server with HTTPS, for bench/server_load.sh: the same server, TLS
// sessions and hit log as the program, with session tickets and the session cache off so
// that every handshake is a full one. Writes its handshake counts (all, resumed) to the
// file given, twice a second.
//
// Usage: tls_load_server ROOT PORT TLS-PORT CERT KEY COUNTS-FILE

#include "app/HeadlessView.h"
#include "model/Settings.h"
#include "platform/MessageBox.h"
#include "server/HitLog.h"
#include "server/WebServer.h"
#include "tls/TlsSession.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

using namespace kestrel;

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s ROOT PORT TLS-PORT CERT KEY COUNTS-FILE\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    CServerSettings settings;
    settings.strRoot = argv[1];
    settings.strServer = "localhost";
    settings.uPort = static_cast<unsigned>(std::atoi(argv[2]));
    settings.TlsPort = static_cast<unsigned>(std::atoi(argv[3]));
    settings.TlsCertFile = argv[4];
    settings.TlsKeyFile = argv[5];
    settings.TlsRedirect = 0;
    const std::string counts = argv[6];
    HeadlessMessageBox box;
    HeadlessMainView view;
    CHitTracker hits(view, settings);
    // The program's idle pass: requests are logged once their connections are gone.
    QTimer idle;
    idle.setInterval(0);
    QObject::connect(&idle, &QTimer::timeout, [&] {
        if (!hits.ServiceIdle())
            idle.stop();
    });
    ServerHooks hooks;
    hooks.recordHit = [&](const std::shared_ptr<CRequest>& request) {
        hits.RecordHit(request);
        idle.start();
    };
    hooks.connectionClosed = [&] { idle.start(); };
    CWebServer server(settings, box, std::move(hooks));
    TlsOptions options;
    options.sessionTickets = false;
    server.SetTlsOptions(options);
    if (!server.StartServer() || !server.TlsServing())
        return 1;
    QTimer report;
    QObject::connect(&report, &QTimer::timeout, [&] {
        if (std::FILE* f = std::fopen(counts.c_str(), "w")) {
            std::fprintf(f, "%lld %lld\n", TlsSession::HandshakesDone(), TlsSession::HandshakesResumed());
            std::fclose(f);
        }
    });
    report.start(500);
    return app.exec();
}
