#include "radio/modem_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "frame/debug_trace.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/serial.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "support/ini_profile.h"

namespace radio {

namespace {

constexpr char kEsc = 0x1B;
constexpr char kCtrlZ = 0x1A;
constexpr unsigned char kIac = 255;

const unsigned kSpeeds[] = {115200, 57600, 38400, 19200, 9600, 2400};

std::vector<std::string> split_fields(std::string_view s) {
    std::vector<std::string> out;
    for (size_t pos = 0;;) {
        size_t c = s.find(',', pos);
        out.emplace_back(platform::trim(s.substr(pos, c - pos)));
        if (c == std::string_view::npos) return out;
        pos = c + 1;
    }
}

std::string join_fields(const std::vector<std::string>& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + v[i];
    return out;
}

std::vector<std::string> numbered(std::string_view section, const char* prefix) {
    std::vector<std::string> out;
    for (unsigned i = 1; i <= 999; ++i) {
        std::string v = frame::link_string(section, platform::strprintf("%s%u", prefix, i));
        if (v.empty()) break;
        out.push_back(std::move(v));
    }
    return out;
}

void pause(const ModemChannel& ch, unsigned ms) {
    platform::sleep_ms(unsigned(uint64_t(ms) * ch.second_ms / 1000));
}

bool contains(std::string_view s, std::string_view what) {
    return s.find(what) != std::string_view::npos;
}

bool ok_in(std::string_view s) {
    return contains(s, "OK\r") || contains(s, "OK\n");
}

// Telnet negotiation bytes are answered and taken out of the text. An
// incomplete sequence at the end stays until the rest arrives.
void telnet_filter(ModemChannel& ch, std::string& buf, size_t from) {
    static const char* const kTwoByte[] = {"End-Sup-Negotiation", "NoOp",        "Data-Mark",
                                           "Break",               "Suspend",     "Abort-Output",
                                           "Are-You-There",       "Erase-Character",
                                           "Erase-Line",          "Go-Ahead"};
    size_t i = from;
    while ((i = buf.find(char(kIac), i)) != std::string::npos) {
        if (i + 1 >= buf.size()) return;
        const unsigned char cmd = uint8_t(buf[i + 1]);
        if (cmd >= 251 && cmd <= 254) {
            if (i + 2 >= buf.size()) return;
            const unsigned char opt = uint8_t(buf[i + 2]);
            std::string answer;
            if (cmd == 253) {  // DO
                if (!ch.telnet_offered) {
                    ch.telnet_offered = true;
                    answer += "\xFF\xFD\x03\xFF\xFB\x03";
                    frame::debug_trace("Telnet", "Telnet OUT:  DO Supress Go Ahead");
                    frame::debug_trace("Telnet", "Telnet OUT:  WILL Supress Go Ahead");
                }
                answer += opt == 3 ? "\xFF\xFB" : "\xFF\xFC";
                answer += char(opt);
            } else if (cmd == 254) {  // DONT
                answer = std::string("\xFF\xFC") + char(opt);
            }
            if (!answer.empty()) platform::send_all(ch.fd, answer.data(), answer.size(), 2000);
            buf.erase(i, 3);
        } else if (cmd == 250) {  // SB ... SE
            size_t se = buf.find("\xFF\xF0", i + 2);
            if (se == std::string::npos) return;
            buf.erase(i, se + 2 - i);
        } else if (cmd >= 240 && cmd <= 249) {
            frame::debug_tracef("Telnet", "Telnet IN:  %s", kTwoByte[cmd - 240]);
            buf.erase(i, 2);
        } else if (cmd == kIac) {
            buf.erase(i, 1);
            ++i;
        } else {
            buf.erase(i, 2);
        }
    }
}

long device_read(ModemChannel& ch, char* buf, size_t len, unsigned timeout_ms) {
    return platform::serial_read(ch.fd, buf, len, timeout_ms);
}

// "+CMGS: 12" style numbers after a tag.
int number_after(std::string_view s, std::string_view tag) {
    size_t p = s.find(tag);
    if (p == std::string_view::npos) return -1;
    p += tag.size();
    while (p < s.size() && s[p] == ' ') ++p;
    int v = -1;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9' && v < 100000) {
        v = (v < 0 ? 0 : v * 10) + (s[p] - '0');
        ++p;
    }
    return v;
}

void run_commands(ModemChannel& ch, const std::vector<std::string>& cmds, const char* tag) {
    for (const std::string& c : cmds) {
        if (!SendModemCommand(ch, c + "\r")) {
            frame::debug_tracef(tag, "Error sending command: %s", c.c_str());
            continue;
        }
        if (!ok_in(ReceiveModemCommand(ch, 30)))
            frame::debug_tracef(tag, "Error waiting for response to command: %s", c.c_str());
    }
}

// Sends cmd and logs up to ten answers, one second each.
void log_answers(ModemChannel& ch, const char* tag) {
    for (int i = 0; i < 10; ++i) {
        std::string a = ReceiveModemCommand(ch, 1);
        if (a.empty()) break;
        frame::debug_tracef(tag, "IN: %s", a.c_str());
    }
}

bool TestModemSpeed(ModemChannel& ch, unsigned baud) {
    if (!platform::serial_configure(ch.fd, baud)) {
        frame::debug_tracef("OpenDevice", "BuildCommDCB failed error %lu", (unsigned long)errno);
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 0) {
            SendModemCommand(ch, "\r");
            SendModemCommand(ch, "\r");
        } else {
            SendModemCommand(ch, "+++ATH0\r");
            SendModemCommand(ch, std::string(1, kEsc));
            SendModemCommand(ch, "\r");
        }
        pause(ch, 1000);
        FlushInput(ch);
        if (command_ok(ch, "ATE0V1", 5)) {
            frame::debug_tracef("OpenDevice", "Initialised modem at %u bps", baud);
            return true;
        }
    }
    return false;
}

