// INI profile reader and writer: a per-path cache of parsed snapshots that is
// re-validated with one stat(2) per read, and line-preserving atomic writers.
#include "support/ini_profile.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/files.h"
#include "platform/snapshot.h"
#include "platform/text.h"
#include "platform/trace_sink.h"
#include "support/directories.h"
#include "support/support_state.h"

namespace support {

namespace {

constexpr std::string_view kTraceTag = "IniGetProfileString";
// Files larger than this are not configuration files; they are refused
// rather than read into memory.
constexpr size_t kMaxIniFileSize = 64u * 1024u * 1024u;
// A file modified this recently may be changed again within the same
// timestamp tick; its bytes are compared on the next read (see lookup).
constexpr long long kRacyWindowNs = 2'000'000'000LL;

inline char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Case-insensitive hash/equality usable with string_view look-ups.
struct CaseHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
        size_t h = 1469598103934665603ull;
        for (char c : s) h = (h ^ static_cast<unsigned char>(lower(c))) * 1099511628211ull;
        return h;
    }
};
struct CaseEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        return platform::iequals(a, b);
    }
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view strip_quotes(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// One line classified the same way by the reader and the writers.
enum class LineKind { Blank, Comment, Section, BadSection, Key, Malformed };
struct Line {
    LineKind kind = LineKind::Blank;
    std::string_view name;   // section or key name (trimmed)
    std::string_view value;  // value (trimmed, unquoted)
};

Line classify(std::string_view raw) {
    Line l;
    std::string_view t = trim_blanks(raw);
    if (t.empty()) return l;
    if (t.front() == ';') {
        l.kind = LineKind::Comment;
        return l;
    }
    if (t.front() == '[') {
        size_t close = t.find(']');
        if (close == std::string_view::npos) {
            l.kind = LineKind::BadSection;
            return l;
        }
        l.kind = LineKind::Section;
        l.name = trim_blanks(t.substr(1, close - 1));
        return l;
    }
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) {
        l.kind = LineKind::Malformed;
        return l;
    }
    std::string_view key = trim_blanks(t.substr(0, eq));
    if (key.empty()) {
        l.kind = LineKind::Malformed;
        return l;
    }
    l.kind = LineKind::Key;
    l.name = key;
    l.value = strip_quotes(trim_blanks(t.substr(eq + 1)));
    return l;
}

// Splits text into lines; each view excludes its '\n'. A UTF-8 byte-order
// mark at the start is dropped.
template <typename Fn>
void for_each_line(std::string_view text, Fn&& fn) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        fn(text.substr(pos, end - pos));
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
}

using RawDoc =
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

// Parse that keeps every section and key in file order, duplicates included.
// Keys before the first section and keys after an unterminated '[' line
// belong to no section and are dropped: they must not leak into the section
// above the broken header.
RawDoc parse_raw(std::string_view text) {
    RawDoc doc;
    bool in_section = false;
    for_each_line(text, [&](std::string_view raw) {
        Line l = classify(raw);
        switch (l.kind) {
            case LineKind::Section:
                doc.emplace_back(std::string(l.name),
                                 std::vector<std::pair<std::string, std::string>>{});
                in_section = true;
                break;
            case LineKind::BadSection:
                in_section = false;
                break;
            case LineKind::Key:
                if (in_section)
                    doc.back().second.emplace_back(std::string(l.name), std::string(l.value));
                break;
            default:
                break;
        }
    });
    return doc;
}

using platform::FileStamp;

long long ns_of(const timespec& t) {
    return (long long)t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return ns_of(t);
}

// True while a later write could still leave mtime/ctime unchanged.
bool is_racy(const FileStamp& s) {
    if (!s.exists) return false;
    long long newest = std::max(ns_of(s.mtime), ns_of(s.ctime));
    return now_ns() - newest < kRacyWindowNs;
}

// Reads the file and the stamp of the very descriptor read, so the two match.
std::optional<std::string> read_with_stamp(const std::string& path, FileStamp& stamp) {
    return platform::read_file_stamped(path, kMaxIniFileSize, stamp);
}

}  // namespace

// An immutable parsed file. Readers hold a shared_ptr to it, so a re-parse
// never changes what a reader already looks at.
struct IniParse {
    FileStamp stamp;
    int read_error = 0;  // errno of a failed read (then the snapshot is empty)
    bool racy = false;
    std::string text;  // kept to compare bytes while the stamp is racy
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> keys;  // first of each key
        std::unordered_map<std::string, size_t, CaseHash, CaseEq> index;
    };
    std::vector<Section> sections;  // first of each name, file order
    std::unordered_map<std::string, size_t, CaseHash, CaseEq> index;

    const Section* find_section(std::string_view name) const {
        auto it = index.find(name);
        return it == index.end() ? nullptr : &sections[it->second];
    }
};

