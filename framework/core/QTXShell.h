// Running commands: a command line through the shell, or a program with an argument vector.
// Both go through the platform layer, so that on a simulated device the tools that would change
// the host are only recorded.
//
// A command line goes to the shell as it is: only a line that a person configured on purpose
// (an Execute command of an update archive) may be passed to ExecuteShellCommand. A command put
// together from values (file names, addresses, texts of a request) is run with ExecuteProgram,
// where every value stays one argument whatever characters it holds; a command line that came
// over the network is split into words with SplitCommandWords and run the same way.
#ifndef QTX_SHELL_H
#define QTX_SHELL_H

#include <string>
#include <vector>

#include "QTXReport.h"

// Runs the command line with the shell; in the background (" &" appended) unless wait is set.
// Reports "System call \"<command>\"" and then " ... returned <result>" through report when
// one is given. Returns the shell's result as system(3) gives it (-1 when no shell could be
// started); for a background command that is the shell's, not the command's.
int ExecuteShellCommand(const std::string& command, bool wait, QTXReportFunction report = nullptr);

// Runs arguments[0] (looked up on PATH) with the argument vector, without a shell. With wait it
// returns the exit status as waitpid(2) reports it; without, 0 once the program started, and
// the program is reaped in the background when it ends. -1 when it could not be started or the
// vector is empty. Reports the call and its result as ExecuteShellCommand does, with the
// arguments joined by blanks.
int ExecuteProgram(const std::vector<std::string>& arguments, bool wait,
                   QTXReportFunction report = nullptr);

// Starts arguments[0] as ExecuteProgram does without wait, but leaves the child to the caller:
// returns its process id, which the caller must wait for (waitpid), or -1 when it could not be
// started or the vector is empty.
int StartProgram(const std::vector<std::string>& arguments, QTXReportFunction report = nullptr);

// The words of a command line: the runs of characters between blanks, tabs and line ends. No
// other character has a meaning (quotes, "$", ";", ">" stay part of their word), so the words
// run with ExecuteProgram do what a plain "program arg arg" line does and nothing more.
std::vector<std::string> SplitCommandWords(const std::string& command);

// True when the text can stand in a shell command line as one plain word: not empty and made
// only of letters, digits and "_-.,:/+=@%". For values that must be put into a command line.
bool IsShellSafeWord(const std::string& text);

#endif
