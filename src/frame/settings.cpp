// Global settings: the value rules every reader shares and the cached table
// of [SMSGW] / [MMSC] keys that the main loop reloads after SMSGW.INI changes.
#include "frame/settings.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/frame_state.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/directories.h"
#include "support/ini_profile.h"

namespace frame {

namespace {

constexpr std::string_view kGlobalSection = "SMSGW";
constexpr std::string_view kMmscSection = "MMSC";
constexpr size_t kAccountingUrlSize = 500 + 1;
constexpr size_t kMessageIdPrefixSize = 100 + 1;
constexpr size_t kSmilHeaderSize = 500 + 1;

// Settings are read on every message: each thread keeps the table it saw
// last and loads the published one only after a publish moved the version.
const GlobalSettings* current() {
    thread_local const GlobalSettings* cached = nullptr;
    thread_local uint64_t seen = 0;
    FrameState& st = frame_state();
    uint64_t v = st.settings.version();
    if (!cached || v != seen) {
        seen = v;
        cached = st.settings.load().get();
    }
    return cached;
}

void publish(std::shared_ptr<const GlobalSettings> next) {
    FrameState& st = frame_state();
    std::lock_guard<std::mutex> lock(st.settings_publish_lock);
    st.settings_kept.push_back(st.settings.publish(std::move(next)));
}

std::string mmsc_string(std::string_view key, std::string_view def, size_t size = 0) {
    return support::MMSCIniGetProfileString(kMmscSection, key, def, size);
}
bool mmsc_bool(std::string_view key, bool def) {
    return parse_bool(mmsc_string(key, def ? "Yes" : "No"));
}
uint32_t mmsc_number(std::string_view key, uint32_t def) {
    return parse_number(mmsc_string(key, std::to_string(def)));
}

// Two-character sequences "\r" and "\n" become the control characters.
std::string expand_crlf_escapes(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'r' || s[i + 1] == 'n')) {
            out.push_back(s[i + 1] == 'r' ? '\r' : '\n');
            ++i;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

uint32_t zero_means(uint32_t v, uint32_t def) {
    return v == 0 ? def : v;
}

}  // namespace

const GlobalSettings& settings() {
    return *current();
}

GlobalSettings& mutable_settings() {
    // Every table is built non-const (make_shared<GlobalSettings>), so the
    // in-place edits tests make are defined.
    return const_cast<GlobalSettings&>(*current());
}

void reset_settings_for_tests() {
    publish(std::make_shared<GlobalSettings>());
}

bool parse_bool(std::string_view value) {
    if (value.empty()) return false;
    char c = value.front();
    if (c == 'Y' || c == 'y' || c == '1') return true;
    return platform::iequals(value, "TRUE") || platform::iequals(value, "On");
}

uint32_t parse_number(std::string_view value) {
    size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    uint64_t n = 0;
    bool any = false;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        any = true;
        n = n * 10 + unsigned(value[i] - '0');
        if (n > std::numeric_limits<uint32_t>::max()) n = std::numeric_limits<uint32_t>::max();
    }
    // Counts, sizes and intervals have no meaning below zero; a negative
    // entry reads as 0 (which the zero-means-default rules then replace)
    // rather than wrapping to four billion.
    if (!any || negative) return 0;
    return uint32_t(n);
}

uint8_t parse_hex_byte(std::string_view value, uint8_t def) {
    int hi = value.empty() ? -1 : platform::hex_digit_value(value[0]);
    if (hi < 0) return def;
    int lo = value.size() > 1 ? platform::hex_digit_value(value[1]) : -1;
    return uint8_t(lo < 0 ? hi : hi * 16 + lo);
}

std::string ini_string(std::string_view key, std::string_view def, size_t size) {
    return support::SMSIniGetProfileString(kGlobalSection, key, def, size);
}

bool ini_bool(std::string_view key, bool def) {
    return parse_bool(ini_string(key, def ? "Yes" : "No"));
}

uint32_t ini_number(std::string_view key, uint32_t def) {
    return parse_number(ini_string(key, std::to_string(def)));
}

