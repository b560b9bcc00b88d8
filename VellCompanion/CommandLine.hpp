// vell, the companion app for a shell: its arguments in, its texts out, its
// exit status back. Everything it knows and does comes from the companion model.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace VellCompanion {

// Runs vell with `arguments` (the program's name left out): what it reports
// goes to `out`, usage and failures to `err`. Returns the exit status: 2 for
// a usage error, 127 for a command `vell run` can't start. The streams keep
// their default format, in which seconds print as printf's %g ("0.5", "20").
int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace VellCompanion
