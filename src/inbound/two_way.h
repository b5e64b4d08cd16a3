// 2-way commands: the keyword a received text starts with chooses a set of
// actions ([2Way-Keywords] and its "2Way-Keyword-<value>" sections) whose
// results may be sent back to the sender: URLs fetched over HTTP, reply
// texts and files, distribution list edits, mail, and programs.
//
// Programs are started without a shell. The command of a Run action is
// split into its arguments first (blanks separate them, double quotes group
// them), and only then is each placeholder replaced inside its argument:
// whatever a sender writes stays inside that one argument and can neither
// add arguments nor start another program.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frame/http_client.h"
#include "store/request_codec.h"

namespace inbound {

// A received message as the 2-way commands see it.
struct TwoWayMessage {
    store::SmsMessage msg;   // data converted to UTF-8 text where it was coded
    std::string message_id;  // the stored file's name
    std::string msg_date;    // "%04d%02d%02d" of the file time
    std::string msg_time;    // "%02d%02d%02d"
    std::string route;       // the arrival route (RouteName of the link)
};

// The command prefix: the text up to its first character at or below a
// blank, at most 200 characters.
std::string command_prefix(std::string_view text);

// The winning [2Way-Keywords] value for a prefix and recipient ("" when
// none): "<pattern>" or "<pattern>##<recipient list>". Candidates whose
// recipient list matches outrank those without a list; then the longest
// pattern wins, a pattern equal to the whole prefix counting one more.
std::string choose_keyword(const std::vector<std::string>& keywords, std::string_view prefix,
                           std::string_view recipient);

// The actions of a keyword value in their order (DListAdd, DListRemove,
// MailTo, ReplyFile [&&ReplyText], ReplyText, Run) and its RunSendResponse.
std::vector<std::string> keyword_actions(std::string_view keyword_value, bool& send_response);

// Placeholder values ("@@SENDER@@" ...) of a message.
using Placeholders = std::vector<std::pair<std::string, std::string>>;
Placeholders placeholders_for(const TwoWayMessage& m, std::string_view text);

// The action text with every placeholder replaced (names without regard to
// case); url_escape URL-encodes the values, otherwise control characters
// in them become blanks.
std::string replace_placeholders(std::string_view action, const Placeholders& values,
                                 bool url_escape);

// A program command as arguments: split at blanks outside double quotes,
// quotes removed, then the placeholders replaced inside each argument but
// the first (the program is always the one configured).
std::vector<std::string> command_argv(std::string_view command, const Placeholders& values);

// True for "http://", "https://", "httppost://", "httpspost://" actions.
bool is_url_action(std::string_view action);

// One action of a message.
struct TwoWayAction {
    std::string text;               // placeholders replaced (the display form for programs)
    std::vector<std::string> argv;  // program commands only
    bool program = false;
    bool send_response = false;
};

// Action number index of the message's command (false when there is no
// such action). The text converted to ReceiveSMSCharset when it is set.
bool GetProgramToExecute(const TwoWayMessage& m, unsigned index, TwoWayAction& action);

// Largest program output read back, and how long a program may run.
inline constexpr size_t kMaxCommandOutput = 10240;
inline constexpr unsigned kCommandTimeoutMs = 60000;
inline constexpr unsigned kUrlTimeoutS = 60;

// What running one action gave.
struct ActionResult {
    bool ok = false;    // false: the message is kept for a retry
    std::string reply;  // sent back when not blank
};

// Runs one action ("Executing %s"); keep_alive is the calling thread's
// connection for 2WayKeepAlive (may be null).
ActionResult execute_action(const TwoWayMessage& m, const TwoWayAction& action,
                            frame::KeepAlive* keep_alive);

// The RFC 822 text of a mailto action: To, X-MMSC-RCPT-TO, Date, From
// ("<sender>@<SMSDomainName>"), Subject, a blank line and the body.
std::string mail_text(std::string_view to, std::string_view from, std::string_view subject,
                      std::string_view body, time_t when);

}  // namespace inbound
