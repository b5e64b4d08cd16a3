// Route selection: pattern match, list building and reload, the per-link and
// multi-link decisions over a six-link configuration, explicit routes, route
// queues, validation, the virtual SMSC, prefix conversion, and lock-free
// readers racing a reloading thread.
#include <atomic>
#include <random>
#include <thread>

#include "routing_fixture.h"

namespace {

using delivery::CheckPreferredRoute;
using delivery::CheckPreferredRouteMulti;
using delivery::RouteQuery;
using routing_test::RoutingTest;

std::vector<std::string> route_texts() {
    std::vector<std::string> out;
    for (const auto& e : delivery::routing_tables()->routes) out.push_back(e.text);
    return out;
}

std::vector<std::string> sender_texts() {
    std::vector<std::string> out;
    for (const auto& e : delivery::routing_tables()->senders) out.push_back(e.text);
    return out;
}

RouteQuery to(std::string_view recipient, bool binary = false, std::string_view service = {}) {
    RouteQuery q;
    q.recipient = recipient;
    q.binary = binary;
    q.service_type = service;
    return q;
}

// --- pattern match --------------------------------------------------------------------

TEST(RoutePatternMatch, Table) {
    struct Case {
        const char* pattern;
        const char* text;
        bool match;
    };
    const Case cases[] = {
        {"+44*", "+447700900123", true},
        {"+44*", "+44", true},  // text used up, a single "*" left
        {"+44*", "+4", false},
        {"+44*1", "+44", false},
        {"+44???", "+44123", true},
        {"+44???", "+441234", false},
        {"+44???", "+4412", false},
        {"?", "", false},
        {"*", "", true},
        {"*", "anything at all", true},
        {"", "", true},
        {"", "x", false},
        {"abc", "ABC", true},  // without regard to case
        {"*ABC", "xxabc", true},
        {"*00", "+4400", true},
        {"*00", "+44001", false},  // first occurrence only: no backtracking
        {"*0*", "+44001", true},
        {"a*b", "aXbYb", false},  // stops after the first "b"
        {"+4*7*9", "+4477009", true},
        {"+4*7*9", "+4477091", false},
        {"a*", "a", true},
        {"a**", "a", false},  // more than a single "*" left
        {"*?", "x", true},    // an empty literal run matches the rest
        {"+1??5*", "+12351234", true},
        {"+1??5*", "+1235", true},
        {"+1??5*", "+12361234", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(delivery::route_pattern_match(c.pattern, c.text), c.match)
            << c.pattern << " vs " << c.text;
}

// The lookup index must find exactly the entries a plain scan finds.
TEST_F(RoutingTest, IndexedLookupEqualsAFullScan) {
    std::mt19937 rng(4711);
    const std::string alphabet = "+0123456789aB";
    auto pick = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
        return s;
    };
    auto pattern = [&]() {
        std::string p;
        int parts = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < parts; ++i) {
            switch (rng() % 5) {
                case 0:
                    p += "*";
                    break;
                case 1:
                    p += "?";
                    break;
                default:
                    p += pick(1 + static_cast<int>(rng() % 3));
                    break;
            }
        }
        return p;
    };
    std::string ini = "[SMSGW]\r\n";
    for (int l = 0; l < 4; ++l)
        ini += "Modem" + std::to_string(l + 1) + "=SMPP - l" + std::to_string(l) + ":1\r\n";
    for (int l = 0; l < 4; ++l) {
        ini += "[SMPP - l" + std::to_string(l) + ":1]\r\n";
        for (int n = 1; n <= 150; ++n)
            ini += "Route" + std::to_string(n) + "=" + pattern() + "\r\n";
    }
    configure(ini);
    auto t = delivery::routing_tables();
    ASSERT_EQ(t->routes.size(), 600u);
    std::vector<std::string> texts = {"", "+", "b", "Ab", "aab", "+44aB44aB"};
    for (int i = 0; i < 400; ++i) texts.push_back(pick(static_cast<int>(rng() % 9)));
    size_t total = 0;
    for (const std::string& text : texts) {
        std::vector<uint32_t> expected;
        for (uint32_t i = 0; i < t->routes.size(); ++i)
            if (t->routes[i].kind == delivery::RouteEntryKind::Recipient &&
                delivery::route_pattern_match(t->routes[i].pattern, text))
                expected.push_back(i);
        EXPECT_EQ(delivery::matching_route_entries(text), expected) << text;
        total += expected.size();
    }
    EXPECT_GT(total, 400u);  // the patterns do match things
}

// --- prefix conversion ----------------------------------------------------------------

TEST(PrefixConvert, Table) {
    struct Case {
        const char* list;
        const char* number;
        const char* result;
        bool applied;
    };
    const Case cases[] = {
        {"00:+,0:+44", "0044123", "+44123", true},
        {"00:+,0:+44", "07700", "+447700", true},
        {"00:+,0:+44", "+44123", "+44123", false},
        {"0:+44,00:+", "0044123", "+44044123", true},  // the first pair that fits wins
        {"00:+, 0:+44", "07700", "+447700", true},     // blanks after a comma skipped
        {"00:+,  0:+44", "07700", "+447700", true},
        {"abc, 0:+44", "07700", "+447700", true},  // an item without ':' is ignored
        {":+", "4477", "+4477", true},             // an empty old part always fits
        {"0:", "0123", "123", true},
        {"ab:X", "AB12", "AB12", false},  // exact, case-sensitive
        {"00:+", "", "", false},
        {"", "0044", "0044", false},
        {"1:2:3", "15", "2:35", true},  // split at the first ':'
    };
    for (const Case& c : cases) {
        std::string n = c.number;
        EXPECT_EQ(delivery::prefix_convert(n, c.list), c.applied) << c.list << " / " << c.number;
        EXPECT_EQ(n, c.result) << c.list << " / " << c.number;
    }
}

TEST(PrefixConvert, ResultIsCutToTheField) {
    std::string n(149, '1');
    EXPECT_TRUE(delivery::prefix_convert(n, ":+44"));
    EXPECT_EQ(n.size(), 149u);
    EXPECT_EQ(n.substr(0, 4), "+441");
    std::string m = "0123";
    EXPECT_TRUE(delivery::prefix_convert(m, "0:+44", 4));
    EXPECT_EQ(m, "+441");
}

TEST_F(RoutingTest, FourPrefixConversionsReadTheirKeys) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\nGlobalRecipPrefixConvert=00:+\r\n"
        "GlobalSenderPrefixConvert=0:+44\r\n"
        "[SMPP - a:1]\r\nOutRecipPrefixConvert=+44:0\r\nOutSenderPrefixConvert=+:00\r\n");
    std::string r = "0033123", s = "07700";
    EXPECT_TRUE(delivery::global_recip_prefix_convert(r));
    EXPECT_TRUE(delivery::global_sender_prefix_convert(s));
    EXPECT_EQ(r, "+33123");
    EXPECT_EQ(s, "+447700");
    std::string r2 = "+447700", s2 = "+331";
    EXPECT_TRUE(delivery::out_recip_prefix_convert("SMPP - a:1", r2));
    EXPECT_TRUE(delivery::out_sender_prefix_convert("SMPP - a:1", s2));
    EXPECT_EQ(r2, "07700");
    EXPECT_EQ(s2, "00331");
    std::string r3 = "+447700";
    EXPECT_FALSE(delivery::out_recip_prefix_convert("SMPP - other:1", r3));
    EXPECT_EQ(r3, "+447700");
}

