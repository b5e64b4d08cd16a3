// The template filler of the administration pages. A template holds
// tokens "@@NAME@@" (or "@@NAME:N@@" for at most N characters of the value),
// replaced with the HTML-escaped value; list blocks "<!@@StartX@@>" ...
// "<!@@EndX@@>" repeated once per item with the item's own tokens; the
// heavy block "<!@@StartBlockHeavy@@>" ... "<!@@EndBlockHeavy@@>" always
// shown; and "@@BeginNoCrlf@@" ... "@@EndNoCrlf@@" emitted without line ends.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace frontends::http {

// Token names compare without regard to case.
struct TokenLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using TokenValues = std::map<std::string, std::string, TokenLess>;

struct TemplateData {
    TokenValues values;
    // Values already in HTML (a colour list, an SMPP session table): put in
    // as they are.
    TokenValues raw;
    // List name (X of "<!@@StartX@@>") -> one token set per item.
    std::map<std::string, std::vector<TokenValues>, TokenLess> lists;
};

// The filled page. Tokens that are not known stay as they are; the
// substituted text is never scanned again, so a value holding "@@" or a
// block marker cannot inject anything.
std::string fill_template(std::string_view page, const TemplateData& data);

}  // namespace frontends::http
