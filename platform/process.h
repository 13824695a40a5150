#pragma once

#include <string>
#include <vector>

// Starts a program and waits for it to end. The only place that creates
// processes.
//
// argv is an argument vector ended by a null entry; entry 0 is the name the
// child sees for itself. The entries are joined by single spaces into the
// child's command line and nothing is quoted: a caller that wants a path with
// spaces to arrive as one argument quotes it itself.
//
// Returns the child's exit code read as signed, or -1 with errno set when no
// child was started.
int RunAndWait(const char* programPath, const char* const* argv);

// The same for an argument vector held as texts, which stay alive for the
// whole call.
int RunAndWait(const std::string& programPath, const std::vector<std::string>& arguments);
