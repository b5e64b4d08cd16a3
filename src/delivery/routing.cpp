// Route selection over the published routing tables: list building and
// reload, the per-link and multi-link decisions, explicit routes, route
// queues, validation, the virtual SMSC table and prefix conversion.
#include "delivery/routing.h"

#include <algorithm>
#include <mutex>

#include "delivery/delivery_state.h"
#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/files.h"
#include "platform/snapshot.h"
#include "platform/text.h"
#include "support/ini_profile.h"

namespace delivery {

namespace {

constexpr uint32_t kNoLink = UINT32_MAX;
constexpr unsigned kMaxRouteKeys = 10000;
constexpr unsigned kMaxAllowedUsers = 10000;
constexpr std::string_view kServiceTypeKey = "service_type=";
constexpr std::string_view kLocalUserPrefix = "localuser:";

constexpr const char* kTraceRoute = "CheckPreferredRoute";
constexpr const char* kTraceMulti = "CheckPreferredRouteMulti";
constexpr const char* kTraceBlocked = "CheckBlockedRoute";
constexpr const char* kTraceSender = "CheckPreferredSender";
constexpr const char* kTraceRouteList = "LoadPreferredRouteList";
constexpr const char* kTraceSenderList = "LoadPreferredSenderList";

std::string lower(std::string_view s) {
    return platform::to_lower(s);
}

// The pattern match over texts already folded to lower case.
bool match_folded(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0;
    while (p < pattern.size() && t < text.size()) {
        char c = pattern[p];
        if (c == '?') {
            ++p;
            ++t;
        } else if (c == '*') {
            size_t run = p + 1;
            size_t end = pattern.find_first_of("*?", run);
            if (end == std::string_view::npos) end = pattern.size();
            if (end == run) return true;
            // Only the first occurrence counts: there is no backtracking.
            size_t found = text.find(pattern.substr(run, end - run), t);
            if (found == std::string_view::npos) return false;
            p = end;
            t = found + (end - run);
        } else {
            if (c != text[t]) return false;
            ++p;
            ++t;
        }
    }
    if (p == pattern.size() && t == text.size()) return true;
    return t == text.size() && pattern.substr(p) == "*";
}

// --- INI sections ----------------------------------------------------------------

// One section of SMSGW.INI read once: lower-case key -> value.
class SectionKeys {
  public:
    explicit SectionKeys(std::string_view section) {
        for (auto& [k, v] : support::ini_section(support::SMSIniGetFilename(), section))
            keys_.emplace(lower(k), std::move(v));
    }
    std::string_view get(std::string_view key) const {
        auto it = keys_.find(lower(key));
        return it == keys_.end() ? std::string_view() : std::string_view(it->second);
    }
    std::string_view get(const char* fmt, unsigned n) const {
        return get(platform::strprintf(fmt, n));
    }
    const std::unordered_map<std::string, std::string>& all() const { return keys_; }

