#pragma once

#include "server/UniqueFd.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Everything one script run needs, prepared on the user-interface thread so that the
// worker touches nothing shared.
struct ScriptJob {
    std::string program; // the file executed: the script itself, or /bin/sh for ".bat"
    std::vector<std::string> argv;
    std::vector<std::string> env; // NAME=value, already sorted
    std::string workDir;
    std::string body; // written to the script's standard input
    UniqueFd output;  // the worker's own descriptor of the output file
    UniqueFd cancel;  // an eventfd: readable once the connection has gone

    ScriptJob();
    // Tells the worker to give up: it terminates the script's process group and ends.
    void Cancel();
};

// How a run ended: the script ran to its end, or the pipe or the process could not be
// started.
enum class ScriptOutcome { Finished, StartFailed };

// Starts a worker thread that runs `job`; `done` is called on the worker thread when
// the script has ended (never after a cancel). False when no thread could be started.
bool StartScriptWorker(std::shared_ptr<ScriptJob> job, std::function<void(ScriptOutcome)> done);
// Waits at most `milliseconds` for every worker to end; true when none is left.
bool WaitForScriptWorkers(int milliseconds);
int RunningScriptWorkers();

} // namespace kestrel
