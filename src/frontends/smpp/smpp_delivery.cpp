// Delivery of the user queue to an SMPP client session.
#include "frontends/smpp/smpp_delivery.h"

#include <algorithm>
#include <mutex>

#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "frontends/http/user_cache.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/trace_sink.h"
#include "store/request_file.h"
#include "store/retry.h"

namespace frontends::smpp {

namespace psmpp = protocols::smpp;

namespace {

constexpr const char* kTag = "InternalProcessSMPPConnection";
constexpr unsigned kDrainStepMs = 100;
// Files looked at in one walk; the rest waits for the next.
constexpr size_t kFilesPerPass = 5000;

}  // namespace

struct DeliveryQueue::Pending {
    psmpp::SMPPServerAsyncEntry entry;
    platform::FileHandle file;
    std::string path;
    uint32_t retry_count = 0;
};

std::string user_queue_root(std::string_view account) {
    std::string root = frame::ini_directory("UsersQDir");
    if (root.empty()) root = frame::users_dir();
    return root + frame::account_path_part(account) + "/Q/";
}

std::vector<std::string> user_queue_files(const std::string& root) {
    std::vector<std::string> out;
    auto add_dir = [&](const std::string& dir) {
        std::vector<std::string> names;
        for (const auto& e : platform::scan_dir(dir, "*.REQ", platform::ScanKind::FilesOnly))
            names.push_back(e.name);
        std::sort(names.begin(), names.end());
        for (auto& n : names) out.push_back(dir + n);
    };
    add_dir(root);
    std::vector<std::string> dirs;
    for (const auto& e : platform::scan_dir(root, "*", platform::ScanKind::DirsOnly))
        dirs.push_back(e.name);
    std::sort(dirs.begin(), dirs.end());
    for (const auto& d : dirs) add_dir(root + d + "/");
    return out;
}

protocols::common::SubmitRecord delivery_record(const store::SmsMessage& msg,
                                                std::string_view file_id, bool short_ids) {
    protocols::common::SubmitRecord r;
    r.sender = msg.sender;
    r.recipient = msg.phone_number.empty() ? "1" : msg.phone_number;
    r.pid = msg.pid;
    r.dcs = msg.dcs;
    r.udh_hex = msg.udh;
    r.data = msg.data;
    r.binary = msg.binary;
    r.flags = int(msg.flags);
    r.reference = std::string(file_id);
    if (msg.flags & store::kFlagReceipt) {
        r.receipt_message_id = client_message_id(msg.receipt_message_id, short_ids);
        if (r.receipt_message_id != msg.receipt_message_id && !msg.receipt_message_id.empty()) {
            // The receipt text names the message as the client knows it.
            std::string full = "id:" + msg.receipt_message_id;
            size_t at = r.data.find(full);
            if (at != std::string::npos)
                r.data.replace(at, full.size(), "id:" + r.receipt_message_id);
        }
    }
    r.options = protocols::common::parse_option_text(msg.smpp_options);
    if (!msg.service_type.empty()) r.options.emplace_back("ServiceType", msg.service_type);
    if (!msg.resolved_route.empty()) r.options.emplace_back("SMSCRouteInfo", msg.resolved_route);
    if (!msg.link_name.empty()) r.options.emplace_back("ModemName", msg.link_name);
    return r;
}

DeliveryOutcome outcome_for_status(uint32_t status) {
    if (status >= psmpp::SMPP_SERVER_NO_RESPONSE) return DeliveryOutcome::RetryAndEnd;
    if (status == psmpp::ESME_RTHROTTLED || status == psmpp::ESME_RMSGQFUL)
        return DeliveryOutcome::Retry;
    return DeliveryOutcome::Done;
}

DeliveryQueue::DeliveryQueue(psmpp::ServerSession& session, const Submitter& who,
                             http::UserCacheEntry* entry, unsigned window)
    : s_(session), who_(who), entry_(entry), window_(window) {}

DeliveryQueue::~DeliveryQueue() {
    drain();
}

void DeliveryQueue::finish(int fd, const std::string& path, uint32_t retry_count,
                           uint32_t status) {
    DeliveryOutcome o = outcome_for_status(status);
    if (o == DeliveryOutcome::Done) {
        if (status == 0 && entry_) {
            std::lock_guard<std::mutex> l(entry_->lock);
            ++entry_->delivered_count;
        }
        if (status != 0)
            platform::tracef(kTag, "Delivery of %s refused by the client, status %u, dropped",
                             path.c_str(), status);
        platform::remove_file(path);
        return;
    }
    if (o == DeliveryOutcome::RetryAndEnd) {
        platform::trace(kTag, "SMPP Client failed to respond, terminating connection");
        lost_ = true;
    }
    std::optional<std::string> text = platform::read_fd(fd, store::kMaxRequestFileBytes);
    if (!text) return;
    store::ErrorDetail d;
    d.retry_count = retry_count + 1;
    d.last_retry_time = store::epoch_to_message_time(platform::now());
    platform::rewrite_in_place(fd, store::set_error_detail(*text, d));
}

bool DeliveryQueue::deliver_file(const std::string& path, size_t& delivered) {
    bool busy = false;
    platform::FileHandle fh = platform::claim_file(path, &busy);
    if (!fh.valid()) return true;
    store::SmsMessage msg;
    if (!store::LoadSMSMessage(fh.fd(), msg)) return true;
    if (msg.phone_number.empty() && msg.sender.empty()) {
        platform::remove_file(path);
        return true;
    }
    store::RetrySchedule sched = store::read_retry_schedule("");
    if (msg.retry_count > sched.max_attempts) {
        platform::tracef(kTag, "%s: retries used up, deleted", path.c_str());
        platform::remove_file(path);
        return true;
    }
    if (msg.retry_count > 0 &&
        !store::message_retry_due(sched, msg.retry_count, msg.last_retry_time, platform::now()))
        return true;
    protocols::common::SubmitRecord rec =
        delivery_record(msg, store::message_id_of(path), who_.short_ids);
    pace();
    if (lost_) {
        finish(fh.fd(), path, msg.retry_count, psmpp::ESME_RTHROTTLED);
        return false;
    }

    if (window_ == 0) {
        uint32_t st = s_.deliver(rec);
        ++delivered;
        finish(fh.fd(), path, msg.retry_count, st);
        return !lost_;
    }
    while (pending_.size() >= window_) {
        if (!s_.yield(0) || frame::shutdown_requested()) {
            lost_ = true;
            break;
        }
        collect();
        if (lost_) break;
    }
    if (lost_) {
        finish(fh.fd(), path, msg.retry_count, psmpp::ESME_RTHROTTLED);
        return false;
    }
    auto p = std::make_unique<Pending>();
    p->path = path;
    p->retry_count = msg.retry_count;
    uint32_t sent = s_.deliver_async(rec, p->entry);
    if (sent != 0) {
        // A connection error ends the session; a record the engine cannot
        // encode can never be delivered.
        bool gone = sent >= psmpp::SMPP_SERVER_NO_RESPONSE;
        if (gone) lost_ = true;
        finish(fh.fd(), path, msg.retry_count, gone ? psmpp::ESME_RTHROTTLED : sent);
        return !gone;
    }
    p->file = std::move(fh);
    ++delivered;
    pending_paths_.insert(path);
    pending_.push_back(std::move(p));
    return true;
}

void DeliveryQueue::pace() {
    unsigned gap = 0;
    if (entry_) {
        std::lock_guard<std::mutex> l(entry_->lock);
        gap = entry_->ms_per_message;
    }
    if (gap == 0) return;
    // The account's ThrottleSpeed pace; the client's PDUs are served meanwhile.
    while (!lost_ && platform::monotonic_ms() < next_send_ms_) {
        if (!s_.yield(0) || frame::shutdown_requested()) lost_ = true;
        if (window_) collect();
    }
    next_send_ms_ = platform::monotonic_ms() + gap;
}

size_t DeliveryQueue::pass() {
    std::vector<std::string> files = user_queue_files(user_queue_root(who_.account));
    size_t seen = 0, delivered = 0;
    for (const std::string& path : files) {
        if (lost_ || ++seen > kFilesPerPass) break;
        if (pending_paths_.count(path)) continue;
        if (!deliver_file(path, delivered)) break;
        if (window_) collect();
    }
    return delivered;
}

void DeliveryQueue::collect() {
    while (!pending_.empty() && pending_.front()->entry.completed.load(std::memory_order_acquire)) {
        std::unique_ptr<Pending> p = std::move(pending_.front());
        pending_.pop_front();
        pending_paths_.erase(p->path);
        finish(p->file.fd(), p->path, p->retry_count, p->entry.status.load());
    }
    // Answers may come out of order: one answered later is handled once
    // those before it are.
}

void DeliveryQueue::drain() {
    for (auto& p : pending_) p->entry.abandoned.store(true);
    while (!pending_.empty()) {
        // On shutdown the connection is cut: the engine then completes
        // every entry as lost and the files are kept for a later delivery.
        if (frame::shutdown_requested()) platform::shutdown_socket(s_.socket());
        s_.yield(1);
        collect();
        if (!pending_.empty()) platform::sleep_ms(kDrainStepMs);
    }
}

}  // namespace frontends::smpp
