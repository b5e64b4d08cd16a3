// Client submissions of the SMPP server into the outbound queue.
#include "frontends/smpp/smpp_submit.h"

#include <mutex>
#include <optional>

#include "delivery/route_cache.h"
#include "delivery/routing.h"
#include "delivery/segmentation.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "frontends/http/user_cache.h"
#include "inbound/inbound_store.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "protocols/smpp/message.h"
#include "protocols/smpp/pdu.h"
#include "records/accounting.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "records/quotas.h"
#include "store/message_id.h"
#include "store/request_file.h"
#include "store/retry.h"
#include "support/ini_profile.h"
#include "support/tracking.h"

namespace frontends::smpp {

namespace {

constexpr const char* kTag = "SMPPServerReceiveMessageCallback";
constexpr std::string_view kOptionPrefix = "SMPPOption_";
constexpr std::string_view kReRoutePrefix = "ReRouteReceived-";

using protocols::common::DeliveryRecord;
using protocols::common::Options;

std::string cut(std::string v, size_t size) {
    if (v.size() >= size) v.resize(size - 1);
    return v;
}


// The concatenation element of a client's UDH: reference, total, number.
struct Concat {
    bool present = false;
    bool ref16 = false;
    unsigned reference = 0, total = 0, number = 0;
};

Concat find_concat(const std::vector<delivery::UdhElement>& elements) {
    Concat c;
    for (const auto& e : elements) {
        if (e.id == delivery::kIeiConcat8 && e.data.size() == 3) {
            c = {true, false, uint8_t(e.data[0]), uint8_t(e.data[1]), uint8_t(e.data[2])};
            return c;
        }
        if (e.id == delivery::kIeiConcat16 && e.data.size() == 4) {
            c = {true, true, (unsigned(uint8_t(e.data[0])) << 8) | uint8_t(e.data[1]),
                 uint8_t(e.data[2]), uint8_t(e.data[3])};
            return c;
        }
    }
    return c;
}

// The UDH with its concatenation reference replaced by the gateway's.
std::string with_reference(std::vector<delivery::UdhElement> elements, unsigned reference) {
    for (auto& e : elements) {
        if (e.id == delivery::kIeiConcat8 && e.data.size() == 3) e.data[0] = char(reference);
        if (e.id == delivery::kIeiConcat16 && e.data.size() == 4) {
            e.data[0] = char(reference >> 8);
            e.data[1] = char(reference);
        }
    }
    std::string body = delivery::format_udh_elements(elements);
    return platform::strprintf("%02X", unsigned(body.size() / 2)) + body;
}

// The queue directory of the account's next file.
std::string queue_dir_for(const Submitter& who, const std::string& route) {
    std::string subdir;
    uint32_t n = 0;
    if (frame::settings().separate_user_queues) {
        subdir = who.account;
        if (who.entry) {
            std::lock_guard<std::mutex> lock(who.entry->lock);
            n = who.entry->queue_file_number++;
        }
    }
    return frame::outbound_queue_dir(nullptr, route, subdir, n);
}

// The gateway reference of a client's concatenated message: the one already
// chosen for (account, recipient, reference, total), else a new one (after
// the queue limit check, refused with 88).
bool gateway_reference(const Submitter& who, records::QuotaEntry* qe, const std::string& recipient,
                       const Concat& c, unsigned& ref, uint32_t& status) {
    if (support::sqlSARIDGet(who.account, recipient, c.reference, c.total, ref)) return true;
    std::string why;
    if (records::QueueLimitReached(qe, why)) {
        platform::trace(kTag, "User outbound queue size too large");
        status = 88;
        return false;
    }
    uint32_t mask = c.ref16 ? 0xFFFFu : 0xFFu;
    ref = store::next_message_id() & mask;
    if (!support::sqlSARIDAdd(who.account, recipient, c.reference, c.total, ref)) ref = c.reference;
    return true;
}

// Texts of the files of one submission, each with its own segment naming.
struct PlannedFile {
    std::string text;
    bool segment = false;
    unsigned reference = 0, total = 0, number = 0;
};

void log_file(const Submitter& who, const store::SmsMessage& rec, const std::string& id,
              const std::string& data, const std::string& udh, bool binary, uint8_t dcs) {
    records::LogContent content{binary, rec.pid, dcs, udh, data};
    const char* kind = binary ? "Binary" : "Text";
    records::write_web_log(who.peer, who.account, id, kind, rec.phone_number, content, rec.sender);
    records::write_account_log(who.account, "SMSSubmit", rec.phone_number, who.peer, id, kind,
                               content, rec.sender);
}

}  // namespace

void load_submit_settings(Submitter& who) {
    who.allowed_options.clear();
    for (auto& [k, v] : support::ini_section(support::SMSIniGetFilename(), "SMPPOptions"))
        who.allowed_options.push_back(k);
    who.recip_prefix_convert = frame::ini_string("GlobalRecipPrefixConvert", "");
    who.sender_prefix_convert = frame::ini_string("GlobalSenderPrefixConvert", "");
}

std::string client_message_id(std::string_view file_id, bool short_ids) {
    if (!short_ids || file_id.size() <= kShortIdMax) return std::string(file_id);
    return std::string(file_id.substr(file_id.size() - kShortIdMax));
}

std::string kept_smpp_options(const Options& options, const std::vector<std::string>& allowed) {
    Options kept;
    for (const auto& [name, value] : options) {
        if (!platform::istarts_with(name, kOptionPrefix)) continue;
        std::string_view bare = std::string_view(name).substr(kOptionPrefix.size());
        for (const std::string& a : allowed) {
            if (platform::iequals(a, bare)) {
                kept.emplace_back(name, value);
                break;
            }
        }
    }
    return protocols::common::join_option_text(kept);
}

bool sender_in_list(std::string_view list, std::string_view sender) {
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string_view::npos) comma = list.size();
        std::string_view item = platform::trim(list.substr(pos, comma - pos));
        if (!item.empty() && platform::iequals(item, sender)) return true;
        pos = comma + 1;
    }
    return false;
}

