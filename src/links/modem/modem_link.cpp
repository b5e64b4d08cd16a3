#include "links/modem/modem_link.h"

#include <map>
#include <mutex>

#include "frame/debug_trace.h"
#include "frame/event_log.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "inbound/inbound_store.h"
#include "links/core/link_config.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "protocols/common/fields.h"
#include "radio/charset/charset.h"
#include "support/ini_profile.h"

namespace links {

namespace pdu = radio::pdu;

namespace {

// Process-wide state of the modem kinds: when each link's modem began to
// fail, and the test timing.
struct ModemState {
    std::mutex mu;
    std::map<std::string, time_t> failing_since;
    unsigned second_ms = 1000;
    unsigned reboot_after_s = 600;
};
ModemState& state() {
    static ModemState s;
    return s;
}

void reset_modem_state() {
    ModemState& s = state();
    std::lock_guard<std::mutex> l(s.mu);
    s.failing_since.clear();
    s.second_ms = 1000;
    s.reboot_after_s = 600;
}

class ModemSession final : public LinkSession {
  public:
    ModemSession(WorkerState& w, radio::ModemChannel& ch) : w_(w), ch_(ch) {}

    SubmitResult submit(const OutboundMessage& m) override {
        w_.pacer.wait([this] { return link_ok(); }, [this] { return must_stop(w_); });
        SubmitResult r;
        radio::SendOutcome o;
        if (ch_.s.text_mode) {
            if (m.binary || !m.udh.empty()) {
                r.code = kModemRejected;
                r.error_text = "ERROR - binary messages not supported for this modem";
                r.not_encodable = true;
                return r;
            }
            o = radio::send_text(ch_, m.recipient, m.data);
        } else if (ch_.s.cdma_pdu_mode == 1) {
            pdu::CdmaParams c;
            c.recipient = m.recipient;
            c.sender = m.sender;
            c.dcs = m.msg ? m.msg->dcs : 0;
            c.udh = m.udh;
            c.data = m.data;
            c.text = !m.binary;
            o = radio::send_pdu(ch_, pdu::build_cdma(c));
        } else {
            if (m.binary && !valid_hex(m.data + m.udh)) return unencodable("ERROR - binary data is not hexadecimal");
            const pdu::BuiltPdu p = build_modem_pdu(m, ch_.s, w_.settings.validity);
            // More than one SMS holds would only be refused by the modem, again and again.
            if (p.user_data_octets > pdu::kMaxUserDataOctets)
                return unencodable("ERROR - message too long for one SMS");
            o = radio::send_pdu(ch_, p);
        }
        if (o.ok) {
            if (o.reference >= 1 && o.reference <= 255)
                r.smsc_id = pdu::modem_reference_key(uint8_t(o.reference), m.recipient);
            return r;
        }
        r.error_text = o.error_text;
        if (!o.written || !ch_.is_open() || o.response.empty()) {
            // Nothing came back: the modem is to be recovered; the message
            // stays queued for the next attempt.
            failed_ = true;
            r.code = -1;
            return r;
        }
        r.code = modem_refusal_code(o.response, w_.settings.modem_reject_codes);
        return r;
    }
    bool enquire_link() override {
        if (!radio::command_ok(ch_, "AT", 10)) failed_ = true;
        return !failed_;
    }
    bool link_ok() override { return !failed_ && ch_.is_open(); }
    void yield(bool wait) override {
        if (!link_ok()) return;
        const uint64_t now = platform::monotonic_ms();
        if (now - started_ >= uint64_t(ch_.s.app_check_interval_s) * ch_.second_ms) {
            // A modem can hang without the link noticing between sends.
            frame::debug_trace(kWorkerTrace, "Re-init to verify modem is still accessible");
            w_.restart = true;
            return;
        }
        if (ch_.s.receive_sms &&
            (ch_.new_message || now >= last_poll_ + uint64_t(ch_.s.receive_poll_s) * ch_.second_ms)) {
            ch_.new_message = false;
            radio::ModemReceiveMessages(ch_);
            last_poll_ = platform::monotonic_ms();
            if (!ch_.is_open()) failed_ = true;
        } else if (wait && ch_.s.receive_sms) {
            // Unsolicited deliveries arrive meanwhile.
            std::string idle = radio::ReceiveModemCommand(ch_, 1, "\x01");
            radio::send_pending_ack(ch_);
            if (!ch_.is_open()) failed_ = true;
        }
    }
    store::ErrorClass classify(int64_t code) const override { return classify_modem_code(code); }
    bool queue_full(int64_t) const override { return false; }
    bool enquire_after_failure() const override { return true; }
    WindowedSubmit* windowed() override { return nullptr; }

