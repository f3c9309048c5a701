#include "platform/DesktopOpener.h"

#include <QProcess>
#include <QTimer>

#include <memory>

namespace kestrel {

void OpenOnDesktop(const QString& target, std::function<void(const OpenerOutcome&)> done, int patienceMs) {
    // Never deleted while it runs: a QProcess ends its child when destroyed, and the child may
    // be the owner's browser. It deletes itself when the child ends.
    auto* process = new QProcess;
    process->setProgram(QStringLiteral("xdg-open"));
    process->setArguments({target});
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    // Whichever comes first reports: the end of the child or the end of the patience.
    auto report = std::make_shared<std::function<void(const OpenerOutcome&)>>(std::move(done));
    auto once = [report](const OpenerOutcome& outcome) {
        if (*report) {
            auto call = std::move(*report);
            *report = nullptr;
            call(outcome);
        }
    };
    QObject::connect(
        process, &QProcess::finished, process, [process, once](int code, QProcess::ExitStatus how) {
            once(how == QProcess::CrashExit ? OpenerOutcome{false, -1} : OpenerOutcome{code == 0, code});
            process->deleteLater();
        });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, once](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         // No opener at all: as xdg-open says when the tool it needs is missing. Told from
                         // the event loop, as every other outcome.
                         QTimer::singleShot(0, [once] { once(OpenerOutcome{false, 3}); });
                         process->deleteLater();
                     });
    QTimer::singleShot(patienceMs, process, [once] { once(OpenerOutcome{true, 0}); });
    process->start();
}

} // namespace kestrel
