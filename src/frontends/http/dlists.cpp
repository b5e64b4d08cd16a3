// Distribution lists and the address book.
#include "frontends/http/dlists.h"

#include <algorithm>

#include "frame/queue_dirs.h"
#include "frontends/http/http_request.h"
#include "frontends/http/submit_params.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/directories.h"

namespace frontends::http {

namespace {

constexpr size_t kNameCap = 100;
constexpr size_t kImportCap = 1024 * 1024;
constexpr size_t kListFileCap = 16 * 1024 * 1024;
constexpr std::string_view kAddressBook = "ADDRESS.LST";

std::string param(std::string_view request, std::string_view name, size_t cap = kNameCap) {
    std::string v;
    GetRequestParameter(request, name, v, cap);
    return v;
}

bool yes(std::string_view v) { return !v.empty() && (v[0] == 'Y' || v[0] == 'y' || v[0] == '1'); }

// A list name a file may carry: no path characters, no control characters.
bool valid_list_name(std::string_view name) {
    if (name.empty() || name.size() >= kNameCap) return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 32 || c == '/' || c == '\\' || c == ':' || c == '*' ||
            c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
            return false;
    return name != "." && name != "..";
}

// The directory whose lists this request reaches: the account's own, or
// the public one (by the public flag or a "#" name, for administrators,
// and for requests without an account).
std::string lists_dir(const ListRequest& who, const std::string& dlists_dir, bool want_public) {
    if (who.account.empty() || (want_public && who.admin)) return dlists_dir;
    return dlists_dir + frame::account_path_part(who.account) + "/";
}

ListAnswer plain(std::string body) {
    ListAnswer a;
    a.body = std::move(body);
    return a;
}

std::string ok(std::string_view file) { return "OK : " + std::string(file) + "\r\n"; }
std::string not_found(std::string_view file) { return "ERROR : " + std::string(file) + " not found\r\n"; }

// A browser gets the page from its template ("HTML/<name>" beside the
// binary, "@@CONTENT@@" replaced by the listing and the answer line), or a
// plain page.
ListAnswer page(const ListRequest& who, std::string_view template_name, std::string_view title,
                const std::string& text) {
    if (!who.browser) return plain(text);
    std::string content = "<pre>" + html_escape(text) + "</pre>";
    ListAnswer a;
    a.content_type = "text/html";
    std::optional<std::string> t =
        platform::read_file(support::GetRealProgramDirectory() + "HTML/" + std::string(template_name), 1 << 20);
    if (t && t->find("@@CONTENT@@") != std::string::npos) {
        a.body = *t;
        a.body.replace(a.body.find("@@CONTENT@@"), 11, content);
        return a;
    }
    a.body = "<HTML><HEAD><TITLE>" + std::string(title) + "</TITLE></HEAD><BODY><H1>" +
             std::string(title) + "</H1>\r\n" + content + "\r\n</BODY></HTML>\r\n";
    return a;
}

std::optional<std::vector<ListMember>> load(const std::string& path) {
    std::optional<std::string> text = platform::read_file(path, kListFileCap);
    if (!text) return std::nullopt;
    return parse_list_members(*text);
}

bool store(const std::string& path, const std::vector<ListMember>& members) {
    return platform::create_intermediate_dirs(path) &&
           platform::replace_file(path, format_list_members(members));
}

std::string listing(const std::vector<ListMember>& members, std::string_view filter) {
    std::string out;
    for (const ListMember& m : members) {
        if (!filter.empty() && platform::ifind(m.address, filter) == std::string::npos &&
            platform::ifind(m.name, filter) == std::string::npos)
            continue;
        out += m.address;
        if (!m.name.empty()) out += " " + m.name;
        out += "\r\n";
    }
    return out;
}

// The member operations both kinds of file share: import, add or delete a
// member, list. prefix names the parameters ("DList" or "AddrBook").
ListAnswer member_request(std::string_view request, const ListRequest& who, const std::string& path,
                          std::string_view file, std::string_view prefix, std::string_view tmpl,
                          bool create_missing) {
    const std::string p(prefix);
    std::optional<std::vector<ListMember>> members = load(path);
    std::string import = param(request, p + "ImportData", kImportCap);
    std::string member = std::string(platform::trim(param(request, p + "Member")));
    if (!import.empty()) {
        std::vector<ListMember> base = yes(param(request, p + "ImportReplace")) || !members
                                           ? std::vector<ListMember>{}
                                           : *members;
        size_t added = 0;
        for (ListMember& m : parse_import(import)) added += add_list_member(base, std::move(m));
        if (!store(path, base)) return plain("ERROR : " + std::string(file) + " cannot be written\r\n");
        return page(who, tmpl, "Import", platform::strprintf("%zu members imported\r\n", added) + ok(file));
    }
    if (!member.empty()) {
        std::string action = param(request, p + "MemberAction");
        if (platform::iequals(action, "delete") || platform::iequals(action, "remove")) {
            if (!members || !remove_list_member(*members, member)) return page(who, tmpl, "Error", not_found(file));
        } else {
            if (!members && !create_missing) return page(who, tmpl, "Error", not_found(file));
            if (!members) members.emplace();
            add_list_member(*members, {member, std::string(platform::trim(param(request, p + "MemberName")))});
        }
        if (!store(path, *members)) return plain("ERROR : " + std::string(file) + " cannot be written\r\n");
        return page(who, tmpl, "Members", ok(file));
    }
    if (!members) return page(who, tmpl, "Error", not_found(file));
    return page(who, tmpl, std::string(file), listing(*members, param(request, p + "MemberFilter")) + ok(file));
}

// One member per non-empty line: the address up to the first of cut, the
// rest (trimmed) its name.
std::vector<ListMember> parse_member_lines(std::string_view text, std::string_view cut) {
    std::vector<ListMember> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = platform::trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) continue;
        size_t at = line.find_first_of(cut);
        ListMember m{std::string(platform::trim(line.substr(0, at))), ""};
        if (at != std::string_view::npos) m.name = std::string(platform::trim(line.substr(at + 1)));
        out.push_back(std::move(m));
    }
    return out;
}

}  // namespace