bool open_serial(ModemChannel& ch, const std::string& path, std::string& failure) {
    int err = 0;
    ch.fd = platform::serial_open(path, &err);
    if (ch.fd < 0) {
        failure = (err == EACCES || err == EBUSY)
                      ? platform::strprintf(
                            "Unable to open device %s, this device is already open by another "
                            "application",
                            path.c_str())
                      : platform::strprintf("Unable to open device %s, error %X", path.c_str(),
                                            unsigned(err));
        return false;
    }
    for (unsigned baud : kSpeeds)
        if (TestModemSpeed(ch, baud)) return true;
    failure = "Could not negotate modem speed";
    ch.close();
    return false;
}

bool open_ip_modem(ModemChannel& ch, const DeviceName& d, std::string& failure) {
    if (d.port == 0) {
        failure = platform::strprintf("Cannot parse port number for IP Modem - %s",
                                      d.host.c_str());
        return false;
    }
    ch.socket = platform::tcp_connect(d.host, uint16_t(d.port), 10 * ch.second_ms);
    if (!ch.socket) {
        failure = platform::strprintf("Cannot connect to IP Modem at %s:%u", d.host.c_str(),
                                      d.port);
        return false;
    }
    ch.fd = ch.socket.fd();
    ch.is_socket = true;
    platform::set_nonblocking(ch.fd, true);
    auto fail = [&](std::string text) {
        failure = std::move(text);
        ch.close();
        return false;
    };
    if (!ch.s.username.empty()) {
        if (!ReceiveModemCommandWaitForPrompt(ch, "Username+++User name+++User+++Login", 10))
            return fail("IP Modem connection failed, waiting for login/username prompt");
        SendModemCommand(ch, ch.s.username + "\r");
    }
    if (!ch.s.password.empty()) {
        if (!ReceiveModemCommandWaitForPrompt(ch, "Password+++pass", 10))
            return fail("IP Modem connection failed, waiting for password prompt");
        SendModemCommand(ch, ch.s.password + "\r");
    }
    for (const auto& [wait_for, send] : ch.s.ip_init) {
        if (!ReceiveModemCommandWaitForPrompt(ch, wait_for, 30))
            return fail("IP Modem connection failed, waiting for prompt:  " + wait_for);
        SendModemCommand(ch, send);
        pause(ch, 1000);
    }
    pause(ch, 3000);
    FlushInput(ch);
    for (int i = 0; i < 2; ++i) {
        SendModemCommand(ch, "\r");
        pause(ch, 1000);
    }
    SendModemCommand(ch, "ATE1\r");
    pause(ch, 100);
    if (ok_in(ReceiveModemCommand(ch, 30))) {
        frame::debug_trace("OpenDevice", "IP modem, got OK.  Trying another command");
    } else {
        SendModemCommand(ch, "AT+CFUN=1\r");
        ReceiveModemCommand(ch, 30);
    }
    if (!command_ok(ch, "AT", 30)) return fail("IP Modem connection failed, waiting for prompt:  OK");
    return true;
}

}  // namespace

// --- settings and names --------------------------------------------------------------------

ModemSettings load_modem_settings(std::string_view sec) {
    ModemSettings s;
    s.phone_number = frame::link_string(sec, "PhoneNumber");
    if (size_t c = s.phone_number.find(','); c != std::string::npos) s.phone_number.resize(c);
    s.pin = frame::link_string(sec, "PIN");
    s.smsc = frame::link_string(sec, "SMSC");
    s.exclude_smsc = frame::link_bool(sec, "ExcludeSMSC", false);
    s.text_mode = frame::link_bool(sec, "ModemTextMode", false);
    s.allow_phase2plus = frame::link_bool(sec, "AllowPhase2Plus", false);
    const std::string upper = platform::to_upper(std::string(sec));
    const bool multitech_cdma = contains(upper, "MULTITECH") && contains(upper, "CDMA");
    s.send_workaround = frame::link_bool(sec, "ModemSendWorkaround", multitech_cdma);
    s.send_response_simple = frame::link_bool(sec, "ModemSendResponseSimple", true);
    s.send_extra_cr = frame::link_bool(sec, "ModemSendExtraCR", false);
    s.delay_after_send_ms = frame::link_number(sec, "DelayAfterSend", 0);
    s.delay_after_error_ms = frame::link_number(sec, "DelayAfterError", 0);
    s.receive_direct = platform::to_upper(frame::link_string(sec, "ReceiveTo")) == "DIRECT";
    s.receive_sms = frame::link_bool(sec, "ReceiveSMS", false);
    s.receive_poll_s = frame::link_number(sec, "ReceivePoll", s.receive_direct ? 3 : 2);
    if (s.receive_poll_s == 0) s.receive_poll_s = 1;
    s.sms_access = platform::to_upper(frame::link_string(sec, "SMSAccess"));
    s.hard_reset_after_error = frame::ini_bool(
        "ModemHardResetAfterError", frame::link_bool(sec, "ModemHardResetAfterError", true));
    s.reboot_on_error = frame::link_bool(sec, "RebootOnModemError", false);
    s.reset_after_unreg = frame::link_bool(sec, "ResetAfterUnreg", false);
    s.reset_usb = frame::link_bool(sec, "ResetUSBDevices", s.reboot_on_error);
    s.cdma_pdu_mode = frame::link_number(sec, "CDMAPDUMode", 0);
    s.full_test = frame::link_bool(sec, "FullModemTest", false);
    s.poll_sr = frame::link_bool(sec, "PollMemorySR", false);
    s.alpha_sender_bug = frame::link_bool(sec, "AlphaSenderAddressBug", false);
    s.process_read = frame::link_bool(sec, "ProcessReadMessages", true);
    s.username = frame::link_string(sec, "Username");
    s.password = frame::link_string(sec, "Password");
    for (unsigned i = 1; i <= 999; ++i) {
        std::string w = frame::link_string(sec, platform::strprintf("IPModemInitWaitFor%u", i));
        if (w.empty()) break;
        s.ip_init.emplace_back(w,
                               frame::link_string(sec, platform::strprintf("IPModemInitSend%u", i)));
    }
    s.pre_init = numbered(sec, "CommandPreInit");
    s.post_init = numbered(sec, "CommandPostInit");
    s.pre_send = numbered(sec, "CommandPreSend");
    s.post_send = numbered(sec, "CommandPostSend");
    s.pre_poll = numbered(sec, "CommandPrePoll");
    s.post_poll = numbered(sec, "CommandPostPoll");
    s.device_path = frame::link_string(sec, "DevicePath");
    s.send_delay_ms = frame::ini_number("ModemSendDelay", 0);
    s.max_bytes_per_send = std::max<uint32_t>(1, frame::ini_number("ModemMaxBytesPerSend", 1));
    s.test_zero_mr = frame::ini_bool("TestZeroMR", false);
    s.disable_report_check = frame::ini_bool("DisableInvalidStatusReportCheck", false);
    s.reboot_command = frame::ini_string("RebootCommand", "/sbin/shutdown -r +1");
    s.app_check_interval_s = frame::ini_number("ModemAppCheckInterval", 600);
    s.old_receipt_format = frame::ini_bool("OldModemReceiptFormat", false);
    if (s.app_check_interval_s == 0) s.app_check_interval_s = 600;
    s.max_report_text = std::max<uint32_t>(2, frame::ini_number("MaxSMSSegmentLengthText", 160));
    return s;
}