  private:
    std::unordered_map<std::string, std::string> keys_;
};

// Link flags fall back to [SMSGW] like every link setting.
std::string_view link_value(const SectionKeys& link, const SectionKeys& smsgw,
                            std::string_view key) {
    std::string_view v = link.get(key);
    return v.empty() ? smsgw.get(key) : v;
}

KindRestriction parse_kind(std::string_view v) {
    v = platform::trim(v);
    if (platform::iequals(v, "Binary")) return KindRestriction::BinaryOnly;
    if (platform::iequals(v, "Text")) return KindRestriction::TextOnly;
    return KindRestriction::None;
}

LinkRouting read_link(std::string_view name, const SectionKeys& smsgw) {
    LinkRouting l;
    l.name = std::string(name);
    l.section = frame::link_section_name(name);
    l.sdk_link = platform::istarts_with(name, kSdkLinkPrefix);
    SectionKeys keys(l.section);
    std::string_view rn = keys.get("RouteName");
    l.route_name = rn.empty() ? l.name : std::string(rn);
    l.route_pref_only = frame::parse_bool(link_value(keys, smsgw, "RoutePrefOnly"));
    l.allowed_user_only = frame::parse_bool(link_value(keys, smsgw, "AllowedUserOnly"));
    l.kind = parse_kind(link_value(keys, smsgw, "BinaryOrTextOnly"));
    l.has_route1 = !keys.get("Route1").empty();
    if (l.allowed_user_only) {
        for (unsigned n = 1; n <= kMaxAllowedUsers; ++n) {
            std::string_view u = keys.get("AllowedUser%u", n);
            if (u.empty()) break;
            l.allowed_users.emplace_back(u);
        }
    }
    return l;
}

RouteEntry make_route_entry(std::string_view value, std::string_view link, uint32_t index) {
    RouteEntry e;
    e.link = index;
    bool negated = value.front() == '!';
    std::string_view rest = negated ? value.substr(1) : value;
    bool has_eq = rest.find('=') != std::string_view::npos;
    std::string pattern;
    if (has_eq) pattern.push_back('=');
    pattern.append(rest);
    if (negated) e.text.push_back('!');
    e.text.append(pattern).append(1, ',').append(link);
    if (has_eq && platform::istarts_with(rest, kServiceTypeKey)) {
        e.kind = negated ? RouteEntryKind::BlockedServiceType : RouteEntryKind::ServiceType;
        e.pattern = std::string(rest.substr(kServiceTypeKey.size()));
    } else if (has_eq) {
        // Only a blocked entry gives such a pattern a meaning (against the recipient).
        e.kind = negated ? RouteEntryKind::BlockedRecipient : RouteEntryKind::Other;
        e.pattern = std::move(pattern);
    } else {
        e.kind = negated ? RouteEntryKind::BlockedRecipient : RouteEntryKind::Recipient;
        e.pattern = std::move(pattern);
    }
    return e;
}

// Text before the first wildcard: a pattern can only match a text that
// starts with it, which lets the index skip most entries.
std::string literal_prefix(std::string_view pattern) {
    size_t n = pattern.find_first_of("*?");
    return lower(n == std::string_view::npos ? pattern : pattern.substr(0, n));
}

uint32_t find_link(const RoutingTables& t, std::string_view name) {
    auto it = t.link_by_name.find(lower(name));
    return it == t.link_by_name.end() || it->second.empty() ? kNoLink : it->second.front();
}

bool user_allowed(const LinkRouting& l, std::string_view user) {
    if (!l.allowed_user_only) return true;
    for (const std::string& u : l.allowed_users) {
        if (platform::iequals(u, user)) return true;
        if (platform::iequals(u, "localsystem") && platform::istarts_with(user, "localsystem-"))
            return true;
    }
    return false;
}

bool kind_allowed(const LinkRouting& l, bool binary) {
    if (l.kind == KindRestriction::BinaryOnly) return binary;
    if (l.kind == KindRestriction::TextOnly) return !binary;
    return true;
}

// The published tables and the lock that serialises reloads.
platform::Snapshot<RoutingTables>& published() {
    return delivery_state().routing;
}

std::mutex& reload_lock() {
    return delivery_state().reload_lock;
}

// --- evaluation of one message --------------------------------------------------------

// The per-message facts every link's decision shares, computed once on
// first use: the recipient entries that match, the blocked links, the best
// service-type routes and the sender preferences.
class Eval {
  public:
    Eval(const RoutingTables& tables, const RouteQuery& query)
        : t(tables),
          q(query),
          dsr(frame::settings().disable_sender_routing),
          recipient(lower(query.recipient)),
          service_type(lower(query.service_type)),
          blocked_(tables.links.size(), -1),
          best_(tables.links.size(), 0) {
        size_t best_len = 0;
        for (uint32_t idx : t.service_entries) {
            const RouteEntry& e = t.routes[idx];
            if (!match_folded(t.folded_patterns[idx], service_type)) continue;
            if (!any_best_ || e.pattern.size() > best_len) {
                std::fill(best_.begin(), best_.end(), 0);
                best_len = e.pattern.size();
                any_best_ = true;
            }
            if (e.pattern.size() == best_len) best_[e.link] = 1;
        }
    }

    const RoutingTables& t;
    const RouteQuery& q;
    const bool dsr;
    const std::string recipient;     // folded
    const std::string service_type;  // folded
    // Decisions asked on behalf of another link are not traced.
    bool quiet = false;

    template <class... Args>
    void trace(const char* fmt, Args... args) const {
        if (!quiet) frame::debug_tracef(kTraceRoute, fmt, args...);
    }

