// The queue pass every protocol link runs while its session is up: walk the
// outbound queue once per pass, take the files this link may carry, send
// them over the session and hand every outcome to finish_message; between
// passes keep the session alive and idle in its yield call.
#include "links/core/queue_pass.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "delivery/long_message_locks.h"
#include "delivery/route_cache.h"
#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "links/core/link_kind.h"
#include "links/core/outcome.h"
#include "links/core/queue_cache.h"
#include "links/core/worker_internal.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/request_file.h"
#include "store/retry.h"

namespace links {

namespace {

constexpr std::string_view kDelayQueueDir = "DELAYQ";
// A yield that came back this fast on an idle pass did not wait.
constexpr uint64_t kYieldMinIdleMs = 5;
constexpr unsigned kIdleEventWaitMs = 250;

// Global settings a pass reads, taken once per pass.
struct PassConfig {
    std::string root;
    bool use_route_queues = true;
    bool skip = false;
    bool debug2 = false;
    bool qcache = false;
    bool rmsgqful = true;
    bool recombine = false;
    uint32_t user_threshold = 10;
};

enum class Took {
    PassedBy,  // not this link's, not due, held elsewhere ...: stays queued
    Handled,   // left the queue without a submit (no recipient, local, unroutable)
    Sent,      // submitted and accepted
    Failed,    // submitted and refused (retry recorded or failed)
    Async,     // handed to the windowed session
};

bool reached_send(Took t) {
    return t == Took::Sent || t == Took::Failed || t == Took::Async;
}

std::string dir_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

class QueuePass {
  public:
    QueuePass(WorkerState& w, LinkSession& s) : w_(w), s_(s) {}

    void serve() {
        next_settings_check_ = w_.sent_since_start.load() + detail::kSettingsCheckEvery;
        while (!stopping()) {
            one_pass();
            if (stopping()) break;
            end_of_pass();
        }
    }

  private:
    bool stopping() const { return w_.connection_error.load() || must_stop(w_); }
    // The walk of this pass ends (the session may go on with the next pass).
    bool halt() const { return pass_cut_ || stopping(); }

    void load_config() {
        const frame::GlobalSettings& g = frame::settings();
        cfg_.root = g.q_dir.empty() ? frame::default_queue_root() : g.q_dir;
        cfg_.use_route_queues = g.use_route_queues;
        cfg_.skip = skip_queue_enabled();
        cfg_.debug2 = g.debug2;
        cfg_.qcache = g.use_q_cache && queue_cache_ready();
        cfg_.rmsgqful = g.rmsgqful_by_number;
        cfg_.user_threshold = g.user_queue_threshold;
        cfg_.recombine = w_.settings.wdp_adaptation && !w_.settings.use_tlv && !s_.windowed();
    }

    void one_pass() {
        load_config();
        pass_cut_ = false;
        chained_done_.clear();
        held_seen_.clear();
        id_ = w_.identity();
        w_.sent_this_pass = 0;
        if (cfg_.skip) w_.skip.begin_pass();
        clear_link_status(w_.settings.name);

        std::vector<std::pair<std::string, unsigned>> resubmits;
        if (WindowedSubmit* win = s_.windowed()) resubmits = win->take_resubmits();
        for (auto& [path, count] : resubmits) {
            if (halt()) return;
            std::string dir = dir_of(path);
            serve_name(dir, std::string_view(path).substr(dir.size()), count);
        }

        std::vector<std::string> root_files;
        std::vector<std::string> subdirs;
        list_queue(root_files, subdirs);
        // Several threads of one link would all start at the same file and
        // trip over each other's claims: each starts at its own share.
        const unsigned threads = std::max(1u, w_.settings.transmitter_count);
        if (threads > 1 && w_.thread_number > 1 && !root_files.empty()) {
            size_t start = root_files.size() * ((w_.thread_number - 1) % threads) / threads;
            std::rotate(root_files.begin(), root_files.begin() + long(start), root_files.end());
        }
        for (const std::string& name : root_files) {
            if (halt()) return;
            serve_name(cfg_.root, name, 0);
        }
        serve_subdirectories(subdirs);
        if (!halt()) prune_held_traced();
    }

