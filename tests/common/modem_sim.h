// A GSM modem of the tests' own, scripted per test: it answers AT commands
// on a pseudo-terminal (or on one TCP connection, as an IP modem), takes
// SMS-SUBMIT PDUs after AT+CMGS with its prompt, holds stored messages for
// AT+CMGL / AT+CMGD, writes unsolicited lines on request, and can stop
// answering altogether. Every command line it got is kept.
#pragma once

#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/serial.h"

namespace modem_sim {

struct Sent {
    unsigned length = 0;  // the AT+CMGS argument
    std::string pdu;
};

class ModemSim {
  public:
    // On a pseudo-terminal; path() is the device to open.
    ModemSim() {
        if (!platform::open_pty(master_, path_)) return;
        // The sim keeps the device side open too, in raw mode, so that the
        // code under test can close and open it again.
        slave_ = platform::serial_open(path_, nullptr, false);
        platform::serial_configure(slave_, 115200);
        fd_ = master_;
        thread_ = std::thread([this] { loop(); });
    }
    // As an IP modem: listens on loopback and serves one connection.
    explicit ModemSim(bool ip) {
        (void)ip;
        listener_ = platform::tcp_listen("127.0.0.1", 0, 4, &port_);
        thread_ = std::thread([this] {
            conn_ = platform::tcp_accept(listener_, 10000);
            if (!conn_) return;
            fd_ = conn_.fd();
            const std::string hello = "\xFF\xFD\x01\xFF\xFD\x03" "Login: ";  // DO Echo, DO SGA
            platform::send_all(fd_, hello.data(), hello.size(), 1000);
            loop();
        });
    }
    ~ModemSim() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (slave_ >= 0) platform::serial_close(slave_);
        if (master_ >= 0) platform::serial_close(master_);
    }
    ModemSim(const ModemSim&) = delete;
    ModemSim& operator=(const ModemSim&) = delete;

    const std::string& path() const { return path_; }
    uint16_t port() const { return port_; }

    // The answer to a command (without its CR); the default is OK.
    void on(const std::string& cmd, const std::string& answer) {
        std::lock_guard<std::mutex> l(mu_);
        answers_[cmd] = answer;
    }
    // Written before the "> " prompt of the next AT+CMGS.
    void before_prompt(const std::string& text) {
        std::lock_guard<std::mutex> l(mu_);
        before_prompt_ = text;
    }
    void store(unsigned index, const std::string& pdu) {
        std::lock_guard<std::mutex> l(mu_);
        stored_[index] = pdu;
    }
    size_t stored_count() {
        std::lock_guard<std::mutex> l(mu_);
        return stored_.size();
    }
    // Stops answering after this many more command lines (0: at once).
    void mute_after(int commands) { mute_after_ = commands; }
    void unmute() { mute_after_ = -1; }
    // Starts answering again when this command arrives (it is answered).
    void unmute_on(const std::string& cmd) {
        std::lock_guard<std::mutex> l(mu_);
        unmute_on_ = cmd;
    }
    void write(const std::string& text) {
        std::lock_guard<std::mutex> l(write_mu_);
        if (fd_ >= 0) platform::serial_write(fd_, text.data(), text.size(), 1000);
    }
    std::vector<std::string> commands() {
        std::lock_guard<std::mutex> l(mu_);
        return commands_;
    }
    std::vector<Sent> sent() {
        std::lock_guard<std::mutex> l(mu_);
        return sent_;
    }
    bool got(const std::string& cmd) {
        for (const std::string& c : commands())
            if (c == cmd) return true;
        return false;
    }
    std::string telnet_answers() {
        std::lock_guard<std::mutex> l(mu_);
        return telnet_;
    }

