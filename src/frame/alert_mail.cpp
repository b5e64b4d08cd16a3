// Alert e-mail: the entry point event reports and queue alerts call.
#include "frame/alert_mail.h"

namespace frame {

void ReportEventToEMail(int type, std::string_view text) {
    (void)type;
    (void)text;
}

}  // namespace frame