// --- list building ---------------------------------------------------------------------

TEST_F(RoutingTest, ListsAreBuiltFromListedLinkSectionsInOrder) {
    configure(
        "[SMSGW]\r\n"
        "Modem1=SMPP - a:1\r\n"
        "Modem2=COM1\r\n"
        "Modem3=HTTP - h[1]:80\r\n"
        "Modem5=UCP - notlisted:1\r\n"
        "[SMPP - a:1]\r\n"
        "Route1=+44*\r\n"
        "Route2=!+4479*\r\n"
        "Route3=service_type=alerts\r\n"
        "Route4=!service_type=bulk\r\n"
        "Route5=sender=x\r\n"
        "Route7=+1*\r\n"  // after a gap: not read
        "PhoneNumber=+4411, ALPHA ,+4411,alpha,\r\n"
        "SenderAddress=ignored\r\n"
        "AllowedUserOnly=Yes\r\n"
        "AllowedUser1=bob\r\n"
        "AllowedUser2=Bob\r\n"
        "AllowedUser3=localsystem\r\n"
        "[Modem - COM1]\r\n"
        "Route1=+33*\r\n"
        "SenderAddress=MODEM\r\n"
        "AllowedUser1=notused\r\n"
        "[HTTP - h\\x5B1\\x5D:80]\r\n"
        "Route1=+49*\r\n"
        "[UCP - notlisted:1]\r\n"
        "Route1=+1*\r\n");
    EXPECT_EQ(route_texts(), (std::vector<std::string>{
                                 "+44*,SMPP - a:1",
                                 "!+4479*,SMPP - a:1",
                                 "=service_type=alerts,SMPP - a:1",
                                 "!=service_type=bulk,SMPP - a:1",
                                 "=sender=x,SMPP - a:1",
                                 "+33*,COM1",
                                 "+49*,HTTP - h[1]:80",
                             }));
    EXPECT_EQ(sender_texts(), (std::vector<std::string>{
                                  "+4411,SMPP - a:1",
                                  "ALPHA,SMPP - a:1",
                                  "user=bob,SMPP - a:1",
                                  "user=localsystem,SMPP - a:1",
                                  "MODEM,COM1",
                              }));
    auto t = delivery::routing_tables();
    ASSERT_EQ(t->links.size(), 3u);
    EXPECT_EQ(t->links[1].section, "Modem - COM1");
    EXPECT_EQ(t->links[2].section, "HTTP - h\\x5B1\\x5D:80");
    EXPECT_EQ(t->routes[2].kind, delivery::RouteEntryKind::ServiceType);
    EXPECT_EQ(t->routes[2].pattern, "alerts");
    EXPECT_EQ(t->routes[3].kind, delivery::RouteEntryKind::BlockedServiceType);
    EXPECT_EQ(t->routes[4].kind, delivery::RouteEntryKind::Other);
}

TEST_F(RoutingTest, ReloadPublishesOnlyWhenSomethingChanged) {
    const std::string base =
        "[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nRoute1=+44*\r\nPhoneNumber=S1\r\n";
    configure(base);
    auto first = delivery::routing_tables();
    std::weak_ptr<const delivery::RoutingTables> weak = first;
    EXPECT_FALSE(delivery::reload_routing_lists());
    EXPECT_EQ(delivery::routing_tables(), first);

    // Same lists, different link setting: a new table.
    routing_test::spit(home_ + "SMSGW.INI", base + "RoutePrefOnly=Yes\r\n");
    EXPECT_TRUE(delivery::reload_routing_lists());
    EXPECT_NE(delivery::routing_tables(), first);
    EXPECT_TRUE(delivery::routing_tables()->links[0].route_pref_only);
    EXPECT_FALSE(weak.expired());  // we still hold it
    first.reset();
    EXPECT_TRUE(weak.expired());  // released with its last reader

    routing_test::spit(home_ + "SMSGW.INI",
                       "[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nRoute1=+45*\r\n"
                       "PhoneNumber=S1\r\nRoutePrefOnly=Yes\r\n");
    EXPECT_TRUE(delivery::reload_routing_lists());
    EXPECT_EQ(route_texts(), std::vector<std::string>{"+45*,SMPP - a:1"});
}