DeviceName resolve_device_name(std::string_view name, std::string_view device_path) {
    DeviceName d;
    const std::string upper = platform::to_upper(std::string(name));
    if (upper.rfind("IPMODEM - ", 0) == 0) {
        d.kind = DeviceKind::IpModem;
        std::string rest(name.substr(10));
        size_t colon = rest.rfind(':');
        d.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            const std::string port = rest.substr(colon + 1);
            if (!port.empty() && port.size() <= 5 &&
                std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
                d.port = unsigned(std::stoul(port));
            if (d.port > 65535) d.port = 0;
        }
        return d;
    }
    if (name.rfind("/dev/", 0) == 0) {
        d.kind = DeviceKind::Serial;
        d.path = std::string(name);
        return d;
    }
    // COM<digits>: (the colon required; without it the name is looked up).
    if (upper.size() > 4 && upper.rfind("COM", 0) == 0 && upper.back() == ':' &&
        std::all_of(upper.begin() + 3, upper.end() - 1, [](char c) { return c >= '0' && c <= '9'; })) {
        d.kind = DeviceKind::Serial;
        const unsigned n = unsigned(std::stoul(upper.substr(3, upper.size() - 4)));
        d.path = !device_path.empty() ? std::string(device_path)
                                      : platform::strprintf("/dev/ttyS%u", n > 0 ? n - 1 : 0);
        return d;
    }
    d.kind = DeviceKind::ById;
    d.path = std::string(name);
    return d;
}

// --- the channel ---------------------------------------------------------------------------

ModemChannel::~ModemChannel() {
    close();
}

void ModemChannel::close() {
    if (is_socket) {
        socket.close();
    } else if (fd >= 0) {
        platform::serial_close(fd);
    }
    fd = -1;
    is_socket = false;
    telnet_offered = false;
    ack_pending = false;
    new_message = false;
}

bool OpenDevice(ModemChannel& ch, std::string& failure) {
    ch.close();
    const DeviceName d = resolve_device_name(ch.link_name, ch.s.device_path);
    bool ok = false;
    switch (d.kind) {
    case DeviceKind::IpModem:
        ok = open_ip_modem(ch, d, failure);
        break;
    case DeviceKind::Serial:
    case DeviceKind::ById: {
        const std::string path =
            d.kind == DeviceKind::Serial ? d.path : platform::find_serial_by_id(d.path);
        if (path.empty()) {
            failure = platform::strprintf("Unable to initialize modem:  Error %X from lineOpen",
                                          unsigned(ENODEV));
            break;
        }
        ok = open_serial(ch, path, failure);
        if (!ok && failure == "Could not negotate modem speed") {
            // The port opens but the modem is mute: try every speed and a
            // hard reset on it, then open it once more.
            pause(ch, 2000);
            if (HammerNonResponsiveModem(ch, path)) ok = open_serial(ch, path, failure);
        }
        break;
    }
    }
    if (!ok) frame::debug_trace("OpenDevice", failure);
    return ok;
}

bool SendModemCommand(ModemChannel& ch, std::string_view text) {
    const char* tag = ch.is_socket ? "SendModemCommandIPModem" : "SendModemCommand";
    if (ch.fd < 0) return false;
    if (ch.s.send_delay_ms) platform::sleep_ms(ch.s.send_delay_ms);
    if (ch.is_socket) {
        long n = platform::send_all(ch.fd, text.data(), text.size(), 11000);
        if (n != long(text.size())) {
            frame::debug_tracef(tag, "Wrote %ld bytes, expected %zu bytes", n, text.size());
            return false;
        }
        return true;
    }
    const size_t chunk = std::max<size_t>(ch.s.max_bytes_per_send, 64);
    size_t done = 0;
    while (done < text.size()) {
        const size_t n = std::min(chunk, text.size() - done);
        long w = platform::serial_write(ch.fd, text.data() + done, n, 11000);
        if (w < 0) {
            frame::debug_tracef(tag, "WriteFile failed, error %u (%X)", unsigned(errno),
                                unsigned(errno));
            return false;
        }
        if (size_t(w) != n) {
            frame::debug_tracef(tag, "Wrote %zu bytes, expected %zu bytes", done + size_t(w),
                                text.size());
            frame::debug_trace(tag, std::string(text));
            return false;
        }
        done += n;
    }
    return true;
}

