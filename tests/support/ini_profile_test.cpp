// INI profile reads (private-profile semantics, cache re-validation) and the
// line-preserving writers.
#include "support/ini_profile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/trace_sink.h"
#include "support/directories.h"
#include "support/support_state.h"

namespace {

class IniTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = "/tmp/smsgw-ini-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl + "/";
        support::ini_drop_cache_for_tests();
    }
    void TearDown() override {
        platform::set_trace_sink(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return dir_ + name; }
    static std::string slurp(const std::string& p) {
        return platform::read_file(p).value_or("<missing>");
    }

    // Rewrites a file in place (same inode), as an editor that truncates does.
    static void write_in_place(const std::string& p, const std::string& data) {
        int fd = ::open(p.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, data.data(), data.size()), ssize_t(data.size()));
        ::close(fd);
    }
    static void set_mtime(const std::string& p, time_t sec, long nsec) {
        timespec ts[2] = {{sec, nsec}, {sec, nsec}};
        ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
    }

    std::string dir_;
};

std::vector<std::string> g_trace;
void capture(std::string_view name, std::string_view text) {
    g_trace.push_back(std::string(name) + "|" + std::string(text));
}

const char* const kSample =
    "; leading comment\n"
    "orphan=before any section\n"
    "[General]\n"
    "Name = Alpha  \n"
    "name=Second\n"
    "Quoted=\"  spaced  \"\n"
    "Single='single'\n"
    "Mixed=\"mixed'\n"
    "OnlyQuote=\"\n"
    "Empty=\n"
    "Blank =   \t\n"
    "  ; indented comment\n"
    ";Commented=1\n"
    "NoEquals line\n"
    "=novalue\n"
    "Eq=a=b\n"
    "Inline=value ; not a comment\n"
    "Long=0123456789\n"
    "Tab\t=\ttabbed\t\n"
    "[Other]  trailing text\n"
    "Key=other\n"
    "[Broken\n"
    "Lost=after a broken header\n"
    "[general]\n"
    "Name=Duplicate section\n"
    "Extra=hidden\n"
    "[ Spaced ]\n"
    "k=v\n"
    "Last=no newline";

