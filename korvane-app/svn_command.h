// Carrying out a command from the file manager with the svn command line.
// svn runs with its arguments as given (no shell), non-interactively, with
// this process's standard output and error. Paths and values never become
// options or peg revisions: they follow "--", and each path ends in "@".
#pragma once

#include <string>
#include <vector>

// "reveal" has nothing to run; "update", "commit", "add" and "revert" run
// one svn command on all paths; "ignore" adds each item's name to its
// folder's svn:ignore as a pattern matching exactly that name. "revert" and
// "commit" first ask on the terminal, or go ahead unasked when confirmed is
// true; without either they refuse. False when an svn command fails, the
// command is refused, or the action is unknown.
bool carryOutCommand(const std::string& action, const std::vector<std::string>& paths, bool confirmed);
