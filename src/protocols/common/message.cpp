// Option lists of the submit and delivery records, and their text form.
#include "protocols/common/message.h"

#include <cstdint>

#include "platform/text.h"

namespace protocols::common {

namespace {

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Blanks, and the control characters a record line turns into blanks.
bool blank_or_control(char c) {
    return uint8_t(c) <= 0x20;
}

// The characters a backslash protects in an option text.
bool escapable(char c) {
    return c == '\\' || c == ';' || c == '=' || blank_or_control(c);
}

// Appends s so that parse_option_text reads it back unchanged as a name (an
// '=' would end it) or a value: ';' and the blanks at either end are
// protected, and a backslash only where it would otherwise protect what
// follows it, so that ordinary values are written as they are. Control
// characters at the ends are protected like blanks: a record line that
// holds the text turns them into blanks.
void append_escaped(std::string& out, std::string_view s, bool name) {
    size_t first = 0;
    while (first < s.size() && blank_or_control(s[first])) ++first;
    size_t last = s.size();
    while (last > first && blank_or_control(s[last - 1])) --last;
    for (size_t k = 0; k < s.size(); ++k) {
        char c = s[k];
        bool edge_blank = k < first || k >= last;
        if (c == ';' || (name && c == '=') || edge_blank) {
            out += '\\';
            out += c;
        } else if (c == '\\') {
            // At the end the next character written is the '=' or the ';'.
            bool protect = k + 1 == s.size() || escapable(s[k + 1]);
            out += protect ? "\\\\" : "\\";
        } else {
            out += c;
        }
    }
}

// A name or value being read: blanks at either end are dropped unless a
// backslash protected them.
struct Part {
    std::string text;
    size_t keep = 0;  // length up to the last protected or non-blank character

    void add(char c, bool protected_char) {
        if (!protected_char && blank(c)) {
            if (!text.empty()) text += c;
            return;
        }
        text += c;
        keep = text.size();
    }
    std::string take() {
        text.resize(keep);
        return std::move(text);
    }
};

}  // namespace

const std::string* find_option(const Options& options, std::string_view name) {
    for (const auto& [n, v] : options)
        if (platform::iequals(n, name)) return &v;
    return nullptr;
}

std::string option(const Options& options, std::string_view name) {
    const std::string* v = find_option(options, name);
    return v ? *v : std::string();
}

Options parse_option_text(std::string_view text) {
    Options items;
    size_t i = 0;
    while (i <= text.size()) {
        Part name, value;
        bool has_eq = false;
        for (; i < text.size() && text[i] != ';'; ++i) {
            char c = text[i];
            bool protected_char = false;
            if (c == '\\' && i + 1 < text.size() && escapable(text[i + 1])) {
                c = text[++i];
                protected_char = true;
            } else if (c == '=' && !has_eq) {
                has_eq = true;
                continue;
            }
            (has_eq ? value : name).add(c, protected_char);
        }
        if (has_eq || name.keep != 0) items.emplace_back(name.take(), value.take());
        ++i;  // past the ';' (or the end)
    }
    return items;
}

std::string join_option_text(const Options& options) {
    std::string s;
    for (const auto& [n, v] : options) {
        if (!s.empty()) s += "; ";
        append_option_item(s, n, v);
    }
    return s;
}

void append_option_item(std::string& text, std::string_view name, std::string_view value) {
    append_escaped(text, name, true);
    text += '=';
    append_escaped(text, value, false);
}

}  // namespace protocols::common