TEST_F(RoutingTest, ListBuildingAndChangesAreTraced) {
    configure(
        "[SMSGW]\r\nDebug=Yes\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nRoute1=+44*\r\n"
        "Route2=+33*\r\nPhoneNumber=S1\r\n");
    routing_test::spit(home_ + "SMSGW.INI",
                       "[SMSGW]\r\nDebug=Yes\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\n"
                       "Route1=+44*\r\nRoute2=+34*\r\nPhoneNumber=S1\r\n");
    EXPECT_TRUE(delivery::reload_routing_lists());
    std::string log = debug_log();
    EXPECT_NE(log.find("LoadPreferredRouteList:  preferred routing = +44*,SMPP - a:1\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("LoadPreferredSenderList:  preferred sender = S1,SMPP - a:1\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("LoadPreferredRouteList:  Route list updated - 2/0\r\n"), std::string::npos);
    EXPECT_NE(log.find("LoadPreferredRouteList:  Route list updated - +34*,SMPP - a:1/+33*,SMPP - "
                       "a:1\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("LoadPreferredRouteList:  Reload\r\n"), std::string::npos);
    // The sender list changed only at the first load.
    size_t first = log.find("LoadPreferredSenderList:  Reload\r\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("LoadPreferredSenderList:  Reload\r\n", first + 1), std::string::npos);
}

// --- the six-link decision table ---------------------------------------------------------

const char* const kSixLinks =
    "[SMSGW]\r\n"
    "Modem1=SMPP - alpha:2775\r\n"
    "Modem2=SMPP - beta:2775\r\n"
    "Modem3=UCP - gamma:5000\r\n"
    "Modem4=HTTP - delta:80\r\n"
    "Modem5=CIMD - eps:9971\r\n"
    "Modem6=COM1\r\n"
    "[SMPP - alpha:2775]\r\n"
    "RouteName=ALPHA\r\n"
    "Route1=+44*\r\n"
    "Route2=!+4479*\r\n"
    "[SMPP - beta:2775]\r\n"
    "Route1=+447*\r\n"
    "Route2=+1*\r\n"
    "Route3=+44???\r\n"
    "PhoneNumber=BETASENDER, +15550001\r\n"
    "BinaryOrTextOnly=Text\r\n"
    "[UCP - gamma:5000]\r\n"
    "Route1=service_type=alerts\r\n"
    "Route2=+33*\r\n"
    "RoutePrefOnly=Yes\r\n"
    "[HTTP - delta:80]\r\n"
    "Route1=+49*\r\n"
    "RoutePrefOnly=Yes\r\n"
    "AllowedUserOnly=Yes\r\n"
    "AllowedUser1=vip\r\n"
    "AllowedUser2=localsystem\r\n"
    "[CIMD - eps:9971]\r\n"
    "Route1=+44*\r\n"
    "Route2=!service_type=bulk\r\n"
    "BinaryOrTextOnly=Binary\r\n"
    "[Modem - COM1]\r\n"
    "SenderAddress=MODEMSENDER\r\n"
    "RoutePrefOnly=Yes\r\n"
    "AllowedUserOnly=Yes\r\n"
    "AllowedUser1=modemuser\r\n";

const char* const kLinkNames[] = {"SMPP - alpha:2775", "SMPP - beta:2775", "UCP - gamma:5000",
                                  "HTTP - delta:80",   "CIMD - eps:9971",  "COM1"};

std::string letters_to_names(std::string_view letters) {
    std::string out;
    for (char c : letters) {
        if (!out.empty()) out += "|";
        out += kLinkNames[c - 'A'];
    }
    return out;
}

struct Decision {
    bool disable_sender_routing;
    const char* user;
    const char* sender;
    const char* recipient;
    bool binary;
    const char* service_type;
    const char* takers;    // links whose CheckPreferredRoute takes it
    const char* multi;     // CheckPreferredRouteMulti, in order
    const char* no_route;  // links that report "no link will take it"
};

constexpr bool T = false;  // text
constexpr bool B = true;   // binary

const Decision kDecisions[] = {
    // Longest recipient pattern wins; a tie goes to every link asking.
    {false, "", "", "+447700900123", T, "", "B", "B", ""},
    {false, "", "", "+441234", T, "", "A", "A", ""},
    {false, "", "", "+441234", B, "", "AE", "AE", ""},
    {false, "", "", "+44123", T, "", "B", "B", ""},  // "+44???" is longer
    {false, "", "", "+44123", B, "", "AE", "AE", ""},
    // Blocked patterns and message kinds.
    {false, "", "", "+447912345678", T, "", "B", "B", ""},
    {false, "", "", "+447912345678", B, "", "E", "E", ""},
    {false, "", "", "+441234", B, "BULK", "A", "A", ""},
    {false, "", "", "+447912", B, "bulk", "", "", "C"},
    // Service types: the owner takes it over any recipient pattern.
    {false, "", "", "+33612345678", T, "", "AB", "AB", ""},
    {false, "", "", "+33612345678", T, "alerts", "C", "C", ""},
    {false, "", "", "+33612345678", T, "ALERTS", "C", "C", ""},
    {false, "", "", "+33123", B, "alerts", "C", "C", ""},
    {false, "", "", "+441234", T, "alerts", "", "", "C"},
    {false, "", "", "+33999", B, "alerts-high", "AE", "AE", ""},
    // Allowed users and preferred users.
    {false, "", "", "+4930123", T, "", "AB", "AB", ""},
    {false, "", "", "+4930", B, "", "AE", "AE", ""},
    {false, "vip", "", "+4930123", T, "", "D", "D", ""},
    {false, "VIP", "", "+4930", B, "", "D", "D", ""},
    {false, "vip", "", "+441234", T, "", "A", "A", ""},
    {false, "localsystem-2way", "", "+4930", T, "", "D", "D", ""},
    {false, "Localsystem", "", "+4930", T, "", "D", "D", ""},
    {false, "vip", "", "+4930", T, "alerts", "", "", "C"},
    {false, "modemuser", "MODEMSENDER", "+441234", T, "", "F", "F", ""},
    {false, "modemuser", "", "+447700", T, "", "F", "F", ""},
    {false, "someone", "", "+447700", T, "", "B", "B", ""},
    // Preferred senders, with and without DisableSenderRouting.
    {false, "", "BETASENDER", "+33123", T, "", "B", "B", ""},
    {true, "", "BETASENDER", "+33123", T, "", "AB", "AB", ""},
    {false, "", "+15550001", "+15551234", T, "", "B", "B", ""},
    {false, "", "betasender", "+15550009999", B, "", "AE", "AE", ""},
    {false, "", "MODEMSENDER", "+441234", T, "", "A", "A", ""},
    {false, "vip", "BETASENDER", "+3999", T, "", "B", "B", ""},
    {true, "vip", "BETASENDER", "+3999", T, "", "AB", "AB", ""},
    // No recipient at all: the default routes.
    {false, "", "", "", T, "", "AB", "AB", ""},
};

TEST_F(RoutingTest, SixLinkDecisionTable) {
    configure(kSixLinks);
    int row = 0;
    for (const Decision& d : kDecisions) {
        ++row;
        frame::mutable_settings().disable_sender_routing = d.disable_sender_routing;
        RouteQuery q{d.user, d.sender, d.recipient, d.binary, d.service_type};
        std::string where = "row " + std::to_string(row) + " (" + d.user + "/" + d.sender + " -> " +
                            d.recipient + (d.binary ? " binary" : " text") +
                            " st=" + d.service_type + ")";
        std::string takers, no_route;
        for (int i = 0; i < 6; ++i) {
            bool nr = true;  // must be cleared by every decision that does not set it
            if (CheckPreferredRoute(q, kLinkNames[i], &nr)) takers += static_cast<char>('A' + i);
            if (nr) no_route += static_cast<char>('A' + i);
        }
        EXPECT_EQ(takers, d.takers) << where;
        EXPECT_EQ(no_route, d.no_route) << where;
        std::string multi;
        for (const std::string& n : CheckPreferredRouteMulti(q)) {
            if (!multi.empty()) multi += "|";
            multi += n;
        }
        EXPECT_EQ(multi, letters_to_names(d.multi)) << where;
        // The candidates never name a link that would refuse the message, and
        // a message nobody takes is reported as unroutable.
        EXPECT_EQ(takers.empty(), !no_route.empty()) << where;
    }
    EXPECT_GE(row, 30);
}

TEST_F(RoutingTest, LinkNamesCompareWithoutCase) {
    configure(kSixLinks);
    EXPECT_TRUE(CheckPreferredRoute(to("+447700900123"), "smpp - BETA:2775"));
    EXPECT_TRUE(CheckPreferredRoute(to("+441234"), "smpp - alpha:2775"));
}

// --- edge cases --------------------------------------------------------------------------------

TEST_F(RoutingTest, LongerPatternWinsAndEqualPatternsShare) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\nModem2=SMPP - b:1\r\nModem3=SMPP - c:1\r\n"
        "[SMPP - a:1]\r\nRoute1=+44*\r\n[SMPP - b:1]\r\nRoute1=+447*\r\n"
        "[SMPP - c:1]\r\nRoute1=+44*\r\n");
    EXPECT_FALSE(CheckPreferredRoute(to("+447700900123"), "SMPP - a:1"));
    EXPECT_TRUE(CheckPreferredRoute(to("+447700900123"), "SMPP - b:1"));
    EXPECT_FALSE(CheckPreferredRoute(to("+447700900123"), "SMPP - c:1"));
    EXPECT_EQ(CheckPreferredRouteMulti(to("+447700900123")),
              std::vector<std::string>{"SMPP - b:1"});
    EXPECT_TRUE(CheckPreferredRoute(to("+441234"), "SMPP - a:1"));
    EXPECT_FALSE(CheckPreferredRoute(to("+441234"), "SMPP - b:1"));
    EXPECT_TRUE(CheckPreferredRoute(to("+441234"), "SMPP - c:1"));
    EXPECT_EQ(CheckPreferredRouteMulti(to("+441234")),
              (std::vector<std::string>{"SMPP - a:1", "SMPP - c:1"}));
}

TEST_F(RoutingTest, ServiceTypeOwnerBeatsRecipientPatterns) {
    // The service-type link has no recipient pattern of its own; the other
    // link's pattern must not make both refuse the message.
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\nModem2=SMPP - s:1\r\n"
        "[SMPP - a:1]\r\nRoute1=+44*\r\n[SMPP - s:1]\r\nRoute1=service_type=alerts\r\n");
    EXPECT_FALSE(CheckPreferredRoute(to("+441234", false, "alerts"), "SMPP - a:1"));
    EXPECT_TRUE(CheckPreferredRoute(to("+441234", false, "alerts"), "SMPP - s:1"));
    EXPECT_EQ(CheckPreferredRouteMulti(to("+441234", false, "alerts")),
              std::vector<std::string>{"SMPP - s:1"});
    // Without that service type the link refuses, default or not.
    EXPECT_TRUE(CheckPreferredRoute(to("+441234"), "SMPP - a:1"));
    EXPECT_FALSE(CheckPreferredRoute(to("+441234"), "SMPP - s:1"));
    EXPECT_FALSE(CheckPreferredRoute(to("+331234"), "SMPP - s:1"));
    EXPECT_FALSE(CheckPreferredRoute(to("+331234", false, "other"), "SMPP - s:1"));
    EXPECT_EQ(CheckPreferredRouteMulti(to("+331234")), std::vector<std::string>{"SMPP - a:1"});
}

TEST_F(RoutingTest, BestServiceTypeRoute) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\nModem2=SMPP - b:1\r\nModem3=SMPP - c:1\r\n"
        "[SMPP - a:1]\r\nRoute1=service_type=al*\r\n"
        "[SMPP - b:1]\r\nRoute1=service_type=alerts\r\n"
        "[SMPP - c:1]\r\nRoute1=service_type=ALERTS\r\n");
    EXPECT_EQ(delivery::best_service_type_route("alerts"), "SMPP - b:1");
    EXPECT_EQ(delivery::best_service_type_route("alerts", "SMPP - c:1"), "SMPP - c:1");
    EXPECT_EQ(delivery::best_service_type_route("alerts", "SMPP - a:1"), "SMPP - b:1");
    EXPECT_EQ(delivery::best_service_type_route("alpha"), "SMPP - a:1");
    EXPECT_EQ(delivery::best_service_type_route("beta"), "");
    EXPECT_EQ(delivery::best_service_type_route(""), "");
    EXPECT_FALSE(CheckPreferredRoute(to("+1", false, "alerts"), "SMPP - a:1"));
    EXPECT_TRUE(CheckPreferredRoute(to("+1", false, "alerts"), "SMPP - b:1"));
    EXPECT_TRUE(CheckPreferredRoute(to("+1", false, "alerts"), "SMPP - c:1"));
    EXPECT_EQ(CheckPreferredRouteMulti(to("+1", false, "alerts")),
              (std::vector<std::string>{"SMPP - b:1", "SMPP - c:1"}));
}