    // The root's "*.REQ" files and the subdirectories this link serves, from
    // one listing of the root (or from the queue cache).
    void list_queue(std::vector<std::string>& root_files, std::vector<std::string>& subdirs) {
        if (cfg_.qcache) {
            for (std::string& d : queue_cache_directories()) {
                if (d == ".")
                    root_files = queue_cache_files(".");
                else if (serves_subdir(d))
                    subdirs.push_back(std::move(d));
            }
            return;
        }
        std::vector<std::string> links;
        std::vector<platform::DirEntry> entries =
            platform::scan_dir_no_links(cfg_.root, "*", platform::ScanKind::Any, &links);
        skipped_links(cfg_.root, links);
        for (platform::DirEntry& e : entries) {
            if (e.is_dir) {
                if (serves_subdir(e.name)) subdirs.push_back(std::move(e.name));
            } else if (platform::wildcard_match("*.REQ", e.name)) {
                root_files.push_back(std::move(e.name));
            }
        }
    }

    bool serves_subdir(std::string_view name) const {
        if (platform::iequals(name, kDelayQueueDir)) return false;  // the delay thread's
        if (!cfg_.use_route_queues) return true;
        return delivery::route_queue_serves(name, id_);
    }

    // Subdirectories in turns of UserQueueThreshold messages each, so one
    // busy account cannot hold the others back; each directory is listed
    // once per pass.
    struct Cursor {
        std::string dir;
        std::vector<std::string> names;
        size_t next = 0;
    };

    void serve_subdirectories(const std::vector<std::string>& subdirs) {
        std::vector<Cursor> open;
        for (const std::string& sub : subdirs) {
            if (halt()) return;
            Cursor c;
            c.dir = cfg_.root + sub + "/";
            c.names = cfg_.qcache ? queue_cache_files(sub) : scan_requests(c.dir);
            if (c.names.empty()) {
                if (!cfg_.qcache) remove_empty_user_queue(c.dir);
                continue;
            }
            if (serve_cursor(c)) open.push_back(std::move(c));
        }
        while (!open.empty() && !halt()) {
            std::vector<Cursor> still;
            for (Cursor& c : open) {
                if (halt()) return;
                if (serve_cursor(c)) still.push_back(std::move(c));
            }
            open.swap(still);
        }
    }

    // True when the threshold stopped the walk with names left.
    bool serve_cursor(Cursor& c) {
        const uint32_t limit = cfg_.user_threshold;
        uint32_t reached = 0;
        while (c.next < c.names.size()) {
            if (halt()) return false;
            reached += serve_name(c.dir, c.names[c.next++], 0);
            if (limit != 0 && reached >= limit) return c.next < c.names.size();
        }
        return false;
    }

    std::vector<std::string> scan_requests(const std::string& dir) {
        std::vector<std::string> names, links;
        for (platform::DirEntry& e :
             platform::scan_dir_no_links(dir, "*.REQ", platform::ScanKind::FilesOnly, &links))
            names.push_back(std::move(e.name));
        skipped_links(dir, links);
        return names;
    }

    // Symbolic links in a queue are never served nor claimed: each is traced
    // once while it stays.
    void skipped_links(const std::string& dir, const std::vector<std::string>& links) {
        for (const std::string& l : links) {
            std::string path = dir;
            if (!path.empty() && path.back() != '/') path += '/';
            path += l;
            held_seen_.insert(path);
            if (w_.held_traced.insert(path).second)
                frame::debug_tracef(kWorkerTrace, "Symbolic link %s skipped", path.c_str());
        }
    }

    // One queued name, and the later segments of its message that follow it
    // directly once it went out. Returns the number of messages that reached
    // the send step.
    uint32_t serve_name(const std::string& dir, std::string_view name, unsigned resubmits) {
        uint32_t reached = 0;
        std::string chained_name;
        bool chained = false;
        while (true) {
            Took t =
                take_file(dir, chained ? std::string_view(chained_name) : name, chained, resubmits);
            if (!reached_send(t)) return reached;
            ++reached;
            std::optional<std::string> next;
            if (t == Took::Sent && !halt())
                next = delivery::CheckAdditionalLongMessageSegments(
                    dir, chained ? chained_name : std::string(name));
            if (!next)
                after_message(t);
            else
                after_message_common();
            if (!next || halt()) return reached;
            chained_name = std::move(*next);
            chained = true;
            // Its turn in the listing may still come in this pass: once is enough.
            chained_done_.insert(dir + chained_name);
            resubmits = 0;
        }
    }

