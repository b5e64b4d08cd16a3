// The web menu: the form pages from which users submit, served from the
// account's own "html/" directory or the program's, with their blocks kept
// or removed for the account and the route lists filled in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "frontends/http/http_server.h"

namespace frontends::http {

// What decides which blocks of a page are shown.
struct MenuContext {
    bool logged_in = false;
    std::string web_options;  // the account's WebOptions ("" = unset)
    bool admin_enabled = false, receive_enabled = false;
    bool disable_mms = false, disable_mm_wap = false, disable_adv_option = false;  // settings
    bool display_sender = false, display_route = false;                            // settings
    bool has_credits = false;
    std::string credits;  // balance text when has_credits
    std::vector<std::string> smsc_routes;
};

// The page with every block "<!@@StartBlock<name>@@>" ... "<!@@EndBlock<name>@@>"
// kept (markers removed) or removed with its content, and the tokens
// "@@SMSCROUTELIST@@", "@@MMSCROUTELIST@@" and "@@AvailableCredits@@" replaced.
std::string fill_menu_page(std::string page, const MenuContext& m);

// The route names of the configured links (RouteName, else the link name),
// each once, in link order.
std::vector<std::string> configured_routes();

// Answers a web menu request; false when no page exists (404).
bool handle_web_menu(Connection& c, Request& r);

// Registers handle_web_menu for the web menu row of the dispatch.
void register_web_menu_handler();

}  // namespace frontends::http
