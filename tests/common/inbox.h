// What the engines' receive callbacks hand over, recorded for the session
// tests of every protocol.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace test_inbox {

struct Received {
    std::string link, sender, recipient, udh, message, id, extra;
    int pid = -1, dcs = -1, flags = -1, binary = -1;
};

struct Inbox {
    std::mutex mu;
    std::vector<Received> items;
    int answer = 0;  // what the callback returns
    size_t size() {
        std::lock_guard lk(mu);
        return items.size();
    }
    Received at(size_t i) {
        std::lock_guard lk(mu);
        return items.at(i);
    }
    // A receive callback (the 11-argument form) that records into this inbox.
    auto recorder() {
        return [this](std::string_view link, std::string_view sender, std::string_view recipient,
                      int pid, int dcs, std::string_view udh, std::string_view message, int flags,
                      int binary, std::string_view id, std::string_view extra) {
            std::lock_guard lk(mu);
            items.push_back(Received{std::string(link), std::string(sender),
                                     std::string(recipient), std::string(udh),
                                     std::string(message), std::string(id), std::string(extra),
                                     pid, dcs, flags, binary});
            return answer;
        };
    }
};

}  // namespace test_inbox