std::vector<ListMember> parse_list_members(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    return parse_member_lines(text, " \t");
}

std::string format_list_members(const std::vector<ListMember>& members) {
    std::string out;
    for (const ListMember& m : members) out += m.address + (m.name.empty() ? "" : " " + m.name) + "\r\n";
    return out;
}

bool add_list_member(std::vector<ListMember>& members, ListMember m) {
    // An address is one token of a line: blanks and line breaks inside it
    // would split the file's lines.
    m.address.erase(std::remove_if(m.address.begin(), m.address.end(),
                                   [](char c) { return static_cast<unsigned char>(c) <= ' '; }),
                    m.address.end());
    for (char& c : m.name)
        if (c == '\r' || c == '\n') c = ' ';
    if (m.address.empty()) return false;
    for (ListMember& have : members)
        if (have.address == m.address) {
            if (!m.name.empty()) have.name = std::move(m.name);
            return false;
        }
    members.push_back(std::move(m));
    return true;
}

bool remove_list_member(std::vector<ListMember>& members, std::string_view address) {
    auto it = std::remove_if(members.begin(), members.end(),
                             [&](const ListMember& m) { return m.address == address; });
    bool found = it != members.end();
    members.erase(it, members.end());
    return found;
}

std::vector<ListMember> parse_import(std::string_view text) { return parse_member_lines(text, ",;\t "); }

ListAnswer answer_dlists(std::string_view request, const ListRequest& who, const std::string& dlists_dir) {
    std::string name = std::string(platform::trim(param(request, "DListName")));
    bool want_public = yes(param(request, "DListPublic"));
    if (!name.empty() && name.front() == '#') {
        want_public = true;
        name.erase(0, 1);
    }
    if (want_public && !who.account.empty() && !who.admin)
        return plain("ERROR : public lists need an administrator account\r\n");
    const std::string dir = lists_dir(who, dlists_dir, want_public);
    std::string action = param(request, "DListAction");
    if (name.empty()) {
        // The index: every list of the directory.
        std::string out;
        for (const platform::DirEntry& e : platform::scan_dir(dir, "*.TXT")) out += e.name + "\r\n";
        return page(who, "DList Index.htm", "Distribution lists", out + ok("DLists"));
    }
    if (!valid_list_name(name)) return plain("ERROR : invalid list name\r\n");
    const std::string file = name + ".TXT";
    const std::string path = dir + file;
    if (platform::iequals(action, "delete")) {
        if (!platform::file_exists(path) || !platform::remove_file(path))
            return page(who, "DList Index.htm", "Error", not_found(file));
        return page(who, "DList Index.htm", "Distribution lists", ok(file));
    }
    if (platform::iequals(action, "create")) {
        if (!platform::file_exists(path) && !store(path, {}))
            return plain("ERROR : " + file + " cannot be written\r\n");
        return page(who, "DList Members.htm", file, ok(file));
    }
    return member_request(request, who, path, file, "DList",
                          platform::iequals(action, "import") ? "DList Import.htm" : "DList Members.htm",
                          true);
}

ListAnswer answer_address_book(std::string_view request, const ListRequest& who,
                               const std::string& dlists_dir) {
    bool want_public = yes(param(request, "AddrBookPublic"));
    if (want_public && !who.account.empty() && !who.admin)
        return plain("ERROR : the public address book needs an administrator account\r\n");
    const std::string path = lists_dir(who, dlists_dir, want_public) + std::string(kAddressBook);
    std::string action = param(request, "AddrBookAction");
    if (platform::iequals(action, "delete")) {
        if (!platform::file_exists(path) || !platform::remove_file(path))
            return page(who, "Address Book.htm", "Error", not_found(kAddressBook));
        return page(who, "Address Book.htm", "Address book", ok(kAddressBook));
    }
    return member_request(request, who, path, kAddressBook, "AddrBook",
                          platform::iequals(action, "import") ? "Address Book Import.htm" : "Address Book.htm",
                          true);
}

namespace {

bool send_answer(Connection& c, const ListAnswer& a) {
    std::string out = platform::strprintf("%s %s\r\n%sContent-Type: %s\r\nCache-Control: no-cache\r\n",
                                          http_version(c), a.status.c_str(), connection_header(c),
                                          a.content_type.c_str());
    out += platform::strprintf("Content-Length: %zu\r\n\r\n", a.body.size());
    out += a.body;
    if (!SendData(c, out)) c.keep_alive = false;
    return true;
}

ListRequest who_asks(const Connection& c) { return {c.account, c.admin_enabled, c.browser}; }

}  // namespace

void register_dlist_handlers() {
    register_route_handler(Route::DLists, [](Connection& c, Request& r) {
        return send_answer(c, answer_dlists(r.bytes, who_asks(c), submit_settings_now().dlists_dir));
    });
    register_route_handler(Route::AddrBook, [](Connection& c, Request& r) {
        return send_answer(c, answer_address_book(r.bytes, who_asks(c), submit_settings_now().dlists_dir));
    });
}

}  // namespace frontends::http
