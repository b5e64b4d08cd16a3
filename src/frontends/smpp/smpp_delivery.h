// Delivery of an account's user queue to its receiver or transceiver
// session: the walk of the queue's "*.REQ" files in name order, one
// deliver_sm per file (waiting for each answer, or up to a window of
// outstanding ones), retry bookkeeping in the file's [ErrorDetail]
// section, and the drain of outstanding deliveries when the session ends.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "frontends/smpp/smpp_submit.h"
#include "protocols/common/message.h"
#include "protocols/smpp/smpp.h"
#include "store/request_codec.h"

namespace frontends::smpp {

// The root of the account's user queue ("<UsersQDir>/<account>/Q/").
std::string user_queue_root(std::string_view account);

// The "*.REQ" files of the queue root and its subdirectories in delivery
// order: the root's files, then each subdirectory's, names ascending.
std::vector<std::string> user_queue_files(const std::string& root);

// What a deliver_sm carries for one queued record: text or data, UDH,
// flags (receipt bits and state of a receipt), the receipted id (cut to 8
// characters for an SMPP 3.3 client, in the receipt text too), the file id
// as reference, options ("SMPPOptions" items, ServiceType, SMSCRouteInfo,
// ModemName). A record with a sender and no recipient goes to "1".
protocols::common::SubmitRecord delivery_record(const store::SmsMessage& msg,
                                                std::string_view file_id, bool short_ids);

// How a client's answer to a delivery is handled.
enum class DeliveryOutcome { Done, Retry, RetryAndEnd };
DeliveryOutcome outcome_for_status(uint32_t status);

class DeliveryQueue {
  public:
    DeliveryQueue(protocols::smpp::ServerSession& session, const Submitter& who,
                  http::UserCacheEntry* entry, unsigned window);
    ~DeliveryQueue();
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    // One walk of the user queue; the number of deliveries it made.
    size_t pass();
    // Handles the deliveries the client has answered.
    void collect();
    // The session must end (lost link, unanswered delivery).
    bool session_lost() const { return lost_; }
    // Waits until every outstanding delivery has completed.
    void drain();
    size_t outstanding() const { return pending_.size(); }

  private:
    struct Pending;
    void finish(int fd, const std::string& path, uint32_t retry_count, uint32_t status);
    // False when the session ended; delivered counts what was sent.
    bool deliver_file(const std::string& path, size_t& delivered);
    // Waits until the account's delivery pace allows the next message.
    void pace();

    protocols::smpp::ServerSession& s_;
    Submitter who_;
    http::UserCacheEntry* entry_;
    unsigned window_;
    bool lost_ = false;
    uint64_t next_send_ms_ = 0;
    std::deque<std::unique_ptr<Pending>> pending_;
    std::set<std::string> pending_paths_;
};

}  // namespace frontends::smpp