    bool keep_alive_due() const {
        const unsigned ka = w_.settings.keep_alive_s;
        if (ka == 0) return false;
        if (w_.connection_error.load()) return true;
        return platform::monotonic_ms() - w_.last_activity_ms.load() > uint64_t(ka) * 1000;
    }

    void enquire() {
        if (s_.enquire_link()) {
            w_.connection_error = false;
            w_.last_activity_ms.store(platform::monotonic_ms());
        } else {
            w_.connection_error = true;
        }
    }

    // After a message that did not chain to its next segment: confirm a
    // suspected loss or keep the link alive, then the common checks (the
    // walkers look at stopping() themselves).
    void after_message(Took t) {
        if (t == Took::Failed) {
            // A refused message may mean a lost link: ask, and let an
            // enquire-link confirm it where the kind has one.
            if (!s_.link_ok()) w_.connection_error = true;
            if (w_.connection_error.load() && s_.enquire_after_failure()) enquire();
        } else if (w_.connection_error.load()) {
            if (s_.enquire_after_failure()) enquire();
        } else if (s_.enquire_after_failure() && keep_alive_due()) {
            enquire();
        }
        after_message_common();
    }

    void after_message_common() {
        if (limits_reached()) w_.restart = true;
        if (w_.sent_since_start.load() >= next_settings_check_) {
            next_settings_check_ = w_.sent_since_start.load() + detail::kSettingsCheckEvery;
            detail::check_settings_change(w_);
        }
    }

    // Credit limits and quiet hours, with the local hour looked up at most
    // once a second.
    bool limits_reached() {
        CreditLimits credit;
        QuietHours quiet;
        {
            std::lock_guard<std::mutex> lock(w_.settings_mu);
            credit = w_.settings.credit;
            quiet = w_.settings.quiet;
        }
        if ((credit.day != 0 || credit.month != 0) && credit_exceeded(w_.settings.name, credit))
            return true;
        if (quiet.start == 0 && quiet.end == 0) return false;
        uint64_t now = platform::monotonic_ms();
        if (hour_checked_ms_ == 0 || now - hour_checked_ms_ >= 1000) {
            hour_ = unsigned(platform::local_now().hour);
            hour_checked_ms_ = now;
        }
        return quiet.quiet_at(hour_);
    }

    void end_of_pass() {
        if (keep_alive_due()) enquire();
        if (!s_.link_ok()) w_.connection_error = true;
        if (w_.connection_error.load()) return;
        const bool idle = w_.sent_this_pass.load() == 0 && !keep_alive_due();
        uint64_t before = platform::monotonic_ms();
        s_.yield(idle);
        if (idle && platform::monotonic_ms() - before < kYieldMinIdleMs && !stopping()) {
            // The session did not block: wait for new messages ourselves
            // rather than scanning the queue again at once.
            if (!support::WaitForInterfaceEvent(w_.link_event, kIdleEventWaitMs / 2))
                support::WaitForInterfaceEvent(w_.route_event ? w_.route_event : w_.link_event,
                                               kIdleEventWaitMs / 2);
            if (!w_.link_event && !w_.route_event) platform::sleep_ms(kIdleEventWaitMs);
        }
        if (cfg_.skip && !w_.connection_error.load()) w_.skip.clean();
        if (!stopping()) detail::check_settings_change(w_);
    }

    // --- one file -----------------------------------------------------------------------

    // What one gate of take_file decided about a file.
    enum class Gate {
        Open,        // on to the next gate
        PassBy,      // stays queued for a later pass
        OtherLink,   // stays queued: another link's (remembered in the skip queue)
        Handled,     // left the queue without a submit
        Unroutable,  // no link can take it
    };

    // The route decision as the gates build it up.
    struct Routing {
        delivery::RouteCacheDecision cache;
        bool local_route = false;    // a local-user route
        bool explicit_mine = false;  // its own route names this link
        bool unroutable = false;
    };

    Took settle(Gate g, ClaimedMessage* m, std::string_view name) {
        switch (g) {
            case Gate::OtherLink:
                if (cfg_.skip) w_.skip.add(name);
                return Took::PassedBy;
            case Gate::Handled:
                return Took::Handled;
            case Gate::Unroutable:
                detail::fail_unroutable(w_, *m);
                return Took::Handled;
            case Gate::Open:
            case Gate::PassBy:
                break;
        }
        return Took::PassedBy;
    }

    // --- gates before the claim: decided from the name alone

