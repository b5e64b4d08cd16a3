// Global settings of [SMSGW] (and a few of [MMSC] in MMSC.INI), read before
// any thread starts and re-read by the main loop whenever SMSGW.INI changes.
// Feature settings that only one module uses are read by that module at use
// time and are not here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace frame {

struct GlobalSettings {
    bool debug = false;
    bool debug2 = false;
    bool debug3 = false;
    bool debug_console = false;  // [MMSC] DebugConsole
    bool no_debug_protocol = false;
    bool debug_async_smpp = false;
    bool debug_xml_settings = false;
    uint32_t debug_max_size_mb = 512;  // 0 = no limit
    uint32_t default_msg_limit_per_day = 0;
    uint32_t default_msg_limit_per_month = 0;
    bool send_long_messages_as_is = false;
    bool alt_long_text = false;
    bool exclude_sms_details_from_log = false;
    uint32_t default_code_page = 0;
    bool old_modem_handler = false;
    uint32_t modem_send_delay = 0;
    std::string sms_accounting_url;              // 500
    std::string sms_accounting_limit_callbacks;  // list text
    bool separate_user_queues = true;
    uint32_t user_queue_threshold = 10;
    bool disable_invalid_status_report_check = false;
    bool disable_user_log = false;
    bool disable_user_quota = false;
    bool disable_in_log = false;
    bool disable_out_log = false;
    bool disable_web_log = false;
    bool oma_provisioning_content_disable_literals = false;
    uint32_t max_ring_tone_fragment_count = 6;
    bool old_modem_receipt_format = false;
    bool flush_out_log = false;
    uint32_t max_q_dir_entries = 10000;
    // Threads that unlink request files after they left the queue
    // (QueueDeleteThreads, at most 16; 0: the link worker unlinks itself).
    uint32_t queue_delete_threads = 4;
    // QueueDeleteInlineBelowUs: while unlinks cost less than this on average
    // (microseconds), the worker unlinks itself; 0 always hands files over.
    uint32_t queue_delete_inline_below_us = 40;
    // DurableQueue: front ends answer "accepted" only once the request file
    // and its directory entry are on stable storage, one sync serving every
    // file written within DurableQueueCommitMs (at most 1000) of the first.
    bool durable_queue = false;
    uint32_t durable_queue_commit_ms = 5;
    bool accounting_keep_alive = true;
    bool two_way_keep_alive = true;  // 2WayKeepAlive
    bool enable_keep_alive = true;
    bool enable_thread_pool = false;
    bool accounting_extended = true;
    bool smpp_submit_async_helper_thread = true;
    bool enable_bulk_q = true;
    bool old_routing_logic = false;
    bool use_route_queues = true;
    bool use_route_cache = true;
    bool use_route_cache_on_submit = true;
    bool use_q_cache = false;
    bool use_experimental_logic = false;
    bool allow_alpha_recip = false;
    bool disable_http_unicode_sms = false;
    bool test_unicode_sms_for_iso88591 = false;
    bool test_unicode_sms_for_ascii = false;
    bool repeat_udh_all_segments = true;
    bool remove_trailing_spaces = true;
    bool disable_sender_routing = false;
    bool rmsgqful_by_number = true;
    uint32_t message_throttle_delay_ms = 0;
    uint32_t modem_app_check_interval_s = 600;
    bool use_global_tapi = false;
    uint32_t ip_modem_max_bytes = 1;
    uint32_t modem_max_bytes_per_send = 1;
    bool use_temp_file_attribute = false;  // no meaning on Linux; read and ignored
    bool concat_ref_16bit = false;
    bool use_sleep_api = false;
    uint32_t max_sms_segment_length_text = 160;
    uint32_t max_sms_segment_length_binary = 140;
    std::string message_id_prefix;  // 100
    uint8_t push_dcs = 0xF5;
    uint8_t push_pid = 0;
    uint8_t long_text_dcs = 0;
    bool nokia3510_compatible = true;                   // [MMSC]
    bool short_mms_notification = false;                // [MMSC]
    bool mms_notification_no_subject = false;           // [MMSC]
    bool mms_notification_no_sender = false;            // [MMSC]
    uint32_t mms_notification_header_max_size = 0;      // [MMSC]
    bool email_auto_smil = true;                        // [MMSC]
    bool email_auto_smil_old_format = false;            // [MMSC]
    std::string email_auto_smil_par_dur_text = "3s";    // [MMSC]
    std::string email_auto_smil_par_dur_image = "5s";   // [MMSC]
    std::string email_auto_smil_par_dur_video = "11s";  // [MMSC]
    std::string email_auto_smil_header;                 // [MMSC], "\r" "\n" sequences expanded
    bool ssl_redirect = false;