bool submission_record(const Submitter& who, const DeliveryRecord& m,
                       const std::vector<std::string>& allowed_options, store::SmsMessage& rec,
                       uint32_t& status) {
    using protocols::smpp::ESME_RINVDSTADR;
    using protocols::smpp::ESME_RINVMSGLEN;
    rec = store::SmsMessage{};
    if (m.recipient.empty() && m.sender.empty()) {
        status = ESME_RINVDSTADR;
        return false;
    }
    rec.sender = m.sender;
    rec.phone_number = m.recipient.empty() ? std::string(1, '1') : m.recipient;
    std::string forced(platform::trim(who.forced_sender_address));
    if (!forced.empty() && !sender_in_list(forced, rec.sender)) {
        size_t comma = forced.find(',');
        rec.sender = std::string(platform::trim(forced.substr(0, comma)));
    }
    if (m.message.size() >= store::kDataSize) {
        status = ESME_RINVMSGLEN;
        return false;
    }
    rec.data = m.message;
    rec.udh = m.udh_hex;
    rec.pid = uint8_t(m.pid);
    rec.dcs = uint8_t(m.dcs);
    rec.binary = m.binary;
    rec.submitted_by = who.peer;
    rec.submit_user = who.account;
    // Only the receipt requests: a client's receipt bits would let it
    // forge a receipt for a message of another account.
    if (!(m.flags & store::kFlagReceipt))
        rec.flags = uint32_t(m.flags) &
                    (store::kFlagReceiptRequested | store::kFlagNonDeliveryReceiptRequested);
    using protocols::common::option;
    rec.service_type = cut(option(m.options, "ServiceType"), 100);
    rec.validity = cut(option(m.options, "Validity"), 100);
    std::string local = cut(option(m.options, "RouteToLocalUser"), 100);
    rec.route = cut(option(m.options, "SMSCRouteInfo"), 250);
    if (platform::istarts_with(local, kReRoutePrefix)) {
        rec.route = local.substr(kReRoutePrefix.size());
        local.clear();
    }
    rec.local_user_route = local;
    rec.smpp_options = kept_smpp_options(m.options, allowed_options);
    if (rec.smpp_options.size() >= store::kSmppOptionsSize) {
        status = protocols::smpp::ESME_RINVOPTPARAMVAL;
        return false;
    }
    status = 0;
    return true;
}