    bool in_skip_queue(std::string_view name) { return cfg_.skip && w_.skip.contains(name); }

    // A later segment already taken out of listing order in this pass.
    bool already_chained(const std::string& path, bool chained) const {
        return !chained && !chained_done_.empty() && chained_done_.count(path) != 0;
    }

    Gate route_cache_gate(const std::string& path, Routing& rt) const {
        rt.cache = delivery::route_cache_test(path, id_);
        return rt.cache.take ? Gate::Open : Gate::OtherLink;
    }

    // Segments go out in order: a later one waits for its predecessors.
    static Gate segment_order(const std::string& dir, std::string_view name, bool segment,
                              bool chained) {
        if (segment && !chained && delivery::earlier_segment_queued(dir, name)) return Gate::PassBy;
        return Gate::Open;
    }

    // --- gates after the claim: decided from the loaded message

    static Gate has_recipient(ClaimedMessage& m) {
        if (!m.msg.phone_number.empty()) return Gate::Open;
        detail::count_left_queue(m);
        detail::delete_claimed(m, false);
        return Gate::Handled;
    }

    // The message's own route, when it names one that is not a local user's.
    Gate own_route(ClaimedMessage& m, Routing& rt) const {
        const store::SmsMessage& msg = m.msg;
        // The loader moves a "localuser:" route into local_user_route.
        rt.local_route = !msg.local_user_route.empty() || delivery::is_local_user_route(msg.route);
        if (msg.route.empty() || rt.local_route) return Gate::Open;
        if (delivery::CheckInvalidRoute(msg.route)) {
            rt.unroutable = true;
        } else if (delivery::route_names_link(msg.route, id_)) {
            rt.explicit_mine = true;
        } else {
            delivery::MessageRoutesAdd(m.path, msg);
            return Gate::OtherLink;
        }
        return Gate::Open;
    }

    // Another file of the recipient waits on this link after a queue-full answer.
    Gate queue_full_hold(const ClaimedMessage& m) const {
        if (cfg_.rmsgqful &&
            queue_full_held(m.msg.phone_number, w_.settings.name, m.cache_key, cfg_.root))
            return Gate::PassBy;
        return Gate::Open;
    }

    Gate retry_due(const ClaimedMessage& m) const {
        const store::SmsMessage& msg = m.msg;
        if (msg.retry_count == 0) return Gate::Open;
        store::RetrySchedule retry;
        {
            std::lock_guard<std::mutex> lock(w_.settings_mu);
            retry = w_.settings.retry;
        }
        return store::message_retry_due(retry, msg.retry_count, msg.last_retry_time,
                                        platform::now())
                   ? Gate::Open
                   : Gate::PassBy;
    }

    Gate local_delivery(ClaimedMessage& m, const Routing& rt) {
        if (rt.unroutable) return Gate::Open;
        switch (detail::try_local_delivery(m.path, m.msg)) {
            case LocalDelivery::Delivered:
                detail::count_left_queue(m);
                detail::delete_claimed(m, false);
                return Gate::Handled;
            case LocalDelivery::Kept:
                return Gate::PassBy;
            case LocalDelivery::NotLocal:
                break;
        }
        // A local-user route that nobody delivered locally is not for the
        // network: it waits for local delivery, traced once per file.
        if (!rt.local_route) return Gate::Open;
        held_seen_.insert(m.path);
        if (w_.held_traced.insert(m.path).second)
            frame::debug_tracef(
                kWorkerTrace, "%s waits for local delivery to %s", m.name.c_str(),
                (m.msg.local_user_route.empty() ? m.msg.route : m.msg.local_user_route).c_str());
        return Gate::PassBy;
    }

    // After a complete walk: forget the held files that have left the queue.
    void prune_held_traced() {
        for (auto it = w_.held_traced.begin(); it != w_.held_traced.end();)
            it = held_seen_.count(*it) ? std::next(it) : w_.held_traced.erase(it);
    }