    bool any_best() const { return any_best_; }
    bool is_best(uint32_t li) const { return li != kNoLink && best_[li]; }
    // The best service-type route for a link under test: itself on a tie.
    uint32_t best_for(uint32_t li) const {
        if (!any_best_) return kNoLink;
        if (is_best(li)) return li;
        for (uint32_t idx : t.service_entries)
            if (best_[t.routes[idx].link]) return t.routes[idx].link;
        return kNoLink;
    }

    bool blocked(uint32_t li) {
        if (li == kNoLink) return false;
        if (blocked_[li] < 0) blocked_[li] = compute_blocked(li) ? 1 : 0;
        return blocked_[li] == 1;
    }

    // May R be chosen for the message when li asks? Blocked links, links the
    // best service-type route excludes (they would refuse it themselves) and
    // the virtual SMSC never; another link only when it admits the user and
    // the message kind.
    bool eligible(uint32_t r, uint32_t li) {
        const LinkRouting& l = t.links[r];
        if (l.sdk_link) return false;
        if (any_best_ && !best_[r]) return false;
        if (blocked(r)) return false;
        if (r == li) return true;
        return user_allowed(l, q.user) && kind_allowed(l, q.binary);
    }

    // Recipient entries whose pattern matches, in list order.
    const std::vector<uint32_t>& matched() {
        if (matched_done_) return matched_;
        matched_done_ = true;
        std::string_view rv(recipient);
        for (size_t k = 0; k <= rv.size(); ++k) {
            auto it = t.recipient_prefix.find(rv.substr(0, k));
            if (it == t.recipient_prefix.end()) continue;
            for (uint32_t idx : it->second)
                if (match_folded(t.folded_patterns[idx], rv)) matched_.push_back(idx);
        }
        size_t prefixed = matched_.size();
        for (size_t len : t.run_lengths) {
            for (size_t at = 0; at + len <= rv.size(); ++at) {
                auto it = t.recipient_run.find(rv.substr(at, len));
                if (it == t.recipient_run.end()) continue;
                for (uint32_t idx : it->second)
                    if (match_folded(t.folded_patterns[idx], rv)) matched_.push_back(idx);
            }
        }
        std::sort(matched_.begin(), matched_.end());
        // A run that occurs twice in the recipient finds its entries twice.
        if (matched_.size() > prefixed)
            matched_.erase(std::unique(matched_.begin(), matched_.end()), matched_.end());
        return matched_;
    }

    // Sender entries that apply to this user / sender, in list order.
    const std::vector<uint32_t>& sender_matches() {
        if (senders_done_) return sender_matches_;
        senders_done_ = true;
        prefers_.assign(t.links.size(), 0);
        if (!q.user.empty()) {
            auto it = t.user_entries.find(lower(q.user));
            if (it != t.user_entries.end())
                for (uint32_t idx : it->second) sender_matches_.push_back(idx);
        }
        if (!dsr && !q.sender.empty()) {
            auto it = t.sender_entries.find(lower(q.sender));
            if (it != t.sender_entries.end())
                for (uint32_t idx : it->second)
                    if (user_allowed(t.links[t.senders[idx].link], q.user))
                        sender_matches_.push_back(idx);
        }
        std::sort(sender_matches_.begin(), sender_matches_.end());
        for (uint32_t idx : sender_matches_) {
            const SenderEntry& s = t.senders[idx];
            prefers_[s.link] = 1;
            frame::debug_tracef(kTraceSender, "%s - %s",
                                s.user ? "Preferred User Match" : "Preferred Sender Match",
                                t.links[s.link].name.c_str());
        }
        return sender_matches_;
    }
    bool prefers(uint32_t li) {
        sender_matches();
        return li != kNoLink && prefers_[li];
    }

