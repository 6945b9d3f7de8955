// The commands of the vardex command line.  Each command lives in its own
// file and gets the arguments that follow its name (argv[0] is the command
// name itself).  It returns the process exit status: 0 on success, 1 when the
// engine reports a status other than 0, 2 for a usage error.
#pragma once

#include <string>
#include <vector>

namespace cli {

int RunList(int argc, char** argv);
int RunExtract(int argc, char** argv);
int RunTest(int argc, char** argv);
int RunAdd(int argc, char** argv);
int RunDelete(int argc, char** argv);
int RunSfx(int argc, char** argv);
int RunDemo(int argc, char** argv);

// The help text of each command (usage line first), shown by
// "vardex COMMAND --help" and "vardex help COMMAND".
extern const char kListHelp[];
extern const char kExtractHelp[];
extern const char kTestHelp[];
extern const char kAddHelp[];
extern const char kDeleteHelp[];
extern const char kSfxHelp[];
extern const char kDemoHelp[];

// Lists the archive at the native path (the entries the patterns select, all
// when there are none), as "vardex list" does.  Returns the exit status.
int ListArchive(const std::string& archive, const std::vector<std::string>& patterns, bool ignoreCase = false);

}  // namespace cli