TEST_F(RoutingTest, BlockedRoutes) {
    configure(kSixLinks);
    EXPECT_TRUE(delivery::CheckBlockedRoute("SMPP - alpha:2775", "+447912", ""));
    EXPECT_FALSE(delivery::CheckBlockedRoute("SMPP - alpha:2775", "+447712", ""));
    EXPECT_TRUE(delivery::CheckBlockedRoute("CIMD - eps:9971", "+44", "Bulk"));
    EXPECT_FALSE(delivery::CheckBlockedRoute("CIMD - eps:9971", "+44", "bulky"));
    // Service-type entries and none matches.
    EXPECT_TRUE(delivery::CheckBlockedRoute("UCP - gamma:5000", "+33", ""));
    EXPECT_FALSE(delivery::CheckBlockedRoute("UCP - gamma:5000", "+33", "alerts"));
    EXPECT_FALSE(delivery::CheckBlockedRoute("SMPP - unknown:1", "+447912", ""));
}

TEST_F(RoutingTest, BlockedRouteTraces) {
    std::string ini = kSixLinks;
    ini.insert(ini.find("Modem1"), "Debug=Yes\r\nDebug2=Yes\r\n");
    configure(ini);
    EXPECT_TRUE(delivery::CheckBlockedRoute("SMPP - alpha:2775", "+447912", ""));
    EXPECT_TRUE(delivery::CheckBlockedRoute("CIMD - eps:9971", "+4412", "bulk"));
    EXPECT_TRUE(delivery::CheckBlockedRoute("UCP - gamma:5000", "+33", "news"));
    std::string log = debug_log();
    EXPECT_NE(log.find("CheckBlockedRoute:  +447912 is blocked for route SMPP - alpha:2775: "
                       "+4479*\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("CheckBlockedRoute:  +4412/bulk is blocked for route CIMD - eps:9971: "
                       "=service_type=bulk\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("CheckBlockedRoute:  news does not match service type for route UCP - "
                       "gamma:5000\r\n"),
              std::string::npos);
}

