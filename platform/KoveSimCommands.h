// Commands of a simulated device that would change the host.
//
// Rule: a command line in which any word names a host-changing tool (after
// stripping its directory, so "/sbin/ifconfig" counts) is not run at all,
// whatever else it chains with ";", "&&", "|" or "$(...)": it is recorded
// whole, as one line of <dir>/commands.log, and counts as run with status 0.
// Words are split at blanks, quotes and the shell's operator characters, so a
// tool name inside quotes or a command substitution is found too. This errs
// on the side of not running: a line that merely mentions such a name as a
// word ("echo reboot") is recorded as well.
//
// Commands that do run get .kovesim/bin first on their PATH: stand-ins there
// record the host-changing tools that a script calls by name.
#ifndef KOVE_SIM_COMMANDS_H
#define KOVE_SIM_COMMANDS_H

#include <string>
#include <vector>

// The host-changing tools.
const std::vector<std::string>& SimHostTools();

// True when the command line holds a word that names a host-changing tool.
bool SimLineHasHostTool(const std::string& line);

// The argument vector as one command line (words quoted where the shell would
// need it).
std::string SimJoinArgv(const char* const argv[]);

// Appends one line to <dir>/commands.log with a single write, so that lines of
// several processes never interleave. Control characters are replaced by
// blanks. 0, or -1 with errno.
int SimRecordCommand(const std::string& dir, const std::string& line);

// Directory of the stand-ins, and their creation (part of setting up a device).
std::string SimStubDir(const std::string& dir);
int SimEnsureStubs(const std::string& dir);

// The environment of a command the device runs: this process's environment
// with KOVE_SIM set to dir and the stand-ins first on PATH.
std::vector<std::string> SimChildEnvironment(const std::string& dir);

#endif
