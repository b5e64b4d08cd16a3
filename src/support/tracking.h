// Message-id tracking: remembers, per link, the far end's id of every
// accepted message with the gateway's own id, the submitting account and the
// addresses, so that delivery receipts can be matched back; plus the SAR
// reference map of the SMPP server. Stored in daily SQLite files
// "YYYYMMDD.DB" in the tracking directory; safe for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace support {

// Size of the stored fields (a field of size N holds N-1 characters). The
// link and the far end's id are keys: longer ones are refused, the other
// fields are cut.
inline constexpr size_t kTrackingFieldSize = 256;

// Days that earlier daily files are searched back from today, matching the
// retention of the tracking directory (SMPPDataRetainDays; 0 means this).
inline constexpr unsigned kDefaultTrackingRetainDays = 15;

// Tracking directory: MessageIDTrackingDir when the frame passes one (a
// trailing '/' is added), else "SMPPData/" below the program data directory.
// Created when missing. Changing it closes the cached connections.
void set_tracking_directory(std::string_view dir);
std::string tracking_directory();
// How many earlier days a look-up searches (0 = the default).
void set_tracking_retention_days(unsigned days);
unsigned tracking_retention_days();

// "%04u%02u%02u.DB": the daily file name for a local date.
std::string tracking_file_name(int year, int month, int day);
// Full path of today's file (local date of platform::now()).
std::string tracking_today_path();

// Stores the association (replacing an earlier one with the same link and
// id in today's file). Non-zero when stored.
int SMSCMessageIdAdd(std::string_view link, std::string_view smsc_id, std::string_view message_id,
                     std::string_view submit_user, std::string_view sender,
                     std::string_view recipient);
// Looks the id up: today's file first, then each earlier day back to the
// retention limit; the newest match wins. Non-zero when found, the outs
// filled; recipient is in/out: a caller's value is kept when the stored
// record has no recipient.
int SMSCMessageIdGet(std::string_view link, std::string_view key, std::string& message_id,
                     std::string& submit_user, std::string& sender, std::string& recipient);
// As SMSCMessageIdGet, every out filled from the record.
int SMSCMessageIdGet2(std::string_view link, std::string_view smsc_id, std::string& message_id,
                      std::string& submit_user, std::string& sender, std::string& recipient);

// --- ids in other forms -------------------------------------------------------

// The numbers an id stands for when it is wholly digits: read as hexadecimal
// (at most 16 significant digits, either case) and, when wholly decimal
// digits, as decimal (fits 64 bits). Leading zeros do not count; the value 0
// is no number here (SMSCs that give no id answer "0").
struct NumericId {
    bool has_hex = false;
    uint64_t hex = 0;
    bool has_dec = false;
    uint64_t dec = 0;
};
NumericId numeric_id_values(std::string_view id);

// How a receipt's id was found. Every form but Exact names the same number
// as the stored id: in the same base with other leading zeros or letter
// case, or in the other base.
enum class IdForm {
    Exact,
    SameHex,      // the same hexadecimal number (leading zeros, letter case)
    SameDecimal,  // the same decimal number (leading zeros)
    DecimalOfHex, // the receipt gives the decimal value of a stored hexadecimal id
    HexOfDecimal, // the receipt gives the hexadecimal value of a stored decimal id
};
// "exact", "hexadecimal", "decimal", "decimal for hexadecimal",
// "hexadecimal for decimal": the words of the debug trace.
std::string_view id_form_name(IdForm form);

struct TrackedMessage {
    std::string smsc_id;  // the id as it was stored
    std::string message_id, submit_user, sender, recipient;
};
enum class MatchResult {
    NotFound,
    Found,
    // The id names, in its other forms, two different stored messages:
    // nothing is taken, as either could be the wrong one.
    Ambiguous,
};
// Finds the message of a receipt's id on a link: the exact id first (the
// newest day first, as SMSCMessageIdGet2); when no day holds it and the id
// is wholly digits, every stored id of the link that names the same number
// in one of the forms above, over the whole retention. Found only when all
// of them belong to one message.
MatchResult SMSCMessageIdMatch(std::string_view link, std::string_view smsc_id,
                               TrackedMessage& out, IdForm& form);

// Grows with every association stored (receipt threads retry waiting
// receipts when it moved).
uint64_t tracking_generation();

// The SQL-library names of the same store.
int sqlSMSCMessageIdAdd(std::string_view link, std::string_view smsc_id,
                        std::string_view message_id, std::string_view submit_user,
                        std::string_view sender, std::string_view recipient);
int sqlSMSCMessageIdGet2(std::string_view link, std::string_view smsc_id, std::string& message_id,
                         std::string& submit_user, std::string& sender, std::string& recipient);
// Searches only today's and yesterday's files (a receipt for a message sent
// just before midnight still matches).
int sqlSMSCMessageIdGetQuick(std::string_view link, std::string_view smsc_id,
                             std::string& message_id, std::string& submit_user, std::string& sender,
                             std::string& recipient);
// Group commits (MessageIDTrackingGroupMs, 0 = off, at most 1000): each
// association is normally committed on its own, durable when the add
// returns. With ms > 0 associations are committed in groups of up to 512
// rows, at most ms apart, which makes an add several times cheaper; look-ups
// in this process see them at once, other connections once committed, and
// a crash loses the last uncommitted group.
inline constexpr unsigned kMaxTrackingGroupMs = 1000;
void set_tracking_group_commit_ms(unsigned ms);
// Commits every group older than the group time (all: every group). The
// receipt threads and the once-a-second round call it.
void commit_tracking_groups(bool all = false);

// Closes every cached connection (at shutdown, before a repair).
void sqlSMSCMessageIdCloseAll();
// Closes the cached connections of daily files older than the retention
// period (hourly): the retention sweep deletes those files, and an open
// connection would keep their space. Returns how many were closed.
unsigned close_expired_tracking_files();

// PRAGMA quick_check on a database file: non-zero when it is sound; 0 when
// it is damaged, not a database or cannot be opened. Never creates the file.
int sqlTestDatabaseOK(const std::string& path);

// What the integrity check learnt about a file. Only Corrupt justifies a
// repair: a file that is missing, unreadable or locked by another
// connection (Unknown) may well be sound and is to be checked again later.
enum class DatabaseHealth { Sound, Corrupt, Unknown };
// How long the check waits for another connection's lock before it gives
// the answer Unknown.
inline constexpr unsigned kIntegrityBusyWaitMs = 1000;
DatabaseHealth check_database_health(const std::string& path);

// SAR references of client submissions: the gateway reference chosen for a
// client's (account, recipient, reference, total). Searched in today's and
// yesterday's files; non-zero when found.
int sqlSARIDGet(std::string_view account, std::string_view recipient, unsigned reference,
                unsigned total, unsigned& gateway_reference);
int sqlSARIDAdd(std::string_view account, std::string_view recipient, unsigned reference,
                unsigned total, unsigned gateway_reference);

}  // namespace support