  private:
    bool compute_blocked(uint32_t li) {
        const LinkRouting& l = t.links[li];
        for (uint32_t idx : t.link_blocked[li]) {
            const RouteEntry& e = t.routes[idx];
            bool service = e.kind == RouteEntryKind::BlockedServiceType;
            if (!match_folded(t.folded_patterns[idx], service ? service_type : recipient)) continue;
            if (frame::settings().debug2) {
                std::string_view shown(e.text);
                shown = shown.substr(1, shown.size() - l.name.size() - 2);
                frame::debug_tracef(kTraceBlocked, "%.*s%s%.*s is blocked for route %s: %.*s",
                                    static_cast<int>(q.recipient.size()), q.recipient.data(),
                                    q.service_type.empty() ? "" : "/",
                                    static_cast<int>(q.service_type.size()), q.service_type.data(),
                                    l.name.c_str(), static_cast<int>(shown.size()), shown.data());
            }
            return true;
        }
        const std::vector<uint32_t>& service = t.link_service[li];
        if (service.empty()) return false;
        for (uint32_t idx : service)
            if (match_folded(t.folded_patterns[idx], service_type)) return false;
        frame::debug_tracef(kTraceBlocked, "%.*s does not match service type for route %s",
                            static_cast<int>(q.service_type.size()), q.service_type.data(),
                            l.name.c_str());
        return true;
    }

