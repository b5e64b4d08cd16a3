// What the link system tests share: request files, a gateway in its own
// temporary home with a queue that is written atomically, and reading what
// the gateway left behind (logs, inbound files, status files).
#pragma once

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/text.h"
#include "system/harness.h"

namespace linktest {

using Keys = std::vector<std::pair<std::string, std::string>>;

inline bool contains(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// A request file body: "[SMS]" and the keys in order.
inline std::string request(const Keys& keys) {
    std::string body = "[SMS]\r\n";
    for (const auto& [k, v] : keys) body += k + "=" + v + "\r\n";
    return body;
}

// UTF-8 (basic plane only, which is all the tests use) to UCS-2 hex.
inline std::string ucs2_hex(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned c = static_cast<unsigned char>(utf8[i]);
        unsigned cp = c;
        if (c >= 0xE0 && i + 2 < utf8.size()) {
            cp = ((c & 0x0F) << 12) | ((unsigned(utf8[i + 1]) & 0x3F) << 6) |
                 (unsigned(utf8[i + 2]) & 0x3F);
            i += 3;
        } else if (c >= 0xC0 && i + 1 < utf8.size()) {
            cp = ((c & 0x1F) << 6) | (unsigned(utf8[i + 1]) & 0x3F);
            i += 2;
        } else {
            ++i;
        }
        out += platform::strprintf("%04X", cp);
    }
    return out;
}

// The gateway and its home.
class Rig {
  public:
    Rig() {
        home_ = tmp_.path() + "/home/";
        std::filesystem::create_directories(home_ + "Q");
    }

    bool start(const std::string& ini) { return start(systest::with_ini(ini)); }
    bool start(const systest::GatewayOptions& opt) {
        ::unlink((home_ + "PRIVATE/TEST.READY").c_str());
        gw_ = std::make_unique<systest::Gateway>(home_);
        if (!gw_->start(opt)) return false;
        return gw_->wait_ready();
    }
    systest::Gateway& gw() { return *gw_; }
    bool running() { return gw_ && gw_->running(); }
    bool stop() {
        if (!gw_) return true;
        gw_->send_signal(SIGTERM);
        return gw_->wait_exit(10000) == 0;
    }
    const std::string& home() const { return home_; }
    std::string q(const std::string& name = "") const { return home_ + "Q/" + name; }

    // Writes a request file whole under a dot name and renames it into the
    // queue, so that the gateway never sees half a file.
    bool queue(const std::string& name, const std::string& body, const std::string& subdir = "") {
        std::string dir = q() + subdir;
        std::filesystem::create_directories(dir);
        std::string tmp = dir + "." + name + ".part";
        if (!systest::write_text(tmp, body)) return false;
        return ::rename(tmp.c_str(), (dir + name).c_str()) == 0;
    }

    // Files under dir (recursively) whose names end in ext (without regard
    // to case), as paths.
    static std::vector<std::string> files(const std::string& dir, const std::string& ext) {
        namespace fs = std::filesystem;
        std::vector<std::string> out;
        std::error_code ec;
        if (!fs::exists(dir, ec)) return out;
        for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (!it->is_regular_file(ec)) continue;
            std::string name = it->path().filename().string();
            if (name.size() >= ext.size() &&
                platform::iequals(std::string_view(name).substr(name.size() - ext.size()), ext))
                out.push_back(it->path().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    size_t queued() const { return files(q(), ".req").size(); }
    std::vector<std::string> inbound(const std::string& ext) const {
        return files(home_ + "SMS-IN", ext);
    }

    // Every outbound log line of the run (all days, in case of a midnight).
    std::vector<std::string> out_lines() const { return log_lines("SMSOUT-"); }
    std::vector<std::string> in_lines() const { return log_lines("SMSIN-"); }
    bool out_log_has(const std::string& text) const {
        for (const auto& l : out_lines())
            if (contains(l, text)) return true;
        return false;
    }

    std::string status_file(const std::string& link) const {
        std::string name = link;
        for (char& c : name)
            if (c == ':' || c == '/' || c == '\\') c = '-';
        return home_ + "PRIVATE/" + name + ".ERR";
    }

    std::string debug_log() const { return gw_ ? gw_->debug_log() : ""; }
    // What to show when an expectation fails: the end of the debug trace
    // and the outbound log.
    std::string diag() const {
        std::string debug = debug_log();
        if (debug.size() > 6000) debug = "..." + debug.substr(debug.size() - 6000);
        std::string out;
        for (const auto& l : out_lines()) out += l + "\n";
        if (out.size() > 3000) out = "..." + out.substr(out.size() - 3000);
        return "\n--- debug log (end) ---\n" + debug + "\n--- outbound log ---\n" + out +
               "--- stderr ---\n" + (gw_ ? gw_->stderr_text() : "");
    }

  protected:
    std::vector<std::string> log_lines(const std::string& prefix) const {
        std::vector<std::string> lines;
        for (const auto& path : files(home_ + "LOGS", ".LOG")) {
            std::string name = std::filesystem::path(path).filename().string();
            if (name.rfind(prefix, 0) != 0) continue;
            std::istringstream in(systest::read_text(path));
            std::string line;
            while (std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!line.empty()) lines.push_back(line);
            }
        }
        return lines;
    }

    systest::TempDir tmp_;
    std::string home_;
    std::unique_ptr<systest::Gateway> gw_;
};

}  // namespace linktest
