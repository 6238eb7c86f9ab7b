#pragma once

#include "Connection.h"
#include "Invocation.h"

namespace cli {

class Command;

// The exit status after a termination signal: the work in flight was stopped, no later target
// started.
constexpr int Interrupted = 4;

// Runs the command on every target, invocation.jobs of them at once, each through its own
// connection with its own transaction, committed or rolled back on its own. Results go to standard
// output, errors to standard error, in the targets' order, each target's as soon as the earlier
// ones' are out. Returns the command's exit code, or Interrupted after SIGTERM, SIGINT or SIGHUP,
// which also stop the work in flight. The work on one target is stopped the same way when it
// outlasts invocation.targetTimeout.
int Run(const Invocation& invocation, Command& command,
        const Connector& connect = ClientLibraryConnection);

} // namespace cli