bool FilterCMTandCDS(ModemChannel& ch, std::string& buf) {
    for (;;) {
        const size_t p1 = buf.find("+CMT:"), p2 = buf.find("+CDS:");
        const size_t p = std::min(p1, p2);
        if (p == std::string::npos) return true;
        frame::debug_trace("ReceiveModemCommand", "Processing +CMT: Message");
        const size_t e1 = buf.find_first_of("\r\n", p);
        size_t s2 = e1 == std::string::npos ? buf.size() : buf.find_first_not_of("\r\n", e1);
        if (s2 == std::string::npos) s2 = buf.size();
        const size_t e2 = s2 < buf.size() ? buf.find_first_of("\r\n", s2) : std::string::npos;
        if (e2 == std::string::npos) {
            frame::debug_trace("FilterCMT", "Incomplete +CMT: or +CDS: Message");
            return false;
        }
        const std::string header = buf.substr(p, e1 - p);
        const std::string line = buf.substr(s2, e2 - s2);
        const bool cmt = p == p1;
        const size_t commas = size_t(std::count(header.begin(), header.end(), ','));
        auto acknowledge = [&] {
            if (!ch.phase2) return;
            ch.ack_pending = true;
        };
        if (commas < 3) {
            if (!line.empty() && platform::hex_digit_value(line[0]) >= 0) {
                acknowledge();
                if (ch.on_pdu) ch.on_pdu(line);
            }
        } else if (cmt) {
            std::string sender = header.substr(5);
            sender = sender.substr(0, sender.find(','));
            sender.erase(std::remove(sender.begin(), sender.end(), '"'), sender.end());
            sender.erase(0, sender.find_first_not_of(' '));
            if (sender.size() > 49) sender.resize(49);
            acknowledge();
            if (ch.on_text) ch.on_text(sender, line.substr(0, 499));
        } else {
            acknowledge();
        }
        size_t end = buf.find_first_not_of("\r\n", e2);
        buf.erase(p, (end == std::string::npos ? buf.size() : end) - p);
    }
}

// The acknowledgement a delivery asked for, once no command is pending.
void send_pending_ack(ModemChannel& ch) {
    if (!ch.ack_pending) return;
    ch.ack_pending = false;
    frame::debug_trace("FilterCMTandCDS", "OUT: AT+CNMA");
    SendModemCommand(ch, "AT+CNMA\r");
}

namespace {

bool response_complete(std::string_view buf, std::string_view pattern, bool prompt) {
    for (size_t e = buf.find("ERROR"); e != std::string_view::npos; e = buf.find("ERROR", e + 1))
        if (buf.find_first_of("\r\n", e) != std::string_view::npos) return true;
    if (prompt && contains(buf, ">")) return true;
    size_t from = 0;
    if (!pattern.empty()) {
        from = buf.find(pattern);
        if (from == std::string_view::npos) return false;
    }
    return ok_in(buf.substr(from));
}

}  // namespace

std::string ReceiveModemCommand(ModemChannel& ch, unsigned timeout_s, std::string_view pattern,
                                bool prompt) {
    std::string buf;
    if (ch.fd < 0) return buf;
    uint64_t deadline = platform::monotonic_ms() + uint64_t(timeout_s) * ch.second_ms;
    bool extended = false;
    const bool debug2 = frame::ini_bool("Debug2", false);
    char tmp[1024];
    for (;;) {
        const uint64_t now = platform::monotonic_ms();
        if (frame::shutdown_requested() || now >= deadline) {
            if (debug2)
                frame::debug_tracef("ReceiveModemCommand", "Timeout Returning %zu bytes:  %s",
                                    buf.size(), buf.c_str());
            break;
        }
        const unsigned slice = unsigned(std::min<uint64_t>(deadline - now, 50));
        long n = device_read(ch, tmp, sizeof tmp, slice);
        if (n < 0) {
            // The far end closed the connection: nothing more will come.
            ch.close();
            break;
        }
        if (n == 0) continue;
        const size_t before = buf.size();
        for (long i = 0; i < n; ++i) buf += tmp[i] == '\0' ? ' ' : tmp[i];
        if (ch.is_socket) telnet_filter(ch, buf, before);
        if (buf.size() > 65536) buf.erase(0, buf.size() - 65536);  // a device that never stops
        if (!ch.new_message && (contains(buf, "+CMTI:") || contains(buf, "+CDSI:"))) {
            ch.new_message = true;
            frame::debug_trace("ReceiveModemCommand", "Received New Message Notification");
        }
        if (!FilterCMTandCDS(ch, buf) && !extended &&
            deadline - platform::monotonic_ms() < uint64_t(5) * ch.second_ms) {
            extended = true;
            deadline = platform::monotonic_ms() + uint64_t(5) * ch.second_ms;
            frame::debug_trace("ReceiveModemCommand", "Adjusting timeout to wait for +CMT to complete");
        }
        if (ch.s.send_extra_cr) {
            frame::debug_trace("ReceiveModemCommand", "Sending extra CR");
            SendModemCommand(ch, "\r");
        }
        if (response_complete(buf, pattern, prompt)) {
            if (debug2)
                frame::debug_tracef("ReceiveModemCommand", "Returning %zu bytes:  %s", buf.size(),
                                    buf.c_str());
            break;
        }
    }
    return buf;
}