    std::vector<int8_t> blocked_;
    std::vector<uint8_t> best_;
    bool any_best_ = false;
    std::vector<uint32_t> matched_;
    bool matched_done_ = false;
    std::vector<uint32_t> sender_matches_;
    std::vector<uint8_t> prefers_;
    bool senders_done_ = false;
};

// Among the matching recipient entries that pass filter and are eligible:
// the longest pattern; on equal length a later entry wins only for li.
template <class Filter>
uint32_t choose_by_pattern(Eval& e, uint32_t li, Filter filter, const char* what) {
    uint32_t choice = kNoLink;
    size_t len = 0;
    for (uint32_t idx : e.matched()) {
        const RouteEntry& r = e.t.routes[idx];
        if (!filter(r.link) || !e.eligible(r.link, li)) continue;
        size_t n = r.pattern.size();
        if (choice == kNoLink || n > len || (n == len && r.link == li && choice != li)) {
            choice = r.link;
            len = n;
            e.trace("%s - %s", what, e.t.links[choice].name.c_str());
        }
    }
    return choice;
}

bool is_sdk_recipient(const RoutingTables& t, std::string_view recipient) {
    return t.sdk_link_enabled && t.sdk_link.find(lower(recipient)) != t.sdk_link.end();
}

bool check_route(Eval& e, const LinkRouting& link, uint32_t li, bool* no_route) {
    const RoutingTables& t = e.t;
    const RouteQuery& q = e.q;
    if (no_route) *no_route = false;

    // The virtual SMSC takes exactly the recipients of [SDKLink].
    if (is_sdk_recipient(t, q.recipient)) return link.sdk_link;
    if (link.sdk_link) return false;

    // The link's own restrictions.
    if (!kind_allowed(link, q.binary) || !user_allowed(link, q.user)) return false;

    // Another link owns this service type.
    if (e.any_best() && !e.is_best(li)) return false;

    // Sender and user preferences.
    if (!q.user.empty() || !q.sender.empty()) {
        uint32_t choice = choose_by_pattern(
            e, li, [&](uint32_t r) { return e.prefers(r); }, "Preferred Sender+Recip Match");
        if (choice == kNoLink) {
            for (uint32_t idx : e.sender_matches()) {
                uint32_t r = t.senders[idx].link;
                if (t.links[r].route_pref_only || !e.eligible(r, li)) continue;
                if (choice != li) choice = r;
                e.trace("Preferred Sender Match / Available Route - %s", t.links[r].name.c_str());
            }
        }
        if (choice == kNoLink) {
            for (uint32_t idx : e.sender_matches()) {
                uint32_t r = t.senders[idx].link;
                if (t.links[r].has_route1 || !e.eligible(r, li)) continue;
                choice = r;
                e.trace("Preferred Sender Match / Other Route - %s", t.links[r].name.c_str());
            }
        }
        if (choice != kNoLink) {
            if (choice != li) return false;
            e.trace("Preferred Sender&Recip Match - %s", link.name.c_str());
            return true;
        }
    }

    // Recipient preferences.
    uint32_t choice = choose_by_pattern(
        e, li, [](uint32_t) { return true; }, "Preferred Recip Match");
    if (choice != kNoLink) return choice == li;

    // No preference: a default route takes it unless blocked.
    if (!link.route_pref_only) {
        e.trace("Available Route - %s", link.name.c_str());
        return !e.blocked(li);
    }
    bool none = true;
    for (uint32_t r = 0; r < t.links.size() && none; ++r)
        if (!t.links[r].route_pref_only && e.eligible(r, kNoLink)) none = false;
    if (no_route) *no_route = none;
    return false;
}

void add_unique(std::vector<std::string>& list, const std::string& name) {
    for (const std::string& n : list)
        if (platform::iequals(n, name)) return;
    list.push_back(name);
}

}  // namespace

RouteQuery route_query(const store::SmsMessage& msg) {
    return RouteQuery{msg.submit_user, msg.sender, msg.phone_number, msg.binary, msg.service_type};
}

bool route_pattern_match(std::string_view pattern, std::string_view text) {
    return match_folded(lower(pattern), lower(text));
}

// --- tables -----------------------------------------------------------------------------

void index_routing_tables(RoutingTables& t) {
    t.link_by_name.clear();
    t.recipient_prefix.clear();
    t.recipient_run.clear();
    t.run_lengths.clear();
    t.service_entries.clear();
    t.user_entries.clear();
    t.sender_entries.clear();
    t.link_blocked.assign(t.links.size(), {});
    t.link_service.assign(t.links.size(), {});
    t.folded_patterns.clear();
    for (const RouteEntry& e : t.routes) t.folded_patterns.push_back(lower(e.pattern));
    for (uint32_t i = 0; i < t.links.size(); ++i)
        t.link_by_name[lower(t.links[i].name)].push_back(i);
    for (uint32_t i = 0; i < t.routes.size(); ++i) {
        const RouteEntry& e = t.routes[i];
        if (e.link >= t.links.size()) continue;
        switch (e.kind) {
            case RouteEntryKind::Recipient: {
                // "*<run>...": only texts containing <run> can match.
                std::string_view f(t.folded_patterns[i]);
                size_t end = f.find_first_of("*?", 1);
                if (f.size() > 1 && f[0] == '*' && end != 1) {
                    std::string run(f.substr(1, end == std::string_view::npos ? end : end - 1));
                    if (std::find(t.run_lengths.begin(), t.run_lengths.end(), run.size()) ==
                        t.run_lengths.end())
                        t.run_lengths.push_back(run.size());
                    t.recipient_run[run].push_back(i);
                } else {
                    t.recipient_prefix[literal_prefix(f)].push_back(i);
                }
                break;
            }
            case RouteEntryKind::BlockedRecipient:
            case RouteEntryKind::BlockedServiceType:
                t.link_blocked[e.link].push_back(i);
                break;
            case RouteEntryKind::ServiceType:
                t.service_entries.push_back(i);
                t.link_service[e.link].push_back(i);
                break;
            case RouteEntryKind::Other:
                break;
        }
    }
    for (uint32_t i = 0; i < t.senders.size(); ++i) {
        const SenderEntry& s = t.senders[i];
        if (s.link >= t.links.size()) continue;
        (s.user ? t.user_entries : t.sender_entries)[lower(s.value)].push_back(i);
    }
}

std::shared_ptr<const RoutingTables> routing_tables() {
    return published().load();
}

std::vector<LinkRouting> load_link_routing() {
    SectionKeys smsgw("SMSGW");
    std::vector<LinkRouting> links;
    for (unsigned n = 1;; ++n) {
        std::string_view name = smsgw.get("Modem%u", n);
        if (name.empty()) break;
        bool seen = false;
        for (const LinkRouting& l : links) seen = seen || platform::iequals(l.name, name);
        if (!seen) links.push_back(read_link(name, smsgw));
    }
    return links;
}

std::vector<RouteEntry> LoadPreferredRouteList(const std::vector<LinkRouting>& links) {
    std::vector<RouteEntry> out;
    for (uint32_t i = 0; i < links.size(); ++i) {
        SectionKeys keys(links[i].section);
        for (unsigned n = 1; n <= kMaxRouteKeys; ++n) {
            std::string_view v = keys.get("Route%u", n);
            if (v.empty()) break;
            out.push_back(make_route_entry(v, links[i].name, i));
            frame::debug_tracef(kTraceRouteList, "preferred routing = %s", out.back().text.c_str());
        }
    }
    return out;
}

std::vector<SenderEntry> LoadPreferredSenderList(const std::vector<LinkRouting>& links) {
    std::vector<SenderEntry> out;
    auto add = [&](bool user, std::string_view value, uint32_t i) {
        SenderEntry s;
        s.user = user;
        s.value = std::string(value);
        s.link = i;
        s.text = (user ? "user=" : "") + s.value + "," + links[i].name;
        frame::debug_tracef(kTraceSenderList, "preferred sender = %s", s.text.c_str());
        out.push_back(std::move(s));
    };
    for (uint32_t i = 0; i < links.size(); ++i) {
        SectionKeys keys(links[i].section);
        std::string_view list = keys.get("PhoneNumber");
        if (list.empty()) list = keys.get("SenderAddress");
        std::vector<std::string> seen;
        while (!list.empty()) {
            size_t comma = list.find(',');
            std::string_view item = platform::trim(list.substr(0, comma));
            list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
            if (item.empty()) continue;
            std::string key = lower(item);
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
            seen.push_back(key);
            add(false, item, i);
        }
        if (!links[i].allowed_user_only) continue;
        seen.clear();
        for (const std::string& u : links[i].allowed_users) {
            std::string key = lower(u);
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
            seen.push_back(key);
            add(true, u, i);
        }
    }
    return out;
}

namespace {

template <class Entry>
bool same_texts(const std::vector<Entry>& a, const std::vector<Entry>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].text != b[i].text) return false;
    return true;
}

