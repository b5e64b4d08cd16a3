// Loader and writers of message request files.
#include "store/request_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "frame/debug_trace.h"
#include "frame/queue_dirs.h"
#include "frame/settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "store/durable.h"
#include "store/retry.h"
#include "store/message_id.h"
#include "support/ini_profile.h"

namespace store {

namespace {

// Request files are small: one read of this size takes nearly all of them.
constexpr size_t kSmallRead = 4096;

constexpr std::string_view kTraceName = "LoadSMSMessage";

void resolve_route_name(SmsMessage& msg) {
    if (msg.link_name.empty()) return;
    std::string route = support::SMSIniGetProfileString(frame::link_section_name(msg.link_name),
                                                        "RouteName", "", kResolvedRouteSize);
    msg.resolved_route =
        platform::truncate_field(route.empty() ? msg.link_name : route, kResolvedRouteSize - 1);
}

void set_load_error(SmsMessage& msg) {
    msg = SmsMessage{};
    msg.phone_number = kLoadErrorPhoneNumber;
    msg.route = kLoadErrorRoute;
}

// The extension with its dot; none at all for an empty extension.
std::string dotted(std::string_view ext) {
    std::string out;
    if (!ext.empty()) {
        out.reserve(ext.size() + 1);
        out.push_back('.');
        out.append(ext);
    }
    return out;
}

}  // namespace

// --- loader ------------------------------------------------------------------

void parse_sms_message(std::string_view text, SmsMessage& msg) {
    parse_request(text, msg);
    resolve_route_name(msg);
}

bool LoadSMSMessage(int fd, SmsMessage& msg) {
    // Nearly every request file fits one small read from the start: no size
    // query and no seek for those.
    char small[kSmallRead];
    long n = platform::pread_some_fd(fd, small, sizeof small, 0);
    if (n < 0) {
        // Name the step that fails, as the size query would have.
        int err = errno;
        const bool size_failed = !platform::fd_size(fd);
        if (size_failed) err = errno;
        frame::debug_tracef(kTraceName, "Error %u from %s", unsigned(err),
                            size_failed ? "GetFileSize" : "ReadFile");
        set_load_error(msg);
        return false;
    }
    if (size_t(n) < sizeof small) {
        parse_sms_message(std::string_view(small, size_t(n)), msg);
        apply_remembered_retry(fd, msg);
        return true;
    }
    const std::optional<uint64_t> file_size = platform::fd_size(fd);
    if (!file_size) {
        const int err = errno;
        frame::debug_tracef(kTraceName, "Error %u from GetFileSize", unsigned(err));
        set_load_error(msg);
        return false;
    }
    if (*file_size > kMaxRequestFileBytes) {
        frame::debug_tracef(kTraceName, "Error %u from ReadFile", unsigned(EFBIG));
        set_load_error(msg);
        return false;
    }
    const size_t size = size_t(*file_size);
    std::string text(size, '\0');
    size_t done = 0;
    if (!platform::seek_fd(fd, 0)) {
        const int err = errno;
        frame::debug_tracef(kTraceName, "Error %u from ReadFile", unsigned(err));
        set_load_error(msg);
        return false;
    }
    while (done < size) {
        long n = frame::ReadFileWithRetry(fd, text.data() + done, size - done);
        if (n < 0) {
            const int err = errno;
            frame::debug_tracef(kTraceName, "Error %u from ReadFile", unsigned(err));
            set_load_error(msg);
            return false;
        }
        if (n == 0) break;  // shrank since fstat: parse what is there
        done += size_t(n);
    }
    text.resize(done);
    parse_sms_message(text, msg);
    apply_remembered_retry(fd, msg);
    return true;
}

bool is_load_error(const SmsMessage& msg) {
    return msg.phone_number == kLoadErrorPhoneNumber && msg.route == kLoadErrorRoute;
}

// --- writers -----------------------------------------------------------------

// UseTempFileAttribute: Linux has no temporary-file attribute, so the setting
// is read with the other settings and deliberately has no effect on writers.

std::optional<std::string> create_request_file(const std::string& dir, std::string_view ext,
                                               std::string_view content) {
    const std::string base =
        platform::with_trailing_slash(dir) + frame::settings().message_id_prefix;
    const std::string tail = dotted(ext);
    uint32_t id = next_message_id();
    for (int attempt = 1; attempt <= kCreateAttempts; ++attempt) {
        const std::string path =
            base + platform::strprintf("%08lX", static_cast<unsigned long>(id)) + tail;
        // Written under a hidden name and linked into place: a reader never
        // sees it incomplete, and an existing file is never replaced.
        if (platform::create_new_file(path, content)) return path;
        if (attempt == 1) {
            // The first failure may be a missing directory: retry the same name.
            platform::create_intermediate_dirs(path);
        } else if (attempt < kCreateAttempts) {
            id = next_message_id();
        }
    }
    return std::nullopt;
}

bool commit_request_files(const std::vector<std::string>& paths) {
    if (wait_durable(paths) == 0) return true;
    // Not on disk, so not accepted: what no link worker took yet goes.
    for (const std::string& p : paths) platform::remove_file(p);
    return false;
}

std::optional<std::string> create_request_file_durable(const std::string& dir,
                                                       std::string_view ext,
                                                       std::string_view content) {
    std::optional<std::string> path = create_request_file(dir, ext, content);
    if (path && !commit_request_files({*path})) return std::nullopt;
    return path;
}

std::optional<ScratchFile> create_scratch_file(const std::string& dir, std::string_view ext) {
    const std::string base = platform::with_trailing_slash(dir);
    const std::string tail = dotted(ext);
    uint32_t id = next_random_id();
    for (int attempt = 1; attempt <= kCreateAttempts; ++attempt) {
        std::string path = base + platform::strprintf("%08X", id) + tail;
        platform::FileHandle fh = platform::open_file(path, O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fh.valid()) {
            // A fresh file has no other holder, so this cannot block.
            platform::try_lock_exclusive(fh.fd());
            return ScratchFile{std::move(fh), std::move(path)};
        }
        if (attempt == 1) {
            platform::create_intermediate_dirs(path);
        } else if (attempt < kCreateAttempts) {
            id = next_random_id();
        }
    }
    return std::nullopt;
}

std::string segment_file_name(const std::string& dir, std::string_view key, uint32_t reference,
                              uint32_t part_count, uint32_t part_number, std::string_view ext) {
    std::string clean(key.substr(0, kSegmentKeyMax));
    for (char& c : clean) {
        const unsigned char u = static_cast<unsigned char>(c);
        // Control characters too: a NUL would cut the path short.
        if (u < 32 || c == '?' || c == '*' || c == ':' || c == '/' || c == '\\' || c == '|')
            c = '!';
    }
    return platform::with_trailing_slash(dir) + "SAR-" + frame::settings().message_id_prefix +
           clean +
           platform::strprintf("-%x-%u-%u", reference, part_count % 256, part_number % 256) +
           dotted(ext);
}

std::optional<std::string> create_segment_file(const std::string& dir, std::string_view key,
                                               uint32_t reference, uint32_t part_count,
                                               uint32_t part_number, std::string_view ext,
                                               std::string_view content) {
    std::string path = segment_file_name(dir, key, reference, part_count, part_number, ext);
    // Written whole under a hidden name and renamed over any older copy.
    if (platform::replace_file(path, content)) return path;
    platform::create_intermediate_dirs(path);
    if (platform::replace_file(path, content)) return path;
    return std::nullopt;
}

}  // namespace store