TEST_F(RoutingTest, PreferredSender) {
    configure(kSixLinks);
    EXPECT_TRUE(delivery::CheckPreferredSender("", "betasender", "SMPP - beta:2775"));
    EXPECT_FALSE(delivery::CheckPreferredSender("", "betasender", "SMPP - alpha:2775"));
    EXPECT_TRUE(delivery::CheckPreferredSender("VIP", "", "HTTP - delta:80"));
    // A sender entry needs the user to be allowed on its link.
    EXPECT_FALSE(delivery::CheckPreferredSender("", "MODEMSENDER", "COM1"));
    EXPECT_TRUE(delivery::CheckPreferredSender("modemuser", "MODEMSENDER", "COM1"));
    frame::mutable_settings().disable_sender_routing = true;
    EXPECT_FALSE(delivery::CheckPreferredSender("", "betasender", "SMPP - beta:2775"));
    EXPECT_TRUE(delivery::CheckPreferredSender("vip", "", "HTTP - delta:80"));
}

TEST_F(RoutingTest, UserAndKindRestrictions) {
    configure(kSixLinks);
    EXPECT_TRUE(delivery::user_allowed_on_link("HTTP - delta:80", "localsystem-x"));
    EXPECT_TRUE(delivery::user_allowed_on_link("HTTP - delta:80", "LOCALSYSTEM"));
    EXPECT_FALSE(delivery::user_allowed_on_link("HTTP - delta:80", "localsystemx"));
    EXPECT_FALSE(delivery::user_allowed_on_link("HTTP - delta:80", ""));
    EXPECT_FALSE(delivery::user_allowed_on_link("COM1", "localsystem-x"));
    EXPECT_TRUE(delivery::user_allowed_on_link("SMPP - alpha:2775", "anyone"));
    EXPECT_TRUE(delivery::kind_allowed_on_link("SMPP - beta:2775", false));
    EXPECT_FALSE(delivery::kind_allowed_on_link("SMPP - beta:2775", true));
    EXPECT_TRUE(delivery::kind_allowed_on_link("CIMD - eps:9971", true));
    EXPECT_FALSE(delivery::kind_allowed_on_link("CIMD - eps:9971", false));
}

