// Quotas, credits and queue limits: the counter arithmetic against real
// files in a temporary home, the daily warning, racing debits and a crash.
#include "records/quotas.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <thread>
#include <tuple>
#include <vector>

#include "frame/event_log.h"
#include "frame/global_state.h"
#include "frame/queue_dirs.h"
#include "records_fixture.h"
#include "support/accounts.h"

namespace records_test {
namespace {

using records::CreditMode;
constexpr int64_t kBig = int64_t(1) << 50;

// Little-endian n-byte values written and read back.
std::string le(int64_t v, int n) {
    std::string s(n, '\0');
    for (int k = 0; k < n; ++k) s[k] = char(uint64_t(v) >> (8 * k));
    return s;
}
std::string le32(uint32_t v) {
    return le(v, 4);
}
std::string le64(int64_t v) {
    return le(v, 8);
}
uint64_t value_at(const std::string& bytes, size_t at, int n) {
    uint64_t v = 0;
    for (int k = n - 1; k >= 0 && bytes.size() >= at + n; --k) v = v << 8 | uint8_t(bytes[at + k]);
    return v;
}
uint32_t slot_of(const std::string& bytes, unsigned slot) {
    return value_at(bytes, slot * 4, 4);
}
int64_t balance_of(const std::string& b) {
    return b.size() == 8 ? value_at(b, 0, 8) : -1;
}

class QuotasTest : public RecordsTest {
  protected:
    void SetUp() override {
        RecordsTest::SetUp();
        records::reset_quotas_for_tests();
        support::set_account_database_path("");
        frame::set_queue_sizes(0, 0);
    }
    void TearDown() override {
        records::reset_quotas_for_tests();
        RecordsTest::TearDown();
    }
    std::string credit_file(const std::string& acct) { return frame::user_dir(acct) + "SMS.CTR"; }
    std::string quota_file(const std::string& acct, int year) {
        return frame::user_dir(acct) + std::to_string(year) + ".QTA";
    }
    void add_account(const std::string& name, uint32_t day, uint32_t month) {
        support::UserFile f;
        ASSERT_TRUE(support::SMSOpenUserFile(f, support::UserFileAccess::ReadWrite));
        support::UserRecord r;
        r.name = name;
        r.message_limit_per_day = day;
        r.message_limit_per_month = month;
        ASSERT_TRUE(support::SMSAddUser(f, r));
    }
    size_t quota_warnings() {
        size_t n = 0;
        for (const std::string& l : frame::read_event_log())
            n += l.find("Warning\tAccount ") != std::string::npos;
        return n;
    }
};

// Dates map to slots through the limits and flush tests below (1 and 31
// March 2024 are slots 60 and 90, 31 December 365); here the month sums.
TEST_F(QuotasTest, MonthTotalsFollowTheLeapYearRule) {
    // Slot i holds i: March 2024 is slots 60..90 (31 March included), 2023's
    // 59..89, February 2024 31..59.
    std::array<uint32_t, records::kQuotaSlots> c{};
    for (unsigned i = 0; i < c.size(); ++i) c[i] = i;
    EXPECT_EQ(records::quota_month_total(c, 2024, 3), (60u + 90) * 31 / 2);
    EXPECT_EQ(records::quota_month_total(c, 2023, 3), (59u + 89) * 31 / 2);
    EXPECT_EQ(records::quota_month_total(c, 2024, 2), (31u + 59) * 29 / 2);
}

TEST_F(QuotasTest, CreditTextsInThousandths) {
    const std::tuple<const char*, int64_t, const char*> cases[] = {
        {"", 1000, "1"},           {"0.5", 500, "0.5"},  {"  2", 2000, "2"},
        {"1.05", 1050, "1.05"},    {"1.5", 1500, "1.5"}, {"-3.25", -3250, "-3.25"},
        {"7.1234", 7123, "7.123"}, {".001", 1, "0.001"}, {"12abc", 12000, "12"}};
    for (auto [text, value, shown] : cases) {
        EXPECT_EQ(records::parse_credit_text(text), value) << "'" << text << "'";
        EXPECT_EQ(records::credit_text(value), shown) << value;
    }
}

TEST_F(QuotasTest, LimitsFromDefaultsAndAccounts) {
    struct Case {
        const char* name;
        uint32_t def_day, def_month, own_day, own_month;
        uint32_t already_today, already_month, messages;
        bool allowed;
        const char* text;  // refusal text tail
    } cases[] = {
        // Only a daily default: the account's own limits do not apply.
        {"a1", 100, 0, 5, 5, 10, 10, 1, true, ""},
        {"a2", 100, 0, 500, 0, 100, 100, 1, false, "no more than 100 messages per day."},
        // Both defaults: the account's non-zero limits replace them.
        {"a3", 100, 1000, 5, 0, 4, 4, 1, true, ""},
        {"a4", 100, 1000, 5, 0, 4, 4, 2, false, "no more than 5 messages per day."},
        {"a5", 100, 1000, 0, 20, 1, 19, 2, false, "no more than 20 messages per month."},
        {"a6", 0, 0, 1, 1, 50, 50, 50, true, ""},  // no limit at all
        {"a7", 0, 30, 0, 0, 0, 29, 1, true, ""},
        {"a8", 0, 30, 0, 0, 0, 29, 2, false, "no more than 30 messages per month."},
    };
    set_now(2024, 3, 31);
    for (const Case& c : cases) {
        frame::mutable_settings().default_msg_limit_per_day = c.def_day;
        frame::mutable_settings().default_msg_limit_per_month = c.def_month;
        add_account(c.name, c.own_day, c.own_month);
        // Today (31 March 2024, slot 90) and the rest of the month on 1 March (slot 60).
        std::string img(1464, '\0');
        img.replace(90 * 4, 4, le32(c.already_today));
        img.replace(60 * 4, 4, le32(c.already_month - c.already_today));
        write_all(quota_file(c.name, 2024), img);

        records::QuotaEntry* e = records::quota_entry(c.name);
        std::string why;
        EXPECT_EQ(records::QuotaTestAndCount(e, c.name, why, c.messages, true), c.allowed ? 1 : 0)
            << c.name;
        if (!c.allowed) {
            EXPECT_EQ(why, std::string("Account ") + c.name +
                               ":  message quota exceeded.  Account can send " + c.text)
                << c.name;
        }
        // Counting only when allowed; the check left the counters alone.
        EXPECT_EQ(records::QuotaTestAndCount(e, c.name, why, c.messages, false), c.allowed ? 1 : 0);
        records::flush_quota_files(true);
        EXPECT_EQ(slot_of(read_all(quota_file(c.name, 2024)), 90),
                  c.already_today + (c.allowed ? c.messages : 0))
            << c.name;
    }
    // localsystem is never limited; DisableUserQuota switches quotas off.
    frame::mutable_settings().default_msg_limit_per_day = 1;
    std::string why;
    EXPECT_EQ(records::QuotaTestAndCount(nullptr, "LocalSystem", why, 10, false), 1);
    frame::mutable_settings().disable_user_quota = true;
    EXPECT_EQ(records::QuotaTestAndCount(nullptr, "a2", why, 1000, false), 1);
}

TEST_F(QuotasTest, TwoRefusalsOnOneDayGiveOneWarning) {
    // The daily marker is dated by the file system: run on the real day.
    g_fake_now = ::time(nullptr);
    frame::mutable_settings().default_msg_limit_per_day = 1;
    std::string why;
    records::QuotaEntry* e = records::quota_entry("bob");
    EXPECT_EQ(records::QuotaTestAndCount(e, "bob", why, 1, false), 1);
    EXPECT_EQ(records::QuotaTestAndCount(e, "bob", why, 1, false), 0);
    EXPECT_EQ(records::QuotaTestAndCount(e, "bob", why, 1, false), 0);
    EXPECT_EQ(quota_warnings(), 1u);
    EXPECT_TRUE(platform::file_exists(frame::user_dir("bob") + "QUOTA.ERR"));
    // A credit refusal the same day is also covered by the day's marker.
    write_all(credit_file("bob"), le64(0));
    EXPECT_LT(records::CreditOperation(e, "bob", &why, 1000, CreditMode::Check), 0);
    EXPECT_EQ(why, "Account bob:  credit limit exceeded.");
    EXPECT_EQ(quota_warnings(), 1u);
    // The marker of an earlier day is replaced and the next refusal reported.
    platform::set_file_mtime(frame::user_dir("bob") + "QUOTA.ERR", ::time(nullptr) - 2 * 86400);
    EXPECT_EQ(records::QuotaTestAndCount(e, "bob", why, 1, false), 0);
    EXPECT_EQ(quota_warnings(), 2u);
}

TEST_F(QuotasTest, CreditFilesAndModes) {
    struct Case {
        const char* name;
        std::string initial;  // file bytes; "none" = no file
        const char* charge;   // credit text
        CreditMode mode;
        int64_t result;
        int64_t stored;  // balance in the file afterwards; -1 = file untouched
    } cases[] = {
        // 4-byte whole credits read times 1000 and come back as 8 bytes.
        {"c1", le32(7), "", CreditMode::Debit, 6000, 6000},
        {"c2", le32(7), "0.5", CreditMode::Check, 6500, -1},
        {"c3", le64(2000), "0.5", CreditMode::Debit, 1500, 1500},
        {"c4", le64(2000), "", CreditMode::Debit, 1000, 1000},
        {"c5", le64(500), "", CreditMode::Debit, -500, 0},            // stored as 0
        {"c6", le64(500), "", CreditMode::DebitIfCovered, -500, -1},  // not stored
        {"c7", le64(1500), "", CreditMode::DebitIfCovered, 500, 500},
        {"c8", le64(-9000), "", CreditMode::Check, -1000, -1},          // negative reads 0
        {"c9", std::string("abc"), "", CreditMode::Check, -1000, -1},   // odd length reads 0
        {"c10", std::string(""), "-5", CreditMode::Debit, 5000, 5000},  // adding credits
        {"c11", "none", "1000", CreditMode::Debit, records::kNoCreditLimit, -1},
        {"c12", std::string(12, '\x01'), "-2", CreditMode::Debit, 2000, 2000},  // cut to 8
    };
    for (const Case& c : cases) {
        if (c.initial != "none") write_all(credit_file(c.name), c.initial);
        std::string before = read_all(credit_file(c.name));
        int64_t amount = records::parse_credit_text(c.charge);
        EXPECT_EQ(records::CreditOperation(nullptr, c.name, nullptr, amount, c.mode), c.result)
            << c.name;
        // Written before the call returned, without a flush.
        std::string after = read_all(credit_file(c.name));
        if (c.stored < 0) {
            EXPECT_EQ(after, before) << c.name;
        } else {
            ASSERT_EQ(after.size(), 8u) << c.name;
            EXPECT_EQ(balance_of(after), c.stored) << c.name;
        }
    }
    EXPECT_FALSE(platform::file_exists(credit_file("c11")));
    EXPECT_EQ(records::CreditOperationUnits(nullptr, "c3", nullptr, 2, CreditMode::Check), -1);
    EXPECT_EQ(records::CreditOperationUnits(nullptr, "c3", nullptr, 1, CreditMode::Check), 0);
    EXPECT_EQ(records::CreditOperation(nullptr, "localsystem", nullptr, 5, CreditMode::Debit),
              records::kNoCreditLimit);
    // Creation gives an empty file (balance 0), removal ends the limit.
    EXPECT_TRUE(records::create_credit_file("new"));
    EXPECT_EQ(read_all(credit_file("new")), "");
    EXPECT_EQ(records::CreditOperation(nullptr, "new", nullptr, 0, CreditMode::Check), 0);
    EXPECT_TRUE(records::remove_credit_file("new"));
    EXPECT_FALSE(records::credit_file_exists("new"));
    EXPECT_EQ(records::CreditOperation(nullptr, "new", nullptr, 0, CreditMode::Check),
              records::kNoCreditLimit);
}

TEST_F(QuotasTest, FlushWritesChangedFilesAndClosesIdleOnes) {
    records::QuotaEntry* e = records::quota_entry("fl");
    std::string why;
    ASSERT_EQ(records::QuotaTestAndCount(e, "fl", why, 3, false), 1);
    // Cached: nothing on disk until the flush (5 March 2024 is slot 64).
    EXPECT_EQ(slot_of(read_all(quota_file("fl", 2024)), 64), 0u);
    records::flush_quota_files();
    EXPECT_EQ(slot_of(read_all(quota_file("fl", 2024)), 64), 3u);
    EXPECT_TRUE(e->quota_fd.valid());
    records::flush_quota_files();  // unchanged: closed
    EXPECT_FALSE(e->quota_fd.valid());
    // Changed at every flush: closed after the ninth.
    for (int i = 1; i <= 9; ++i) {
        ASSERT_EQ(records::QuotaTestAndCount(e, "fl", why, 1, false), 1);
        records::flush_quota_files();
        EXPECT_EQ(e->quota_fd.valid(), i < 9) << i;
    }
    EXPECT_EQ(slot_of(read_all(quota_file("fl", 2024)), 64), 12u);
    // A new year opens a new file; the old one keeps its counts.
    set_now(2024, 12, 31);
    ASSERT_EQ(records::QuotaTestAndCount(e, "fl", why, 2, false), 1);
    set_now(2025, 1, 1);
    ASSERT_EQ(records::QuotaTestAndCount(e, "fl", why, 5, false), 1);
    records::flush_quota_files(true);
    EXPECT_EQ(slot_of(read_all(quota_file("fl", 2024)), 365), 2u);
    EXPECT_EQ(read_all(quota_file("fl", 2024)).size(), 1464u);
    EXPECT_EQ(slot_of(read_all(quota_file("fl", 2025)), 0), 5u);
}

TEST_F(QuotasTest, QueueLimitsGlobalAndPerAccount) {
    const std::string q = home_ + "/Q/";
    for (auto [dir, n] :
         {std::pair{"ann", 3}, {"RT_-_SMPP - x_-_ann", 2}, {"RT_-_r_-_ben", 1}, {"cy", 4}}) {
        for (int i = 0; i < n; ++i) write_all(q + dir + "/M" + std::to_string(i) + ".REQ", "x");
        write_all(q + dir + "/other.TMP", "x");
    }
    write_all(q + "ann/###0001/M9.REQ", "x");
    EXPECT_EQ(records::queue_dir_account("RT_-_SMPP - x_-_ann"), "ann");
    EXPECT_EQ(records::queue_dir_account("plain"), "plain");
    records::QuotaEntry* ann = records::quota_entry("Ann");
    records::QuotaEntry* ben = records::quota_entry("ben");
    records::count_user_queues(q);
    EXPECT_EQ(ann->queue_count.load(), 6u);
    EXPECT_EQ(ben->queue_count.load(), 1u);
    EXPECT_EQ(records::find_quota_entry("cy"), nullptr);  // no entry, not counted

    std::string why;
    frame::mutable_settings().user_outbound_queue_limit = 5;
    EXPECT_EQ(records::QueueLimitReached(ann, why), 1);
    EXPECT_EQ(why, "Please try again later.  User outbound message queue is too large.");
    EXPECT_EQ(records::QueueLimitReached(ben, why), 0);
    EXPECT_EQ(records::QueueLimitReached(nullptr, why), 0);
    // The account's own value in [UserOutboundQueueLimit]; 0 there: none.
    for (auto [own, limited] : {std::pair{"0", 0}, {"10", 0}, {"5", 1}}) {
        ASSERT_TRUE(support::ini_set(ini_, "UserOutboundQueueLimit", "Ann", own));
        EXPECT_EQ(records::QueueLimitReached(ann, why), limited) << own;
    }

    frame::mutable_settings().outbound_queue_limit = 10;
    frame::set_queue_sizes(10, 0);
    EXPECT_EQ(records::QueueLimitReached(ben, why), 0);
    frame::set_queue_sizes(11, 0);
    EXPECT_EQ(records::QueueLimitReached(ben, why), 1);
    EXPECT_EQ(why, "Please try again later.  Outbound message queue exceeds configured limits.");
}

// Debits and counts from 8 threads while the flush runs beside them: every
// charge is in the file exactly once.
TEST_F(QuotasTest, EightThreadsDebitOneAccountWhileFlushing) {
    constexpr int kThreads = 8, kPerThread = 5000;
    write_all(credit_file("busy"), le64(kBig));
    std::atomic<bool> done{false};
    std::thread flusher([&] {
        for (int i = 0; i < 1000000 && !done.load(); ++i) records::flush_quota_files();
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            // Half the threads through a cache entry, half without one.
            records::QuotaEntry* e = t % 2 ? records::quota_entry("busy") : nullptr;
            std::string why;
            for (int i = 0; i < kPerThread; ++i) {
                records::QuotaTestAndCount(e, "busy", why, 1, false);
                records::CreditOperation(e, "busy", nullptr, 1500, CreditMode::Debit);
            }
        });
    for (auto& t : threads) t.join();
    done = true;
    flusher.join();
    records::flush_quota_files(true);
    EXPECT_EQ(balance_of(read_all(credit_file("busy"))),
              kBig - int64_t(kThreads) * kPerThread * 1500);
    EXPECT_EQ(slot_of(read_all(quota_file("busy", 2024)), 64), uint32_t(kThreads * kPerThread));
}

// A process killed while it charges: the credit file holds every charge
// that was acknowledged (and at most the one in flight); quota counts lose
// at most what the last flush interval counted.
TEST_F(QuotasTest, KilledProcessLosesNoCredit) {
    write_all(credit_file("kill"), le64(kBig));
    // The child's count of acknowledged charges, shared with this process.
    void* shared = ::mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    auto* acked = new (shared) std::atomic<uint64_t>(0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        records::QuotaEntry* e = records::quota_entry("kill");
        std::thread flusher([] {
            for (int i = 0; i < 100000; ++i) {
                ::usleep(500000);  // the flush thread's interval
                records::flush_quota_files();
            }
        });
        std::string why;
        for (uint64_t i = 0; i < 100000000; ++i) {
            records::QuotaTestAndCount(e, "kill", why, 1, false);
            records::CreditOperation(e, "kill", nullptr, 1000, CreditMode::Debit);
            acked->store(i + 1);
        }
        ::_exit(0);
    }
    ::usleep(1300000);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    uint64_t n = acked->load();
    ASSERT_GT(n, 0u);
    int64_t charged = (kBig - balance_of(read_all(credit_file("kill")))) / 1000;
    uint32_t counted = slot_of(read_all(quota_file("kill", 2024)), 64);
    std::cout << "acknowledged " << n << ", credits charged " << charged << ", quota counted "
              << counted << " (lost " << int64_t(n) - int64_t(counted) << ")\n";
    EXPECT_GE(charged, int64_t(n));
    EXPECT_LE(charged, int64_t(n) + 1);
    EXPECT_LE(counted, n + 1);
    ::munmap(shared, 8);
}

}  // namespace
}  // namespace records_test
