// The status page, the XML status document and what they report: links,
// queues, counters and SMPP sessions.
#include <cstring>

#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/service.h"
#include "frame/settings.h"
#include "frontends/http/admin_pages.h"
#include "frontends/http/http_request.h"
#include "links/core/link_config.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "support/directories.h"

namespace frontends::http {

namespace {

constexpr unsigned kAlwaysTriedLinks = 201;
constexpr size_t kErrorTextMax = 1024;

// XML text: the markup characters and controls other than tab, CR and LF
// (which no XML parser accepts) are escaped or dropped.
std::string xml_text(std::string_view s) {
    std::string kept;
    kept.reserve(s.size());
    for (char ch : s)
        if (static_cast<unsigned char>(ch) >= 0x20 || ch == '\t' || ch == '\r' || ch == '\n')
            kept.push_back(ch);
    return html_escape(kept);
}

std::string xml(std::string_view s) {
    return xml_text(platform::sanitize_utf8(s));
}

std::string messages_elements(const records::CounterReport& r) {
    return platform::strprintf(
        "<MessagesToday>%u</MessagesToday>\r\n<MessagesLast7Days>%u</MessagesLast7Days>\r\n"
        "<MessagesLast30Days>%u</MessagesLast30Days>\r\n",
        r.today, r.last7, r.last30);
}

void counter_tokens(TokenValues& v, const char* token, const records::CounterReport& r) {
    v[std::string(token) + "1"] = std::to_string(r.today);
    v[std::string(token) + "7"] = std::to_string(r.last7);
    v[std::string(token) + "30"] = std::to_string(r.last30);
}

std::string queue_text(unsigned n) {
    return n == 0 ? "Empty" : std::to_string(n);
}

}  // namespace

std::vector<LinkInfo> configured_links() {
    std::vector<LinkInfo> out;
    for (unsigned i = 1;; ++i) {
        std::string name = links::link_name_at(i);
        if (name.empty()) {
            if (i >= kAlwaysTriedLinks) break;
            continue;
        }
        LinkInfo l;
        l.name = name;
        std::string route = frame::link_string(frame::link_section_name(name), "RouteName");
        l.route = platform::trim(route).empty() ? name : std::string(platform::trim(route));
        std::optional<std::string> err =
            platform::read_file(links::link_status_path(name), kErrorTextMax);
        l.up = !err || err->empty();
        if (!l.up) l.error = std::string(platform::trim(*err));
        out.push_back(std::move(l));
    }
    return out;
}

std::vector<SmppSession> active_smpp_sessions() {
    std::vector<SmppSession> out;
    const std::string priv = support::GetPrivateDataDirectory();
    std::optional<std::string> smpp = platform::find_name_nocase(priv, "SMPPData");
    if (!smpp) return out;
    std::string base = priv + *smpp + "/";
    std::optional<std::string> active = platform::find_name_nocase(base, "ActiveUsers");
    if (!active) return out;
    std::string dir = base + *active + "/";
    for (const platform::DirEntry& e :
         platform::scan_dir(dir, "*.FLG", platform::ScanKind::FilesOnly)) {
        if (platform::remove_if_stale(dir + e.name)) continue;
        // "<address>-<port>-<kind>-<account>.FLG"
        std::string_view n(e.name);
        n.remove_suffix(4);
        size_t a = n.find('-');
        size_t b = a == std::string_view::npos ? a : n.find('-', a + 1);
        size_t k = b == std::string_view::npos ? b : n.find('-', b + 1);
        SmppSession s;
        if (k == std::string_view::npos) {
            s.account = std::string(n);
        } else {
            s.address = std::string(n.substr(0, a));
            s.bind_kind = std::string(n.substr(b + 1, k - b - 1));
            s.account = std::string(n.substr(k + 1));
        }
        out.push_back(std::move(s));
    }
    return out;
}

unsigned outbound_queue_size() {
    return records::counter_today(records::Counter::OutQueueSize);
}

TemplateData status_page_data(std::string_view post_url, std::string_view quit_url) {
    using records::Counter;
    TemplateData d;
    std::vector<LinkInfo> links = configured_links();
    std::string smsc;
    bool all_up = true;
    for (const LinkInfo& l : links) all_up = all_up && l.up;
    for (const LinkInfo& l : links) {
        if (l.up) {
            smsc += html_escape(l.name) + ":  OK<br>\r\n";
        } else {
            smsc += "<font color=\"red\">" + html_escape(l.name) + ":  " + html_escape(l.error) +
                    "</font><br>\r\n";
        }
    }
    if (all_up) smsc = links.empty() ? "No connections defined" : "All Connections OK";
    d.raw["SMSCSTATUS"] = smsc;
    d.values["MMSCSTATUS"] = "ERROR:  Service is NOT Installed";
    d.values["MMSCSTATUSCOLOR"] = "red";
    d.values["SMSQCOUNT"] = queue_text(outbound_queue_size());
    d.values["MMSQCOUNT"] =
        queue_text(frame::count_queue_files(frame::mms_queue_dir(), "*.REQ", 2));
    counter_tokens(d.values, "SMSSUBMITTED", records::report_global(Counter::Submitted));
    counter_tokens(d.values, "SMSSENT", records::report_global(Counter::Sent));
    counter_tokens(d.values, "SMSRECEIVED", records::report_global(Counter::Received));
    counter_tokens(d.values, "SMSFAILED", records::report_global(Counter::Failed));
    counter_tokens(d.values, "SMSRETRIED", records::report_global(Counter::Retried));
    counter_tokens(d.values, "MMSINVASP", records::report_global(Counter::MmsInModem));
    for (const char* t : {"MMSINUSER", "MMSOUTMMSC", "MMSOUTVASP", "MMSOUTSMTP", "MMSRETRIEVED"})
        counter_tokens(d.values, t, records::CounterReport{});

    struct ListKind {
        const char* list;
        records::LinkCounter kind;
    };
    for (const ListKind& lk : {ListKind{"SMSCSentList", records::LinkCounter::Sent},
                               ListKind{"SMSCReceivedList", records::LinkCounter::Received},
                               ListKind{"SMSCFailedList", records::LinkCounter::Failed},
                               ListKind{"SMSCRetriedList", records::LinkCounter::Retry}}) {
        std::vector<TokenValues>& items = d.lists[lk.list];
        for (const LinkInfo& l : links) {
            TokenValues v;
            v["SMSCNAME"] = l.name;
            v["SMSCROUTENAME"] = l.route;
            v["SMSCSTATE"] = l.up ? "OK" : "ERROR";
            v["SMSCERROR"] = l.error;
            records::CounterReport r = records::report_link(l.name, lk.kind);
            v["COUNT1"] = std::to_string(r.today);
            v["COUNT7"] = std::to_string(r.last7);
            v["COUNT30"] = std::to_string(r.last30);
            items.push_back(std::move(v));
        }
    }
    d.lists["MMSINVASPList"];
    d.lists["MMSOUTVASPList"];

    std::vector<SmppSession> sessions = active_smpp_sessions();
    d.values["SMPPCLIENTCOUNT"] =
        sessions.size() == 1
            ? std::string("1 connection")
            : platform::strprintf("%u connections", static_cast<unsigned>(sessions.size()));
    std::string list;
    for (const SmppSession& s : sessions)
        list += html_escape(s.account) + " (" + html_escape(s.bind_kind) + ") " +
                html_escape(s.address) + "<br>\r\n";
    d.raw["SMPPCLIENTLIST"] = list;
    d.values["PostURL"] = std::string(post_url);
    d.values["QuitURL"] = std::string(quit_url);
    return d;
}

std::string xml_status_document() {
    using records::Counter;
    std::string x = "<KelSMSStatus>\r\n";
    for (const LinkInfo& l : configured_links()) {
        x += "<SMSCStatus>\r\n<Name>" + xml(l.name) + "</Name>\r\n";
        if (l.route != l.name) x += "<RouteName>" + xml(l.route) + "</RouteName>\r\n";
        if (l.up) {
            x += "<Status>OK</Status>\r\n";
        } else {
            x += "<Status>ERROR</Status>\r\n<StatusDetail>" + xml(l.error) + "</StatusDetail>\r\n";
        }
        x += messages_elements(records::report_link(l.name, records::LinkCounter::Sent));
        x += "</SMSCStatus>\r\n";
    }
    x += platform::strprintf(
        "<SMSOUTQ>%u</SMSOUTQ>\r\n<SMSINQ>%u</SMSINQ>\r\n<SMSRCPTQ>%u</SMSRCPTQ>\r\n"
        "<MMSOUTQ>%u</MMSOUTQ>\r\n",
        outbound_queue_size(), records::counter_today(Counter::InQueueSize),
        records::counter_today(Counter::ReceiptQueueSize),
        frame::count_queue_files(frame::mms_queue_dir(), "*.REQ", 2));
    struct Total {
        const char* element;
        records::CounterReport report;
    };
    const Total totals[] = {
        {"SMSSubmitted", records::report_global(Counter::Submitted)},
        {"SMSSent", records::report_global(Counter::Sent)},
        {"SMSReceived", records::report_global(Counter::Received)},
        {"SMSFailed", records::report_global(Counter::Failed)},
        {"SMSRetried", records::report_global(Counter::Retried)},
        {"MMSProcessedUser", {}},
        {"MMSProcessedVASP", records::report_global(Counter::MmsInModem)},
        {"MMSSentMMSC", {}},
        {"MMSSentVASP", {}},
        {"MMSRetrieved", {}},
    };
    for (const Total& t : totals)
        x += platform::strprintf("<%s>\r\n", t.element) + messages_elements(t.report) +
             platform::strprintf("</%s>\r\n", t.element);
    if (frame::status_byte(frame::kStatusSmppListening)) {
        std::vector<SmppSession> sessions = active_smpp_sessions();
        x += platform::strprintf(
            "<SMPPClientList>\r\n<ActiveConnectionCount>%u</ActiveConnectionCount>\r\n",
            static_cast<unsigned>(sessions.size()));
        for (const SmppSession& s : sessions)
            x += "<ActiveConnection><Name>" + xml(s.account) + "</Name><ConnectionType>" +
                 xml(s.bind_kind) + "</ConnectionType><IPAddress>" + xml(s.address) +
                 "</IPAddress></ActiveConnection>\r\n";
        x += "</SMPPClientList>\r\n";
    } else {
        // The stale flag files go even while no listener runs.
        active_smpp_sessions();
    }
    x += "</KelSMSStatus>\r\n";
    return x;
}

}  // namespace frontends::http
