// Distribution lists ("/DLists") and the address book ("/AddrBook"): pages
// for a browser and a plain-text interface for scripts to create, import,
// list and delete lists and their members. An account works on its own
// lists; the public ones are reached by accounts with AdminEnabled (with
// DListPublic / AddrBookPublic or a "#" name) and by requests without an
// account.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "frontends/http/http_server.h"

namespace frontends::http {

// One line of a list or address book file: the address, then a name.
struct ListMember {
    std::string address;
    std::string name;
};
std::vector<ListMember> parse_list_members(std::string_view file_text);
std::string format_list_members(const std::vector<ListMember>& members);

// Adds one member (an address already there takes the new name, when one is
// given), false when nothing was added; removes one, false when the address
// is not there.
bool add_list_member(std::vector<ListMember>& members, ListMember m);
bool remove_list_member(std::vector<ListMember>& members, std::string_view address);

// Import text: one member per line, the address and its name separated by
// a comma, a tab or blanks; empty lines skipped.
std::vector<ListMember> parse_import(std::string_view text);

// What a request on lists or the address book asks and who asks it.
struct ListRequest {
    std::string account;  // "" = none
    bool admin = false;
    bool browser = false;
};

// The complete answer to one "/DLists" or "/AddrBook" request, given its
// parameters (request text), in the lists directory dlists_dir.
struct ListAnswer {
    std::string status = "200 OK";
    std::string content_type = "text/plain";
    std::string body;
};
ListAnswer answer_dlists(std::string_view request, const ListRequest& who, const std::string& dlists_dir);
ListAnswer answer_address_book(std::string_view request, const ListRequest& who,
                               const std::string& dlists_dir);

void register_dlist_handlers();

}  // namespace frontends::http
