// The head program's conversation with the person running it.
#pragma once

#include <string>

namespace vxhead {

// Lists (list) or extracts every entry of the open archive into dir (the
// current directory when empty), keeping stored directories.  Returns the
// process exit code.
int Run(bool list, bool overwrite, const std::string& dir, const std::string& message);

}  // namespace vxhead
