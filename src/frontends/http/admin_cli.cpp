// The command-line administration tools.
#include "frontends/http/admin_cli.h"

#include <iostream>
#include <string>
#include <vector>

#include "frontends/http/admin_auth.h"
#include "frontends/http/http_request.h"
#include "frontends/http/provision.h"
#include "platform/text.h"
#include "support/accounts.h"

namespace frontends::http {

namespace {

int usage(std::ostream& err) {
    err << "usage: smsgw admin-password [USER]   (the password is read from standard input)\n"
           "       smsgw account set NAME Field=Value ...\n"
           "       smsgw account delete NAME\n"
           "       smsgw account list\n"
           "fields:";
    for (const std::string& f : account_field_names()) err << ' ' << f;
    err << '\n';
    return 2;
}

bool known_field(std::string_view f) {
    for (const std::string& n : account_field_names())
        if (platform::iequals(n, f)) return true;
    return false;
}

// The request line the provisioning rules read.
std::string as_request(const std::vector<std::pair<std::string, std::string>>& params) {
    std::string q = "GET /?";
    for (const auto& [k, v] : params) q += url_encode(k) + "=" + url_encode(v) + "&";
    return q + " HTTP/1.0\r\n\r\n";
}

int set_password(int argc, char** argv, std::istream& in, std::ostream& out, std::ostream& err) {
    if (argc > 3) return usage(err);
    std::string user = argc == 3 ? argv[2] : "";
    if (user.find_first_of("\r\n") != std::string::npos) return usage(err);
    std::string pw;
    if (!std::getline(in, pw) || platform::trim(pw).empty()) {
        err << "No password given on standard input.\n";
        return 1;
    }
    if (!pw.empty() && pw.back() == '\r') pw.pop_back();
    if (!set_admin_password(user, pw)) {
        err << "Unable to write the administrator password to SMSGW.INI.\n";
        return 1;
    }
    out << "Administrator password stored (hashed).\n";
    return 0;
}

int account(int argc, char** argv, std::ostream& out, std::ostream& err) {
    if (argc < 3) return usage(err);
    std::string verb = argv[2];
    if (verb == "list" && argc == 3) {
        support::UserFile file;
        if (!support::SMSOpenUserFile(file)) {
            err << "Unable to access user database\n";
            return 1;
        }
        support::UserRecord rec;
        for (uint32_t i = 0; support::SMSGetUserRecord(file, i, rec); ++i) {
            out << "UserName=" << rec.name;
            for (const auto& [k, v] : account_fields(rec)) out << '\t' << k << '=' << v;
            out << '\n';
        }
        return 0;
    }
    if (argc < 4) return usage(err);
    std::string name = argv[3];
    std::vector<std::pair<std::string, std::string>> params = {{"UserName", name}};
    std::string action;
    if (verb == "delete" && argc == 4) {
        action = "Delete";
    } else if (verb == "set") {
        for (int i = 4; i < argc; ++i) {
            std::string_view a = argv[i];
            size_t eq = a.find('=');
            if (eq == std::string_view::npos || !known_field(a.substr(0, eq))) {
                err << "Unknown field in " << a << '\n';
                return usage(err);
            }
            params.emplace_back(std::string(a.substr(0, eq)), std::string(a.substr(eq + 1)));
        }
        support::UserFile file;
        support::UserRecord rec;
        bool exists = support::SMSOpenUserFile(file) && support::SMSFindUserRecord(file, name, rec);
        action = exists ? "Modify" : "Add";
    } else {
        return usage(err);
    }
    std::string result = account_request(as_request(params), action, false);
    bool ok = platform::istarts_with(result, "OK");
    (ok ? out : err) << result;
    return ok ? 0 : 1;
}

}  // namespace

int run_admin_tool(int argc, char** argv, std::istream& in, std::ostream& out, std::ostream& err) {
    if (argc < 2) return -1;
    std::string_view cmd = argv[1];
    if (cmd == "admin-password") return set_password(argc, argv, in, out, err);
    if (cmd == "account") return account(argc, argv, out, err);
    return -1;
}

int run_admin_tool(int argc, char** argv) {
    return run_admin_tool(argc, argv, std::cin, std::cout, std::cerr);
}

}  // namespace frontends::http