namespace {

using Snapshot = IniParse;

std::shared_ptr<const Snapshot> build_snapshot(const FileStamp& stamp, std::string text) {
    auto snap = std::make_shared<Snapshot>();
    snap->stamp = stamp;
    snap->racy = is_racy(stamp);
    RawDoc raw = parse_raw(text);
    for (auto& [name, keys] : raw) {
        if (snap->index.count(name)) continue;  // first section wins
        Snapshot::Section sec;
        sec.name = name;
        for (auto& [k, v] : keys) {
            if (sec.index.count(k)) continue;  // first key wins
            sec.index.emplace(k, sec.keys.size());
            sec.keys.emplace_back(std::move(k), std::move(v));
        }
        snap->index.emplace(sec.name, snap->sections.size());
        snap->sections.push_back(std::move(sec));
    }
    if (snap->racy) snap->text = std::move(text);
    return snap;
}

// Parsed files by path, published as one immutable map: a reader loads the
// map without a lock, and a re-parse publishes a copy with its entry
// replaced (writers serialised by the lock; the map holds a few files).
using FileMap = SupportState::IniFiles;
using Cache = SupportState::Ini;

Cache& cache() {
    return support_state().ini;
}

void store_parse(const std::string& path, std::shared_ptr<const Snapshot> snap) {
    Cache& c = cache();
    std::lock_guard lk(c.publish_lock);
    auto next = std::make_shared<FileMap>(*c.files.load());
    (*next)[path] = std::move(snap);
    c.files.publish(std::move(next));
}

void trace_unreadable(const std::string& path, int err) {
    platform::trace(kTraceTag, platform::strprintf("Cannot read %s (%s), using defaults",
                                                   path.c_str(), std::strerror(err)));
}

// The current snapshot of path: one stat when nothing changed, a re-read
// and re-parse otherwise.
std::shared_ptr<const Snapshot> lookup(const std::string& path) {
    Cache& c = cache();
    FileStamp now = platform::file_stamp(path);
    std::shared_ptr<const Snapshot> cur;
    {
        std::shared_ptr<const FileMap> files = c.files.load();
        auto it = files->find(path);
        if (it != files->end()) cur = it->second;
    }
    if (cur && cur->stamp == now) {
        if (!cur->racy) return cur;
        // Same stamp but modified within one timestamp tick of a possible
        // later write: compare the bytes themselves.
        FileStamp st;
        std::optional<std::string> text = read_with_stamp(path, st);
        if (text && st == cur->stamp && *text == cur->text) {
            if (is_racy(st)) return cur;
            // Settled: keep the parse, drop the byte copy.
            auto settled = std::make_shared<Snapshot>(*cur);
            settled->racy = false;
            settled->text.clear();
            store_parse(path, settled);
            return settled;
        }
    }

    FileStamp st;
    std::optional<std::string> text = read_with_stamp(path, st);
    std::shared_ptr<const Snapshot> snap;
    if (text) {
        snap = build_snapshot(st, std::move(*text));
    } else {
        // Keyed by what stat saw, so an unreadable file that stays as it is
        // is not re-opened at every read.
        auto empty = std::make_shared<Snapshot>();
        empty->stamp = now;
        empty->read_error = st.error ? st.error : EIO;
        snap = empty;
        // One trace line per failure, not one per read.
        if (!cur || cur->read_error != empty->read_error) trace_unreadable(path, empty->read_error);
    }
    store_parse(path, snap);
    return snap;
}

std::string cut(std::string_view v, size_t size) {
    if (size > 0 && v.size() > size - 1) v = v.substr(0, size - 1);
    return std::string(v);
}

// --- writers -----------------------------------------------------------------

// Serialises read-modify-write of any file.
std::mutex& write_lock() {
    return support_state().ini.write_lock;
}

bool valid_section_name(std::string_view s) {
    return !s.empty() && s.find_first_of("]\r\n") == std::string_view::npos &&
           trim_blanks(s).size() == s.size() && s.find('\0') == std::string_view::npos;
}

bool valid_key_name(std::string_view k) {
    return !k.empty() && k.find_first_of("=\r\n") == std::string_view::npos && k.front() != ';' &&
           k.front() != '[' && trim_blanks(k).size() == k.size() &&
           k.find('\0') == std::string_view::npos;
}

// The stored form of a value: quoted when reading back would otherwise
// change it (surrounding blanks, or a quote pair the reader would strip).
std::optional<std::string> encode_value(std::string_view v) {
    if (v.find_first_of("\r\n") != std::string_view::npos || v.find('\0') != std::string_view::npos)
        return std::nullopt;
    bool needs_quotes = trim_blanks(v).size() != v.size() || strip_quotes(v).size() != v.size();
    if (!needs_quotes) return std::string(v);
    std::string quoted;
    quoted.reserve(v.size() + 2);
    quoted.push_back('"');
    quoted.append(v);
    quoted.push_back('"');
    return quoted;
}

struct TextLine {
    std::string_view body;  // without terminator
    std::string_view eol;   // "\n", "\r\n" or "" for the last line
};

std::vector<TextLine> split_lines(std::string_view text) {
    std::vector<TextLine> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) {
            out.push_back({text.substr(pos), {}});
            break;
        }
        size_t end = nl;
        if (end > pos && text[end - 1] == '\r') --end;
        out.push_back({text.substr(pos, end - pos), text.substr(end, nl + 1 - end)});
        pos = nl + 1;
    }
    return out;
}