    // Derived at load: the outbound queue root (QDir or program data Q/).
    std::string q_dir;

    // Outbound HTTP client: the cap on one response (header block and body),
    // and how server certificates of https URLs are checked.
    uint32_t http_client_max_response_kb = 4096;  // HTTPClientMaxResponseKB, 0 = default
    bool http_client_verify_certificates = true;  // HTTPClientVerifyCertificates
    std::string http_client_no_verify_hosts;      // HTTPClientNoVerifyHosts: host list
    std::string http_client_ca_file;              // HTTPClientCAFile: empty = system store

    // Quotas and accounting. Queue limits: 0 or empty = none.
    uint32_t outbound_queue_limit = 0;                 // OutboundQueueLimit
    uint32_t user_outbound_queue_limit = 0;            // UserOutboundQueueLimit
    uint32_t user_outbound_queue_limit_interval = 30;  // UserOutboundQueueLimitInterval (s)
    bool sms_accounting_pre_auth_per_recip = false;    // SMSAccountingPreAuthPerRecip
    bool sms_accounting_must_set_route_pre_auth = false;  // SMSAccountingMustSetRoutePreAuth
    bool sms_accounting_must_set_route = false;           // SMSAccountingMustSetRoute
    bool sms_accounting_only_if_no_route = false;         // SMSAccountingOnlyIfNoRoute
    bool sms_accounting_allow_changes = false;            // SMSAccountingAllowChanges
    // Bound of one callback (s; 0 or empty = 20), and what a pre-authorisation
    // whose service did not answer gives: refused (No) or accepted (Yes).
    uint32_t sms_accounting_timeout_s = 20;  // SMSAccountingTimeout
    bool sms_accounting_fail_open = false;   // SMSAccountingFailOpen
};

// The published settings. Readers take no lock; a reload publishes a new
// table in one store, so a reader sees either the old or the new one whole.
// A reference stays valid across reloads: published tables are never freed.
const GlobalSettings& settings();
// Tests only: edits the published table in place (no reload may run).
GlobalSettings& mutable_settings();
// Tests only: publishes a table of defaults.
void reset_settings_for_tests();

// Reads every global setting from the configured INI files and publishes
// the new table (traces "UseRouteCache" with its value).
void load_global_settings();
// The reading alone, without publishing (tests, reload diagnostics).
GlobalSettings read_global_settings();
// Program data Q/ (created when missing).
std::string default_queue_root();
// A share path ("\\server\share", or "//server/share"): the queue cache
// defaults on for it.
bool is_network_queue_root(std::string_view root);

// Value rules shared by every reader of settings.
bool parse_bool(std::string_view value);        // Y/y/1 prefix, TRUE or On
uint32_t parse_number(std::string_view value);  // leading digits after blanks and sign
// Hex byte rule: first char hex digit -> its value; second one too -> x*16+y;
// otherwise def.
uint8_t parse_hex_byte(std::string_view value, uint8_t def);

// A directory setting as a path ending in '/'. An absolute value ("/..." or
// a "\\" share) is where the administrator put the directory and is kept.
// A relative one is taken below the program data directory and may not
// climb out of it with "..": such a value is refused with a trace line under
// the key, and the result is empty so that the caller's default applies.
std::string directory_setting(std::string_view key, std::string_view value);
// [SMSGW] key read through directory_setting (empty when unset or refused).
std::string ini_directory(std::string_view key);
// MessageIDPrefix becomes the start of file names in the queue directories,
// never a path: '/' and '\' become '-', and so do leading dots (a name that
// starts with a dot is hidden from every queue scan). Traced when changed.
std::string clean_message_id_prefix(std::string_view value);

// Read helpers over [SMSGW] of SMSGW.INI.
std::string ini_string(std::string_view key, std::string_view def = "", size_t size = 0);
bool ini_bool(std::string_view key, bool def);
uint32_t ini_number(std::string_view key, uint32_t def);

// Link settings: the link's own section first, then [SMSGW]; a key present
// but empty in the link section falls back too.
std::string link_string(std::string_view link_section, std::string_view key,
                        std::string_view def = "", size_t size = 0);
bool link_bool(std::string_view link_section, std::string_view key, bool def);
uint32_t link_number(std::string_view link_section, std::string_view key, uint32_t def);

}  // namespace frame