TEST_F(RoutingTest, RoutePrefOnlyWithoutPreferenceIsUnroutable) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\nModem2=SMPP - b:1\r\n"
        "[SMPP - a:1]\r\nRoute1=+44*\r\nRoutePrefOnly=Yes\r\n"
        "[SMPP - b:1]\r\nRoute1=+45*\r\nRoutePrefOnly=1\r\n");
    bool nr = false;
    EXPECT_FALSE(CheckPreferredRoute(to("+331234"), "SMPP - a:1", &nr));
    EXPECT_TRUE(nr);
    EXPECT_TRUE(CheckPreferredRouteMulti(to("+331234")).empty());
    EXPECT_TRUE(CheckPreferredRoute(to("+441234"), "SMPP - a:1", &nr));
    EXPECT_FALSE(nr);
    EXPECT_FALSE(CheckPreferredRoute(to("+441234"), "SMPP - b:1", &nr));
    EXPECT_FALSE(nr);  // someone else takes it
}

TEST_F(RoutingTest, NoLinkTakesWhatEveryLinkRefuses) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\nModem2=SMPP - b:1\r\nModem3=SMPP - c:1\r\n"
        "[SMPP - a:1]\r\nRoute1=!+44*\r\n"
        "[SMPP - b:1]\r\nRoute1=!+447*\r\nBinaryOrTextOnly=Text\r\n"
        "[SMPP - c:1]\r\nRoute1=+33*\r\nRoutePrefOnly=Yes\r\nAllowedUserOnly=Yes\r\n"
        "AllowedUser1=vip\r\n");
    struct Case {
        const char* user;
        const char* recipient;
        bool binary;
        bool nobody;
    } cases[] = {
        {"", "+441", false, false},  // b takes it
        {"", "+4471", false, true},  // blocked on a and b, c only by preference
        {"", "+441", true, true},    // a blocks, b takes text only
        {"", "+3312", true, false},  // a takes it
        {"", "+4471", true, true},   // blocked, and binary
        {"vip", "+3312", true, false}, {"vip", "+4471", false, true},  // c has no preference for it
    };
    for (const Case& c : cases) {
        RouteQuery q{c.user, "", c.recipient, c.binary, ""};
        SCOPED_TRACE(std::string(c.user) + " -> " + c.recipient + (c.binary ? " binary" : ""));
        EXPECT_EQ(delivery::no_link_takes(q), c.nobody);
        bool any = false;
        for (const char* l : {"SMPP - a:1", "SMPP - b:1", "SMPP - c:1"})
            any = CheckPreferredRoute(q, l) || any;
        EXPECT_EQ(any, !c.nobody);
    }
}

TEST_F(RoutingTest, RoutingFlagsFallBackToTheGlobalSection) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\nModem2=SMPP - b:1\r\nRoutePrefOnly=Yes\r\n"
        "[SMPP - a:1]\r\nRoute1=+44*\r\n[SMPP - b:1]\r\nRoutePrefOnly=No\r\n");
    auto t = delivery::routing_tables();
    EXPECT_TRUE(t->links[0].route_pref_only);
    EXPECT_FALSE(t->links[1].route_pref_only);
}

TEST_F(RoutingTest, UnconfiguredLinkUsesItsOwnSection) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - a:1\r\n[SMPP - a:1]\r\nRoute1=+44*\r\n"
        "[SMPP - gone:1]\r\nRoutePrefOnly=Yes\r\n");
    EXPECT_FALSE(CheckPreferredRoute(to("+441234"), "SMPP - other:1"));
    EXPECT_TRUE(CheckPreferredRoute(to("+331234"), "SMPP - other:1"));
    bool nr = true;
    EXPECT_FALSE(CheckPreferredRoute(to("+331234"), "SMPP - gone:1", &nr));
    EXPECT_FALSE(nr);  // the configured default link takes it
}

// --- virtual SMSC -----------------------------------------------------------------------------