bool ReceiveModemCommandWaitForPrompt(ModemChannel& ch, std::string_view prompts,
                                      unsigned timeout_s) {
    std::vector<std::string_view> alternatives;
    for (size_t pos = 0;;) {
        size_t next = prompts.find("+++", pos);
        alternatives.push_back(prompts.substr(pos, next - pos));
        if (next == std::string_view::npos) break;
        pos = next + 3;
    }
    std::string buf;
    const uint64_t deadline = platform::monotonic_ms() + uint64_t(timeout_s) * ch.second_ms;
    char tmp[512];
    while (ch.fd >= 0 && !frame::shutdown_requested() && platform::monotonic_ms() < deadline) {
        long n = device_read(ch, tmp, sizeof tmp, 50);
        if (n < 0) {
            ch.close();
            return false;
        }
        if (n == 0) continue;
        const size_t before = buf.size();
        buf.append(tmp, size_t(n));
        if (ch.is_socket) telnet_filter(ch, buf, before);
        FilterCMTandCDS(ch, buf);
        for (std::string_view a : alternatives)
            if (!a.empty() && contains(buf, a)) return true;
        if (buf.size() > 65536) buf.erase(0, buf.size() - 4096);
    }
    return false;
}

size_t FlushInput(ModemChannel& ch) {
    if (ch.fd < 0) return 0;
    size_t total = 0;
    char tmp[512];
    for (int i = 0; i < 64; ++i) {
        long n = device_read(ch, tmp, sizeof tmp, 0);
        if (n <= 0) break;
        total += size_t(n);
    }
    return total;
}

bool command_ok(ModemChannel& ch, std::string_view cmd, unsigned timeout_s, std::string* answer) {
    if (!SendModemCommand(ch, std::string(cmd) + "\r")) return false;
    std::string a = ReceiveModemCommand(ch, timeout_s);
    send_pending_ack(ch);
    const bool ok = ok_in(a) && !contains(a, "ERROR");
    if (answer) *answer = std::move(a);
    return ok;
}

// --- power, tests and resets ---------------------------------------------------------------

bool ModemWaitForPowerUp(ModemChannel& ch) {
    bool ready = false;
    for (int i = 0; i < 18 && !ready; ++i) {
        std::string a;
        command_ok(ch, "AT+COPS?", 10, &a);
        size_t p = a.find("+COPS:");
        ready = p != std::string::npos && a.find(',', p) != std::string::npos &&
                a.find(',', p) < a.find_first_of("\r\n", p);
        if (!ready) pause(ch, 5000);
        if (ch.fd < 0) break;
    }
    if (!ready) {
        frame::debug_trace("ModemWaitForPowerUp", "Modem not ready");
        return false;
    }
    for (int i = 0; i < 10; ++i) {
        std::string a;
        command_ok(ch, "AT+CPMS?", 10, &a);
        if (!a.empty() && !contains(a, "+CMS ERROR")) {
            frame::debug_trace("ModemWaitForPowerUp", "Modem Ready");
            return true;
        }
        pause(ch, 2000);
    }
    frame::debug_trace("ModemWaitForPowerUp", "Modem not ready");
    return false;
}

bool ModemPowerUp(ModemChannel& ch, bool* powered) {
    if (powered) *powered = false;
    std::string a;
    if (!command_ok(ch, "AT+CFUN?", 10, &a)) return false;
    const int v = number_after(a, "+CFUN:");
    if (v < 0 || v == 1) return true;
    if (!command_ok(ch, "AT+CFUN=1", 10)) return false;
    frame::debug_trace("ModemPowerUp", "Powering Up Modem");
    if (powered) *powered = true;
    return ModemWaitForPowerUp(ch);
}

bool ModemTest(ModemChannel& ch, bool full, bool require_registration) {
    bool ok = command_ok(ch, "ATE0V1", 10);
    if (!ok && ch.fd >= 0) {
        SendModemCommand(ch, std::string(1, kEsc));
        pause(ch, 100);
        SendModemCommand(ch, "\r");
        SendModemCommand(ch, "AT\r");
        log_answers(ch, "ModemTest");
        ok = command_ok(ch, "ATE0V1", 10);
    }
    if (!ok && ch.fd >= 0 && !ch.is_socket) {
        // Drop the control lines for a while: many modems reset on DTR.
        platform::serial_set_lines(ch.fd, false, false);
        pause(ch, 5000);
        platform::serial_set_lines(ch.fd, true, true);
        pause(ch, 5000);
        ok = command_ok(ch, "ATE0V1", 10);
    }
    if (ok && full) {
        std::string a;
        command_ok(ch, "AT+CREG?", 10, &a);
        size_t p = a.find("+CREG:");
        if (p != std::string::npos) {
            size_t c = a.find(',', p);
            if (c != std::string::npos && c + 1 < a.size() && a[c + 1] == '0') {
                frame::debug_trace("ModemTest", "Modem not registered on network");
                if (require_registration) ok = false;
            }
        }
        std::string b, c;
        command_ok(ch, "AT+CPMS=?", 10, &b);
        command_ok(ch, "AT+CPMS?", 10, &c);
        if (!contains(b, "+CPMS:") || !contains(c, "+CPMS:")) ok = false;
        if (ok) {
            std::string f;
            command_ok(ch, "AT+CFUN?", 10, &f);
            const int v = number_after(f, "+CFUN:");
            if (v >= 0 && v != 1 && command_ok(ch, "AT+CFUN=1", 10)) {
                frame::debug_trace("ModemTest", "Powering Up Modem");
                ModemWaitForPowerUp(ch);
            }
        }
    }
    frame::debug_trace("ModemTest", ok ? "OK" : "Failed");
    return ok;
}

