// System-test harness: runs the real gateway binary in a temporary home with
// a given SMSGW.INI, waits until it is ready, signals it, waits for its exit
// status and reads its files. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace systest {

// Path of the gateway binary under test.
std::string gateway_binary();

// True when the binary was built with the test hooks (short start-up
// pauses, the test minute, the ready file, the fault trigger).
bool test_hooks_built();

// A fresh mkdtemp directory, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }  // no trailing '/'

  private:
    std::string path_;
};

// Whole-file helpers; read_text returns "" for a missing file.
std::string read_text(const std::string& path);
bool write_text(const std::string& path, const std::string& text);
bool append_text(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
// Standard output of a shell command (curl, openssl) until it ends.
std::string run_command(const std::string& cmd);
long long file_size(const std::string& path);  // -1 when missing

// Polls cond every step_ms until it holds or timeout_ms has passed.
bool wait_for(const std::function<bool()>& cond, unsigned timeout_ms, unsigned step_ms = 20);

struct GatewayOptions {
    std::string sms_ini;   // SMSGW.INI text; written before start unless empty
    std::string mmsc_ini;  // MMSC.INI text; likewise
    // Extra "NAME=value" environment entries (added after the defaults, so
    // they win).
    std::vector<std::string> env;
    // Test timing defaults: start-up pause, reload pause and debug log
    // rollover waits shortened. The minute stays a real minute unless
    // minute_seconds is non-zero.
    unsigned minute_seconds = 0;
    unsigned reload_pause_ms = 50;
    unsigned startup_pause_ms = 50;
};

// Options with only SMSGW.INI given.
GatewayOptions with_ini(std::string sms_ini);

// One gateway process over a home directory. The destructor kills a
// process that is still running (it only ever kills its own child).
class Gateway {
  public:
    // home: the SMSGW_HOME directory (created when missing).
    explicit Gateway(std::string home);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    const std::string& home() const { return home_; }  // ends in '/'
    std::string path(const std::string& rel) const { return home_ + rel; }

    // Writes the INI files and starts the binary; stdout and stderr go to
    // files beside the home. False when the process could not be started.
    bool start(const GatewayOptions& opt = {});
    // Waits until the gateway has finished its first main-loop pass (its
    // ready file appears). False on time-out or when it exited first.
    bool wait_ready(unsigned timeout_ms = 20000);
    bool send_signal(int sig);
    // Exit status (exit code, or 128 + signal) within timeout_ms, else
    // nullopt (the process keeps running).
    std::optional<int> wait_exit(unsigned timeout_ms);
    bool running();
    pid_t pid() const { return pid_; }

    std::string stderr_text() const;
    std::string stdout_text() const;
    std::string debug_log() const { return read_text(home_ + "LOGS/SMSDEBUG.LOG"); }
    std::string events_log() const { return read_text(home_ + "PRIVATE/EVENTS.LOG"); }
    // Byte index of the status block file (-1 when unreadable).
    int status_byte(size_t index) const;
    // Rewrites SMSGW.INI so that its change stamp moves on.
    bool rewrite_sms_ini(const std::string& text);

    // The web port the harness gave this gateway (0 when the test set one).
    unsigned web_port() const { return web_port_; }

  private:
    bool ensure_own_web_port();
    unsigned web_port_ = 0;
    std::string home_;
    std::string out_path_;
    std::string err_path_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace systest
