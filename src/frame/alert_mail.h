// Alert e-mail after each service event report. Sending is not wired yet:
// the call returns without doing anything until the mail sender exists.
#pragma once

#include <string_view>

namespace frame {

// type: 0 success, 1 error, 2 warning.
void ReportEventToEMail(int type, std::string_view text);

}  // namespace frame
