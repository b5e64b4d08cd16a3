// Tests of file claiming, atomic creation, markers, scans and path helpers,
// including contention between threads and between processes.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/text.h"
#include "test_util.h"

using namespace platform;
using platform_test::Pipe;
using platform_test::TempDir;

namespace {

void write_plain(const std::string& path, const std::string& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

std::vector<std::string> names_of(const std::vector<DirEntry>& v) {
    std::vector<std::string> out;
    for (const auto& e : v) out.push_back(e.name);
    return out;
}

// Self-checking content: "<len>:<sum>:" followed by the payload, so a reader
// can tell a complete file from a partly written one.
std::string checked_content(unsigned seed, size_t payload_len) {
    std::string payload(payload_len, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : payload) {
        x = x * 1103515245u + 12345u;
        c = char('A' + (x >> 16) % 26);
    }
    unsigned sum = 0;
    for (char c : payload) sum = sum * 31 + static_cast<unsigned char>(c);
    return strprintf("%zu:%u:", payload_len, sum) + payload;
}

bool content_is_complete(const std::string& s) {
    size_t a = s.find(':');
    if (a == std::string::npos) return false;
    size_t b = s.find(':', a + 1);
    if (b == std::string::npos) return false;
    size_t len = std::strtoul(s.substr(0, a).c_str(), nullptr, 10);
    unsigned want = unsigned(std::strtoul(s.substr(a + 1, b - a - 1).c_str(), nullptr, 10));
    if (s.size() - b - 1 != len) return false;
    unsigned sum = 0;
    for (size_t i = b + 1; i < s.size(); ++i) sum = sum * 31 + static_cast<unsigned char>(s[i]);
    return sum == want;
}

}  // namespace

// --- wildcard and scans -----------------------------------------------------

TEST(WildcardMatch, Table) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*", "", true},
        {"*", "anything.req", true},
        {"", "", true},
        {"", "a", false},
        {"a", "", false},
        {"*.REQ", "a.req", true},
        {"*.req", "A.REQ", true},
        {"*.REQ", "a.req.bak", false},
        {"*.REQ", ".req", true},
        {"?", "a", true},
        {"?", "", false},
        {"?", "ab", false},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"a*b*c", "aXXbYYc", true},
        {"a*b*c", "aXXcYYb", false},
        {"*a", "ba", true},
        {"*a", "ab", false},
        {"**", "x", true},
        {"*?", "", false},
        {"*?*", "x", true},
        {"ab*", "AB", true},
        {"SMPP - *", "smpp - link1", true},
        {"*.*", "noext", false},
        {"[a]", "[A]", true},
        {"a\xC3\xA9", "A\xC3\xA9", true},
        {"a\xC3\xA9", "a\xC3\x89", false},  // only ASCII folds
    };
    for (const auto& c : cases)
        EXPECT_EQ(wildcard_match(c.pattern, c.name), c.match)
            << "pattern '" << c.pattern << "' name '" << c.name << "'";
}

TEST(WildcardMatch, ManyStarsDoNotBacktrackExponentially) {
    // A naive recursive matcher needs billions of steps here; the result
    // arriving at all is the check (ctest's time-out catches a blow-up).
    std::string name(4000, 'a');
    EXPECT_FALSE(wildcard_match("*a*a*a*a*a*a*a*a*a*a*a*a*b", name));
    name.back() = 'b';
    EXPECT_TRUE(wildcard_match("*a*a*a*a*a*a*a*a*a*a*a*a*b", name));
}

class ScanDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* f : {"a.req", "B.REQ", "ab.Req", "c.txt", ".hidden.req", ".a.req.1.2.tmp"})
            write_plain(dir / f, "x");
        ASSERT_EQ(::mkdir((dir / "DelayQ").c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((dir / "sub.req").c_str(), 0777), 0);
        ASSERT_EQ(::mkdir((dir / ".hiddendir").c_str(), 0777), 0);
        ASSERT_EQ(::symlink("DelayQ", (dir / "linkdir").c_str()), 0);
        ASSERT_EQ(::symlink("c.txt", (dir / "linkfile.req").c_str()), 0);
        ASSERT_EQ(::symlink("missing", (dir / "dangling.req").c_str()), 0);
    }
    TempDir dir;
};