void trace_route_list_change(const std::vector<RouteEntry>& now,
                             const std::vector<RouteEntry>& old) {
    if (now.size() != old.size()) {
        frame::debug_tracef(kTraceRouteList, "Route list updated - %u/%u",
                            static_cast<unsigned>(now.size()), static_cast<unsigned>(old.size()));
    } else {
        for (size_t i = 0; i < now.size(); ++i) {
            if (now[i].text == old[i].text) continue;
            frame::debug_tracef(kTraceRouteList, "Route list updated - %s/%s", now[i].text.c_str(),
                                old[i].text.c_str());
            break;
        }
    }
    frame::debug_trace(kTraceRouteList, "Reload");
}

}  // namespace

bool reload_routing_lists() {
    std::lock_guard<std::mutex> lock(reload_lock());
    auto next = std::make_shared<RoutingTables>();
    next->links = load_link_routing();
    next->routes = LoadPreferredRouteList(next->links);
    next->senders = LoadPreferredSenderList(next->links);
    SectionKeys smsgw("SMSGW");
    next->sdk_link_enabled = frame::parse_bool(smsgw.get("SDKLinkEnabled"));
    if (next->sdk_link_enabled) {
        SectionKeys table("SDKLink");
        for (const auto& [k, v] : table.all()) next->sdk_link.emplace(k, v);
    }

    std::shared_ptr<const RoutingTables> old = routing_tables();
    bool routes_changed = !same_texts(next->routes, old->routes);
    bool senders_changed = !same_texts(next->senders, old->senders);
    if (!routes_changed && !senders_changed && next->links == old->links &&
        next->sdk_link_enabled == old->sdk_link_enabled && next->sdk_link == old->sdk_link)
        return false;
    if (routes_changed) trace_route_list_change(next->routes, old->routes);
    if (senders_changed) frame::debug_trace(kTraceSenderList, "Reload");
    index_routing_tables(*next);
    // One store: readers see either the old or the new table, and the old
    // one lives until the last reader's reference goes.
    published().publish(std::shared_ptr<const RoutingTables>(std::move(next)));
    return true;
}

void release_routing_lists() {
    std::lock_guard<std::mutex> lock(reload_lock());
    published().publish(std::make_shared<const RoutingTables>());
}

// --- decisions -------------------------------------------------------------------------------

bool CheckPreferredRoute(const RouteQuery& q, std::string_view link_name, bool* no_route) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    Eval e(*t, q);
    uint32_t li = find_link(*t, link_name);
    if (li != kNoLink) return check_route(e, t->links[li], li, no_route);
    // A link that is not (or no longer) configured: its own settings as they stand.
    LinkRouting link;
    link.name = std::string(link_name);
    link.sdk_link = platform::istarts_with(link_name, kSdkLinkPrefix);
    if (!link.sdk_link) link = read_link(link_name, SectionKeys("SMSGW"));
    return check_route(e, link, kNoLink, no_route);
}