uint32_t submit_from_client(const Submitter& who, const DeliveryRecord& m,
                            std::string& message_id) {
    store::SmsMessage rec;
    uint32_t status = 0;
    if (!submission_record(who, m, who.allowed_options, rec, status)) {
        platform::tracef(kTag, "Submission from %s refused, status %u", who.account.c_str(),
                         status);
        return status;
    }
    platform::tracef(kTag,
                     "inbound message:  sender=%s, recip=%s, pid=%X, dcs=%X, msgFlags=%X, "
                     "udh=%s, msg=%s",
                     rec.sender.c_str(), rec.phone_number.c_str(), unsigned(rec.pid),
                     unsigned(rec.dcs), unsigned(m.flags), rec.udh.c_str(), rec.data.c_str());
    delivery::prefix_convert(rec.phone_number, who.recip_prefix_convert, store::kPhoneNumberSize - 1);
    delivery::prefix_convert(rec.sender, who.sender_prefix_convert, store::kSenderSize - 1);

    // Files this submission needs: one, the segments of a long message the
    // gateway splits, or one segment of the client's own concatenation.
    std::vector<delivery::UdhElement> elements;
    std::string err;
    Concat concat;
    if (!rec.udh.empty()) {
        if (!delivery::parse_udh(rec.udh, elements, err)) {
            platform::tracef(kTag, "Bad UDH from %s: %s", who.account.c_str(), err.c_str());
            return protocols::smpp::ESME_RINVMSGLEN;
        }
        concat = find_concat(elements);
    }
    delivery::SegmentPlan plan;
    if (!concat.present) {
        delivery::SegmentLimits limits = delivery::segment_limits_from_settings();
        bool ok = true;
        if (rec.binary) {
            ok = delivery::split_binary(rec.udh, rec.data, rec.dcs, limits, plan, err);
        } else if (rec.udh.empty()) {
            bool unicode = protocols::smpp::coding_for_dcs(rec.dcs) == protocols::smpp::Coding::Ucs2;
            ok = delivery::split_text(rec.data, unicode, rec.dcs, limits, plan, err);
        }
        if (!ok) {
            platform::tracef(kTag, "Message from %s cannot be split: %s", who.account.c_str(),
                             err.c_str());
            return protocols::smpp::ESME_RINVMSGLEN;
        }
    }
    const size_t files = plan.split ? plan.segments.size() : 1;

    // Account checks, one message per file; the first refusal gives back
    // what the earlier files had taken.
    records::QuotaEntry* qe = who.account.empty() ? nullptr : records::quota_entry(who.account);
    std::vector<records::SubmissionCharge> charges(files);
    for (size_t i = 0; i < files; ++i) {
        records::SubmissionCharge& c = charges[i];
        c.account = who.account;
        c.entry = qe;
        c.recipients = {rec.phone_number};
        c.message = inbound::accounting_message(rec, who.account);
        c.message.submit_ip = who.peer;
        if (!records::check_smpp_submission(c)) {
            for (size_t k = 0; k < i; ++k) records::refund_smpp_submission(charges[k]);
            return c.status ? c.status : 88;
        }
    }
    auto refund_all = [&] {
        for (auto& c : charges) records::refund_smpp_submission(c);
    };
    if (!charges[0].preauth.routes.empty() && !charges[0].preauth.routes[0].empty())
        rec.route = charges[0].preauth.routes[0];
    if (!charges[0].preauth.user_data.empty()) rec.user_data = charges[0].preauth.user_data[0];

    // The files.
    const std::string dir = queue_dir_for(who, rec.route);
    std::vector<std::string> paths;
    std::vector<PlannedFile> planned;
    if (plan.split) {
        unsigned reference = store::next_message_id();
        for (size_t k = 0; k < plan.segments.size(); ++k) {
            PlannedFile f;
            f.text = delivery::segment_request_text(rec, plan.segments[k], plan.dcs);
            f.segment = true;
            f.reference = reference;
            f.total = unsigned(plan.segments.size());
            f.number = unsigned(k + 1);
            planned.push_back(std::move(f));
        }
    } else {
        PlannedFile f;
        if (concat.present) {
            unsigned ref = 0;
            if (!gateway_reference(who, qe, rec.phone_number, concat, ref, status)) {
                refund_all();
                return status;
            }
            rec.udh = with_reference(elements, ref);
            f.segment = true;
            f.reference = ref;
            f.total = concat.total;
            f.number = concat.number;
        } else {
            std::string why;
            if (records::QueueLimitReached(qe, why)) {
                platform::trace(kTag, "User outbound queue size too large");
                refund_all();
                return 88;
            }
        }
        f.text = store::format_request(rec);
        planned.push_back(std::move(f));
    }
    for (const PlannedFile& f : planned) {
        std::optional<std::string> path =
            f.segment ? store::create_segment_file(dir, rec.phone_number, f.reference, f.total,
                                                   f.number, "req", f.text)
                      : store::create_request_file(dir, "req", f.text);
        if (!path) {
            platform::trace(kTag, "User outbound queue file cannot be created");
            for (const std::string& p : paths) platform::remove_file(p);
            refund_all();
            return protocols::smpp::ESME_RSYSERR;
        }
        paths.push_back(*path);
    }
    // The answer goes out only once the files are complete (and durable
    // when DurableQueue is on).
    if (!store::commit_request_files(paths)) {
        refund_all();
        return protocols::smpp::ESME_RSYSERR;
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        records::count_smpp_submission(charges[i]);
        std::string id = store::message_id_of(paths[i]);
        if (plan.split)
            log_file(who, rec, id, plan.segments[i].data, plan.segments[i].udh, true, plan.dcs);
        else
            log_file(who, rec, id, rec.data, rec.udh, rec.binary, rec.dcs);
        records::add_counter(records::Counter::OutQueueSize);
        // Wakes the links that may carry it (with UseRouteCacheOnSubmit).
        delivery::MessageRoutesAdd(paths[i], rec.route, delivery::route_query(rec));
        if (!records::accounting_callback_enabled("SMSSend")) continue;
        records::AccountingNotice notice;
        notice.message_id = id;
        records::SMSAccountingCallback("SMSSend", charges[i].message, notice);
    }
    records::add_counter(records::Counter::Submitted, uint32_t(paths.size()));
    message_id = client_message_id(store::message_id_of(paths[0]), who.short_ids);
    return 0;
}

}  // namespace frontends::smpp
