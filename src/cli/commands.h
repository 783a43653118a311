#pragma once

#include "cli/arguments.h"

class BoardLink;
class SignalWatcher;

// What kestrune-cli does with checked arguments, on the boards of link.
// Results go to stdout; every message goes to stderr, starting with
// "kestrune-cli: ".
namespace cli {

// Writes "kestrune-cli: " and message to stderr.
void complain(const QString& message);

// Runs the command and returns the exit status: 0 success, 1 failure. A play
// stopped by a signal that watcher delivers ends the process by that signal.
int run(const Arguments& arguments, BoardLink& link, SignalWatcher* watcher);

}  // namespace cli