bool no_link_takes(const RouteQuery& q) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    // The virtual SMSC is no Modem<n> entry, but it takes its recipients.
    if (is_sdk_recipient(*t, q.recipient)) return false;
    Eval e(*t, q);
    e.quiet = true;
    for (uint32_t r = 0; r < t->links.size(); ++r)
        if (check_route(e, t->links[r], r, nullptr)) return false;
    return true;
}

std::vector<std::string> CheckPreferredRouteMulti(const RouteQuery& q) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    std::vector<std::string> out;
    if (is_sdk_recipient(*t, q.recipient)) {
        out.emplace_back(kVirtualSmscLink);
        return out;
    }
    Eval e(*t, q);

    // Links that the user, then the sender, prefers and that take it.
    auto by_sender_entries = [&](const IndexMap& map, std::string_view key, const char* what) {
        auto it = map.find(lower(key));
        if (it == map.end()) return;
        for (uint32_t idx : it->second) {
            uint32_t r = t->senders[idx].link;
            if (!check_route(e, t->links[r], r, nullptr)) continue;
            frame::debug_tracef(kTraceMulti, "%s - %s", what, t->links[r].name.c_str());
            add_unique(out, t->links[r].name);
        }
    };
    if (!q.user.empty()) by_sender_entries(t->user_entries, q.user, "Preferred User Match");
    if (!out.empty()) return out;
    if (!e.dsr && !q.sender.empty())
        by_sender_entries(t->sender_entries, q.sender, "Preferred Sender Match");
    if (!out.empty()) return out;

    // Every link with a longest matching recipient pattern.
    size_t longest = 0;
    for (uint32_t idx : e.matched()) {
        const RouteEntry& r = t->routes[idx];
        if (!e.eligible(r.link, kNoLink)) continue;
        size_t n = r.pattern.size();
        if (n > longest) {
            out.clear();
            longest = n;
        } else if (n < longest) {
            continue;
        }
        frame::debug_tracef(kTraceMulti, "Preferred Recip Match - %s",
                            t->links[r.link].name.c_str());
        add_unique(out, t->links[r.link].name);
    }
    if (!out.empty()) return out;

    // Every default route that can take it.
    for (uint32_t r = 0; r < t->links.size(); ++r) {
        if (t->links[r].route_pref_only || !e.eligible(r, kNoLink)) continue;
        frame::debug_tracef(kTraceMulti, "Default Route Available - %s", t->links[r].name.c_str());
        out.push_back(t->links[r].name);
    }
    return out;
}

std::vector<uint32_t> matching_route_entries(std::string_view recipient) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    RouteQuery q;
    q.recipient = recipient;
    Eval e(*t, q);
    return e.matched();
}

bool CheckBlockedRoute(std::string_view link_name, std::string_view recipient,
                       std::string_view service_type) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    RouteQuery q;
    q.recipient = recipient;
    q.service_type = service_type;
    Eval e(*t, q);
    return e.blocked(find_link(*t, link_name));
}

std::string best_service_type_route(std::string_view service_type,
                                    std::string_view link_under_test) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    RouteQuery q;
    q.service_type = service_type;
    Eval e(*t, q);
    uint32_t best = e.best_for(find_link(*t, link_under_test));
    return best == kNoLink ? std::string() : t->links[best].name;
}

bool CheckPreferredSender(std::string_view user, std::string_view sender,
                          std::string_view link_name) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    RouteQuery q;
    q.user = user;
    q.sender = sender;
    Eval e(*t, q);
    return e.prefers(find_link(*t, link_name));
}

bool user_allowed_on_link(std::string_view link_name, std::string_view user) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    uint32_t li = find_link(*t, link_name);
    return li == kNoLink || user_allowed(t->links[li], user);
}

bool kind_allowed_on_link(std::string_view link_name, bool binary) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    uint32_t li = find_link(*t, link_name);
    return li == kNoLink || kind_allowed(t->links[li], binary);
}

// --- explicit routes, route queues, validation ----------------------------------------------