std::string_view newline_of(std::string_view text) {
    size_t nl = text.find('\n');
    if (nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r') return "\r\n";
    return "\n";
}

// Section spans: [header, end) line ranges of every section named name.
struct Span {
    size_t header, end;
};
std::vector<Span> section_spans(const std::vector<TextLine>& lines, std::string_view name) {
    std::vector<Span> spans;
    bool open = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view b = lines[i].body;
        if (i == 0 && b.substr(0, 3) == "\xEF\xBB\xBF") b.remove_prefix(3);
        Line l = classify(b);
        if (l.kind == LineKind::Section || l.kind == LineKind::BadSection) {
            if (open) spans.back().end = i, open = false;
            if (l.kind == LineKind::Section && platform::iequals(l.name, name)) {
                spans.push_back({i, lines.size()});
                open = true;
            }
        }
    }
    return spans;
}

bool is_key_line(std::string_view body, std::string_view key) {
    Line l = classify(body);
    return l.kind == LineKind::Key && platform::iequals(l.name, key);
}

std::string join(const std::vector<TextLine>& lines, const std::vector<bool>& drop) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (drop[i]) continue;
        out.append(lines[i].body);
        out.append(lines[i].eol);
    }
    return out;
}

// Current bytes of a file for editing: empty when it does not exist.
std::optional<std::string> read_for_edit(const std::string& file, bool& existed) {
    FileStamp st;
    std::optional<std::string> text = read_with_stamp(file, st);
    existed = text.has_value();
    if (!text && st.error == ENOENT) return std::string();
    return text;
}