std::string link_string(std::string_view link_section, std::string_view key, std::string_view def,
                        size_t size) {
    if (!link_section.empty()) {
        std::optional<std::string> v =
            support::ini_find(support::SMSIniGetFilename(), link_section, key);
        if (v && !v->empty()) {
            if (size == 0) return *v;
            return platform::truncate_field(*v, size - 1);
        }
    }
    return ini_string(key, def, size);
}

bool link_bool(std::string_view link_section, std::string_view key, bool def) {
    return parse_bool(link_string(link_section, key, def ? "Yes" : "No"));
}

uint32_t link_number(std::string_view link_section, std::string_view key, uint32_t def) {
    return parse_number(link_string(link_section, key, std::to_string(def)));
}

std::string directory_setting(std::string_view key, std::string_view value) {
    std::string v(platform::trim(value));
    if (v.empty()) return v;
    if (v[0] == '/' || v[0] == '\\') return platform::with_trailing_slash(v);
    int depth = 0;
    size_t start = 0;
    while (start <= v.size()) {
        size_t end = v.find_first_of("/\\", start);
        if (end == std::string::npos) end = v.size();
        std::string_view part(v.data() + start, end - start);
        if (part == "..") {
            if (--depth < 0) {
                debug_tracef(key, "Ignoring %.*s=%s: a relative directory must stay below %s",
                             static_cast<int>(key.size()), key.data(), v.c_str(),
                             support::GetProgramDataDirectory().c_str());
                return "";
            }
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return platform::with_trailing_slash(support::GetProgramDataDirectory() + v);
}

std::string ini_directory(std::string_view key) {
    return directory_setting(key, ini_string(key, ""));
}

std::string clean_message_id_prefix(std::string_view value) {
    std::string out(value);
    for (char& c : out)
        if (c == '/' || c == '\\') c = '-';
    for (char& c : out) {
        if (c != '.') break;
        c = '-';
    }
    if (out != value)
        debug_tracef("MessageIDPrefix", "MessageIDPrefix %.*s used as %s",
                     static_cast<int>(value.size()), value.data(), out.c_str());
    return out;
}

std::string default_queue_root() {
    std::string root = support::GetProgramDataDirectory() + "Q/";
    platform::ensure_dir(root);
    return root;
}

bool is_network_queue_root(std::string_view root) {
    // A share path, in either spelling: the cache spares remote listings.
    return root.size() >= 2 &&
           ((root[0] == '\\' && root[1] == '\\') || (root[0] == '/' && root[1] == '/'));
}

GlobalSettings read_global_settings() {
    GlobalSettings s;
    s.debug = ini_bool("Debug", false);
    s.debug2 = ini_bool("Debug2", false);
    s.debug3 = ini_bool("Debug3", false);
    s.debug_console = mmsc_bool("DebugConsole", false);
    s.no_debug_protocol = ini_bool("NoDebugProtocol", false);
    s.debug_async_smpp = ini_bool("DebugAsyncSMPP", false);
    s.debug_xml_settings = ini_bool("DebugXmlSettings", false);
    s.debug_max_size_mb = ini_number("DebugMaxSize", 512);
    s.default_msg_limit_per_day = ini_number("DefaultMsgLimitPerDay", 0);
    s.default_msg_limit_per_month = ini_number("DefaultMsgLimitPerMonth", 0);
    s.send_long_messages_as_is = ini_bool("SendLongMessagesAsIs", false);
    s.alt_long_text = ini_bool("AltLongText", false);
    s.exclude_sms_details_from_log = ini_bool("ExcludeSmsDetailsFromLog", false);
    s.default_code_page = ini_number("DefaultCodePage", 0);
    s.old_modem_handler = ini_bool("OldModemHandler", false);
    s.modem_send_delay = ini_number("ModemSendDelay", 0);
    s.sms_accounting_url = ini_string("SMSAccountingURL", "", kAccountingUrlSize);
    s.sms_accounting_limit_callbacks = ini_string("SmsAccountingLimitCallbacks", "");
    s.separate_user_queues = ini_bool("SeparateUserQueues", true);
    s.user_queue_threshold = ini_number("UserQueueThreshold", 10);
    s.disable_invalid_status_report_check = ini_bool("DisableInvalidStatusReportCheck", false);
    s.disable_user_log = ini_bool("DisableUserLog", false);
    s.disable_user_quota = ini_bool("DisableUserQuota", false);
    s.disable_in_log = ini_bool("DisableInLog", false);
    s.disable_out_log = ini_bool("DisableOutLog", false);
    s.disable_web_log = ini_bool("DisableWebLog", false);
    s.oma_provisioning_content_disable_literals =
        ini_bool("OMAProvisioningContentDisableLiterals", false);
    s.max_ring_tone_fragment_count = zero_means(ini_number("MaxRingToneFragmentCount", 6), 6);
    s.old_modem_receipt_format = ini_bool("OldModemReceiptFormat", false);
    s.flush_out_log = ini_bool("FlushOutLog", false);
    s.max_q_dir_entries = zero_means(ini_number("MaxQDirEntries", 10000), 10000);
    s.queue_delete_threads = std::min<uint32_t>(ini_number("QueueDeleteThreads", 4), 16);
    s.queue_delete_inline_below_us =
        std::min<uint32_t>(ini_number("QueueDeleteInlineBelowUs", 40), 1000000);
    s.durable_queue = ini_bool("DurableQueue", false);
    s.durable_queue_commit_ms = std::min<uint32_t>(ini_number("DurableQueueCommitMs", 5), 1000);
    s.accounting_keep_alive = ini_bool("AccountingKeepAlive", true);
    s.two_way_keep_alive = ini_bool("2WayKeepAlive", true);
    s.enable_keep_alive = ini_bool("EnableKeepAlive", true);
    s.enable_thread_pool = ini_bool("EnableThreadPool", false);
    s.accounting_extended = ini_bool("AccountingExtended", true);
    s.smpp_submit_async_helper_thread = ini_bool("SmppSubmitAsyncHelperThread", true);
    s.enable_bulk_q = ini_bool("EnableBulkQ", true);
    s.old_routing_logic = ini_bool("OldRoutingLogic", false);
    s.use_route_queues = ini_bool("UseRouteQueues", true);
    s.use_route_cache = ini_bool("UseRouteCache", true);
    s.use_route_cache_on_submit = ini_bool("UseRouteCacheOnSubmit", s.use_route_cache);
    s.use_experimental_logic = ini_bool("UseExperimentalLogic", false);
    s.allow_alpha_recip = ini_bool("AllowAlphaRecip", false);
    s.disable_http_unicode_sms = ini_bool("DisableHttpUnicodeSMS", false);
    s.test_unicode_sms_for_iso88591 = ini_bool("TestUnicodeSMSForISO88591", false);
    s.test_unicode_sms_for_ascii = ini_bool("TestUnicodeSMSForASCII", false);
    s.repeat_udh_all_segments = ini_bool("RepeatUDHAllSegments", true);
    s.remove_trailing_spaces = ini_bool("RemoveTrailingSpaces", true);
    s.disable_sender_routing = ini_bool("DisableSenderRouting", false);
    s.rmsgqful_by_number = ini_bool("RMSGQFULByNumber", true);
    s.message_throttle_delay_ms = ini_number("MessageThrottleDelay", 0);
    s.modem_app_check_interval_s = zero_means(ini_number("ModemAppCheckInterval", 600), 600);
    s.use_global_tapi = ini_bool("UseGlobalTAPI", false);
    s.ip_modem_max_bytes = zero_means(ini_number("IPModemMaxBytes", 1), 1);
    s.modem_max_bytes_per_send = zero_means(ini_number("ModemMaxBytesPerSend", 1), 1);
    s.use_temp_file_attribute = ini_bool("UseTempFileAttribute", false);
    s.concat_ref_16bit = ini_bool("ConcatRef16Bit", false);
    s.use_sleep_api = ini_bool("UseSleepAPI", false);
    s.max_sms_segment_length_text = ini_number("MaxSMSSegmentLengthText", 160);
    if (s.max_sms_segment_length_text < 40) s.max_sms_segment_length_text = 160;
    s.max_sms_segment_length_binary = ini_number("MaxSMSSegmentLengthBinary", 140);
    if (s.max_sms_segment_length_binary < 40) s.max_sms_segment_length_binary = 140;

    s.message_id_prefix = support::SharedVolumeIniGetProfileString(
        "SharedVolume", "MessageIDPrefix", "", kMessageIdPrefixSize);
    if (s.message_id_prefix.empty())
        s.message_id_prefix = ini_string("MessageIDPrefix", "", kMessageIdPrefixSize);
    s.message_id_prefix = clean_message_id_prefix(s.message_id_prefix);

    std::string dcs = ini_string("PushDCS", "");
    if (dcs.empty()) dcs = ini_string("BinaryDCS", "");
    s.push_dcs = parse_hex_byte(dcs, 0xF5);
    s.push_pid = parse_hex_byte(ini_string("PushPID", ""), 0);
    s.long_text_dcs = parse_hex_byte(ini_string("LongTextDCS", ""), 0);

    s.nokia3510_compatible = mmsc_bool("Nokia3510Compatible", true);
    s.short_mms_notification = mmsc_bool("ShortMMSNotification", false);
    s.mms_notification_no_subject = mmsc_bool("MmsNotificationNoSubject", false);
    s.mms_notification_no_sender = mmsc_bool("MmsNotificationNoSender", false);
    s.mms_notification_header_max_size = mmsc_number("MMSNotificationHeaderMaxSize", 0);
    s.email_auto_smil = mmsc_bool("EMailAutoSmil", true);
    s.email_auto_smil_old_format = mmsc_bool("EMailAutoSmilOldFormat", false);
    std::string par_dur = mmsc_string("EMailAutoSmilParDur", "");
    s.email_auto_smil_par_dur_text =
        mmsc_string("EMailAutoSmilParDurText", par_dur.empty() ? "3s" : par_dur);
    s.email_auto_smil_par_dur_image =
        mmsc_string("EMailAutoSmilParDurImage", par_dur.empty() ? "5s" : par_dur);
    s.email_auto_smil_par_dur_video =
        mmsc_string("EMailAutoSmilParDurVideo", par_dur.empty() ? "11s" : par_dur);
    s.email_auto_smil_header =
        expand_crlf_escapes(mmsc_string("EMailAutoSmilHeader", "", kSmilHeaderSize));
    s.ssl_redirect = ini_bool("SSLRedirect", false);

    std::string qdir = ini_directory("QDir");
    s.q_dir = qdir.empty() ? default_queue_root() : qdir;
    s.use_q_cache = ini_bool("UseQCache", is_network_queue_root(s.q_dir));

    // Outbound HTTP client.
    s.http_client_max_response_kb = zero_means(ini_number("HTTPClientMaxResponseKB", 4096), 4096);
    s.http_client_verify_certificates = ini_bool("HTTPClientVerifyCertificates", true);
    s.http_client_no_verify_hosts = ini_string("HTTPClientNoVerifyHosts", "");
    s.http_client_ca_file = ini_string("HTTPClientCAFile", "");

    // Quotas and accounting.
    s.outbound_queue_limit = ini_number("OutboundQueueLimit", 0);
    s.user_outbound_queue_limit = ini_number("UserOutboundQueueLimit", 0);
    s.user_outbound_queue_limit_interval =
        zero_means(ini_number("UserOutboundQueueLimitInterval", 30), 30);
    s.sms_accounting_pre_auth_per_recip = ini_bool("SMSAccountingPreAuthPerRecip", false);
    s.sms_accounting_must_set_route_pre_auth = ini_bool("SMSAccountingMustSetRoutePreAuth", false);
    s.sms_accounting_must_set_route = ini_bool("SMSAccountingMustSetRoute", false);
    s.sms_accounting_only_if_no_route = ini_bool("SMSAccountingOnlyIfNoRoute", false);
    s.sms_accounting_allow_changes = ini_bool("SMSAccountingAllowChanges", false);
    s.sms_accounting_timeout_s = zero_means(ini_number("SMSAccountingTimeout", 20), 20);
    s.sms_accounting_fail_open = ini_bool("SMSAccountingFailOpen", false);
    return s;
}

void load_global_settings() {
    publish(std::make_shared<GlobalSettings>(read_global_settings()));
    debug_trace("UseRouteCache", settings().use_route_cache ? "Yes" : "No");
}

}  // namespace frame