bool ModemHardReset(ModemChannel& ch) {
    const char* tag = "ModemHardReset";
    std::string a;
    bool ok = false;
    if (command_ok(ch, "AT+CFUN=?", 10, &a) && contains(a, "),")) {
        frame::debug_trace(tag, "Hard reset technique #1");
        ok = command_ok(ch, "AT+CFUN=1,1", 10);
    }
    if (!ok && command_ok(ch, "AT*E2RESET=?", 10)) {
        frame::debug_trace(tag, "Hard reset technique #2");
        ok = command_ok(ch, "AT*E2RESET", 10);
    }
    if (!ok && command_ok(ch, "AT!RESET", 10)) {
        frame::debug_trace(tag, "Hard reset technique #3");
        ok = true;
    }
    if (!ok && command_ok(ch, "AT+CFUN=1,1", 10)) {
        frame::debug_trace(tag, "Hard reset technique #4");
        ok = true;
    }
    if (ok) {
        frame::debug_trace(tag, "Hard reset ok");
        return true;
    }
    frame::debug_trace(tag, "Fall back to soft reset");
    if (command_ok(ch, "AT+CFUN=1", 10)) {
        frame::debug_trace(tag, "Soft reset ok");
        return true;
    }
    return false;
}

bool HammerNonResponsiveModem(ModemChannel& ch, const std::string& path) {
    const char* tag = "HammerNonResponsiveModem";
    frame::debug_trace(tag, "Begin");
    static const unsigned kHammerSpeeds[] = {460800, 230400, 115200, 115200,
                                             57600,  38400,  19200,  9600};
    bool reset_tried = false;
    for (int round = 0; round < 2; ++round) {
        ch.close();
        int err = 0;
        ch.fd = platform::serial_open(path, &err);
        if (ch.fd < 0) {
            frame::debug_tracef(tag, "Unable to access modem at %s -- Error %X -- %s%s", path.c_str(),
                                unsigned(err), std::strerror(err),
                                (err == EACCES || err == EBUSY)
                                    ? " Another application is already using this device."
                                    : "");
            return false;
        }
        for (unsigned baud : kHammerSpeeds) {
            if (TestModemSpeed(ch, baud)) {
                frame::debug_tracef(tag, "Modem answered at %u bps", baud);
                ch.close();
                return true;
            }
            if (ch.fd < 0) break;
        }
        if (reset_tried || !ch.s.hard_reset_after_error) break;
        reset_tried = true;
        if (!ModemHardReset(ch)) break;
        ch.close();
        pause(ch, 15000);
    }
    ch.close();
    frame::debug_trace(tag, "Modem did not answer at any speed");
    return false;
}

// --- initialisation --------------------------------------------------------------------------

std::string initialise_modem(ModemChannel& ch) {
    const char* tag = "InitModem";
    const std::string section = frame::link_section_name(ch.link_name);
    if (frame::parse_bool(frame::link_string(section, "USBReEnable"))) {
        frame::debug_tracef(tag, "Re-enabling modem:  %s ...", ch.link_name.c_str());
        support::ini_delete_key(support::SMSIniGetFilename(), section, "USBReEnable");
        for (int i = 0; i < 2; ++i) {
            if (!usb_modem(true, ch.link_name)) break;
            pause(ch, 15000);
        }
    }
    frame::debug_tracef(tag, "Re-initializing modem:  %s ...", ch.link_name.c_str());
    std::string failure;
    if (!OpenDevice(ch, failure))
        return "Modem Failure -- Unable to access modem, ensure that it is powered on and passes "
               "diagnostic tests.";
    bool powered = false;
    ModemPowerUp(ch, &powered);
    if (!ch.s.pin.empty()) {
        std::string a;
        command_ok(ch, "AT+CPIN?", 5, &a);
        if (!contains(a, "READY")) {
            command_ok(ch, platform::strprintf("AT+CPIN=\"%s\"", ch.s.pin.c_str()), 30);
            command_ok(ch, "AT+CPIN?", 25);
        }
    }
    run_commands(ch, ch.s.pre_init, tag);
    if (!command_ok(ch, "ATE0V1", 30) || !command_ok(ch, "ATE0V1", 30))
        return "Modem Failure -- Unable to access modem, ensure that it is powered on and passes "
               "diagnostic tests.";
    for (int i = 0; i <= 5; ++i) {
        std::string a;
        command_ok(ch, platform::strprintf("ATI%d", i), 30, &a);
        frame::debug_tracef(tag, "ATI%d: %s", i, a.c_str());
        if (i == 0 && contains(platform::to_upper(a), "WAVECOM")) ch.wavecom = true;
        if (contains(a, "Nokia")) ch.nokia = true;
        if (i == 4 && contains(a, "DE910")) {
            frame::debug_trace(tag, "Telit DE910 Detected");
            ch.s.cdma_pdu_mode = 1;
        }
    }
    // SMS service (retried while a radio just powered up settles).
    bool service = false;
    for (int attempt = 0; attempt < (powered ? 8 : 1) && !service; ++attempt) {
        if (attempt) pause(ch, 5000);
        if (ch.s.allow_phase2plus && command_ok(ch, "AT+CSMS=1", 30)) {
            ch.phase2 = true;
            service = true;
        } else if (command_ok(ch, "AT+CSMS=0", 30) || command_ok(ch, "AT+CSMS=128", 30)) {
            service = true;
        } else {
            std::string a;
            if (command_ok(ch, "AT+CSMS?", 30, &a) && contains(a, "+CSMS:")) {
                service = true;
                if (ch.s.allow_phase2plus && contains(a, "+CSMS: 1,")) ch.phase2 = true;
            }
        }
        if (ch.fd < 0) break;
    }
    if (ch.fd < 0) return "Modem Failure -- Error waiting for SMS initialization response from modem";
    if (!service) return "Modem Failure -- Modem does not support SMS";
    if (!ch.s.text_mode) {
        if (!command_ok(ch, "AT+CMGF=0", 30))
            return "Modem Failure -- Error waiting for SMS PDU mode initialization response from "
                   "modem";
    } else {
        if (!command_ok(ch, "AT+CMGF=1", 30))
            return "Modem Failure -- Unable to send SMS text mode initialization command to modem";
        SendModemCommand(ch, "AT+CMGS=\"123456789\"\r");
        std::string a = ReceiveModemCommand(ch, 5, {}, true);
        SendModemCommand(ch, std::string(1, kEsc) + "\r");
        command_ok(ch, "AT", 5);
        if (!contains(a, ">"))
            return "Modem Failure -- Modem does not properly support command for sending SMS "
                   "(AT+CMGS - text mode)";
    }
    if (!ModemTest(ch, ch.s.full_test, ch.s.reset_after_unreg))
        return "Modem Failure -- Unable to access modem, ensure that it is powered on and passes "
               "diagnostic tests.";
    if (ch.s.receive_sms) {
        std::string a;
        command_ok(ch, "AT+CPMS?", 10, &a);
        frame::debug_tracef(tag, "AT+CPMS?: %s", a.c_str());
        if (ch.s.receive_direct) {
            for (const char* c : {"AT+CNMI=2,2,2,1,0", "AT+CNMI=2,2", "AT+CNMI=2"})
                if (command_ok(ch, c, 5)) break;
        } else {
            command_ok(ch, "AT+CNMI=2,0", 5);
        }
        std::string q;
        if (command_ok(ch, "AT+CNMI?", 5, &q)) {
            size_t p = q.find("+CNMI:");
            if (p != std::string::npos) {
                std::vector<std::string> v =
                    split_fields(q.substr(p + 6, q.find_first_of("\r\n", p) - p - 6));
                bool changed = false;
                if (v.size() > 1 && v[1] != "1" && v[1] != "2") v[1] = "1", changed = true;
                if (v.size() > 3 && v[3] != "1") v[3] = "1", changed = true;
                if (changed) {
                    std::string cmd = "AT+CNMI=" + join_fields(v);
                    if (!command_ok(ch, cmd, 5) && v.size() > 3) {
                        v[3] = "2";
                        command_ok(ch, "AT+CNMI=" + join_fields(v), 5);
                    }
                }
            }
        }
        std::string list;
        command_ok(ch, "AT+CPMS=?", 10, &list);
        const char* mem = contains(list, "\"SM\"") || !contains(list, "\"ME\"") ? "SM" : "ME";
        if (!command_ok(ch, platform::strprintf("AT+CPMS=\"%s\",\"%s\",\"%s\"", mem, mem, mem), 10) &&
            !command_ok(ch, platform::strprintf("AT+CPMS=\"%s\",\"%s\"", mem, mem), 10))
            command_ok(ch, platform::strprintf("AT+CPMS=\"%s\"", mem), 10);
    }
    if (ch.s.sms_access == "GPRS") {
        command_ok(ch, "AT+CGATT=1", 10);
        command_ok(ch, "AT+CGSMS=2", 10);
    } else if (ch.s.sms_access == "GSM") {
        command_ok(ch, "AT+CGSMS=3", 10);
    }
    command_ok(ch, "AT+CMEE=1", 10);
    for (const char* c : {"AT+CNMI=?", "AT+COPS?", "AT+CSQ", "AT+CNUM"}) {
        std::string a;
        command_ok(ch, c, 10, &a);
        frame::debug_tracef(tag, "%s: %s", c, a.c_str());
    }
    run_commands(ch, ch.s.post_init, tag);
    if (ch.fd < 0) return "Modem Failure -- Unable to access modem, ensure that it is powered on and passes diagnostic tests.";
    frame::debug_tracef(tag, "Modem initialization complete:  %s", ch.link_name.c_str());
    return {};
}