bool write_back(const std::string& file, const std::string& text) {
    if (!platform::replace_file(file, text)) {
        platform::tracef("IniSetProfileString", "Cannot write %s (%s)", file.c_str(),
                         std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

// --- public -------------------------------------------------------------------

void SMSIniSetFilename(const std::string& path) {
    SupportState::Ini& ini = support_state().ini;
    std::lock_guard lk(ini.names_lock);
    ini.sms_ini = path;
}

void MMSCIniSetFilename(const std::string& path) {
    SupportState::Ini& ini = support_state().ini;
    std::lock_guard lk(ini.names_lock);
    ini.mmsc_ini = path;
}

std::string SMSIniGetFilename() {
    {
        SupportState::Ini& ini = support_state().ini;
        std::lock_guard lk(ini.names_lock);
        if (!ini.sms_ini.empty()) return ini.sms_ini;
    }
    return GetProgramDataDirectory() + "SMSGW.INI";
}

std::string MMSCIniGetFilename() {
    {
        SupportState::Ini& ini = support_state().ini;
        std::lock_guard lk(ini.names_lock);
        if (!ini.mmsc_ini.empty()) return ini.mmsc_ini;
    }
    return GetProgramDataDirectory() + "MMSC.INI";
}

std::string SharedVolumeIniGetFilename() {
    return GetProgramDataDirectory() + "SHAREDVOL.INI";
}

std::string SMSIniGetProfileString(std::string_view section, std::string_view key,
                                   std::string_view def, size_t size) {
    return ini_get(SMSIniGetFilename(), section, key, def, size);
}

std::string MMSCIniGetProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, size_t size) {
    return ini_get(MMSCIniGetFilename(), section, key, def, size);
}

std::string SharedVolumeIniGetProfileString(std::string_view section, std::string_view key,
                                            std::string_view def, size_t size) {
    return ini_get(SharedVolumeIniGetFilename(), section, key, def, size);
}

std::string ini_get(const std::string& file, std::string_view section, std::string_view key,
                    std::string_view def, size_t size) {
    auto snap = lookup(file);
    if (const Snapshot::Section* s = snap->find_section(section)) {
        auto it = s->index.find(key);
        if (it != s->index.end()) return cut(s->keys[it->second].second, size);
    }
    return cut(def, size);
}

std::optional<std::string> ini_find(const std::string& file, std::string_view section,
                                    std::string_view key) {
    auto snap = lookup(file);
    if (const Snapshot::Section* s = snap->find_section(section)) {
        auto it = s->index.find(key);
        if (it != s->index.end()) return s->keys[it->second].second;
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> ini_section(const std::string& file,
                                                             std::string_view section) {
    auto snap = lookup(file);
    if (const Snapshot::Section* s = snap->find_section(section)) return s->keys;
    return {};
}

std::vector<std::string> ini_sections(const std::string& file) {
    auto snap = lookup(file);
    std::vector<std::string> out;
    out.reserve(snap->sections.size());
    for (const auto& s : snap->sections) out.push_back(s.name);
    return out;
}

bool ini_has_section(const std::string& file, std::string_view section) {
    return lookup(file)->find_section(section) != nullptr;
}

bool ini_set(const std::string& file, std::string_view section, std::string_view key,
             std::string_view value) {
    std::optional<std::string> enc = encode_value(value);
    if (!valid_section_name(section) || !valid_key_name(key) || !enc) {
        platform::trace("IniSetProfileString", "Invalid section, key or value refused");
        return false;
    }
    std::lock_guard lk(write_lock());
    bool existed = false;
    std::optional<std::string> text = read_for_edit(file, existed);
    if (!text) {
        platform::tracef("IniSetProfileString", "Cannot read %s (%s)", file.c_str(),
                         std::strerror(errno));
        return false;
    }
    std::string_view nl = newline_of(*text);
    std::string entry = std::string(key) + "=" + *enc;
    std::vector<TextLine> lines = split_lines(*text);
    std::vector<Span> spans = section_spans(lines, section);
    std::string out;
    if (spans.empty()) {
        out = *text;
        if (!out.empty() && out.back() != '\n') out.append(nl);
        out.append("[").append(section).append("]").append(nl);
        out.append(entry).append(nl);
        return write_back(file, out);
    }
    const Span& sp = spans.front();
    size_t replace_at = SIZE_MAX;
    for (size_t i = sp.header + 1; i < sp.end; ++i)
        if (is_key_line(lines[i].body, key)) {
            replace_at = i;
            break;
        }
    // New keys go after the section's last setting line: blank and comment
    // lines below it lead into the next section and stay with it.
    size_t insert_after = sp.header;
    for (size_t i = sp.header + 1; i < sp.end; ++i) {
        LineKind k = classify(lines[i].body).kind;
        if (k != LineKind::Blank && k != LineKind::Comment) insert_after = i;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i == replace_at) {
            out.append(entry).append(lines[i].eol);
            continue;
        }
        out.append(lines[i].body);
        if (replace_at == SIZE_MAX && i == insert_after) {
            out.append(lines[i].eol.empty() ? nl : lines[i].eol);
            out.append(entry).append(nl);
            continue;
        }
        out.append(lines[i].eol);
    }
    return write_back(file, out);
}

bool ini_delete_key(const std::string& file, std::string_view section, std::string_view key) {
    std::lock_guard lk(write_lock());
    bool existed = false;
    std::optional<std::string> text = read_for_edit(file, existed);
    if (!text) return false;
    if (!existed) return true;
    std::vector<TextLine> lines = split_lines(*text);
    std::vector<Span> spans = section_spans(lines, section);
    if (spans.empty()) return true;
    // Every copy of the key in the section readers use: deleting only the
    // first would expose a later duplicate.
    std::vector<bool> drop(lines.size(), false);
    bool any = false;
    for (size_t i = spans.front().header + 1; i < spans.front().end; ++i)
        if (is_key_line(lines[i].body, key)) drop[i] = any = true;
    if (!any) return true;
    return write_back(file, join(lines, drop));
}

bool ini_delete_section(const std::string& file, std::string_view section) {
    std::lock_guard lk(write_lock());
    bool existed = false;
    std::optional<std::string> text = read_for_edit(file, existed);
    if (!text) return false;
    if (!existed) return true;
    std::vector<TextLine> lines = split_lines(*text);
    std::vector<Span> spans = section_spans(lines, section);
    if (spans.empty()) return true;
    // Every section of that name: a later duplicate would otherwise surface.
    std::vector<bool> drop(lines.size(), false);
    for (const Span& sp : spans) {
        // Blank and comment lines just above the next header describe that
        // section, not this one: they stay.
        size_t end = sp.end;
        while (end > sp.header + 1) {
            LineKind k = classify(lines[end - 1].body).kind;
            if (k != LineKind::Blank && k != LineKind::Comment) break;
            --end;
        }
        for (size_t i = sp.header; i < end; ++i) drop[i] = true;
    }
    return write_back(file, join(lines, drop));
}

std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
ini_parse_text(std::string_view text) {
    return parse_raw(text);
}

void ini_drop_cache_for_tests() {
    Cache& c = cache();
    std::lock_guard lk(c.publish_lock);
    c.files.publish(std::make_shared<const FileMap>());
}

}  // namespace support
