// Option lists of the submit and delivery records, and their text form.
#include "protocols/common/message.h"

#include "platform/text.h"

namespace protocols::common {

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
    size_t start = 0;
    while (start <= text.size()) {
        size_t semi = text.find(';', start);
        std::string_view item = text.substr(
            start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
        item = platform::trim(item);
        if (!item.empty()) {
            size_t eq = item.find('=');
            if (eq == std::string_view::npos)
                items.emplace_back(std::string(item), std::string());
            else
                items.emplace_back(std::string(platform::trim(item.substr(0, eq))),
                                   std::string(platform::trim(item.substr(eq + 1))));
        }
        if (semi == std::string_view::npos) break;
        start = semi + 1;
    }
    return items;
}

std::string join_option_text(const Options& options) {
    std::string s;
    for (const auto& [n, v] : options) {
        if (!s.empty()) s += "; ";
        s += n;
        s += '=';
        s += v;
    }
    return s;
}

}  // namespace protocols::common