// --- sending ---------------------------------------------------------------------------------

int cmgs_reference(std::string_view response) {
    return number_after(response, "+CMGS:");
}

namespace {

// AT+CMGS (command), the prompt, the body and Ctrl-Z, the final result.
SendOutcome send_after_prompt(ModemChannel& ch, const std::string& command,
                              const std::string& body) {
    const char* tag = "SendSMSMessage";
    SendOutcome o;
    run_commands(ch, ch.s.pre_send, tag);
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (!SendModemCommand(ch, command)) {
            o.error_text = "ERROR - Error communication with modem (1)";
            break;
        }
        o.written = true;
        // A delivery arriving now is acknowledged once the prompt is answered.
        const bool phase2 = ch.phase2;
        std::string prompt =
            ReceiveModemCommand(ch, ch.s.send_workaround ? 2 : 15, {}, true);
        if (phase2 && ch.ack_pending) {
            ch.ack_pending = false;
            SendModemCommand(ch, std::string(1, kEsc));
            pause(ch, 100);
            SendModemCommand(ch, "\r");
            SendModemCommand(ch, "AT+CNMA\r");
            log_answers(ch, tag);
            continue;
        }
        if (!contains(prompt, ">") && !ch.s.send_workaround) {
            o.response = prompt;
            o.error_text = prompt.empty() ? "ERROR - Error waiting for response from modem (1)"
                                          : "ERROR - Modem Response (1):  " + prompt;
            // Leave the half-open command behind.
            SendModemCommand(ch, std::string(1, kEsc));
            break;
        }
        if (!SendModemCommand(ch, body + std::string(1, kCtrlZ))) {
            o.error_text = "ERROR - Error communication with modem (2)";
            break;
        }
        if (ch.nokia || ch.s.send_extra_cr) {
            pause(ch, 100);
            SendModemCommand(ch, "\r");
        }
        const std::string pattern = ch.s.send_response_simple ? "" : "+CMGS:";
        std::string r = ReceiveModemCommand(ch, 120, pattern);
        send_pending_ack(ch);
        o.response = r;
        const bool final_ok = ok_in(r) && !contains(r, "ERROR") &&
                              (ch.s.send_response_simple || contains(r, "+CMGS:"));
        if (final_ok) {
            o.ok = true;
            o.reference = cmgs_reference(r);
            o.error_text.clear();
            break;
        }
        if (ch.wavecom && (contains(r, "512") || contains(r, "513")) && attempt == 0) {
            frame::debug_trace(tag, "Retry CMS ERROR 512 for Wavecom modems");
            pause(ch, 3000);
            continue;
        }
        o.error_text = r.empty() ? "ERROR - Error waiting for response from modem (2)"
                                 : "ERROR - Modem Response (2):  " + r;
        break;
    }
    if (!o.ok && o.error_text.empty()) o.error_text = "ERROR - Error waiting for response from modem (1)";
    run_commands(ch, ch.s.post_send, tag);
    const unsigned delay = o.ok ? ch.s.delay_after_send_ms : ch.s.delay_after_error_ms;
    if (delay) platform::sleep_ms(delay);
    return o;
}

}  // namespace