TEST_F(ScanDirTest, PatternsKindsAndHiddenNames) {
    struct Case {
        const char* pattern;
        ScanKind kind;
        std::vector<std::string> want;
    } cases[] = {
        {"*.REQ", ScanKind::FilesOnly, {"a.req", "ab.Req", "B.REQ", "linkfile.req"}},
        {"*.req", ScanKind::Any, {"a.req", "ab.Req", "B.REQ", "linkfile.req", "sub.req"}},
        {"?.req", ScanKind::Any, {"a.req", "B.REQ"}},
        {"*", ScanKind::DirsOnly, {"DelayQ", "linkdir", "sub.req"}},
        {"DELAYQ", ScanKind::DirsOnly, {"DelayQ"}},
        {"DELAYQ", ScanKind::FilesOnly, {}},
        {"*", ScanKind::FilesOnly, {"a.req", "ab.Req", "B.REQ", "c.txt", "linkfile.req"}},
        {"*.none", ScanKind::Any, {}},
    };
    for (const auto& c : cases) {
        auto got = scan_dir(dir.path(), c.pattern, c.kind);
        EXPECT_EQ(names_of(got), c.want) << "pattern " << c.pattern;
        for (const auto& e : got)
            EXPECT_EQ(e.is_dir, e.name == "DelayQ" || e.name == "linkdir" || e.name == "sub.req");
    }
}

TEST_F(ScanDirTest, DirectoryWithoutTrailingSlashAndMissingDirectory) {
    std::string no_slash = dir.path().substr(0, dir.path().size() - 1);
    EXPECT_EQ(names_of(scan_dir(no_slash, "?.REQ")), (std::vector<std::string>{"a.req", "B.REQ"}));
    EXPECT_TRUE(scan_dir(dir / "nope/", "*").empty());
}

TEST_F(ScanDirTest, FindNameIgnoringCase) {
    EXPECT_EQ(find_name_nocase(dir.path(), "delayq"), std::optional<std::string>("DelayQ"));
    EXPECT_EQ(find_name_nocase(dir.path(), "DelayQ"), std::optional<std::string>("DelayQ"));
    EXPECT_EQ(find_name_nocase(dir.path(), "C.TXT"), std::optional<std::string>("c.txt"));
    EXPECT_EQ(find_name_nocase(dir.path(), "missing.txt"), std::nullopt);
    EXPECT_EQ(find_name_nocase(dir.path(), ".."), std::nullopt);
    EXPECT_EQ(find_name_nocase(dir.path(), ""), std::nullopt);
}

// --- claiming ---------------------------------------------------------------

TEST(ClaimFile, MissingFileIsNotBusy) {
    TempDir dir;
    bool busy = true;
    FileHandle h = claim_file(dir / "none.req", &busy);
    EXPECT_FALSE(h.valid());
    EXPECT_FALSE(busy);
}

TEST(ClaimFile, SecondOpenerPassesTheFileBy) {
    TempDir dir;
    std::string f = dir / "m.req";
    write_plain(f, "data");
    FileHandle first = claim_file(f);
    ASSERT_TRUE(first.valid());
    bool busy = false;
    EXPECT_FALSE(claim_file(f, &busy).valid());
    EXPECT_TRUE(busy);
    first.close();
    EXPECT_TRUE(claim_file(f, &busy).valid());
    EXPECT_FALSE(busy);
}

