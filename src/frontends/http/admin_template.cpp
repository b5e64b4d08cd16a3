// The administration template filler.
#include "frontends/http/admin_template.h"

#include <cctype>

#include "frontends/http/http_request.h"
#include "platform/text.h"

namespace frontends::http {

namespace {

constexpr std::string_view kNoCrlfBegin = "@@BeginNoCrlf@@";
constexpr std::string_view kNoCrlfEnd = "@@EndNoCrlf@@";
constexpr std::string_view kHeavyStart = "<!@@StartBlockHeavy@@>";
constexpr std::string_view kHeavyEnd = "<!@@EndBlockHeavy@@>";
constexpr std::string_view kListStart = "<!@@Start";
constexpr std::string_view kListEnd = "<!@@End";
constexpr size_t kMaxTokenName = 64;
constexpr int kMaxListDepth = 8;

bool token_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

void erase_all(std::string& text, std::string_view what) {
    size_t pos;
    while ((pos = text.find(what)) != std::string::npos) text.erase(pos, what.size());
}

// Line ends dropped between the NoCrlf marks (an open mark runs to the end),
// the heavy block's marks removed.
std::string prepare(std::string_view page) {
    std::string out;
    out.reserve(page.size());
    size_t pos = 0;
    while (pos < page.size()) {
        size_t b = page.find(kNoCrlfBegin, pos);
        if (b == std::string_view::npos) {
            out.append(page.substr(pos));
            break;
        }
        out.append(page.substr(pos, b - pos));
        size_t from = b + kNoCrlfBegin.size();
        size_t e = page.find(kNoCrlfEnd, from);
        std::string_view inner =
            page.substr(from, e == std::string_view::npos ? std::string_view::npos : e - from);
        for (char c : inner)
            if (c != '\r' && c != '\n') out.push_back(c);
        pos = e == std::string_view::npos ? page.size() : e + kNoCrlfEnd.size();
    }
    erase_all(out, kHeavyStart);
    erase_all(out, kHeavyEnd);
    return out;
}

const std::string* lookup(const TokenValues& v, const std::string& name) {
    auto it = v.find(name);
    return it == v.end() ? nullptr : &it->second;
}

void fill(std::string_view page, const TemplateData& data, const TokenValues* item,
          std::string& out, int depth);

// A token at page[pos] ("@@NAME@@" or "@@NAME:N@@"): its length in the
// page, or 0 when it is none or unknown (then copied as it is).
size_t take_token(std::string_view page, size_t pos, const TemplateData& data,
                  const TokenValues* item, std::string& out) {
    size_t i = pos + 2;
    size_t name_start = i;
    while (i < page.size() && i - name_start <= kMaxTokenName && token_char(page[i])) ++i;
    if (i == name_start || i - name_start > kMaxTokenName) return 0;
    std::string name(page.substr(name_start, i - name_start));
    size_t limit = std::string::npos;
    if (i < page.size() && page[i] == ':') {
        size_t d = ++i;
        size_t n = 0;
        while (i < page.size() && std::isdigit(static_cast<unsigned char>(page[i])) && i - d < 9)
            n = n * 10 + static_cast<size_t>(page[i++] - '0');
        if (i == d) return 0;
        limit = n;
    }
    if (page.substr(i, 2) != "@@") return 0;
    const std::string* raw = lookup(data.raw, name);
    const std::string* value = item ? lookup(*item, name) : nullptr;
    if (!value) value = lookup(data.values, name);
    if (raw && !value) {
        out.append(*raw);
    } else if (value) {
        out.append(html_escape(std::string_view(*value).substr(0, limit)));
    } else {
        return 0;
    }
    return i + 2 - pos;
}

// A list block at page[pos]: its length in the page, 0 when it is none.
size_t take_list(std::string_view page, size_t pos, const TemplateData& data,
                 const TokenValues* item, std::string& out, int depth) {
    size_t name_start = pos + kListStart.size();
    size_t close = page.find("@@>", name_start);
    if (close == std::string_view::npos || close - name_start > kMaxTokenName) return 0;
    std::string name(page.substr(name_start, close - name_start));
    for (char c : name)
        if (!token_char(c)) return 0;
    std::string end_marker = std::string(kListEnd) + name + "@@>";
    size_t body_start = close + 3;
    size_t end = platform::ifind(page, end_marker, body_start);
    if (end == std::string_view::npos) return 0;
    std::string_view body = page.substr(body_start, end - body_start);
    auto it = data.lists.find(name);
    if (depth < kMaxListDepth) {
        if (it == data.lists.end()) {
            fill(body, data, item, out, depth + 1);  // not a list here: shown once
        } else {
            for (const TokenValues& v : it->second) fill(body, data, &v, out, depth + 1);
        }
    }
    return end + end_marker.size() - pos;
}

void fill(std::string_view page, const TemplateData& data, const TokenValues* item,
          std::string& out, int depth) {
    size_t pos = 0;
    while (pos < page.size()) {
        size_t at = page.find("@@", pos);
        size_t list = page.find(kListStart, pos);
        if (list != std::string_view::npos && list + 2 == at) at = list;
        if (at == std::string_view::npos) {
            out.append(page.substr(pos));
            return;
        }
        size_t used = 0;
        if (at == list) {
            out.append(page.substr(pos, at - pos));
            used = take_list(page, at, data, item, out, depth);
            if (!used) {
                out.append(kListStart);
                used = kListStart.size();
            }
        } else {
            out.append(page.substr(pos, at - pos));
            used = take_token(page, at, data, item, out);
            if (!used) {
                out.append("@@");
                used = 2;
            }
        }
        pos = at + used;
    }
}

}  // namespace

bool TokenLess::operator()(const std::string& a, const std::string& b) const {
    return platform::icompare(a, b) < 0;
}

std::string fill_template(std::string_view page, const TemplateData& data) {
    std::string prepared = prepare(page);
    std::string out;
    out.reserve(prepared.size() + prepared.size() / 2);
    fill(prepared, data, nullptr, out, 0);
    return out;
}

}  // namespace frontends::http