std::string crlf(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

TEST_F(IniTest, ReadsFollowPrivateProfileRules) {
    struct Case {
        const char* section;
        const char* key;
        const char* def;
        size_t size;
        const char* want;
    };
    const Case cases[] = {
        {"General", "Name", "d", 0, "Alpha"},                    // trimmed
        {"GENERAL", "NAME", "d", 0, "Alpha"},                    // case-insensitive, first key
        {"general", "Extra", "d", 0, "d"},                       // first section wins
        {"General", "Quoted", "d", 0, "  spaced  "},             // one quote pair removed
        {"General", "Single", "d", 0, "single"},                 // single quotes too
        {"General", "Mixed", "d", 0, "\"mixed'"},                // unmatched quotes stay
        {"General", "OnlyQuote", "d", 0, "\""},                  // a lone quote stays
        {"General", "Empty", "d", 0, ""},                        // empty is a value
        {"General", "Blank", "d", 0, ""},                        // blanks only: empty
        {"General", "Commented", "d", 0, "d"},                   // comment line
        {"General", ";Commented", "d", 0, "d"},                  //
        {"General", "NoEquals line", "d", 0, "d"},               // malformed: skipped
        {"General", "", "d", 0, "d"},                            // empty key name
        {"General", "Eq", "d", 0, "a=b"},                        // first '=' splits
        {"General", "Inline", "d", 0, "value ; not a comment"},  // no inline comments
        {"General", "Tab", "d", 0, "tabbed"},                    // tabs are blanks
        {"General", "Long", "d", 5, "0123"},                     // cut to size-1
        {"General", "Long", "d", 1, ""},                         //
        {"General", "Long", "d", 10, "012345678"},               //
        {"General", "Long", "d", 11, "0123456789"},              //
        {"General", "Long", "d", 0, "0123456789"},               // 0: no limit
        {"General", "Missing", "defaultvalue", 4, "def"},        // default cut too
        {"General", "orphan", "d", 0, "d"},                      // before any section
        {"", "orphan", "d", 0, "d"},                             //
        {"Other", "Key", "d", 0, "other"},                       // text after ']' ignored
        {"Other", "Lost", "d", 0, "d"},                          // not leaked from [Broken
        {"Broken", "Lost", "d", 0, "d"},                         //
        {"Spaced", "k", "d", 0, "v"},                            // section name trimmed
        {"Spaced", "Last", "d", 0, "no newline"},                // last line unterminated
        {"Nowhere", "Name", "d", 0, "d"},                        //
    };
    const std::pair<const char*, std::string> variants[] = {
        {"LF", kSample},
        {"CRLF with BOM", "\xEF\xBB\xBF" + crlf(kSample)},
    };
    for (const auto& [label, text] : variants) {
        std::string file = path(std::string(label[0] == 'L' ? "lf" : "crlf") + ".ini");
        ASSERT_TRUE(platform::replace_file(file, text));
        for (const Case& c : cases) {
            EXPECT_EQ(support::ini_get(file, c.section, c.key, c.def, c.size), c.want)
                << label << " [" << c.section << "] " << c.key << " size " << c.size;
        }
        EXPECT_EQ(support::ini_find(file, "General", "Empty"), std::optional<std::string>(""));
        EXPECT_EQ(support::ini_find(file, "General", "Missing"), std::nullopt) << label;
        EXPECT_EQ(support::ini_sections(file),
                  (std::vector<std::string>{"General", "Other", "Spaced"}))
            << label;
        auto other = support::ini_section(file, "other");
        ASSERT_EQ(other.size(), 1u) << label;
        EXPECT_EQ(other[0], (std::pair<std::string, std::string>{"Key", "other"}));
        EXPECT_TRUE(support::ini_has_section(file, "SPACED"));
        EXPECT_FALSE(support::ini_has_section(file, "Broken"));
    }
}

TEST_F(IniTest, ParseTextKeepsDuplicatesInFileOrder) {
    auto doc = support::ini_parse_text("x=1\n[A]\nk=1\nK=2\n[B\nq=9\n[a]\nk=3\n");
    ASSERT_EQ(doc.size(), 2u);
    EXPECT_EQ(doc[0].first, "A");
    EXPECT_EQ(doc[0].second,
              (std::vector<std::pair<std::string, std::string>>{{"k", "1"}, {"K", "2"}}));
    EXPECT_EQ(doc[1].first, "a");
    EXPECT_EQ(doc[1].second, (std::vector<std::pair<std::string, std::string>>{{"k", "3"}}));
}

TEST_F(IniTest, UnreadableFileGivesDefaultsAndOneTraceLine) {
    g_trace.clear();
    platform::set_trace_sink(capture);
    std::string file = path("absent.ini");
    EXPECT_EQ(support::ini_get(file, "S", "K", "fallback", 0), "fallback");
    EXPECT_EQ(support::ini_get(file, "S", "K", "fallback", 5), "fall");
    EXPECT_EQ(support::ini_get(file, "S", "K", "", 0), "");
    ASSERT_EQ(g_trace.size(), 1u);
    EXPECT_NE(g_trace[0].find(file), std::string::npos) << g_trace[0];

    // Once it appears it is read; a directory in its place is unreadable again.
    ASSERT_TRUE(platform::replace_file(file, "[S]\nK=now\n"));
    EXPECT_EQ(support::ini_get(file, "S", "K", "fallback", 0), "now");
    std::string d = path("dir.ini");
    ASSERT_EQ(::mkdir(d.c_str(), 0700), 0);
    EXPECT_EQ(support::ini_get(d, "S", "K", "x", 0), "x");
    EXPECT_EQ(support::ini_get(d, "S", "K", "x", 0), "x");
    EXPECT_EQ(g_trace.size(), 2u);
}

TEST_F(IniTest, EditsArePickedUpWithoutRestart) {
    std::string file = path("live.ini");
    ASSERT_TRUE(platform::replace_file(file, "[S]\nK=one\n"));
    EXPECT_EQ(support::ini_get(file, "S", "K", "", 0), "one");
    EXPECT_EQ(support::ini_get(file, "S", "K", "", 0), "one");  // cached

    // Atomic replacement: new inode and size.
    ASSERT_TRUE(platform::replace_file(file, "[S]\nK=three\n"));
    EXPECT_EQ(support::ini_get(file, "S", "K", "", 0), "three");

    // In place, same size, an old explicit mtime: only the nanoseconds differ.
    write_in_place(file, "[S]\nK=fours\n");
    set_mtime(file, 1000000000, 100);
    EXPECT_EQ(support::ini_get(file, "S", "K", "", 0), "fours");
    write_in_place(file, "[S]\nK=fives\n");
    set_mtime(file, 1000000000, 200);
    EXPECT_EQ(support::ini_get(file, "S", "K", "", 0), "fives");

    // In place, same size, and the mtime put back to what it was: the stamp
    // may not change within one clock tick, so recent files compare bytes.
    write_in_place(file, "[S]\nK=sixes\n");
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(support::ini_get(file, "S", "K", "", 0), "sixes");
    write_in_place(file, "[S]\nK=seven\n");
    set_mtime(file, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    EXPECT_EQ(support::ini_get(file, "S", "K", "", 0), "seven");

    // Removed: defaults again.
    ASSERT_EQ(::unlink(file.c_str()), 0);
    EXPECT_EQ(support::ini_get(file, "S", "K", "gone", 0), "gone");
}

TEST_F(IniTest, NamedFilesAndSharedVolume) {
    ASSERT_EQ(::setenv("SMSGW_HOME", (dir_ + "home").c_str(), 1), 0);
    support::reset_support_for_tests();
    std::string home = support::GetProgramDataDirectory();
    EXPECT_EQ(support::SMSIniGetFilename(), home + "SMSGW.INI");
    EXPECT_EQ(support::MMSCIniGetFilename(), home + "MMSC.INI");
    EXPECT_EQ(support::SharedVolumeIniGetFilename(), home + "SHAREDVOL.INI");

    ASSERT_TRUE(platform::replace_file(path("a.ini"), "[SMSGW]\nQDir=/q\n"));
    ASSERT_TRUE(platform::replace_file(path("b.ini"), "[MMSC]\nDataDir=/m\n"));
    ASSERT_TRUE(
        platform::replace_file(home + "SHAREDVOL.INI", "[SharedVolume]\nMessageIDPrefix=AB\n"));
    support::SMSIniSetFilename(path("a.ini"));
    support::MMSCIniSetFilename(path("b.ini"));
    EXPECT_EQ(support::SMSIniGetProfileString("SMSGW", "QDir", "", 260), "/q");
    EXPECT_EQ(support::SMSIniGetProfileString("MMSC", "DataDir", "none", 260), "none");
    EXPECT_EQ(support::MMSCIniGetProfileString("mmsc", "datadir", "", 260), "/m");
    EXPECT_EQ(support::SharedVolumeIniGetProfileString("SharedVolume", "MessageIDPrefix", "", 101),
              "AB");
    support::SMSIniSetFilename("");
    support::MMSCIniSetFilename("");
    ::unsetenv("SMSGW_HOME");
    support::reset_support_for_tests();
}

TEST_F(IniTest, WritersKeepEveryOtherLine) {
    std::string file = path("edit.ini");
    const std::string original =
        "; top comment\r\n"
        "[SMSGW]\r\n"
        "Debug=No\r\n"
        "; about QDir\r\n"
        "QDir=/q\r\n"
        "debug=shadowed\r\n"
        "\r\n"
        "; the link\r\n"
        "[Modem - COM1:]\r\n"
        "Speed=9600\r\n"
        "[smsgw]\r\n"
        "Debug=second section\r\n";
    ASSERT_TRUE(platform::replace_file(file, original));

    // Replace in the first section only; CRLF kept.
    ASSERT_TRUE(support::ini_set(file, "smsgw", "DEBUG", "Yes"));
    std::string want = original;
    want.replace(want.find("Debug=No"), 8, "DEBUG=Yes");
    EXPECT_EQ(slurp(file), want);
    EXPECT_EQ(support::ini_get(file, "SMSGW", "Debug", "", 0), "Yes");

    // New key: after the section's last non-blank line, before the blank.
    ASSERT_TRUE(support::ini_set(file, "SMSGW", "WebPort", "8800"));
    want.insert(want.find("\r\n\r\n; the link") + 2, "WebPort=8800\r\n");
    EXPECT_EQ(slurp(file), want);

    // Values that would not read back unchanged are quoted.
    ASSERT_TRUE(support::ini_set(file, "Modem - COM1:", "Init", " AT&F "));
    ASSERT_TRUE(support::ini_set(file, "Modem - COM1:", "Q", "\"x\""));
    want.insert(want.find("Speed=9600\r\n") + 12, "Init=\" AT&F \"\r\nQ=\"\"x\"\"\r\n");
    EXPECT_EQ(slurp(file), want);
    EXPECT_EQ(support::ini_get(file, "Modem - COM1:", "Init", "", 0), " AT&F ");
    EXPECT_EQ(support::ini_get(file, "Modem - COM1:", "Q", "", 0), "\"x\"");

    // New section at the end.
    ASSERT_TRUE(support::ini_set(file, "IPRestrictions", "Allow", "127.0.0.1"));
    want += "[IPRestrictions]\r\nAllow=127.0.0.1\r\n";
    EXPECT_EQ(slurp(file), want);

    // Deleting a key removes every copy in the section readers use, so the
    // shadowed one cannot surface.
    ASSERT_TRUE(support::ini_delete_key(file, "SMSGW", "debug"));
    std::string after_delete = want;
    after_delete.erase(after_delete.find("DEBUG=Yes\r\n"), 11);
    after_delete.erase(after_delete.find("debug=shadowed\r\n"), 16);
    EXPECT_EQ(slurp(file), after_delete);
    EXPECT_EQ(support::ini_get(file, "SMSGW", "Debug", "absent", 0), "absent");
    EXPECT_TRUE(support::ini_delete_key(file, "SMSGW", "debug"));  // nothing left: success
    EXPECT_TRUE(support::ini_delete_key(file, "NoSuch", "x"));
    EXPECT_EQ(slurp(file), after_delete);

    // Deleting a section removes every copy and keeps the comment above the
    // next header.
    ASSERT_TRUE(support::ini_delete_section(file, "SMSGW"));
    EXPECT_EQ(slurp(file),
              "; top comment\r\n"
              "\r\n"
              "; the link\r\n"
              "[Modem - COM1:]\r\n"
              "Speed=9600\r\n"
              "Init=\" AT&F \"\r\n"
              "Q=\"\"x\"\"\r\n"
              "[IPRestrictions]\r\n"
              "Allow=127.0.0.1\r\n");
    EXPECT_FALSE(support::ini_has_section(file, "SMSGW"));
}

TEST_F(IniTest, WritersRefuseBadInputAndCreateMissingFiles) {
    std::string file = path("new.ini");
    EXPECT_TRUE(support::ini_delete_key(file, "S", "K"));
    EXPECT_TRUE(support::ini_delete_section(file, "S"));
    EXPECT_FALSE(platform::file_exists(file));

    struct Bad {
        const char* section;
        const char* key;
        std::string value;
    };
    const Bad bad[] = {
        {"", "K", "v"},      {"S]", "K", "v"},
        {"S\n[X", "K", "v"}, {"S", "", "v"},
        {"S", "K=1", "v"},   {"S", ";K", "v"},
        {"S", "[K", "v"},    {"S", "K\r", "v"},
        {"S", "K", "a\nb"},  {"S", "K", std::string("a\0b", 3)},
        {" S", "K", "v"},
    };
    for (const Bad& b : bad)
        EXPECT_FALSE(support::ini_set(file, b.section, b.key, b.value))
            << "[" << b.section << "] " << b.key;
    EXPECT_FALSE(platform::file_exists(file));

    ASSERT_TRUE(support::ini_set(file, "S", "K", "v"));
    EXPECT_EQ(slurp(file), "[S]\nK=v\n");
    // A file without a final newline gets one before the new section.
    ASSERT_TRUE(platform::replace_file(file, "[A]\nx=1"));
    ASSERT_TRUE(support::ini_set(file, "A", "y", "2"));
    EXPECT_EQ(slurp(file), "[A]\nx=1\ny=2\n");
    ASSERT_TRUE(platform::replace_file(file, "[A]\nx=1"));
    ASSERT_TRUE(support::ini_set(file, "B", "y", "2"));
    EXPECT_EQ(slurp(file), "[A]\nx=1\n[B]\ny=2\n");
}

TEST_F(IniTest, ConcurrentReadersNeverSeeAHalfFile) {
    std::string file = path("busy.ini");
    constexpr int kKeys = 50;
    auto content = [](int gen) {
        std::string s = "[S]\n";
        for (int k = 0; k < kKeys; ++k)
            s += "Key" + std::to_string(k) + "=gen" + std::to_string(gen) + "\n";
        // Varying size, so some rewrites change the size and some do not.
        s += "Pad=" + std::string(size_t(gen % 7), 'p') + "\n";
        return s;
    };
    ASSERT_TRUE(platform::replace_file(file, content(0)));

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            for (int i = 0; i < 200000 && !done.load(); ++i) {
                auto sec = support::ini_section(file, "S");
                bool ok = sec.size() == kKeys + 1;
                for (int k = 0; ok && k < kKeys; ++k) ok = sec[size_t(k)].second == sec[0].second;
                if (!ok) failures.fetch_add(1);
                if (support::ini_get(file, "S", "Pad", "MISSING", 0) == "MISSING")
                    failures.fetch_add(1);
                reads.fetch_add(1);
            }
        });
    // Rewrites both ways: atomic replacement and the writer API.
    for (int gen = 1; gen <= 300; ++gen) {
        if (gen % 2)
            ASSERT_TRUE(platform::replace_file(file, content(gen)));
        else
            ASSERT_TRUE(support::ini_set(file, "S", "Pad", "w" + std::to_string(gen)));
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