TEST_F(RoutingTest, SdkLinkRecipientsGoOnlyToTheVirtualSmsc) {
    const std::string links =
        "Modem1=SMPP - a:1\r\nModem2=SDKLink - sim\r\n"
        "[SDKLink]\r\n+4412345=127.0.0.1:9000\r\n";
    configure("[SMSGW]\r\nSDKLinkEnabled=Yes\r\n" + links);
    bool nr = true;
    EXPECT_FALSE(CheckPreferredRoute(to("+4412345"), "SMPP - a:1", &nr));
    EXPECT_FALSE(nr);
    EXPECT_TRUE(CheckPreferredRoute(to("+4412345"), "SDKLink - sim"));
    EXPECT_TRUE(CheckPreferredRoute(to("+4412345"), "SDKLINK - VirtualSMSC"));
    EXPECT_EQ(CheckPreferredRouteMulti(to("+4412345")),
              std::vector<std::string>{"SDKLINK - VirtualSMSC"});
    EXPECT_EQ(delivery::sdk_link_endpoint("+4412345"),
              std::optional<std::string>("127.0.0.1:9000"));
    // Everything else stays away from the virtual SMSC.
    EXPECT_TRUE(CheckPreferredRoute(to("+449"), "SMPP - a:1"));
    EXPECT_FALSE(CheckPreferredRoute(to("+449"), "SDKLink - sim"));
    EXPECT_FALSE(CheckPreferredRoute(to("+449"), "SDKLINK - VirtualSMSC"));
    EXPECT_EQ(CheckPreferredRouteMulti(to("+449")), std::vector<std::string>{"SMPP - a:1"});
    EXPECT_EQ(delivery::sdk_link_endpoint("+449"), std::nullopt);

    configure("[SMSGW]\r\nSDKLinkEnabled=No\r\n" + links);
    EXPECT_TRUE(CheckPreferredRoute(to("+4412345"), "SMPP - a:1"));
    EXPECT_FALSE(CheckPreferredRoute(to("+4412345"), "SDKLINK - VirtualSMSC"));
    EXPECT_EQ(delivery::sdk_link_endpoint("+4412345"), std::nullopt);
}

// --- explicit routes, route queues, validation ---------------------------------------------

TEST_F(RoutingTest, ExplicitRouteNamesLink) {
    configure(kSixLinks);
    delivery::LinkIdentity alpha{"SMPP - alpha:2775", "ALPHA", "", ""};
    EXPECT_TRUE(delivery::route_names_link("alpha", alpha));
    EXPECT_TRUE(delivery::route_names_link("SMPP - ALPHA:2775", alpha));
    EXPECT_FALSE(delivery::route_names_link("SMPP - beta:2775", alpha));
    EXPECT_FALSE(delivery::route_names_link("", alpha));
    // An active backup of a link answers for its names too.
    delivery::LinkIdentity backup{"SMPP - b2:1", "SMPP - b2:1", "SMPP - alpha:2775", "ALPHA"};
    EXPECT_TRUE(delivery::route_names_link("ALPHA", backup));
    EXPECT_TRUE(delivery::route_names_link("SMPP - alpha:2775", backup));
    // A backup of a route: links carrying that route name count as well.
    delivery::LinkIdentity route_backup{"SMPP - b2:1", "SMPP - b2:1", "", "ALPHA"};
    EXPECT_TRUE(delivery::route_names_link("SMPP - alpha:2775", route_backup));
    EXPECT_FALSE(delivery::route_names_link("SMPP - beta:2775", route_backup));
}

