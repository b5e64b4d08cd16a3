// The bulk hand-off of a large HTTP submission.
#include "frontends/http/submit_bulk.h"

#include "frame/settings.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "records/counters.h"
#include "store/bulk_queue.h"
#include "store/durable.h"
#include "store/message_id.h"
#include "store/request_codec.h"
#include "store/request_file.h"

namespace frontends::http {

namespace {

constexpr const char* kTag = "SubmitHttpSMS";
constexpr int kBatchNameAttempts = 100;

// A fresh batch directory; "" when none could be made.
std::string make_batch_dir(const std::string& bulk_dir) {
    const std::string prefix = frame::settings().message_id_prefix;
    for (int i = 0; i < kBatchNameAttempts; ++i) {
        std::string dir = bulk_dir + prefix + platform::strprintf("%08X", store::next_random_id());
        if (platform::file_exists(dir)) continue;
        if (platform::ensure_dir(dir)) return dir + "/";
    }
    return "";
}

// The future name of a segment file with the template counter in place of
// the segment number (names made safe as segment files are).
std::string sar_name_pattern(const std::string& recipient, uint32_t reference, uint32_t total) {
    std::string name = store::segment_file_name("", recipient, reference, total, 1, "req");
    const std::string tail = "-1.req";
    name.resize(name.size() - tail.size());
    return name + "-" + std::string(store::kTemplateCounter) + ".req";
}

}  // namespace

bool use_bulk_queue(size_t recipients) {
    const frame::GlobalSettings& s = frame::settings();
    uint32_t max = s.max_q_dir_entries ? s.max_q_dir_entries : 10000;
    return s.enable_bulk_q && recipients > max;
}

std::string bulk_list_line(const std::string& file_name, const FileTarget& target) {
    // Built with append: "literal" + std::string trips GCC 12's -Wrestrict.
    std::string line = file_name + "=" + store::escape_value(target.recipient);
    if (!target.route.empty()) line.append(";").append(store::escape_value(target.route));
    if (!target.user_data.empty())
        line.append(";UserData=").append(store::escape_value(target.user_data));
    return line + "\r\n";
}

WriteResult write_bulk_batch(const std::string& bulk_dir, const SubmitParams& p,
                             const SubmitContext& ctx, const MessageShape& shape,
                             const std::vector<FileTarget>& targets) {
    WriteResult w;
    w.per_recipient.assign(targets.size(), 0);
    const std::string dir = make_batch_dir(bulk_dir);
    if (dir.empty()) {
        platform::tracef(kTag, "Unable to create a bulk batch in %s", bulk_dir.c_str());
        return w;
    }
    // Held until the batch is complete: the bulk threads expand what is
    // there but do not finish the batch while it is being built.
    std::optional<platform::Marker> building = platform::Marker::acquire(dir + "BUILD.LCK");
    if (!building) {
        platform::tracef(kTag, "Unable to lock bulk batch %s", dir.c_str());
        return w;
    }
    const uint32_t total = uint32_t(shape.parts.size());
    std::string flag;
    if (p.delayed) {
        const frame::ScheduledTime& t = p.send_time;
        flag = dir + platform::strprintf("QDelay-%04d%02d%02d%02d%02d.FLG", t.year, t.month, t.day,
                                         t.hour, t.minute);
        platform::create_new_file(flag, "");
    }
    // A batch that got no list is taken away again, so that no bulk thread
    // waits on it for ever.
    auto abandon = [&](uint32_t templates) {
        for (uint32_t j = 0; j < templates; ++j)
            platform::remove_file(dir + platform::strprintf("M%u.REQ", j + 1));
        if (!flag.empty()) platform::remove_file(flag);
        building.reset();
        platform::remove_dir(dir);
    };
    for (uint32_t k = 0; k < total; ++k) {
        std::string text = submit_template_text(p, ctx, shape, shape.parts[k]);
        append_extra_args(text, p);
        w.paths.push_back(dir + platform::strprintf("M%u.REQ", k + 1));
        if (!platform::create_new_file(w.paths.back(), text)) {
            // Without every template no recipient can be sent whole.
            platform::tracef(kTag, "Unable to write the templates of %s", dir.c_str());
            abandon(k);
            return w;
        }
    }

    const frame::GlobalSettings& s = frame::settings();
    const size_t per_list = s.max_q_dir_entries ? s.max_q_dir_entries : 10000;
    const std::string prefix = s.message_id_prefix;
    unsigned list_number = 0;
    for (size_t first = 0; first < targets.size(); first += per_list) {
        const size_t last = std::min(targets.size(), first + per_list);
        std::string list;
        std::vector<WrittenFile> files;
        for (size_t i = first; i < last; ++i) {
            const FileTarget& t = targets[i];
            std::string name =
                shape.split ? sar_name_pattern(t.recipient, store::next_message_id(), total)
                            : prefix + platform::strprintf("%08X.req", store::next_message_id());
            list += bulk_list_line(name, t);
            for (uint32_t k = 1; k <= total; ++k) {
                std::string id = store::expand_bulk_name(name, k);
                id.resize(id.size() - 4);  // ".req"
                files.push_back({std::move(id), t.recipient});
            }
        }
        std::string path = dir + platform::strprintf("R%07u.BLK", ++list_number);
        if (!platform::create_new_file(path, list)) {
            platform::tracef(kTag, "Unable to write %s", path.c_str());
            continue;
        }
        w.paths.push_back(path);
        for (size_t i = first; i < last; ++i) w.per_recipient[i] = total;
        for (size_t f = 0; f < files.size(); ++f) {
            const SubmitPart& part = shape.parts[f % total];
            log_submitted_file(p, ctx, shape, part, files[f].message_id, files[f].recipient);
        }
        w.files.insert(w.files.end(), std::make_move_iterator(files.begin()),
                       std::make_move_iterator(files.end()));
    }
    if (w.files.empty()) {
        abandon(total);
        return w;
    }
    records::add_counter(records::Counter::Submitted, uint32_t(w.files.size()));
    // In durable mode the lists are on disk before the batch is released.
    // A batch the bulk threads may already be expanding cannot be taken
    // back: when the sync fails it stays, and the caller answers an error
    // (a message may then go out although refused, never the reverse).
    if (store::wait_durable(w.paths) != 0) w.durable_failed = true;
    return w;
}

}  // namespace frontends::http