bool route_names_link(std::string_view route, const LinkIdentity& id) {
    if (route.empty()) return false;
    for (std::string_view n : {id.link_name, id.route_name, id.primary_link, id.primary_route})
        if (!n.empty() && platform::iequals(n, route)) return true;
    if (id.primary_link.empty() && !id.primary_route.empty()) {
        std::shared_ptr<const RoutingTables> t = routing_tables();
        uint32_t li = find_link(*t, route);
        if (li != kNoLink && platform::iequals(t->links[li].route_name, id.primary_route))
            return true;
    }
    return false;
}

bool route_queue_serves(std::string_view subdir, const LinkIdentity& id) {
    constexpr std::string_view kPrefix = "RT_-_";
    constexpr std::string_view kEnd = "_-_";
    if (!frame::settings().use_route_queues) return true;
    if (!platform::istarts_with(subdir, kPrefix)) return true;
    std::string_view route = subdir.substr(kPrefix.size());
    route = route.substr(0, route.find(kEnd));
    if (route.empty()) return true;
    for (std::string_view n : {id.link_name, id.route_name, id.primary_link, id.primary_route})
        if (!n.empty() && platform::iequals(platform::clean_path_part(n), route)) return true;
    return false;
}

bool ValidateSMSCRoute(std::string_view route) {
    if (!route.empty()) {
        SectionKeys smsgw("SMSGW");
        for (unsigned n = 1;; ++n) {
            std::string_view link = smsgw.get("Modem%u", n);
            if (link.empty()) break;
            if (platform::iequals(link, route)) return true;
            std::string rn =
                support::SMSIniGetProfileString(frame::link_section_name(link), "RouteName", "");
            if (!rn.empty() && platform::iequals(rn, route)) return true;
        }
    }
    frame::debug_trace("ValidateSMSCRoute", "Unknown smscRoute=" + std::string(route));
    return false;
}

bool CheckInvalidRoute(std::string_view route) {
    if (!platform::iequals(route, frame::kInvalidRouteName)) return false;
    frame::debug_trace("CheckInvalidRoute", route);
    return true;
}

bool is_local_user_route(std::string_view route) {
    return platform::istarts_with(route, kLocalUserPrefix);
}

std::optional<std::string> sdk_link_endpoint(std::string_view recipient) {
    std::shared_ptr<const RoutingTables> t = routing_tables();
    if (!t->sdk_link_enabled) return std::nullopt;
    auto it = t->sdk_link.find(lower(recipient));
    if (it == t->sdk_link.end()) return std::nullopt;
    return it->second;
}

// --- prefix conversion -------------------------------------------------------------------------

bool prefix_convert(std::string& number, std::string_view list, size_t max_len) {
    if (number.empty() || list.empty()) return false;
    bool first = true;
    while (true) {
        size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        if (!first) {
            while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        }
        first = false;
        size_t colon = item.find(':');
        if (colon != std::string_view::npos) {
            std::string_view from = item.substr(0, colon);
            std::string_view to = item.substr(colon + 1);
            if (from.empty() || std::string_view(number).starts_with(from)) {
                std::string converted = std::string(to) + number.substr(from.size());
                number = platform::truncate_field(converted, max_len);
                return true;
            }
        }
        if (comma == std::string_view::npos) return false;
        list.remove_prefix(comma + 1);
    }
}

bool out_recip_prefix_convert(std::string_view link_name, std::string& recipient) {
    std::string list =
        frame::link_string(frame::link_section_name(link_name), "OutRecipPrefixConvert", "");
    return prefix_convert(recipient, list, store::kPhoneNumberSize - 1);
}

bool out_sender_prefix_convert(std::string_view link_name, std::string& sender) {
    std::string list =
        frame::link_string(frame::link_section_name(link_name), "OutSenderPrefixConvert", "");
    return prefix_convert(sender, list, store::kSenderSize - 1);
}

bool global_recip_prefix_convert(std::string& recipient) {
    return prefix_convert(recipient, frame::ini_string("GlobalRecipPrefixConvert", ""),
                          store::kPhoneNumberSize - 1);
}

bool global_sender_prefix_convert(std::string& sender) {
    return prefix_convert(sender, frame::ini_string("GlobalSenderPrefixConvert", ""),
                          store::kSenderSize - 1);
}

}  // namespace delivery