    // The routing tables, unless the route cache or the message's own route
    // already decided. An active backup also takes its primary's messages.
    Gate preferred_route(ClaimedMessage& m, Routing& rt) const {
        if (rt.unroutable || rt.explicit_mine || rt.cache.from_cache) return Gate::Open;
        const store::SmsMessage& msg = m.msg;
        const delivery::RouteQuery q = delivery::route_query(msg);
        bool no_route = false;
        bool take = delivery::CheckPreferredRoute(q, w_.settings.name, &no_route);
        if (!take && w_.backup_active && !w_.primary_link.empty()) {
            bool primary_no_route = false;
            take = delivery::CheckPreferredRoute(q, w_.primary_link, &primary_no_route);
            no_route = no_route && primary_no_route;
        }
        if (take) return Gate::Open;
        // Blocked or refused on every link: no later pass would send it either.
        if (!no_route) no_route = delivery::no_link_takes(q);
        if (no_route) {
            rt.unroutable = true;
            return Gate::Open;
        }
        if (cfg_.debug2)
            frame::debug_tracef(kWorkerTrace, "%s not a supported route for %s",
                                msg.phone_number.c_str(), w_.settings.name.c_str());
        delivery::MessageRoutesAdd(m.path, msg);
        return Gate::OtherLink;
    }

    static Gate routable(const Routing& rt) {
        return rt.unroutable ? Gate::Unroutable : Gate::Open;
    }

    // The segments of one message stay on one link.
    Gate segment_lock(ClaimedMessage& m) const {
        if (m.segment &&
            !delivery::AcquireLongMessageLock(m.queue_dir, m.name, w_.settings.name, m.lock))
            return Gate::PassBy;
        return Gate::Open;
    }

    // The link's own adjustments of the loaded message.
    void adapt_to_link(store::SmsMessage& msg) const {
        if (w_.settings.block_receipt_request)
            msg.flags &= ~(store::kFlagReceiptRequested | store::kFlagNonDeliveryReceiptRequested);
        if (msg.validity.empty() && !w_.settings.validity.empty())
            msg.validity = w_.settings.validity;
    }

    std::unique_ptr<ClaimedMessage> claim(const std::string& dir, std::string_view name,
                                          std::string path, bool segment, unsigned resubmits) {
        platform::FileHandle fh = platform::claim_file(path);
        if (!fh) return nullptr;  // held by another worker, or gone
        auto m = std::make_unique<ClaimedMessage>();
        m->file = std::move(fh);
        m->path = std::move(path);
        m->name = std::string(name);
        m->queue_dir = dir;
        m->cache_key = delivery::route_cache_key(m->path);
        m->segment = segment;
        m->throttle_resubmits = resubmits;
        if (!load(*m)) return nullptr;
        return m;
    }

    // One queued file through the gates, then to the session.
    Took take_file(const std::string& dir, std::string_view name, bool chained,
                   unsigned resubmits) {
        if (cfg_.debug2) frame::debug_trace(kWorkerTrace, name);
        if (in_skip_queue(name)) return Took::PassedBy;

        std::string path;
        path.reserve(dir.size() + name.size());
        path.append(dir).append(name);
        if (already_chained(path, chained)) return Took::PassedBy;
        Routing rt;
        if (Gate g = route_cache_gate(path, rt); g != Gate::Open) return settle(g, nullptr, name);
        delivery::SegmentName seg;
        const bool segment = delivery::parse_segment_name(name, seg);
        if (Gate g = segment_order(dir, name, segment, chained); g != Gate::Open)
            return settle(g, nullptr, name);

        std::unique_ptr<ClaimedMessage> m = claim(dir, name, std::move(path), segment, resubmits);
        if (!m) return Took::PassedBy;
        Gate g = has_recipient(*m);
        if (g == Gate::Open) {
            adapt_to_link(m->msg);
            g = own_route(*m, rt);
        }
        if (g == Gate::Open) g = queue_full_hold(*m);
        if (g == Gate::Open) g = retry_due(*m);
        if (g == Gate::Open) g = local_delivery(*m, rt);
        if (g == Gate::Open) g = preferred_route(*m, rt);
        if (g == Gate::Open) g = routable(rt);
        if (g == Gate::Open) g = segment_lock(*m);
        if (g != Gate::Open) return settle(g, m.get(), name);

        if (frame::debug_on())
            frame::debug_tracef(kWorkerTrace, "Processing %s...", m->name.c_str());
        prepare(*m);
        if ((m->msg.flags & store::kFlagReceipt) && w_.settings.block_receipt) {
            // Receipts this link must not carry count as delivered.
            finish_message(w_, s_, *m, SubmitResult{});
            return Took::Sent;
        }
        if (segment && cfg_.recombine) return recombine(std::move(m), seg);
        return submit(std::move(m));
    }