  private:
    static bool valid_hex(const std::string& s) {
        std::string octets;
        return protocols::common::from_hex(s, octets);
    }
    static SubmitResult unencodable(const char* text) {
        SubmitResult r;
        r.code = kModemRejected;
        r.error_text = text;
        r.not_encodable = true;
        return r;
    }
    WorkerState& w_;
    radio::ModemChannel& ch_;
    bool failed_ = false;
    uint64_t last_poll_ = 0;
    uint64_t started_ = platform::monotonic_ms();
};

// Soft reset, then (when allowed) hard reset of a modem that did not come up.
bool recover_modem(radio::ModemChannel& ch) {
    if (!ch.is_open()) return false;
    frame::debug_trace(kWorkerTrace, "Modem not responding, trying soft reset");
    if (radio::ModemTest(ch, false, false)) return true;
    if (!ch.s.hard_reset_after_error || !ch.is_open()) return false;
    frame::debug_trace(kWorkerTrace, "Modem not responding, trying hard reset");
    return radio::ModemHardReset(ch);
}

// The last steps after a failure that lasted long enough: USB re-enumeration
// and the reboot command.
void after_failure(WorkerState& w, const radio::ModemSettings& s) {
    ModemState& st = state();
    time_t since;
    unsigned reboot_after;
    {
        std::lock_guard<std::mutex> l(st.mu);
        auto [it, fresh] = st.failing_since.try_emplace(w.settings.name, platform::now());
        since = it->second;
        reboot_after = st.reboot_after_s;
    }
    if (s.reboot_on_error) {
        if (platform::now() - since < time_t(reboot_after)) return;
        if (s.reset_usb && radio::usb_modem(false, w.settings.name))
            support::ini_set(support::SMSIniGetFilename(), w.settings.section, "USBReEnable", "Yes");
        const std::string text = platform::strprintf("Server reboot initiated to recover modem %s",
                                                     w.settings.name.c_str());
        frame::debug_trace(kWorkerTrace, text);
        frame::report_event(frame::EventType::Error, text);
        if (radio::RestartLocalServer(s.reboot_command)) frame::request_shutdown();
        std::lock_guard<std::mutex> l(st.mu);
        st.failing_since.erase(w.settings.name);
    } else if (s.reset_usb) {
        radio::usb_modem(true, w.settings.name);
    }
}

void set_receipt_fields(inbound::InboundMessage& m, const pdu::Decoded& d,
                        std::string_view key) {
    m.sender = d.recipient;
    const bool delivered = pdu::status_class(d.status) == pdu::StatusClass::Delivered;
    m.flags = delivered ? 0x0C : 0x24;
    m.data = pdu::modem_receipt_text(d, key);
    m.receipt_message_id = std::string(key);
    m.options.push_back({"ResolveReceiptID", "Yes"});
}

}  // namespace

store::ErrorClass classify_modem_code(int64_t code) {
    return code == kModemRejected ? store::ErrorClass::Reject : store::ErrorClass::Retryable;
}

int64_t modem_refusal_code(std::string_view response, const std::vector<std::string>& reject) {
    return classify_modem(response, reject) == store::ErrorClass::Reject ? kModemRejected
                                                                          : kModemRefused;
}

pdu::BuiltPdu build_modem_pdu(const OutboundMessage& m, const radio::ModemSettings& s,
                              std::string_view link_validity) {
    pdu::SubmitParams p;
    p.recipient = m.recipient;
    p.smsc = s.smsc;
    p.omit_smsc = s.exclude_smsc;
    p.pid = m.msg ? m.msg->pid : 0;
    p.dcs = m.msg ? m.msg->dcs : 0;
    p.udh = m.udh;
    p.data = m.data;
    p.text = !m.binary;
    p.reply_path = (m.flags & store::kFlagReplyRequested) != 0;
    p.status_report = (m.flags & (store::kFlagReceiptRequested | 0x40)) != 0;
    p.validity = m.msg && !m.msg->validity.empty() ? m.msg->validity : std::string(link_validity);
    p.zero_mr = s.test_zero_mr;
    return pdu::build_submit(p);
}

bool store_modem_pdu(std::string_view link_name, const radio::ModemSettings& s,
                     std::string_view pdu_hex) {
    const char* tag = "ModemReceiveMessages";
    frame::debug_tracef(tag, "PDU = %.*s", int(pdu_hex.size()), pdu_hex.data());
    pdu::DecodeOptions o;
    o.alpha_sender_bug = s.alpha_sender_bug;
    o.disable_report_check = s.disable_report_check;
    const pdu::Decoded d = pdu::decode(pdu_hex, o);
    if (d.smsc_missing)
        frame::debug_trace(tag, "SMSC address missing/invalid in SMS-STATUS-REPORT PDU");
    inbound::InboundMessage m;
    m.link_name = std::string(link_name);
    m.recipient = s.phone_number;
    if (!d.smsc.empty()) m.options.push_back({"ReceivedSMSC", d.smsc});
    switch (d.kind) {
    case pdu::Kind::Deliver:
        frame::debug_tracef(tag, "PID = %02X", d.pid);
        frame::debug_tracef(tag, "DCS = %02X", d.dcs);
        frame::debug_tracef(tag, "Anticipated user data length = %u", d.udl);
        m.sender = d.sender;
        m.pid = d.pid;
        m.dcs = d.dcs;
        m.udh = d.udh;
        m.data = d.data;
        m.binary = d.binary;
        m.scts = pdu::local_time_text(d.scts);
        if (d.has_udh)
            frame::debug_tracef(tag, "Binary message = %s %s", d.udh.c_str(), d.data.c_str());
        else
            frame::debug_tracef(tag, d.binary ? "Binary Message = %s" : "Message = %s",
                                d.data.c_str());
        return inbound::receive_message(tag, m) == 0;
    case pdu::Kind::StatusReport: {
        frame::debug_trace(tag, "SMS Message Type = SMS-STATUS-REPORT");
        frame::debug_tracef(tag, "Receipient Address = %s", d.recipient.c_str());
        frame::debug_trace(tag, pdu::report_text(d, s.max_report_text));
        if (pdu::status_class(d.status) == pdu::StatusClass::Temporary) {
            frame::debug_trace(tag, "Delivery report indicates temporary delivery error.  "
                                    "Delivery report suppressed.");
            return false;
        }
        set_receipt_fields(m, d, pdu::modem_reference_key(d.mr, d.recipient));
        if (s.old_receipt_format) m.data = pdu::report_text(d, s.max_report_text);
        return inbound::receive_message(tag, m) == 0;
    }
    case pdu::Kind::Unknown:
        frame::debug_trace(tag, d.error);
        return false;
    case pdu::Kind::Truncated:
    case pdu::Kind::Invalid:
        break;
    }
    // A PDU that ends before its user data (or cannot be read) is kept as
    // the raw line in binary form, so nothing the modem handed over is lost.
    frame::debug_tracef(tag, "Incomplete or invalid PDU (%s)", d.error.c_str());
    m.sender = d.sender;
    m.dcs = 4;
    m.binary = true;
    m.data = platform::to_upper(pdu_hex.substr(0, 2 * pdu::kMaxPduOctets));
    return inbound::receive_message(tag, m) == 0;
}

bool store_modem_text(std::string_view link_name, const radio::ModemSettings& s,
                      std::string_view sender, std::string_view text) {
    inbound::InboundMessage m;
    m.link_name = std::string(link_name);
    m.recipient = s.phone_number;
    m.sender = std::string(sender);
    m.data = std::string(text);
    return inbound::receive_message("ModemReceiveMessages", m) == 0;
}

void run_modem_cycle(WorkerState& w) {
    radio::ModemChannel ch;
    ch.link_name = w.settings.name;
    ch.s = radio::load_modem_settings(w.settings.section);
    {
        std::lock_guard<std::mutex> l(state().mu);
        ch.second_ms = state().second_ms;
    }
    if (!may_connect(w)) return;
    const std::string link = w.settings.name;
    const radio::ModemSettings* settings = &ch.s;
    ch.on_pdu = [link, settings](std::string_view hex) { store_modem_pdu(link, *settings, hex); };
    ch.on_text = [link, settings](std::string_view from, std::string_view text) {
        store_modem_text(link, *settings, from, text);
    };
    frame::debug_tracef(kWorkerTrace, "Before ModemAllocate - %s", link.c_str());
    std::string failure = radio::initialise_modem(ch);
    if (!failure.empty() && recover_modem(ch)) failure = radio::initialise_modem(ch);
    if (!failure.empty()) {
        ch.close();
        connection_failure(w, failure);
        after_failure(w, ch.s);
        return;
    }
    {
        std::lock_guard<std::mutex> l(state().mu);
        state().failing_since.erase(link);
    }
    connection_up(w, "Modem");
    ModemSession session(w, ch);
    serve_queue(w, session);
    frame::debug_trace(kWorkerTrace, "Releasing modem for other activities");
    ch.close();
}

void set_modem_timing_for_tests(unsigned second_ms, unsigned reboot_after_s) {
    std::lock_guard<std::mutex> l(state().mu);
    state().second_ms = second_ms ? second_ms : 1000;
    state().reboot_after_s = reboot_after_s;
}

void register_modem_link_kinds() {
    LinkKindEntry e;
    e.kind = LinkKind::Modem;
    e.reload_tag = "CheckReloadModemSet";
    e.run_cycle = run_modem_cycle;
    e.reset_for_tests = reset_modem_state;
    register_link_kind(e);
    e.kind = LinkKind::IpModem;
    register_link_kind(e);
}

}  // namespace links
