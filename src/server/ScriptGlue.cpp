// Running a program target as a script: the checks before its body is read, the start of
// its worker, and its output's head once it has ended.

#include "server/Escaping.h"
#include "server/HttpSyntax.h"
#include "server/RequestSocket.h"
#include "server/ScriptEnvironment.h"
#include "server/ScriptWorker.h"
#include "server/WebServer.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr std::size_t kMaxScriptHead = 1024 * 1024;

std::string TempFolder() {
    const char* t = std::getenv("TMPDIR");
    std::string folder = t && *t ? t : "/tmp";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

} // namespace

bool CRequestSocket::IsScriptTarget() const {
    return m_request->execKind != ExecNone;
}

// A program target: run at once, or, for a POST, checked and its body read first (within
// the server's budget for bodies held).
CRequestSocket::Handled CRequestSocket::AnswerScript(Method method) {
    if (method != kPost)
        return StartScript() ? Handled::ScriptStarted : Handled::Answered;
    CRequest& r = *m_request;
    // A body is not read for a script that could not be started now.
    if (RefuseScriptTarget() || RefuseBusyScripts())
        return Handled::Answered;
    if (!m_owner.ReserveBody(ClientKey(), r.contentLength)) {
        AppendError(503); // the bodies held already fill the budget (or this address's share)
        return Handled::Answered;
    }
    m_bodyStarted = Clock::now();
    m_bodyReserved = r.contentLength;
    // Held at its final size from the start: growing it would hold twice as much.
    r.body.reserve(static_cast<std::size_t>(r.contentLength));
    return Handled::BodyNeeded;
}

// Writes the refusal and answers true when the resolved target cannot run as a script.
bool CRequestSocket::RefuseScriptTarget() {
    CRequest& r = *m_request;
    if (RefuseHiddenTarget())
        return true;
    if (r.fileAttributes & kAttrFolder) {
        AppendError(400); // a query on something that is not a program
        return true;
    }
    if (r.execKind == ExecLibrary) {
        AppendError(501);
        return true;
    }
    struct stat st {};
    if (::stat(r.filePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & 0111)) {
        AppendError(500); // refused like a program that cannot be started
        return true;
    }
    return false;
}

// A script without a body: checked and started at once. True when it was started.
bool CRequestSocket::StartScript() {
    return !RefuseScriptTarget() && !RefuseBusyScripts() && LaunchScript();
}

// Starts the checked target's worker; the request's body moves to it. True when it was
// started, otherwise the refusal is written.
bool CRequestSocket::LaunchScript() {
    CRequest& r = *m_request;
    // Others may have started while this body was read.
    if (RefuseBusyScripts())
        return false;
    std::string pattern = TempFolder() + "/CGIXXXXXX";
    UniqueFd out(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!out.Valid()) {
        AppendError(500);
        return false;
    }
    ::unlink(pattern.c_str());

    auto job = std::make_shared<ScriptJob>();
    job->output.Reset(::fcntl(out.Get(), F_DUPFD_CLOEXEC, 0));
    std::vector<std::string> args = ScriptArguments(r.query);
    auto dot = r.filePath.rfind('.');
    bool batch = dot != std::string::npos && CompareNoCase(r.filePath.substr(dot + 1), "bat") == 0;
    if (batch) {
        job->program = "/bin/sh";
        job->argv = {"/bin/sh", r.filePath};
    } else {
        job->program = r.filePath;
        job->argv = {r.filePath};
    }
    job->argv.insert(job->argv.end(), args.begin(), args.end());
    job->workDir = r.filePath.substr(0, r.filePath.rfind('/') + 1);

    ScriptEnvironment env;
    env.Add("SERVER_SOFTWARE", kServerSoftware);
    env.Add("SERVER_NAME", ServerName());
    env.Add("GATEWAY_INTERFACE", "CGI/1.1");
    env.Add("SERVER_PROTOCOL", "HTTP/1.0");
    env.Add("SERVER_PORT", std::to_string(SchemePort()));
    if (Scheme() == "https")
        env.Add("HTTPS", "on");
    env.Add("REQUEST_METHOD", r.method);
    env.Add("SCRIPT_NAME", r.url);
    env.Add("QUERY_STRING", r.query);
    env.Add("REMOTE_ADDR", r.clientAddress);
    if (r.contentLength > 0) {
        env.Add("CONTENT_LENGTH", r.GetHeader("Content-Length"));
        env.Add("CONTENT_TYPE", r.GetHeader("Content-Type"));
        job->body = std::move(r.body);
        r.body.clear();
    }
    if (!r.pathInfo.empty()) {
        env.Add("PATH_INFO", r.pathInfo);
        env.Add("PATH_TRANSLATED", r.pathTranslated);
    }
    for (const auto& [name, value] : r.headers) {
        std::string variable = ScriptHeaderVariable(name);
        if (!variable.empty())
            env.Add(variable, value);
    }
    job->env = env.Entries();

    if (!job->output.Valid()) {
        AppendError(500);
        return false;
    }
    std::weak_ptr<int> alive = m_owner.m_alive;
    CWebServer* owner = &m_owner;
    std::uint64_t id = m_id;
    auto done = [alive, owner, id](ScriptOutcome outcome) {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app,
            [alive, owner, id, outcome] {
                if (alive.lock())
                    owner->OnScriptDone(id, outcome == ScriptOutcome::Finished);
            },
            Qt::QueuedConnection);
    };
    if (!StartScriptWorker(job, done)) {
        AppendError(500);
        return false;
    }
    m_job = std::move(job);
    m_file = std::move(out);
    m_fileLeft = -1;
    SetScriptRunning(true);
    return true;
}

void CRequestSocket::SetScriptRunning(bool on) {
    if (on != m_scriptRunning)
        m_owner.m_scriptsRunning += on ? 1 : -1;
    m_scriptRunning = on;
}

// Whether the scripts running already fill ScriptMaxRunning: the request is answered 503.
bool CRequestSocket::RefuseBusyScripts() {
    const auto cap = std::clamp<std::uint32_t>(m_owner.Settings().ScriptMaxRunning, 1, 256);
    if (m_owner.m_scriptsRunning < cap)
        return false;
    AppendError(503);
    return true;
}

void CRequestSocket::FinishScript(bool started) {
    SetScriptRunning(false);
    m_job.reset();
    ReleaseBody();
    if (m_closed) {
        m_file.Reset();
        return;
    }
    if (!started) {
        m_file.Reset();
        AppendError(500);
    } else {
        ::lseek(m_file.Get(), 0, SEEK_SET);
        WriteScriptHeaders();
        if (m_treatAsHead)
            m_file.Reset();
        else
            FillFromFile();
    }
    m_lastSendProgress = Clock::now();
    OnSend();
}

bool CRequestSocket::WriteScriptHeaders() {
    std::string text;
    ScriptHead head;
    char buf[16 * 1024];
    for (;;) {
        ssize_t n = ::read(m_file.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
        head = ParseScriptHead(text);
        if (head.complete || n <= 0 || text.size() >= kMaxScriptHead)
            break;
    }
    if (head.complete)
        ::lseek(m_file.Get(), static_cast<off_t>(head.bodyOffset), SEEK_SET);
    else
        m_file.Reset(); // no empty line: everything was head, the body is empty
    if (head.status.empty())
        AppendStatus(200);
    else
        AppendStatus(head.status);
    AppendText(head.headers);
    AppendText("\r\n");
    return head.complete;
}

} // namespace kestrel