    bool load(ClaimedMessage& m) {
        if (std::optional<platform::FileInfo> st = platform::stat_fd(m.file.fd())) {
            m.created = st->mtime;
            if (st->size > store::kMaxRequestFileBytes) {
                move_oversized(m, st->size);
                return false;
            }
        }
        if (!store::LoadSMSMessage(m.file.fd(), m.msg)) {
            frame::debug_tracef(kWorkerTrace, "Unable to load %s", m.path.c_str());
            return false;
        }
        return true;
    }

    // A file too large to be a request would never load: it goes to the
    // error queue whole (renamed, so nothing of it is lost) instead of
    // being passed by and traced on every pass.
    void move_oversized(ClaimedMessage& m, uint64_t size) {
        const std::string err = store::error_copy_path(m.path);
        const std::string text = platform::strprintf(
            "Error:  Request file of %llu bytes is larger than %zu bytes, moved to the error queue",
            static_cast<unsigned long long>(size), store::kMaxRequestFileBytes);
        if (!platform::move_file_noreplace(m.path, err)) {
            held_seen_.insert(m.path);
            if (w_.held_traced.insert(m.path).second)
                frame::debug_tracef(kWorkerTrace, "Error %d moving oversized %s to %s", errno,
                                    m.path.c_str(), err.c_str());
            return;
        }
        m.file.close();
        frame::debug_tracef(kWorkerTrace, "%s: %s", m.path.c_str(), text.c_str());
        records::write_outbound_log(store::message_id_of(m.name), "", "", text + " -- SYSTEM",
                                    records::LogContent{}, "", "", "", w_.settings.route_name);
        delivery::route_cache_remove_file(m.cache_key);
        detail::count_left_queue(m);
        records::add_counter(records::Counter::Failed);
    }

    // The message as this link submits it: addresses converted, the sender
    // chosen, the receipt bits as adjusted.
    void prepare(ClaimedMessage& m) {
        const LinkSettings& s = w_.settings;
        const store::SmsMessage& msg = m.msg;
        OutboundMessage& out = m.out;
        out.msg = &m.msg;
        out.message_id = store::message_id_of(m.name);
        out.recipient = msg.phone_number;
        delivery::prefix_convert(out.recipient, s.out_recip_prefix_convert);
        out.sender = choose_sender(s, msg.sender);
        delivery::prefix_convert(out.sender, s.out_sender_prefix_convert);
        out.udh = msg.udh;
        out.data = msg.data;
        out.binary = msg.binary;
        out.flags = int(msg.flags);
    }

    static std::string choose_sender(const LinkSettings& s, const std::string& own) {
        if (!own.empty()) {
            if (s.sender_address_override) return own;
            for (const std::string& a : s.sender_addresses)
                if (platform::iequals(a, own)) return own;
        }
        // Without a configured default the message keeps what it has.
        return s.sender_addresses.empty() ? own : s.sender_addresses.front();
    }

    Took submit(std::unique_ptr<ClaimedMessage> m) {
        if (WindowedSubmit* win = s_.windowed()) {
            if (!win->before_submit()) {
                // Connection lost or a throttle asked to end the pass: the
                // message stays queued for the next one.
                end_pass_now();
                return Took::PassedBy;
            }
            win->submit_async(std::move(m));
            return Took::Async;
        }
        SubmitResult r = s_.submit(m->out);
        if (r.code == 0) w_.last_activity_ms.store(platform::monotonic_ms());
        finish_message(w_, s_, *m, r);
        if (r.end_pass) end_pass_now();
        return r.code == 0 ? Took::Sent : Took::Failed;
    }

    void end_pass_now() {
        // Ends the walk; a connection that is still fine starts a new pass
        // after the end-of-pass checks.
        if (!s_.link_ok()) w_.connection_error = true;
        pass_cut_ = true;
    }

    // --- recombination of queued segments ----------------------------------------------

