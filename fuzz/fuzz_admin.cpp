// Fuzz target for the administration template filler and the provisioning
// field rules: a value never brings markup or markers into a filled page,
// an accepted field value never holds a line break, an accepted new account
// name never makes a path or INI key climb or split, and command arguments
// from a request never hold a shell character.
#include <cstdint>
#include <string>
#include <string_view>

#include "frontends/http/admin_pages.h"
#include "frontends/http/admin_template.h"
#include "frontends/http/provision.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace frontends::http;
    if (size < 1) return 0;
    size_t cut = std::min<size_t>(data[0], size - 1);
    std::string_view page(reinterpret_cast<const char*>(data) + 1, cut);
    std::string_view value(reinterpret_cast<const char*>(data) + 1 + cut, size - 1 - cut);

    TemplateData d;
    d.values["V"] = std::string(value);
    d.lists["L"] = {{{"I", std::string(value)}}, {{"I", "x"}}};
    std::string out = fill_template(page, d);
    // A page of only value tokens shows the value escaped: no markup.
    std::string only = fill_template("@@V@@<!@@StartL@@>@@I:5@@<!@@EndL@@>", d);
    check(only.find_first_of("<>\"") == std::string::npos);
    (void)out;

    const std::string field_names[] = {"FullName",      "RestrictIPAddress", "MessageLimitPerDay",
                                       "WebOptions",    "CreditsToAdd",      "RecipientAddresses",
                                       "ThrottleSpeed", "EnableWebLogin"};
    for (const std::string& f : field_names) {
        support::UserRecord rec;
        AccountChanges ch;
        std::string err;
        if (apply_account_field(rec, f, value, ch, err)) {
            for (const std::string* s : {&rec.full_name, &rec.restrict_ip_address,
                                         &rec.throttle_speed, &ch.recipient_addresses})
                check(s->find_first_of("\r\n") == std::string::npos &&
                      s->find('\0') == std::string::npos);
        } else {
            check(!err.empty());
        }
    }
    if (acceptable_new_account_name(value)) {
        check(value != "." && value != ".." &&
              value.find_first_of("/\\:;=[]\r\n") == std::string_view::npos);
        check(value.size() < support::kUserNameSize);
    }
    for (const std::string& a : admin_command_argv("/bin/echo", value))
        if (a != "/bin/echo") check(a.find_first_of(";&|`$<>()\r\n") == std::string::npos);
    return 0;
}