// Claims and the link-free scan never go through a symbolic link.
TEST(ClaimFile, SymbolicLinksAreNeitherClaimedNorListed) {
    TempDir dir;
    std::string target = dir / "target.txt";
    write_plain(target, "secret");
    ::mkdir((dir / "realdir").c_str(), 0755);
    ASSERT_EQ(::symlink(target.c_str(), (dir / "l.req").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "realdir").c_str(), (dir / "ldir").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "gone").c_str(), (dir / "dangling.req").c_str()), 0);
    write_plain(dir / "m.req", "x");

    bool busy = true;
    EXPECT_FALSE(claim_file(dir / "l.req", &busy).valid());
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(busy);

    struct Case {
        const char* pattern;
        ScanKind kind;
        std::vector<std::string> names, links;
    };
    const std::vector<Case> cases = {
        {"*.REQ", ScanKind::FilesOnly, {"m.req"}, {"dangling.req", "l.req"}},
        {"*", ScanKind::DirsOnly, {"realdir"}, {"dangling.req", "l.req", "ldir"}},
        {"*", ScanKind::Any, {"m.req", "realdir", "target.txt"}, {"dangling.req", "l.req", "ldir"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        std::vector<std::string> links = {"stale"};
        std::vector<std::string> names;
        for (const DirEntry& e : scan_dir_no_links(dir.path(), c.pattern, c.kind, &links))
            names.push_back(e.name);
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(links, c.links);
    }
    EXPECT_EQ(read_file(target), std::optional<std::string>("secret"));
}

TEST(ClaimFile, TwoThreadsExactlyOneWins) {
    TempDir dir;
    std::string f = dir / "t.req";
    write_plain(f, "x");
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> ready{0}, tried{0}, wins{0}, busy_count{0};
        auto contender = [&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            bool busy = false;
            FileHandle h = claim_file(f, &busy);
            if (h.valid()) wins.fetch_add(1);
            if (busy) busy_count.fetch_add(1);
            tried.fetch_add(1);
            // The winner holds until the other one has tried.
            const uint64_t start = monotonic_ms();
            while (tried.load() < 2 && monotonic_ms() - start < 5000) std::this_thread::yield();
        };
        std::thread a(contender), b(contender);
        a.join();
        b.join();
        ASSERT_EQ(wins.load(), 1) << "round " << round;
        ASSERT_EQ(busy_count.load(), 1) << "round " << round;
    }
}

TEST(ClaimFile, TwoProcessesExactlyOneWins) {
    TempDir dir;
    std::string f = dir / "p.req";
    write_plain(f, "x");
    for (int round = 0; round < 20; ++round) {
        Pipe go, result, done;
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            platform_test::read_byte(go.rd);
            FileHandle h = claim_file(f);
            platform_test::write_byte(result.wr, h.valid() ? 1 : 0);
            platform_test::read_byte(done.rd);  // hold until the parent tried
            ::_exit(0);
        }
        platform_test::write_byte(go.wr, 1);
        FileHandle mine = claim_file(f);
        int child_won = platform_test::read_byte(result.rd);
        platform_test::write_byte(done.wr, 1);
        EXPECT_EQ(platform_test::reap(pid), 0);
        ASSERT_GE(child_won, 0);
        ASSERT_EQ(int(mine.valid()) + child_won, 1) << "round " << round;
    }
}