    Took recombine(std::unique_ptr<ClaimedMessage> first, const delivery::SegmentName& seg) {
        const char* tag = "RecombineSARMessages";
        std::vector<std::unique_ptr<ClaimedMessage>> parts(seg.total);
        const std::string dir = first->queue_dir;
        const std::string own_name = first->name;
        bool missing = false;
        std::string missing_name;
        for (uint32_t k = 1; k <= seg.total; ++k) {
            if (k == seg.sequence) continue;
            std::string name = delivery::sibling_segment_name(seg, k);
            auto p = std::make_unique<ClaimedMessage>();
            p->file = platform::claim_file(dir + name);
            if (!p->file) {
                // Another spelling of the extension, as the scan found it.
                if (std::optional<std::string> real = platform::find_name_nocase(dir, name)) {
                    name = *real;
                    p->file = platform::claim_file(dir + name);
                }
            }
            if (!p->file) {
                missing = true;
                missing_name = name;
                continue;
            }
            p->path = dir + name;
            p->name = name;
            p->queue_dir = dir;
            p->cache_key = delivery::route_cache_key(p->path);
            p->segment = true;
            if (!load(*p) || p->msg.binary != first->msg.binary) {
                missing = true;
                missing_name = name;
                continue;
            }
            parts[k - 1] = std::move(p);
        }
        if (missing) {
            if (platform::now() - first->created > detail::kRecombineWaitS) {
                frame::debug_tracef(tag, "Stopped waiting for %s", missing_name.c_str());
            } else {
                frame::debug_tracef(tag, "Waiting on incomplete message %s...", own_name.c_str());
                first->lock.finish(false);
                return Took::PassedBy;
            }
        }
        // Packed 7-bit binary segments cannot simply be joined: send as they are.
        if (first->msg.binary && (first->msg.dcs & 0x0C) == 0) return submit(std::move(first));

        std::string data;
        for (uint32_t k = 1; k <= seg.total; ++k) {
            const ClaimedMessage* p = k == seg.sequence ? first.get() : parts[k - 1].get();
            if (p) data += p->msg.data;
        }
        OutboundMessage out = first->out;
        out.udh = detail::strip_concat_elements(first->msg.udh);
        out.data = std::move(data);
        SubmitResult r = s_.submit(out);
        if (r.code == 0) w_.last_activity_ms.store(platform::monotonic_ms());
        if (r.end_pass) end_pass_now();
        for (std::unique_ptr<ClaimedMessage>& p : parts) {
            if (!p) continue;
            p->msg.flags = first->msg.flags;
            p->out = first->out;
            p->out.message_id = store::message_id_of(p->name);
            p->out.msg = &p->msg;
            finish_message(w_, s_, *p, r);
        }
        finish_message(w_, s_, *first, r);
        return r.code == 0 ? Took::Sent : Took::Failed;
    }

    WorkerState& w_;
    LinkSession& s_;
    PassConfig cfg_;
    delivery::LinkIdentity id_;
    uint64_t next_settings_check_ = 0;
    uint64_t hour_checked_ms_ = 0;
    unsigned hour_ = 0;
    bool pass_cut_ = false;
    std::unordered_set<std::string> chained_done_;  // segments taken out of listing order
    std::unordered_set<std::string> held_seen_;     // found held in this pass
};

}  // namespace

namespace detail {

std::string strip_concat_elements(std::string_view udh_hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    if (udh_hex.size() < 2 || udh_hex.size() % 2 != 0) return {};
    std::string octets;
    octets.reserve(udh_hex.size() / 2);
    for (size_t i = 0; i < udh_hex.size(); i += 2) {
        int hi = nibble(udh_hex[i]), lo = nibble(udh_hex[i + 1]);
        if (hi < 0 || lo < 0) return {};
        octets.push_back(char(hi * 16 + lo));
    }
    if (size_t(uint8_t(octets[0])) != octets.size() - 1) return {};
    std::string kept;
    for (size_t p = 1; p < octets.size();) {
        if (p + 2 > octets.size()) return {};
        uint8_t iei = uint8_t(octets[p]);
        size_t len = uint8_t(octets[p + 1]);
        if (p + 2 + len > octets.size()) return {};
        if (iei != 0x00 && iei != 0x08) {
            // Whole elements only: a cut element would be unreadable.
            if (kept.size() + 2 + len > kRecombinedUdhMax) break;
            kept.append(octets, p, 2 + len);
        }
        p += 2 + len;
    }
    if (kept.empty()) return {};
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve((kept.size() + 1) * 2);
    auto put = [&](uint8_t b) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    };
    put(uint8_t(kept.size()));
    for (char c : kept) put(uint8_t(c));
    return out;
}

}  // namespace detail

void serve_queue(WorkerState& w, LinkSession& session) {
    QueuePass pass(w, session);
    pass.serve();
}

}  // namespace links