SendOutcome send_pdu(ModemChannel& ch, const pdu::BuiltPdu& p) {
    return send_after_prompt(ch, platform::strprintf("AT+CMGS=%u\r", p.tpdu_length), p.hex);
}

SendOutcome send_text(ModemChannel& ch, std::string_view recipient, std::string_view text) {
    // The modem's character set is its default (IRA/GSM): text goes as
    // Windows-1252, cut where the prompt's line would end.
    std::string body = charset::utf8_to_win1252(text);
    body.erase(std::remove_if(body.begin(), body.end(),
                              [](char c) { return c == kCtrlZ || c == kEsc; }),
               body.end());
    return send_after_prompt(
        ch, "AT+CMGS=\"" + std::string(recipient) + "\"\r", body);
}

// --- receiving -------------------------------------------------------------------------------

unsigned ModemReceiveMessages(ModemChannel& ch) {
    const char* tag = "ModemReceiveMessages";
    run_commands(ch, ch.s.pre_poll, tag);
    std::string a;
    if (!command_ok(ch, "AT+CPMS?", 20, &a)) {
        frame::debug_trace(tag, "Modem does not support polling for received messages");
        return 0;
    }
    std::vector<std::string> mems;
    if (ch.s.poll_sr) mems.push_back("SR");
    for (const char* m : {"SM", "ME", "MT"})
        if (contains(a, std::string("\"") + m + "\"")) mems.push_back(m);
    if (mems.empty()) mems.push_back("SM");
    unsigned processed = 0;
    for (const std::string& mem : mems) {
        if (!command_ok(ch, platform::strprintf("AT+CPMS=\"%s\"", mem.c_str()), 20)) continue;
        std::vector<std::string> lists;
        if (ch.s.text_mode) {
            lists = {"AT+CMGL=\"REC UNREAD\""};
            if (ch.s.process_read) lists.push_back("AT+CMGL=\"REC READ\"");
        } else {
            lists = {"AT+CMGL=0"};
            if (ch.s.process_read) lists.push_back("AT+CMGL=1");
        }
        for (const std::string& list : lists) {
            std::string r;
            command_ok(ch, list, 20, &r);
            std::vector<unsigned> done;
            for (size_t p = r.find("+CMGL:"); p != std::string::npos; p = r.find("+CMGL:", p + 6)) {
                const int index = number_after(r.substr(p), "+CMGL:");
                const size_t e1 = r.find_first_of("\r\n", p);
                if (index < 0 || e1 == std::string::npos) break;
                const size_t s2 = r.find_first_not_of("\r\n", e1);
                if (s2 == std::string::npos) break;
                const size_t e2 = r.find_first_of("\r\n", s2);
                const std::string line = r.substr(s2, e2 == std::string::npos ? e2 : e2 - s2);
                frame::debug_tracef(tag, "Decoding received message index %u from message storage %s",
                                    unsigned(index), mem.c_str());
                if (ch.s.text_mode) {
                    std::vector<std::string> f = split_fields(r.substr(p, e1 - p));
                    std::string sender = f.size() > 2 ? f[2] : "";
                    sender.erase(std::remove(sender.begin(), sender.end(), '"'), sender.end());
                    if (ch.on_text) ch.on_text(sender, line);
                } else if (ch.on_pdu) {
                    ch.on_pdu(line);
                }
                done.push_back(unsigned(index));
                ++processed;
            }
            for (unsigned index : done)
                command_ok(ch, platform::strprintf("AT+CMGD=%u", index), 30);
        }
    }
    run_commands(ch, ch.s.post_poll, tag);
    return processed;
}

// --- the last steps of recovery ----------------------------------------------------------------

bool usb_modem(bool enable, std::string_view hardware_id) {
    const char* tag = enable ? "USBModemEnable" : "USBModemDisable";
    std::optional<std::string> helper = platform::find_helper_program("smsgwusb");
    if (!helper) {
        frame::debug_trace(tag, "smsgwusb not found");
        return false;
    }
    std::string id(hardware_id);
    size_t amp = id.find('&');
    if (amp != std::string::npos) amp = id.find('&', amp + 1);
    if (amp != std::string::npos) id = id.substr(0, amp) + "*";
    platform::SpawnResult r = platform::run_process(
        {*helper, enable ? "ENABLE" : "DISABLE", id}, platform::SpawnOptions{}, 60000);
    const bool ok = r.started && !r.timed_out && (r.exit_status == 0 || r.exit_status == 1);
    frame::debug_tracef(tag, "%s %s: %s", enable ? "ENABLE" : "DISABLE", id.c_str(),
                        ok ? "OK" : "Failed");
    return ok;
}

bool RestartLocalServer(const std::string& command) {
    const char* tag = "RestartLocalServer";
    frame::debug_trace(tag, "Entering RestartLocalServer");
    platform::SpawnResult r =
        platform::run_process({"/bin/sh", "-c", command}, platform::SpawnOptions{}, 60000);
    const bool ok = r.started && !r.timed_out && r.exit_status == 0;
    if (!ok) frame::debug_tracef(tag, "Reboot command failed: %s", command.c_str());
    return ok;
}

}  // namespace radio
