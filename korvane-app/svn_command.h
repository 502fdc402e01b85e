// Carrying out a command from the file manager with the svn command line.
// svn runs with its arguments as given (no shell), non-interactively, with
// this process's standard output and error.
#pragma once

#include <string>
#include <vector>

// "reveal" has nothing to run; "update", "commit", "add" and "revert" run
// one svn command on all paths; "ignore" adds each item's name to its
// folder's svn:ignore. False when an svn command fails or the action is
// unknown.
bool carryOutCommand(const std::string& action, const std::vector<std::string>& paths);
