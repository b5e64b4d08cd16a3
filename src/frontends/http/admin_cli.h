// The operator's command-line tools, run instead of the gateway:
//   smsgw admin-password [USER]          new administrator password from stdin
//   smsgw account set NAME Field=Value ...  create or change an account
//   smsgw account delete NAME
//   smsgw account list
// Field names are those of the provisioning interface. The account store
// is a database that the running gateway shares, so the tools are safe
// while it runs; it sees changed accounts within a minute.
#pragma once

#include <iosfwd>

namespace frontends::http {

// The exit status of the tool named by argv[1]; -1 when argv names none
// (the gateway then starts as usual).
int run_admin_tool(int argc, char** argv, std::istream& in, std::ostream& out, std::ostream& err);
int run_admin_tool(int argc, char** argv);

}  // namespace frontends::http