TEST_F(RoutingTest, RouteQueueTest) {
    configure(
        "[SMSGW]\r\nModem1=SMPP - 10.0.0.1:2775\r\n[SMPP - 10.0.0.1:2775]\r\nRouteName=R/1\r\n");
    delivery::LinkIdentity link{"SMPP - 10.0.0.1:2775", "R/1", "", ""};
    delivery::LinkIdentity other{"SMPP - 10.0.0.2:2775", "SMPP - 10.0.0.2:2775", "", ""};
    delivery::LinkIdentity backup{"SMPP - 10.0.0.2:2775", "SMPP - 10.0.0.2:2775",
                                  "SMPP - 10.0.0.1:2775", "R/1"};
    struct Case {
        const char* dir;
        bool link, other, backup;
    };
    const Case cases[] = {
        {"RT_-_SMPP - 10.0.0.1-2775_-_", true, false, true},
        {"rt_-_smpp - 10.0.0.1-2775_-_sub", true, false, true},
        {"RT_-_R-1_-_", true, false, true},
        {"RT_-_SMPP - 10.0.0.2-2775_-_", false, true, true},
        {"RT_-__-_", true, true, true},
        {"RT_-_SMPP - 10.0.0.1-2775", true, false, true},
        {"USERS-bob", true, true, true},
        {"RT_-_elsewhere_-_", false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(delivery::route_queue_serves(c.dir, link), c.link) << c.dir;
        EXPECT_EQ(delivery::route_queue_serves(c.dir, other), c.other) << c.dir;
        EXPECT_EQ(delivery::route_queue_serves(c.dir, backup), c.backup) << c.dir;
    }
    frame::mutable_settings().use_route_queues = false;
    EXPECT_TRUE(delivery::route_queue_serves("RT_-_elsewhere_-_", link));
}

TEST_F(RoutingTest, ValidateAndInvalidRoutes) {
    std::string ini = kSixLinks;
    ini.insert(ini.find("Modem1"), "Debug=Yes\r\n");
    configure(ini);
    EXPECT_TRUE(delivery::ValidateSMSCRoute("SMPP - beta:2775"));
    EXPECT_TRUE(delivery::ValidateSMSCRoute("alpha"));
    EXPECT_TRUE(delivery::ValidateSMSCRoute("com1"));
    EXPECT_FALSE(delivery::ValidateSMSCRoute("SMPP - nowhere:1"));
    EXPECT_FALSE(delivery::ValidateSMSCRoute(""));
    EXPECT_TRUE(delivery::CheckInvalidRoute("~~invalid~~"));
    EXPECT_FALSE(delivery::CheckInvalidRoute("ALPHA"));
    EXPECT_FALSE(delivery::CheckInvalidRoute(""));
    EXPECT_TRUE(delivery::is_local_user_route("LocalUser:bob"));
    EXPECT_FALSE(delivery::is_local_user_route("ALPHA"));
    // An explicit route to a link that does not exist is taken by nobody.
    for (const char* l : kLinkNames) {
        delivery::LinkIdentity id{l, l, "", ""};
        EXPECT_FALSE(delivery::route_names_link("SMPP - nowhere:1", id));
    }
    std::string log = debug_log();
    EXPECT_NE(log.find("ValidateSMSCRoute:  Unknown smscRoute=SMPP - nowhere:1\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("ValidateSMSCRoute:  Unknown smscRoute=\r\n"), std::string::npos);
    EXPECT_NE(log.find("CheckInvalidRoute:  ~~invalid~~\r\n"), std::string::npos);
}

TEST_F(RoutingTest, RouteQueryOfALoadedMessage) {
    store::SmsMessage msg;
    msg.submit_user = "bob";
    msg.submitted_by = "127.0.0.1";
    msg.sender = "S";
    msg.phone_number = "+44";
    msg.binary = true;
    msg.service_type = "st";
    RouteQuery q = delivery::route_query(msg);
    EXPECT_EQ(q.user, "bob");
    EXPECT_EQ(q.sender, "S");
    EXPECT_EQ(q.recipient, "+44");
    EXPECT_TRUE(q.binary);
    EXPECT_EQ(q.service_type, "st");
}

// --- readers racing reloads ----------------------------------------------------------------

// Generation k of the configuration makes the preference-only link take
// exactly the recipients "+<10 binary digits of g>" with g <= k, through at
// most 11 patterns. A reader that saw reload g complete must therefore never
// see a refusal for g: that would be a table older than the one published.
std::string bits(unsigned v) {
    std::string s(10, '0');
    for (int i = 9; i >= 0; --i, v >>= 1) s[i] = (v & 1) ? '1' : '0';
    return s;
}

std::string generation_ini(unsigned k) {
    std::string b = bits(k);
    std::string ini =
        "[SMSGW]\r\nModem1=SMPP - gen:1\r\nModem2=SMPP - dflt:1\r\n"
        "[SMPP - gen:1]\r\nRoutePrefOnly=Yes\r\nRoute1=+" +
        b + "\r\n";
    unsigned n = 2;
    for (size_t i = 0; i < b.size(); ++i)
        if (b[i] == '1') ini += "Route" + std::to_string(n++) + "=+" + b.substr(0, i) + "0*\r\n";
    return ini;
}

TEST_F(RoutingTest, GenerationPatternsSelectExactlyTheEarlierGenerations) {
    for (unsigned k : {0u, 1u, 5u, 512u, 700u, 1000u}) {
        configure(generation_ini(k));
        for (unsigned g : {0u, 1u, 4u, 5u, 6u, 511u, 512u, 513u, 699u, 700u, 701u, 999u, 1000u}) {
            std::string r = "+" + bits(g);
            EXPECT_EQ(CheckPreferredRoute(to(r), "SMPP - gen:1"), g <= k) << k << " " << g;
        }
    }
}

TEST_F(RoutingTest, ReadersNeverSeeAStaleTableWhileReloading) {
    constexpr unsigned kReloads = 1000;
    constexpr int kReaders = 2;
    configure(generation_ini(0));
    std::weak_ptr<const delivery::RoutingTables> initial = delivery::routing_tables();
    std::atomic<unsigned> published{0};
    std::atomic<bool> done{false};
    std::atomic<unsigned> stale{0}, wrong_default{0}, reads{0};

    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&] {
            while (!done.load(std::memory_order_acquire)) {
                unsigned g = published.load(std::memory_order_acquire);
                std::string r = "+" + bits(g);
                RouteQuery q = to(r);
                if (!CheckPreferredRoute(q, "SMPP - gen:1")) stale.fetch_add(1);
                if (CheckPreferredRoute(q, "SMPP - dflt:1")) wrong_default.fetch_add(1);
                std::vector<std::string> m = CheckPreferredRouteMulti(q);
                if (m.size() != 1 || m[0] != "SMPP - gen:1") stale.fetch_add(1);
                reads.fetch_add(1);
            }
        });
    }
    unsigned failed_reloads = 0, wrong_after_reload = 0;
    for (unsigned k = 1; k <= kReloads; ++k) {
        routing_test::spit(home_ + "SMSGW.INI", generation_ini(k));
        if (!delivery::reload_routing_lists()) ++failed_reloads;
        published.store(k, std::memory_order_release);
        if (!CheckPreferredRoute(to("+" + bits(k)), "SMPP - gen:1")) ++wrong_after_reload;
        if (k < kReloads && CheckPreferredRoute(to("+" + bits(k + 1)), "SMPP - gen:1"))
            ++wrong_after_reload;
    }
    done.store(true, std::memory_order_release);
    for (auto& t : readers) t.join();

    EXPECT_EQ(failed_reloads, 0u);
    EXPECT_EQ(wrong_after_reload, 0u);
    EXPECT_EQ(stale.load(), 0u);
    EXPECT_EQ(wrong_default.load(), 0u);
    EXPECT_GT(reads.load(), 0u);
    // Every replaced table was freed once its readers were gone.
    EXPECT_TRUE(initial.expired());
}

}  // namespace