TEST(ClaimFile, ConsumersNeverProcessAFileTwice) {
    // Consumers claim, read, delete, release. A consumer that opened a file
    // just before the previous holder deleted it must not claim the dead
    // copy once the lock is free.
    TempDir dir;
    constexpr int kFiles = 300;
    for (int i = 0; i < kFiles; ++i) write_plain(dir / strprintf("%04d.req", i), "x");
    std::mutex mu;
    std::map<std::string, int> processed;
    auto consumer = [&] {
        for (int pass = 0; pass < 50; ++pass) {
            auto list = scan_dir(dir.path(), "*.REQ", ScanKind::FilesOnly);
            if (list.empty()) return;
            for (const auto& e : list) {
                std::string p = dir.path() + e.name;
                FileHandle h = claim_file(p);
                if (!h) continue;
                {
                    std::lock_guard<std::mutex> g(mu);
                    ++processed[e.name];
                }
                ::unlink(p.c_str());
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(consumer);
    for (auto& t : threads) t.join();
    EXPECT_EQ(processed.size(), size_t(kFiles));
    for (const auto& [name, count] : processed) EXPECT_EQ(count, 1) << name;
}

// --- creation and replacement -------------------------------------------------

TEST(CreateNewFile, ExactBytesAndNoReplace) {
    TempDir dir;
    std::string f = dir / "n.req";
    std::string data("line1\r\nbinary\0zero", 18);
    ASSERT_TRUE(create_new_file(f, data));
    EXPECT_EQ(read_file(f), std::optional<std::string>(data));
    errno = 0;
    EXPECT_FALSE(create_new_file(f, "other"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(f), std::optional<std::string>(data));
    // Nothing left behind: only the final name is in the directory.
    std::vector<std::string> all;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        all.push_back(e.path().filename().string());
    EXPECT_EQ(all, std::vector<std::string>{"n.req"});
}

TEST(CreateNewFile, MissingDirectoryFails) {
    TempDir dir;
    EXPECT_FALSE(create_new_file(dir / "no/such/x.req", "x"));
    EXPECT_EQ(errno, ENOENT);
}

TEST(CreateNewFile, ContentionEachNameOnceAndNeverSeenIncomplete) {
    TempDir dir;
    constexpr int kThreads = 4, kNames = 60;
    std::vector<std::vector<std::string>> written(kThreads);
    std::atomic<bool> stop{false};
    std::atomic<int> incomplete{0}, hidden_seen{0}, reads{0};

    std::thread scanner([&] {
        const uint64_t start = monotonic_ms();
        while (!stop.load() && monotonic_ms() - start < 30000) {
            for (const auto& e : scan_dir(dir.path(), "*")) {
                if (e.name[0] == '.') hidden_seen.fetch_add(1);
                auto s = read_file(dir.path() + e.name);
                if (!s) continue;
                reads.fetch_add(1);
                if (!content_is_complete(*s)) incomplete.fetch_add(1);
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int n = 0; n < kNames; ++n) {
                std::string content = checked_content(unsigned(t * 1000 + n), 20000 + 997 * n);
                if (create_new_file(dir / strprintf("%03d.REQ", n), content))
                    written[t].push_back(content);
                else if (errno != EEXIST)
                    ADD_FAILURE() << "create failed: " << std::strerror(errno);
            }
        });
    }
    for (auto& w : writers) w.join();
    stop.store(true);
    scanner.join();

    size_t total = 0;
    std::set<std::string> contents;
    for (const auto& v : written) {
        total += v.size();
        contents.insert(v.begin(), v.end());
    }
    EXPECT_EQ(total, size_t(kNames)) << "each name is created exactly once";
    for (int n = 0; n < kNames; ++n) {
        auto s = read_file(dir / strprintf("%03d.REQ", n));
        ASSERT_TRUE(s.has_value());
        EXPECT_TRUE(contents.count(*s)) << "file " << n << " was replaced";
    }
    EXPECT_EQ(incomplete.load(), 0);
    EXPECT_EQ(hidden_seen.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(scan_dir(dir.path(), "*").size(), size_t(kNames));
    size_t everything = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path()))
        ++everything;
    EXPECT_EQ(everything, size_t(kNames)) << "temporaries left behind";
}

TEST(StaleTemporaries, OnlyOldLeftoversOfOurOwnFormAreRemoved) {
    TempDir dir;
    struct Case {
        const char* name;
        bool old;
        bool removed;
    } cases[] = {
        {".00001.REQ.123.456.7.tmp", true, true},
        {".a.b.c.1.2.3.tmp", true, true},
        {".00002.REQ.123.456.8.tmp", false, false},  // a writer may still be busy
        {".notours.tmp", true, false},
        {".x.1.2.tmp", true, false},
        {".x.1.2.z.tmp", true, false},
        {"visible.1.2.3.tmp", true, false},
        {"00003.REQ", true, false},
        {"..1.2.3.tmp", true, false},
    };
    for (const auto& c : cases) {
        write_plain(dir / c.name, "partial");
        if (c.old) {
            ASSERT_TRUE(set_file_mtime(dir / c.name, ::time(nullptr) - 7200));
        }
    }
    ASSERT_EQ(::mkdir((dir / ".d.1.2.3.tmp").c_str(), 0777), 0);
    ASSERT_TRUE(set_file_mtime(dir / ".d.1.2.3.tmp", ::time(nullptr) - 7200));
    EXPECT_EQ(remove_stale_temporaries(dir.path(), 3600), 2u);
    for (const auto& c : cases) EXPECT_EQ(file_exists(dir / c.name), !c.removed) << c.name;
    EXPECT_TRUE(dir_exists(dir / ".d.1.2.3.tmp"));
    EXPECT_EQ(remove_stale_temporaries(dir / "missing/", 0), 0u);
}

TEST(ReplaceFile, KeepsOrRenewsModificationTime) {
    TempDir dir;
    std::string f = dir / "r.req";
    write_plain(f, "old content that is longer");
    ASSERT_TRUE(set_file_mtime(f, 1000000000));
    ASSERT_EQ(::chmod(f.c_str(), 0640), 0);

    ASSERT_TRUE(replace_file(f, "new", true));
    EXPECT_EQ(read_file(f), std::optional<std::string>("new"));
    EXPECT_EQ(file_mtime(f), std::optional<time_t>(1000000000));
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    time_t before = ::time(nullptr);
    ASSERT_TRUE(replace_file(f, "newer", false));
    EXPECT_EQ(read_file(f), std::optional<std::string>("newer"));
    EXPECT_GE(*file_mtime(f), before);

    // A target that did not exist is simply created.
    ASSERT_TRUE(replace_file(dir / "fresh.req", "abc", true));
    EXPECT_EQ(read_file(dir / "fresh.req"), std::optional<std::string>("abc"));
    EXPECT_EQ(scan_dir(dir.path(), "*").size(), 2u);
}

TEST(RewriteInPlace, SameFileShorterContentAndKeptTime) {
    TempDir dir;
    std::string f = dir / "w.req";
    write_plain(f, "a long original content");
    ASSERT_TRUE(set_file_mtime(f, 1200000000));
    FileHandle h = claim_file(f);
    ASSERT_TRUE(h);
    auto ino = stat_file(f)->inode;
    ASSERT_TRUE(rewrite_in_place(h.fd(), "short", true));
    EXPECT_EQ(read_fd(h.fd()), std::optional<std::string>("short"));
    EXPECT_EQ(read_file(f), std::optional<std::string>("short"));
    EXPECT_EQ(stat_file(f)->inode, ino);
    EXPECT_EQ(file_mtime(f), std::optional<time_t>(1200000000));
    // Still claimed: the lock stayed on the same file.
    EXPECT_FALSE(claim_file(f).valid());
}

// What a rewrite leaves when the process dies before its last step, and
// when the disk has no room for a longer text: never an empty file, never a
// fragment of the old text after the new one.
TEST(RewriteInPlace, CrashOrFullDiskNeverLeavesAnEmptyOrMixedFile) {
    struct Case {
        const char* name;
        std::string old_text, new_text;
        size_t from;
        std::string after_crash;
    };
    const std::vector<Case> cases = {
        {"shorter", "line one\r\nRetryCount=7\r\n", "line one\r\n", 0,
         "line one\r\n\n" + std::string(13, ' ')},
        {"shorter tail", "[SMS]\r\nA=1\r\n[E]\r\nLong=xyz\r\n", "[SMS]\r\nA=1\r\n[E]\r\n", 17,
         "[SMS]\r\nA=1\r\n[E]\r\n\n" + std::string(9, ' ')},
        {"same length", "abcdef", "uvwxyz", 0, "uvwxyz"},
        {"longer", "abc", "abcdefgh", 3, "abcdefgh"},
    };
    static bool crash = false;
    set_rewrite_crash_point_for_tests([] { return !crash; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool crashed : {true, false}) {
            TempDir dir;
            std::string f = dir / "x.req";
            write_plain(f, c.old_text);
            FileHandle h = claim_file(f);
            ASSERT_TRUE(h);
            crash = crashed;
            EXPECT_EQ(rewrite_from(h.fd(), c.new_text, c.from, false), !crashed);
            EXPECT_EQ(read_file(f), std::optional<std::string>(crashed ? c.after_crash : c.new_text));
        }
    }
    set_rewrite_crash_point_for_tests(nullptr);

    // No room for a longer text: the call fails and the old text stays whole.
    TempDir dir;
    std::string f = dir / "full.req";
    const std::string old_text(100, 'o');
    write_plain(f, old_text);
    FileHandle h = claim_file(f);
    ASSERT_TRUE(h);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_sig = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 150;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = rewrite_in_place(h.fd(), std::string(400, 'n'), false);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, old_sig);
    EXPECT_FALSE(ok);
    EXPECT_EQ(read_file(f), std::optional<std::string>(old_text));
}

TEST(ReadAppend, BoundsAndExactBytes) {
    TempDir dir;
    std::string f = dir / "log.txt";
    ASSERT_TRUE(append_file(f, "one\n"));
    ASSERT_TRUE(append_file(f, std::string("t\0o\n", 4)));
    EXPECT_EQ(read_file(f), std::optional<std::string>(std::string("one\nt\0o\n", 8)));
    EXPECT_EQ(read_file(f, 5), std::optional<std::string>("one\nt"));
    EXPECT_EQ(read_file(f, 0), std::optional<std::string>(""));
    EXPECT_EQ(read_file(dir / "none"), std::nullopt);
    EXPECT_EQ(read_file(dir.path()), std::nullopt);
    EXPECT_FALSE(append_file(dir / "no/dir/log.txt", "x"));
}

TEST(MoveFile, ReplaceAndNoReplace) {
    TempDir dir;
    write_plain(dir / "a", "A");
    write_plain(dir / "b", "B");
    errno = 0;
    EXPECT_FALSE(move_file_noreplace(dir / "a", dir / "b"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(dir / "a"), std::optional<std::string>("A"));
    EXPECT_EQ(read_file(dir / "b"), std::optional<std::string>("B"));
    EXPECT_TRUE(move_file_noreplace(dir / "a", dir / "c"));
    EXPECT_FALSE(file_exists(dir / "a"));
    EXPECT_TRUE(move_file(dir / "c", dir / "b"));
    EXPECT_EQ(read_file(dir / "b"), std::optional<std::string>("A"));
    EXPECT_TRUE(remove_file(dir / "b"));
    EXPECT_FALSE(remove_file(dir / "b"));
}

// --- markers ------------------------------------------------------------------

TEST(Marker, HeldInProcessThenReleased) {
    TempDir dir;
    std::string m = dir / "BUILD.LCK";
    EXPECT_FALSE(marker_alive(m));
    EXPECT_TRUE(remove_if_stale(m)) << "an absent marker counts as removed";
    {
        auto held = Marker::acquire(m);
        ASSERT_TRUE(held.has_value());
        EXPECT_TRUE(held->valid());
        EXPECT_EQ(held->path(), m);
        EXPECT_TRUE(marker_alive(m));
        EXPECT_FALSE(remove_if_stale(m));
        EXPECT_TRUE(file_exists(m));
        EXPECT_FALSE(Marker::acquire(m).has_value()) << "a second holder in the same process";
        Marker moved = std::move(*held);
        EXPECT_FALSE(held->valid());
        EXPECT_TRUE(marker_alive(m));
    }
    EXPECT_FALSE(file_exists(m)) << "released markers are unlinked";
    EXPECT_FALSE(marker_alive(m));
}

TEST(Marker, LeftoverFileWithoutHolderIsStale) {
    TempDir dir;
    std::string m = dir / "LOCK.LCK";
    write_plain(m, "");
    EXPECT_FALSE(marker_alive(m));
    EXPECT_TRUE(remove_if_stale(m));
    EXPECT_FALSE(file_exists(m));
    // A stale leftover is also taken over by a new holder.
    write_plain(m, "");
    auto held = Marker::acquire(m);
    ASSERT_TRUE(held.has_value());
    EXPECT_TRUE(marker_alive(m));
}

TEST(Marker, LiveChildIsAliveKilledChildIsStale) {
    TempDir dir;
    std::string m = dir / "worker.lck";
    Pipe ready;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto held = Marker::acquire(m);
        platform_test::write_byte(ready.wr, held ? 1 : 0);
        for (;;) ::pause();
    }
    ASSERT_EQ(platform_test::read_byte(ready.rd), 1);
    EXPECT_TRUE(marker_alive(m));
    EXPECT_FALSE(remove_if_stale(m));
    EXPECT_TRUE(file_exists(m));
    EXPECT_FALSE(Marker::acquire(m).has_value());

    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_EQ(platform_test::reap(pid), -1);
    EXPECT_TRUE(file_exists(m)) << "a killed holder leaves its file behind";
    EXPECT_FALSE(marker_alive(m));
    EXPECT_TRUE(remove_if_stale(m));
    EXPECT_FALSE(file_exists(m));
}

TEST(Marker, StaleSweepNeverRemovesALiveHoldersFile) {
    // One thread takes and drops the marker in a loop while another sweeps
    // it as stale: whenever the first holds it, the name must be its file.
    TempDir dir;
    std::string m = dir / "race.lck";
    std::atomic<bool> stop{false};
    std::atomic<int> held_count{0}, lost{0};
    std::thread sweeper([&] {
        while (!stop.load()) remove_if_stale(m);
    });
    const uint64_t start = monotonic_ms();
    for (int i = 0; i < 3000 && monotonic_ms() - start < 10000; ++i) {
        auto mk = Marker::acquire(m);
        if (!mk) continue;
        held_count.fetch_add(1);
        std::this_thread::yield();
        auto fi = stat_file(m);
        struct stat mine {};
        ASSERT_EQ(::fstat(mk->fd(), &mine), 0);
        if (!fi || fi->inode != uint64_t(mine.st_ino)) lost.fetch_add(1);
    }
    stop.store(true);
    sweeper.join();
    EXPECT_GT(held_count.load(), 0);
    EXPECT_EQ(lost.load(), 0);
}

// --- times, paths and open with retry -------------------------------------------

TEST(FileTimes, SetAndRead) {
    TempDir dir;
    std::string f = dir / "t";
    write_plain(f, "x");
    ASSERT_TRUE(set_file_mtime(f, 1111111111));
    EXPECT_EQ(file_mtime(f), std::optional<time_t>(1111111111));
    auto fi = stat_file(f);
    ASSERT_TRUE(fi);
    EXPECT_EQ(fi->size, 1u);
    EXPECT_EQ(fi->mtime, 1111111111);
    EXPECT_FALSE(fi->is_dir);
    EXPECT_TRUE(stat_file(dir.path())->is_dir);
    time_t before = ::time(nullptr);
    ASSERT_TRUE(set_file_mtime_now(f));
    EXPECT_GE(*file_mtime(f), before);
    EXPECT_FALSE(set_file_mtime(dir / "missing", 5));
    EXPECT_EQ(file_mtime(dir / "missing"), std::nullopt);
    EXPECT_TRUE(file_exists(f));
    EXPECT_FALSE(file_exists(dir.path()));
    EXPECT_TRUE(dir_exists(dir.path()));
    EXPECT_FALSE(dir_exists(f));
}

TEST(Paths, CleanAndSlash) {
    struct Case {
        const char* in;
        const char* clean;
        const char* slashed;
    } cases[] = {
        {"", "", ""},
        {"SMPP - a:b/c\\d", "SMPP - a-b-c-d", "SMPP - a:b/c\\d/"},
        {"plain", "plain", "plain/"},
        {"dir/", "dir-", "dir/"},
        {"::", "--", "::/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(clean_path_part(c.in), c.clean) << c.in;
        EXPECT_EQ(with_trailing_slash(c.in), c.slashed) << c.in;
    }
}

TEST(Paths, IntermediateDirectories) {
    TempDir dir;
    ASSERT_TRUE(create_intermediate_dirs(dir / "a/b//c/file.req"));
    EXPECT_TRUE(dir_exists(dir / "a/b/c"));
    EXPECT_FALSE(file_exists(dir / "a/b/c/file.req"));
    EXPECT_TRUE(create_intermediate_dirs(dir / "a/b/c/file.req")) << "existing levels are fine";
    ASSERT_TRUE(ensure_dir(dir / "x/y/z"));
    EXPECT_TRUE(dir_exists(dir / "x/y/z"));
    ASSERT_TRUE(ensure_dir(dir / "x/y/w/"));
    EXPECT_TRUE(dir_exists(dir / "x/y/w"));
    write_plain(dir / "f", "x");
    EXPECT_FALSE(ensure_dir(dir / "f/sub"));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_FALSE(ensure_dir(""));
}

TEST(OpenWithRetry, CreatesIntermediateDirectories) {
    TempDir dir;
    std::string f = dir / "Q/DELAYQ/20140722/1200/m.req";
    FileHandle h = open_with_retry(f, O_RDWR | O_CREAT, 0666, 100);
    ASSERT_TRUE(h.valid());
    ASSERT_EQ(::write(h.fd(), "abc", 3), 3);
    h.close();
    EXPECT_EQ(read_file(f), std::optional<std::string>("abc"));
}

TEST(OpenWithRetry, DefinitiveFailuresReturnAtOnce) {
    TempDir dir;
    // Open-existing of a missing file: no directories are made.
    FileHandle h = open_with_retry(dir / "p/q.req", O_RDONLY, 0, 100);
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(dir_exists(dir / "p"));
    // Create-new of an existing file fails with EEXIST, file untouched.
    write_plain(dir / "e", "keep");
    h = open_with_retry(dir / "e", O_RDWR | O_CREAT | O_EXCL, 0666, 100);
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_file(dir / "e"), std::optional<std::string>("keep"));
    // A path through a file cannot be made.
    h = open_with_retry(dir / "e/sub/x", O_RDWR | O_CREAT, 0666, 100);
    EXPECT_FALSE(h.valid());
}

TEST(ProgramDirectory, HoldsThisExecutable) {
    std::string d = program_directory();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back(), '/');
    EXPECT_TRUE(dir_exists(d));
    EXPECT_FALSE(scan_dir(d, "test_platform", ScanKind::FilesOnly).empty());
}

TEST(TransientErrno, Table) {
    for (int e : {EINTR, EAGAIN, ENOMEM, ENOBUFS}) EXPECT_TRUE(is_transient_errno(e)) << e;
    for (int e : {0, ENOENT, EACCES, EEXIST, EIO, ENOSPC}) EXPECT_FALSE(is_transient_errno(e)) << e;
}

// The change stamp must notice an in-place rewrite of the same size, a
// replacement and a removal, and must not move when nothing changed.
TEST(FileStamp, NoticesRewriteReplaceAndRemoval) {
    platform_test::TempDir dir;
    const std::string path = dir / "SMSGW.INI";
    ASSERT_TRUE(platform::replace_file(path, "[SMSGW]\nA=1\n"));
    platform::FileStamp first = platform::file_stamp(path);
    ASSERT_TRUE(first.exists);
    EXPECT_TRUE(platform::file_stamp(path) == first);

    struct Case {
        const char* what;
        std::function<void()> change;
        bool exists;
    };
    const Case cases[] = {
        {"same size rewritten in place",
         [&] {
             platform::FileHandle fd = platform::open_file(path, O_WRONLY);
             ASSERT_TRUE(platform::pwrite_all(fd.fd(), "[SMSGW]\nA=2\n", 12, 0));
         },
         true},
        {"replaced", [&] { ASSERT_TRUE(platform::replace_file(path, "[SMSGW]\nA=3\n")); }, true},
        {"removed", [&] { ASSERT_TRUE(platform::remove_file(path)); }, false},
    };
    platform::FileStamp before = first;
    for (const Case& c : cases) {
        platform::sleep_ms(5);  // past one time-stamp tick of coarse file systems
        c.change();
        platform::FileStamp after = platform::file_stamp(path);
        EXPECT_FALSE(after == before) << c.what;
        EXPECT_EQ(after.exists, c.exists) << c.what;
        before = after;
    }
    EXPECT_EQ(before.error, ENOENT);
}

TEST(FileStamp, StampedReadMatchesAndRefusesDirectoriesAndBigFiles) {
    platform_test::TempDir dir;
    const std::string path = dir / "a.ini";
    ASSERT_TRUE(platform::replace_file(path, "0123456789"));
    platform::FileStamp st;
    EXPECT_EQ(platform::read_file_stamped(path, 10, st).value_or("-"), "0123456789");
    EXPECT_TRUE(st == platform::file_stamp(path));
    EXPECT_FALSE(platform::read_file_stamped(path, 9, st));
    EXPECT_EQ(st.error, EFBIG);
    EXPECT_FALSE(platform::read_file_stamped(dir.path(), 100, st));
    EXPECT_EQ(st.error, EISDIR);
    EXPECT_FALSE(platform::read_file_stamped(dir / "missing", 100, st));
    EXPECT_EQ(st.error, ENOENT);
}
