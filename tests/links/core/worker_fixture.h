// Shared fixture of the link worker tests: a private home with its own
// SMSGW.INI and queue, a fake wall clock, fresh logs, counters and route
// cache, and a scripted LinkSession that records what it was asked to send.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/delivery_state.h"
#include "delivery/long_message_locks.h"
#include "delivery/route_cache.h"
#include "delivery/routing.h"
#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/settings.h"
#include "links/core/deleter.h"
#include "links/core/link_config.h"
#include "links/core/link_worker.h"
#include "links/core/outcome.h"
#include "links/core/queue_pass.h"
#include "links/core/worker_internal.h"
#include "links/kinds.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "records/counters.h"
#include "records/message_log.h"
#include "store/retry.h"
#include "store/store_test_util.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace worker_test {

using store_test::g_now;
using store_test::slurp;
using store_test::spit;

// What the fake session was asked to submit.
struct Submitted {
    std::string message_id, recipient, sender, data, udh;
    int flags = 0;
};

class FakeSession : public links::LinkSession, public links::WindowedSubmit {
  public:
    explicit FakeSession(links::WorkerState& w, unsigned passes = 1) : w_(w), passes_(passes) {}

    // Results by data first, then by recipient; accepted otherwise.
    std::map<std::string, links::SubmitResult> by_data, by_recipient;
    std::vector<Submitted> submits;
    std::vector<bool> yields;
    unsigned enquiries = 0;
    bool enquire_ok = true;
    bool link_good = true;
    bool async = false;
    std::vector<std::unique_ptr<links::ClaimedMessage>> pending;  // async submits

    links::SubmitResult submit(const links::OutboundMessage& m) override {
        submits.push_back({m.message_id, m.recipient, m.sender, m.data, m.udh, m.flags});
        if (auto it = by_data.find(m.data); it != by_data.end()) return it->second;
        if (auto it = by_recipient.find(m.recipient); it != by_recipient.end()) return it->second;
        links::SubmitResult r;
        r.smsc_id = "ID" + std::to_string(submits.size());
        return r;
    }
    bool enquire_link() override {
        ++enquiries;
        return enquire_ok;
    }
    bool link_ok() override { return link_good; }
    // The end of each pass; after the last one the worker is told to stop.
    void yield(bool wait) override {
        yields.push_back(wait);
        if (yields.size() >= passes_) w_.restart = true;
    }
    store::ErrorClass classify(int64_t code) const override {
        return links::classify_smpp(code, links::ErrorCodeList{}, links::ErrorCodeList{});
    }
    bool queue_full(int64_t code) const override { return code == links::kSmppQueueFull; }
    bool enquire_after_failure() const override { return true; }
    links::WindowedSubmit* windowed() override { return async ? this : nullptr; }
    bool before_submit() override { return true; }
    std::vector<std::pair<std::string, unsigned>> take_resubmits() override { return {}; }
    void submit_async(std::unique_ptr<links::ClaimedMessage> m) override {
        submits.push_back({m->out.message_id, m->out.recipient, m->out.sender, m->out.data,
                           m->out.udh, m->out.flags});
        pending.push_back(std::move(m));
    }

  private:
    links::WorkerState& w_;
    unsigned passes_;
};

inline links::SubmitResult refused(int64_t code, std::string text) {
    links::SubmitResult r;
    r.code = code;
    r.error_text = std::move(text);
    return r;
}

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "smsgw-links-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        home_ = tmpl + "/";
        ::setenv("SMSGW_HOME", home_.c_str(), 1);
        support::reset_support_for_tests();
        support::SMSIniSetFilename(home_ + "SMSGW.INI");
        support::MMSCIniSetFilename(home_ + "MMSC.INI");
        support::ini_drop_cache_for_tests();
        frame::reset_debug_log_for_tests();
        frame::set_debug_rollover_wait_ms(0);
        frame::mutable_settings() = frame::GlobalSettings{};
        records::close_message_logs();
        records::close_stat_counters();
        g_now = store_test::local_time(2024, 3, 5, 12, 34, 56);  // a Tuesday
        platform::set_wall_clock(&store_test::fake_clock);
        delivery::route_cache_clear();
        delivery::release_routing_lists();
        delivery::reset_delivery_for_tests();
        links::register_link_kinds();
        links::reset_links_state_for_tests();
    }
    void TearDown() override {
        // A deleter thread reads the settings until it is counted out:
        // stop the pool before the settings are put back below.
        links::stop_deleters_for_tests();
        for (int i = 0; i < 200 && frame::running_thread_count() != 0; ++i) platform::sleep_ms(10);
        records::close_message_logs();
        records::close_stat_counters();
        delivery::route_cache_clear();
        delivery::release_routing_lists();
        delivery::reset_delivery_for_tests();
        links::set_local_delivery_hook(nullptr);
        frame::reset_debug_log_for_tests();
        frame::mutable_settings() = frame::GlobalSettings{};
        platform::set_wall_clock(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    // Writes SMSGW.INI and loads the global settings and routing tables.
    void configure(const std::string& ini, bool debug = true) {
        spit(home_ + "SMSGW.INI", ini);
        support::ini_drop_cache_for_tests();
        frame::load_global_settings();
        frame::mutable_settings().debug = debug;
        delivery::reload_routing_lists();
        q_ = frame::settings().q_dir;
    }

    // A request file in the queue (subdir "" = root), aged `age_s` seconds.
    std::string queue(const std::string& name, const std::string& body,
                      const std::string& subdir = "", time_t age_s = 0) {
        std::string path = q_ + (subdir.empty() ? "" : subdir + "/") + name;
        spit(path, "[SMS]\r\n" + body);
        platform::set_file_mtime(path, g_now - age_s);
        return path;
    }
    static std::string message(const std::string& recipient, const std::string& text,
                               const std::string& extra = "") {
        return "PhoneNumber=" + recipient + "\r\nData=" + text + "\r\n" + extra;
    }

    // A worker for Modem<index> as its outer loop would prepare it.
    std::unique_ptr<links::WorkerState> worker(unsigned index) {
        auto w = std::make_unique<links::WorkerState>();
        w->link_index = index;
        w->thread_number = 1;
        w->settings = links::load_link_settings(links::link_name_at(index), 2);
        return w;
    }

    std::string out_log() {
        records::close_message_logs();
        return slurp(home_ + "LOGS/SMSOUT-20240305.LOG");
    }
    std::string debug_log() {
        frame::close_debug_log();
        return slurp(home_ + "LOGS/SMSDEBUG.LOG");
    }
    bool exists(const std::string& path) { return platform::file_exists(path); }

    std::string home_;
    std::string q_;
};

}  // namespace worker_test
