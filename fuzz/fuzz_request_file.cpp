// Fuzz target for the request file loader and codec: any bytes load without
// a crash or an overread, every field within its size, what was parsed is
// formatted and parsed back unchanged, and segment names from any key stay
// inside their directory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "store/request_file.h"
#include "support/directories.h"
#include "support/ini_profile.h"
#include "support/support_state.h"

namespace {

int g_fd = -1;
std::string g_home;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void check_sizes(const store::SmsMessage& m) {
    check(m.phone_number.size() < store::kPhoneNumberSize);
    check(m.sender.size() < store::kSenderSize);
    check(m.data.size() < store::kDataSize);
    check(m.udh.size() < store::kUdhSize);
    check(m.submitted_by.size() < store::kSubmittedBySize);
    check(m.submit_user.size() < store::kSubmitUserSize);
    check(m.service_type.size() < store::kServiceTypeSize);
    check(m.local_user_route.size() < store::kLocalUserRouteSize);
    check(m.smpp_options.size() < store::kSmppOptionsSize);
    check(m.route.size() < store::kRouteSize);
    check(m.link_name.size() < store::kLinkNameSize);
    check(m.resolved_route.size() < store::kResolvedRouteSize);
    check(m.received_smsc.size() < store::kReceivedSmscSize);
    check(m.validity.size() < store::kValiditySize);
    check(m.billing_info.size() < store::kBillingInfoSize);
    check(m.acct_info.size() < store::kAcctInfoSize);
    check(m.user_data.size() < store::kUserDataSize);
    check(m.receipt_message_id.size() < store::kReceiptMessageIdSize);
    check(m.scts.size() < store::kSctsSize);
    for (const std::string& a : m.attach_files) check(a.size() < store::kAttachFileSize);
    check(m.loaded_flags == m.flags && m.flags <= 0x7F);
    for (const store::MessageTime* t : {&m.last_retry_time, &m.first_attempt_time}) {
        check(t->year == 0 ||
              (t->month >= 1 && t->month <= 12 && t->day >= 1 && t->day <= 31 && t->hour < 24 &&
               t->minute < 60 && t->second < 60 && t->day_of_week < 7));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/smsgw-fuzz-rf-XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    g_home = std::string(tmpl) + "/";
    ::setenv("SMSGW_HOME", g_home.c_str(), 1);
    support::reset_support_for_tests();
    std::ofstream(g_home + "SMSGW.INI", std::ios::binary)
        << "[SMSGW]\r\nDebug=No\r\n[SMPP - A]\r\nRouteName=RA\r\n[Modem - "
           "COM1:]\r\nRouteName=RB\r\n";
    support::SMSIniSetFilename(g_home + "SMSGW.INI");
    g_fd = ::memfd_create("request", MFD_CLOEXEC);
    if (g_fd < 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (::ftruncate(g_fd, 0) != 0) std::abort();
    if (size && ::pwrite(g_fd, data, size, 0) != ssize_t(size)) std::abort();

    store::SmsMessage msg;
    check(store::LoadSMSMessage(g_fd, msg));
    check_sizes(msg);

    store::SmsMessage direct;
    store::parse_sms_message(text, direct);
    check(direct == msg);

    // The codec's round trip: parse -> format -> parse gives the same record
    // (the loader adds only the route name the settings give the link).
    const store::SmsMessage parsed = store::parse_request(text);
    direct.resolved_route.clear();
    check(parsed == direct);
    check(store::parse_request(store::format_request(parsed)) == parsed);

    const std::string dir = "/q/";
    const std::string name =
        store::segment_file_name(dir, text.substr(0, 80), uint32_t(size), 7, 300, "req");
    check(name.compare(0, dir.size(), dir) == 0);
    check(name.find('/', dir.size()) == std::string::npos);
    check(name.find('\0') == std::string::npos);
    return 0;
}
