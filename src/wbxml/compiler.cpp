// The scanner, string encoder and header rule every document compiler shares.
#include "wbxml/compiler.h"

#include <charconv>
#include <unordered_map>
#include <vector>

#include "frame/debug_trace.h"
#include "frame/settings.h"
#include "platform/text.h"
#include "radio/charset/charset.h"
#include "support/ini_profile.h"
#include "wbxml/tables.h"

namespace wbxml {

using namespace detail;

namespace {

constexpr uint8_t kSwitchPage = 0x00;
constexpr uint8_t kEnd = 0x01;
constexpr uint8_t kEntity = 0x02;
constexpr uint8_t kStrI = 0x03;
constexpr uint8_t kLiteral = 0x04;
constexpr uint8_t kExtI0 = 0x40;
constexpr uint8_t kStrT = 0x83;
constexpr uint8_t kExtT0 = 0x80;
constexpr uint8_t kOpaque = 0xC3;
constexpr uint8_t kHasAttrs = 0x80;
constexpr uint8_t kHasContent = 0x40;
constexpr uint8_t kCharsetUtf8 = 0x6A;
constexpr uint8_t kCharsetLatin1 = 0x04;
constexpr unsigned kLatin1CodePage = 28591;
constexpr unsigned kDefaultCodePage = 1252;
constexpr size_t kMaxRun = kScratchSize - 1;

bool name_end(char c) { return c == '/' || c == '>' || static_cast<unsigned char>(c) < '!'; }
bool blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

// The position of root in text where it stands as a whole element name.
size_t find_root(std::string_view text, std::string_view root) {
    for (size_t at = text.find(root); at != std::string_view::npos; at = text.find(root, at + 1)) {
        size_t end = at + root.size();
        if (end >= text.size() || name_end(text[end])) return at;
    }
    return std::string_view::npos;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// The XML declaration's encoding, when the text has one.
struct Declaration {
    bool utf8 = false;
    unsigned code_page = 0;
};
Declaration read_declaration(std::string_view text) {
    Declaration d;
    size_t at = text.find("<?xml");
    if (at == std::string_view::npos) return d;
    size_t end = text.find("?>", at);
    std::string_view decl = text.substr(at, end == std::string_view::npos ? 200 : end - at);
    for (size_t i = 0; i + 5 <= decl.size(); ++i)
        if (platform::iequals(decl.substr(i, 5), "utf-8")) d.utf8 = true;
    size_t e = decl.find("encoding");
    if (e == std::string_view::npos) return d;
    e = decl.find('=', e);
    if (e == std::string_view::npos) return d;
    ++e;
    while (e < decl.size() && blank(decl[e])) ++e;
    char quote = e < decl.size() && (decl[e] == '"' || decl[e] == '\'') ? decl[e++] : 0;
    size_t stop = e;
    while (stop < decl.size() && stop - e < 98 && decl[stop] != quote &&
           (quote || (!blank(decl[stop]) && decl[stop] != '?')))
        ++stop;
    d.code_page = radio::charset::charset_to_code_page(decl.substr(e, stop - e));
    return d;
}

class Compiler {
  public:
    Compiler(const FamilyTable& t, const CompileOptions& o, bool utf8_out)
        : t_(t), o_(o), utf8_out_(utf8_out) {}

    bool run(std::string_view text, size_t start);
    void prefill_table(std::string_view text);
    std::string finish(uint8_t version, uint8_t charset) const;

  private:
    struct Attr {
        std::string_view name, value;
    };

    const TagToken* find_tag(std::string_view name) const;
    void tag_page(uint8_t p);
    void write_attr(std::string& out, const Attr& a);
    void encode_value(std::string& out, std::string_view value);
    void encode_string(std::string& out, std::string_view s, bool attr);
    void put_char(std::string& out, uint32_t cp) const;
    uint32_t table_index(std::string_view s);
    void close_top(std::string_view expected);

    const FamilyTable& t_;
    const CompileOptions& o_;
    bool utf8_out_;
    std::string body_;
    std::string table_;
    std::unordered_map<std::string, uint32_t> table_index_;
    std::unordered_map<size_t, std::vector<uint32_t>> table_by_len_;
    std::vector<std::string> open_;
    uint8_t tag_page_ = 0;
    uint8_t attr_page_ = 0;
};

const TagToken* Compiler::find_tag(std::string_view name) const {
    for (const TagToken& tk : t_.tags)
        if (platform::iequals(tk.name, name) && (tk.page == 0 || o_.oma_code_pages)) return &tk;
    return nullptr;
}

void Compiler::tag_page(uint8_t p) {
    if (p == tag_page_) return;
    body_ += char(kSwitchPage);
    body_ += char(p);
    tag_page_ = p;
}

uint32_t Compiler::table_index(std::string_view s) {
    auto it = table_index_.find(std::string(s));
    if (it != table_index_.end()) return it->second;
    auto idx = static_cast<uint32_t>(table_.size());
    table_.append(s);
    table_ += '\0';
    table_index_.emplace(std::string(s), idx);
    table_by_len_[s.size()].push_back(idx);
    return idx;
}

void Compiler::put_char(std::string& out, uint32_t cp) const {
    if (cp == 0) {
        out += '-';
    } else if (utf8_out_) {
        append_utf8(out, cp);
    } else {
        out += char(cp & 0xFF);
    }
}

// Variables "$name" and "$(name[:mode])"; returns the characters used, 0
// when the text at s is no variable.
size_t parse_variable(std::string_view s, std::string& name, int& mode) {
    mode = 2;
    size_t i = 1;
    bool paren = i < s.size() && s[i] == '(';
    if (paren) ++i;
    size_t begin = i;
    auto name_char = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_';
    };
    while (i < s.size()) {
        if (name_char(s[i])) {
            ++i;
        } else if (s[i] == '&' && i + 1 < s.size() && s[i + 1] == '#') {
            size_t semi = s.find(';', i);
            if (semi == std::string_view::npos || semi - i > 10) break;
            i = semi + 1;
        } else {
            break;
        }
    }
    if (i == begin) return 0;
    name.assign(s.substr(begin, i - begin));
    if (!paren) return i;
    if (i < s.size() && s[i] == ':') {
        size_t m = ++i;
        while (i < s.size() && s[i] != ')') ++i;
        std::string_view word = s.substr(m, i - m);
        if (platform::iequals(word, "escape") || platform::iequals(word, "esc") || platform::iequals(word, "e"))
            mode = 0;
        else if (platform::iequals(word, "unesc") || platform::iequals(word, "u"))
            mode = 1;
        else if (platform::iequals(word, "noesc") || platform::iequals(word, "n"))
            mode = 2;
        else
            return 0;
    }
    if (i >= s.size() || s[i] != ')') return 0;
    return i + 1;
}

struct Reference {
    size_t length = 0;  // 0: no reference here
    uint32_t code = 0;
    bool named = false;
};
Reference parse_reference(std::string_view s) {
    static constexpr std::pair<std::string_view, uint32_t> kNamed[] = {
        {"&amp;", '&'}, {"&quot;", '"'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''},
        {"&nbsp;", 160}};
    for (auto [text, code] : kNamed)
        if (s.substr(0, text.size()) == text) return {text.size(), code, true};
    if (s.size() < 3 || s[1] != '#') return {};
    bool hex = s[2] == 'x' || s[2] == 'X';
    size_t i = hex ? 3 : 2;
    uint32_t code = 0;
    auto [p, ec] = std::from_chars(s.data() + i, s.data() + std::min(s.size(), i + 8), code,
                                   hex ? 16 : 10);
    if (ec != std::errc() || p == s.data() + i || code > 0x10FFFF) return {};
    size_t len = static_cast<size_t>(p - s.data());
    if (len < s.size() && s[len] == ';') ++len;
    return {len, code, false};
}

void Compiler::encode_string(std::string& out, std::string_view in, bool attr) {
    std::string s;
    s.reserve(in.size());
    for (size_t i = 0; i < in.size();) {
        if (in.substr(i, 5) == "&#36;") {
            s += '$';
            i += 5;
        } else if (in.substr(i, 6) == "&#x24;") {
            s += '$';
            i += 6;
        } else {
            s += in[i++];
        }
    }
    bool open = false;
    auto open_str = [&] {
        if (!open) out += char(kStrI);
        open = true;
    };
    auto close_str = [&] {
        if (open) out += '\0';
        open = false;
    };
    for (size_t i = 0; i < s.size();) {
        if (auto it = table_by_len_.find(s.size() - i); it != table_by_len_.end()) {
            std::string_view rest = std::string_view(s).substr(i);
            bool hit = false;
            for (uint32_t idx : it->second)
                if (std::string_view(table_).substr(idx, rest.size()) == rest) {
                    close_str();
                    out += char(kStrT);
                    append_mb_u_int32(out, idx);
                    hit = true;
                    break;
                }
            if (hit) break;
        }
        char c = s[i];
        if (c == '$') {
            if (i + 1 < s.size() && s[i + 1] == '$') {
                open_str();
                out += '$';
                i += 2;
                continue;
            }
            std::string name;
            int mode = 2;
            if (size_t used = parse_variable(std::string_view(s).substr(i), name, mode)) {
                close_str();
                if (auto found = table_index_.find(name); found != table_index_.end()) {
                    out += char(kExtT0 + mode);
                    append_mb_u_int32(out, found->second);
                } else {
                    out += char(kExtI0 + mode);
                    out += name;
                    out += '\0';
                }
                i += used;
                continue;
            }
        } else if (c == '&') {
            Reference r = parse_reference(std::string_view(s).substr(i));
            if (r.length) {
                if (r.named && !attr) {
                    close_str();
                    out += char(kEntity);
                    append_mb_u_int32(out, r.code);
                } else {
                    open_str();
                    put_char(out, r.code);
                }
                i += r.length;
                continue;
            }
        }
        open_str();
        out += c;
        ++i;
    }
    close_str();
}

void Compiler::encode_value(std::string& out, std::string_view value) {
    for (const ValueToken& v : t_.values)
        if (v.value == value && (v.page == 0 || o_.oma_code_pages)) {
            if (v.page != attr_page_) {
                out += char(kSwitchPage);
                out += char(v.page);
                attr_page_ = v.page;
            }
            out += char(v.token);
            return;
        }
    // Value tokens that end a URL part (".com/") may stand inside the value.
    for (const ValueToken& v : t_.values) {
        if (v.value.empty() || v.value.front() != '.') continue;
        size_t at = value.find(v.value);
        if (at == std::string_view::npos) continue;
        if (at) encode_string(out, value.substr(0, at), true);
        out += char(v.token);
        if (at + v.value.size() < value.size())
            encode_value(out, value.substr(at + v.value.size()));
        return;
    }
    if (!value.empty()) encode_string(out, value, true);
}

void Compiler::write_attr(std::string& out, const Attr& a) {
    const AttrToken* best = nullptr;
    for (int pass = 0; pass < 4 && !best; ++pass) {
        for (const AttrToken& at : t_.attrs) {
            if (!platform::iequals(at.name, a.name) || (at.page != 0 && !o_.oma_code_pages)) continue;
            bool fits = false;
            switch (pass) {
                case 0:
                    fits = at.form == AttrForm::Exact && at.value == a.value;
                    break;
                case 1:
                    fits = at.form == AttrForm::Prefix && a.value.substr(0, at.value.size()) == at.value &&
                           (!best || at.value.size() > best->value.size());
                    break;
                case 2:
                    fits = at.form == AttrForm::Any || at.form == AttrForm::Date;
                    break;
                default:
                    fits = at.form == AttrForm::NoValue;
            }
            if (fits) {
                best = &at;
                if (pass != 1) break;
            }
        }
    }
    if (!best) return;  // an attribute this document type does not know
    if (best->page != attr_page_) {
        out += char(kSwitchPage);
        out += char(best->page);
        attr_page_ = best->page;
    }
    out += char(best->token);
    switch (best->form) {
        case AttrForm::Any:
            encode_value(out, a.value);
            break;
        case AttrForm::Prefix:
            encode_value(out, a.value.substr(best->value.size()));
            break;
        case AttrForm::Date: {
            std::string digits;
            for (char c : a.value)
                if (c >= '0' && c <= '9') digits += c;
            if (digits.size() % 2) digits += '0';
            std::string octets;
            for (size_t i = 0; i < digits.size(); i += 2)
                octets += char(((digits[i] - '0') << 4) | (digits[i + 1] - '0'));
            while (!octets.empty() && octets.back() == '\0') octets.pop_back();
            out += char(kOpaque);
            append_mb_u_int32(out, static_cast<uint32_t>(octets.size()));
            out += octets;
            break;
        }
        default:
            break;
    }
}

void Compiler::close_top(std::string_view expected) {
    if (expected.empty())
        frame::debug_tracef(t_.trace, "Closing incomplete tag -- %s", open_.back().c_str());
    else
        frame::debug_tracef(t_.trace, "Closing incomplete tag -- %s (did not expect %.*s)",
                            open_.back().c_str(), static_cast<int>(expected.size()),
                            expected.data());
    body_ += char(kEnd);
    open_.pop_back();
}

// Attribute values of provisioning documents that repeat and have no token
// go into the string table before the body is written.
void Compiler::prefill_table(std::string_view text) {
    std::unordered_map<std::string, int> seen;
    std::vector<std::string> order;
    for (std::string_view key : {"type=", "name=", "value="}) {
        for (size_t at = text.find(key); at != std::string_view::npos;
             at = text.find(key, at + 1)) {
            size_t v = at + key.size();
            if (v >= text.size() || (text[v] != '"' && text[v] != '\'')) continue;
            size_t end = text.find(text[v], v + 1);
            if (end == std::string_view::npos) continue;
            std::string_view value = text.substr(v + 1, end - v - 1);
            bool plain = !value.empty();
            for (char c : value)
                if (c == '$' || c == '&' || static_cast<unsigned char>(c) > 127) plain = false;
            for (const ValueToken& vt : t_.values)
                if (vt.value == value) plain = false;
            for (const AttrToken& a : t_.attrs)
                if (a.form == AttrForm::Exact && a.value == value) plain = false;
            if (!plain) continue;
            if (++seen[std::string(value)] == 2) order.emplace_back(value);
        }
    }
    for (const std::string& v : order) table_index(v);
}

bool Compiler::run(std::string_view text, size_t pos) {
    const size_t n = text.size();
    while (pos < n) {
        if (text[pos] != '<') {
            // Text between tags: leading blanks dropped, runs of white space
            // that start with a control character folded into one blank.
            size_t end = text.find('<', pos);
            if (end == std::string_view::npos) end = n;
            std::string run;
            size_t i = pos;
            while (i < end && blank(text[i])) ++i;
            for (; i < end && run.size() < kMaxRun; ++i) {
                if (blank(text[i]) && text[i] != ' ') {
                    while (i + 1 < end && blank(text[i + 1])) ++i;
                    run += ' ';
                } else {
                    run += text[i];
                }
            }
            while (!run.empty() && run.back() == ' ') run.pop_back();
            if (!run.empty() && !open_.empty()) encode_string(body_, run, false);
            pos = end;
            continue;
        }
        std::string_view rest = text.substr(pos);
        if (rest.substr(0, 9) == "<![CDATA[") {
            size_t end = text.find("]]>", pos + 9);
            if (end == std::string_view::npos) end = n;
            std::string_view data = text.substr(pos + 9, std::min(end - pos - 9, kMaxRun));
            if (!data.empty() && !open_.empty()) encode_string(body_, data, false);
            pos = end == n ? n : end + 3;
            continue;
        }
        if (rest.substr(0, 4) == "<!--") {
            size_t end = text.find("-->", pos + 4);
            pos = end == std::string_view::npos ? n : end + 3;
            continue;
        }
        if (rest.substr(0, 2) == "<!" || rest.substr(0, 2) == "<?") {
            int depth = 0;
            size_t i = pos;
            for (; i < n; ++i) {
                if (text[i] == '<') ++depth;
                if (text[i] == '>' && --depth == 0) break;
            }
            pos = i + 1;
            continue;
        }
        if (rest.substr(0, 2) == "</") {
            size_t end = text.find('>', pos);
            std::string_view name = text.substr(pos + 2, (end == std::string_view::npos ? n : end) - pos - 2);
            while (!name.empty() && blank(name.back())) name.remove_suffix(1);
            pos = end == std::string_view::npos ? n : end + 1;
            size_t k = open_.size();
            while (k > 0 && !platform::iequals(open_[k - 1], name)) --k;
            if (k == 0) return true;  // nothing open by that name: the document ends
            while (open_.size() > k) close_top(name);
            body_ += char(kEnd);
            open_.pop_back();
            if (open_.empty()) return true;
            continue;
        }
        // An opening tag.
        size_t i = pos + 1;
        while (i < n && !name_end(text[i]) && i - pos <= kMaxRun) ++i;
        std::string_view name = text.substr(pos + 1, i - pos - 1);
        std::vector<Attr> attrs;
        bool empty = false;
        while (i < n) {
            while (i < n && blank(text[i])) ++i;
            if (i >= n) break;
            if (text[i] == '>') {
                ++i;
                break;
            }
            if (text[i] == '/') {
                empty = true;
                ++i;
                continue;
            }
            size_t a = i;
            while (i < n && text[i] != '=' && text[i] != '>' && text[i] != '/' && !blank(text[i])) ++i;
            Attr at{text.substr(a, i - a), {}};
            while (i < n && blank(text[i])) ++i;
            if (i < n && text[i] == '=') {
                ++i;
                while (i < n && blank(text[i])) ++i;
                if (i < n && (text[i] == '"' || text[i] == '\'')) {
                    size_t close = text.find(text[i], i + 1);
                    if (close == std::string_view::npos) close = n;
                    at.value = text.substr(i + 1, std::min(close - i - 1, kMaxRun));
                    i = close == n ? n : close + 1;
                } else {
                    size_t v = i;
                    while (i < n && !blank(text[i]) && text[i] != '>' && text[i] != '/') ++i;
                    at.value = text.substr(v, i - v);
                }
            }
            if (!at.name.empty()) attrs.push_back(at);
        }
        pos = i;
        if (open_.size() >= kMaxDepth) {
            frame::debug_tracef(t_.trace, "Document nested deeper than %zu elements", kMaxDepth);
            return false;
        }
        if (const TagToken* tk = find_tag(name)) {
            std::string attr_bytes;
            for (const Attr& a : attrs) write_attr(attr_bytes, a);
            tag_page(tk->page);
            uint8_t byte = tk->token;
            if (!attr_bytes.empty()) byte |= kHasAttrs;
            if (!empty) byte |= kHasContent;
            body_ += char(byte);
            if (!attr_bytes.empty()) {
                body_ += attr_bytes;
                body_ += char(kEnd);
            }
        } else {
            uint32_t idx = table_index(name);
            body_ += char(kLiteral | (empty ? 0 : kHasContent));
            append_mb_u_int32(body_, idx);
        }
        if (!empty) open_.emplace_back(name.substr(0, 80));
    }
    while (!open_.empty()) close_top({});
    return true;
}

std::string Compiler::finish(uint8_t version, uint8_t charset) const {
    std::string out;
    out.reserve(body_.size() + table_.size() + 8);
    out += char(version);
    append_mb_u_int32(out, t_.public_id);
    append_mb_u_int32(out, charset);
    append_mb_u_int32(out, static_cast<uint32_t>(table_.size()));
    out += table_;
    out += body_;
    return out;
}

}  // namespace

void append_mb_u_int32(std::string& out, uint32_t value) {
    char buf[5];
    int n = 0;
    do {
        buf[n++] = char(value & 0x7F);
        value >>= 7;
    } while (value);
    while (n > 1) out += char(buf[--n] | 0x80);
    out += buf[0];
}

CompileOptions options_from_settings() {
    CompileOptions o;
    std::string version = support::SMSIniGetProfileString("SMSGW", "WAPPushWBXMLVersion", "");
    unsigned major = 0, minor = 0;
    auto [p, ec] = std::from_chars(version.data(), version.data() + version.size(), major);
    if (ec == std::errc() && major != 0 && p < version.data() + version.size() && *p == '.') {
        std::from_chars(p + 1, version.data() + version.size(), minor);
        o.version = static_cast<uint8_t>(minor & 0x7F);
    }
    auto flag = [](std::string_view key, std::string_view def) {
        return frame::parse_bool(support::SMSIniGetProfileString("SMSGW", key, def));
    };
    o.use_utf8 = flag("WAPPushUseUTF8", "Yes");
    o.oma_string_table = flag("OTAUseWBXMLStringTable", "Yes");
    o.oma_code_pages = !flag("DisableOMACodePageSwitch", "No");
    return o;
}

std::string_view family_trace_name(Family f) { return family_table(f).trace; }

size_t compile(Family f, std::string_view text, std::string& out, bool input_utf8,
               bool allow_utf8_out, int* code_page, const CompileOptions& options) {
    out.clear();
    const FamilyTable& t = family_table(f);
    if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
    Declaration decl = read_declaration(text);
    bool utf8_in = input_utf8 || decl.utf8;
    unsigned cp = decl.code_page ? decl.code_page : kDefaultCodePage;
    if (code_page) *code_page = utf8_in ? -1 : static_cast<int>(cp);
    // Families with a fixed header always declare UTF-8, so they always write it.
    bool utf8_out = allow_utf8_out && (options.use_utf8 || !t.configured_header);
    std::string doc = utf8_in ? platform::sanitize_utf8(text) : std::string(text);
    if (!utf8_in && !radio::charset::code_page_to_utf8(doc, cp)) doc = platform::sanitize_utf8(text);
    if (!utf8_out) radio::charset::utf8_to_code_page(doc, kLatin1CodePage);
    size_t start = std::string_view::npos;
    for (std::string_view root : t.roots)
        if ((start = find_root(doc, root)) != std::string_view::npos) break;
    if (start == std::string_view::npos) return 0;
    Compiler c(t, options, utf8_out);
    if (f == Family::OmaProvisioning && options.oma_string_table) c.prefill_table(doc);
    if (!c.run(doc, start)) return 0;
    uint8_t version = t.configured_header ? options.version : t.version;
    uint8_t charset = utf8_out ? kCharsetUtf8 : kCharsetLatin1;
    out = c.finish(version, charset);
    return out.size();
}

#define SMSGW_NAMED_COMPILER(fn, fam)                                                   \
    size_t fn(std::string_view text, std::string& out, bool input_utf8, bool allow_utf8, \
              int* code_page) {                                                         \
        return compile(Family::fam, text, out, input_utf8, allow_utf8, code_page);       \
    }
SMSGW_NAMED_COMPILER(PushSLCompile, ServiceLoading)
SMSGW_NAMED_COMPILER(PushSICompile, ServiceIndication)
SMSGW_NAMED_COMPILER(PushCOCompile, CacheOperation)
SMSGW_NAMED_COMPILER(OTAOMACompile, OmaProvisioning)
SMSGW_NAMED_COMPILER(OMADRMCompile, DrmRights)
SMSGW_NAMED_COMPILER(OMAROAPCompile, RoapTrigger)
SMSGW_NAMED_COMPILER(OMAEMNCompile, EmailNotification)
#undef SMSGW_NAMED_COMPILER

PushDocument detect_push_document(std::string_view text) {
    // The root is the first element after declarations, comments and blanks.
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && blank(text[pos])) ++pos;
        if (text.substr(pos, 4) == "<!--") {
            size_t end = text.find("-->", pos);
            pos = end == std::string_view::npos ? text.size() : end + 3;
        } else if (text.substr(pos, 2) == "<?" || text.substr(pos, 2) == "<!") {
            size_t end = text.find('>', pos);
            pos = end == std::string_view::npos ? text.size() : end + 1;
        } else {
            break;
        }
    }
    PushDocument d;
    if (pos >= text.size() || text[pos] != '<') return d;
    size_t end = pos + 1;
    while (end < text.size() && !name_end(text[end])) ++end;
    std::string_view name = text.substr(pos, end - pos);
    for (int i = 0; i < kFamilyCount; ++i) {
        const FamilyTable& t = family_table(static_cast<Family>(i));
        if (!t.push) continue;
        for (std::string_view root : t.roots)
            if (name == root) {
                d.found = true;
                d.family = t.family;
                d.binary_type = t.binary_type;
                d.xml_type = t.xml_type;
                return d;
            }
    }
    return d;
}

}  // namespace wbxml
