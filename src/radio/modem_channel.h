// The command channel to a GSM modem: opening the device (a serial port, a
// device found under /dev/serial/by-id, or an "IP modem" over TCP with its
// telnet options), AT command writing, response reading with time-outs and
// with unsolicited +CMT/+CDS deliveries filtered out of every response, the
// initialisation, send and receive-poll sequences, and the recovery steps
// (soft reset, power-up, hard reset, USB re-enumeration, reboot command).
// One link worker thread owns a channel and makes every call on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net.h"
#include "radio/pdu.h"

namespace radio {

// The modem keys of the link section (and the [SMSGW] keys the channel
// uses), read when the link starts.
struct ModemSettings {
    std::string phone_number;  // text before the first comma
    std::string pin;
    std::string smsc;
    bool exclude_smsc = false;
    bool text_mode = false;  // ModemTextMode
    bool allow_phase2plus = false;
    bool send_workaround = false;
    bool send_response_simple = true;
    bool send_extra_cr = false;
    unsigned delay_after_send_ms = 0;
    unsigned delay_after_error_ms = 0;
    bool receive_direct = false;  // ReceiveTo=Direct
    bool receive_sms = false;
    unsigned receive_poll_s = 2;
    std::string sms_access;  // GPRS / GSM
    bool hard_reset_after_error = true;
    bool reboot_on_error = false;
    bool reset_after_unreg = false;
    bool reset_usb = false;
    unsigned cdma_pdu_mode = 0;
    bool full_test = false;
    bool poll_sr = false;
    bool alpha_sender_bug = false;
    bool process_read = true;
    std::string username, password;
    std::vector<std::pair<std::string, std::string>> ip_init;  // WaitFor, Send
    std::vector<std::string> pre_init, post_init, pre_send, post_send, pre_poll, post_poll;
    unsigned app_check_interval_s = 600;  // [SMSGW] ModemAppCheckInterval
    bool old_receipt_format = false;      // [SMSGW] OldModemReceiptFormat
    std::string device_path;  // DevicePath (COM<n>: names)
    // [SMSGW]
    unsigned send_delay_ms = 0;  // ModemSendDelay
    unsigned max_bytes_per_send = 1;
    bool test_zero_mr = false;
    bool disable_report_check = false;
    std::string reboot_command = "/sbin/shutdown -r +1";
    size_t max_report_text = 160;
};
ModemSettings load_modem_settings(std::string_view link_section);

// Where a device name leads.
enum class DeviceKind { Serial, IpModem, ById };
struct DeviceName {
    DeviceKind kind = DeviceKind::ById;
    std::string path;  // serial path, or the by-id search name
    std::string host;
    unsigned port = 0;
};
// "/dev/..." and "COM<n>:" (DevicePath, else /dev/ttyS<n-1>) are serial;
// "IPModem - host:port" an IP modem; anything else is looked up by id.
DeviceName resolve_device_name(std::string_view link_name, std::string_view device_path);

struct ModemChannel {
    std::string link_name;
    ModemSettings s;
    int fd = -1;  // serial descriptor or the socket's
    bool is_socket = false;
    platform::Socket socket;
    bool phase2 = false;       // AT+CSMS=1 accepted
    bool ack_pending = false;  // a delivery waits for its AT+CNMA
    bool new_message = false;  // +CMTI / +CDSI seen
    bool telnet_offered = false;
    bool wavecom = false, nokia = false;
    std::vector<std::string> storages;  // polled message storages
    // Deliveries found in responses: a PDU line, or a text-mode sender and text.
    std::function<void(std::string_view pdu_hex)> on_pdu;
    std::function<void(std::string_view sender, std::string_view text)> on_text;
    // Length of one second of the channel's waits and pauses in ms (tests
    // shorten it; the device dialogue is the same).
    unsigned second_ms = 1000;

    ModemChannel() = default;
    ModemChannel(const ModemChannel&) = delete;
    ModemChannel& operator=(const ModemChannel&) = delete;
    ~ModemChannel();
    bool is_open() const { return fd >= 0; }
    void close();
};

// Opens the device named by the link; the failure text otherwise.
bool OpenDevice(ModemChannel& ch, std::string& failure);

// Writes text (ModemSendDelay first, ModemMaxBytesPerSend per write).
bool SendModemCommand(ModemChannel& ch, std::string_view text);

// Reads until ERROR + CR/LF, a ">" in prompt mode, or "OK" after pattern
// (anywhere without one), or until timeout_s passed. Deliveries are taken
// out of the text as they arrive. Returns what was read (empty: nothing).
std::string ReceiveModemCommand(ModemChannel& ch, unsigned timeout_s,
                                std::string_view pattern = {}, bool prompt = false);

// Waits until one of the "+++"-separated prompts arrives.
bool ReceiveModemCommandWaitForPrompt(ModemChannel& ch, std::string_view prompts,
                                      unsigned timeout_s);

// Takes the +CMT: / +CDS: deliveries out of buf (acknowledging them with
// Phase 2+); false when one is still incomplete (left in buf).
bool FilterCMTandCDS(ModemChannel& ch, std::string& buf);

// Discards pending input.
size_t FlushInput(ModemChannel& ch);

// Sends the acknowledgement (AT+CNMA) a Phase 2+ delivery is waiting for.
void send_pending_ack(ModemChannel& ch);

// Sends cmd + CR and waits for OK; the answer in *answer.
bool command_ok(ModemChannel& ch, std::string_view cmd, unsigned timeout_s,
                std::string* answer = nullptr);

// Opens and initialises the modem; empty on success, else the failure text.
std::string initialise_modem(ModemChannel& ch);

bool ModemTest(ModemChannel& ch, bool full, bool require_registration);
bool ModemPowerUp(ModemChannel& ch, bool* powered = nullptr);
bool ModemWaitForPowerUp(ModemChannel& ch);
bool ModemHardReset(ModemChannel& ch);
// Opens the port alone and tries every speed (with one hard reset between
// rounds when allowed); true when the modem answered at some speed. The
// port is closed again.
bool HammerNonResponsiveModem(ModemChannel& ch, const std::string& path);

struct SendOutcome {
    bool ok = false;
    bool written = false;    // the modem got the command (a failure is not a lost link)
    std::string response;    // the modem's answer
    std::string error_text;  // "ERROR - ..." on failure
    int reference = -1;      // the number after +CMGS:, -1 when none
};
// Sends one SMS-SUBMIT with AT+CMGS (PDU mode).
SendOutcome send_pdu(ModemChannel& ch, const pdu::BuiltPdu& p);
// Text mode (ModemTextMode): AT+CMGS="<recipient>" and the text.
SendOutcome send_text(ModemChannel& ch, std::string_view recipient, std::string_view text);
// The number after "+CMGS:" (spaces skipped), -1 when none.
int cmgs_reference(std::string_view response);

// Receive poll: lists the storages, hands every stored message to the
// channel's handlers and deletes it. Returns the messages processed.
unsigned ModemReceiveMessages(ModemChannel& ch);

// Runs "smsgwusb ENABLE|DISABLE <id>" from the program directory; false
// when the helper is absent or failed.
bool usb_modem(bool enable, std::string_view hardware_id);
// Runs the reboot command; true when it started and exited 0.
bool RestartLocalServer(const std::string& command);

}  // namespace radio