  private:
    void loop() {
        std::string line;
        bool in_pdu = false;
        unsigned length = 0;
        int telnet_left = 0;  // bytes of a telnet sequence still to come
        char buf[512];
        while (!stop_) {
            long n = platform::serial_read(fd_, buf, sizeof buf, 20);
            if (n < 0) {
                if (port_) return;  // the IP modem's connection ended
                platform::sleep_ms(5);  // the device side is closed for now
                continue;
            }
            for (long i = 0; i < n; ++i) {
                const char c = buf[i];
                if (port_ && (telnet_left > 0 || static_cast<unsigned char>(c) == 0xFF)) {
                    telnet_left = telnet_left > 0 ? telnet_left - 1 : 2;
                    std::lock_guard<std::mutex> l(mu_);
                    telnet_ += c;
                    continue;
                }
                if (in_pdu) {
                    if (c == 0x1A) {
                        in_pdu = false;
                        finish_pdu(length, line);
                        line.clear();
                    } else if (c == 0x1B) {
                        in_pdu = false;
                        line.clear();
                    } else if (c != '\r' && c != '\n') {
                        line += c;
                    }
                    continue;
                }
                if (c == '\r' || c == '\n') {
                    if (!line.empty()) in_pdu = command(line, length);
                    line.clear();
                } else if (c != 0x1B) {
                    line += c;
                }
            }
        }
    }

    bool muted() {
        int m = mute_after_;
        if (m < 0) return false;
        if (m == 0) return true;
        mute_after_ = m - 1;
        return false;
    }

    // Answers one command line; true when a PDU follows.
    bool command(const std::string& cmd, unsigned& length) {
        {
            std::lock_guard<std::mutex> l(mu_);
            commands_.push_back(cmd);
            if (!unmute_on_.empty() && cmd == unmute_on_) mute_after_ = -1;
        }
        if (muted()) return false;
        bool scripted;
        {
            std::lock_guard<std::mutex> l(mu_);
            scripted = answers_.count(cmd) != 0;
        }
        if (!scripted && cmd.rfind("AT+CMGS=", 0) == 0) {
            length = std::isdigit(static_cast<unsigned char>(cmd[8]))
                         ? unsigned(std::stoul(cmd.substr(8)))
                         : 0;  // text mode: AT+CMGS="<number>"
            std::string pre;
            {
                std::lock_guard<std::mutex> l(mu_);
                pre.swap(before_prompt_);
            }
            write(pre + "\r\n> ");
            return true;
        }
        std::string answer = "\r\nOK\r\n";
        std::lock_guard<std::mutex> l(mu_);
        if (auto it = answers_.find(cmd); it != answers_.end()) {
            answer = it->second;
        } else if (cmd == "AT+CMGL=0") {
            answer.clear();
            for (const auto& [index, pdu] : stored_)
                answer += "\r\n+CMGL: " + std::to_string(index) + ",0,," +
                          std::to_string(pdu.size() / 2 - 1) + "\r\n" + pdu;
            answer += "\r\n\r\nOK\r\n";
        } else if (cmd.rfind("AT+CMGD=", 0) == 0) {
            stored_.erase(unsigned(std::stoul(cmd.substr(8))));
        }
        mu_.unlock();
        write(answer);
        mu_.lock();
        return false;
    }

    void finish_pdu(unsigned length, const std::string& pdu) {
        unsigned mr;
        {
            std::lock_guard<std::mutex> l(mu_);
            sent_.push_back({length, pdu});
            mr = unsigned(sent_.size());
        }
        if (muted()) return;
        write("\r\n+CMGS: " + std::to_string(mr) + "\r\n\r\nOK\r\n");
    }

    int master_ = -1, slave_ = -1, fd_ = -1;
    std::string path_;
    platform::Socket listener_, conn_;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> mute_after_{-1};
    std::mutex mu_, write_mu_;
    std::map<std::string, std::string> answers_;
    std::map<unsigned, std::string> stored_;
    std::string before_prompt_, telnet_, unmute_on_;
    std::vector<std::string> commands_;
    std::vector<Sent> sent_;
};

}  // namespace modem_sim
