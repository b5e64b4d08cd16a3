// Delayed queue intake ("ThreadProcessDelayQ"): moves request files from
// "DELAYQ/YYYYMMDD/HHMM/" of the outbound queue into the live queue once
// their minute has come.
#pragma once

#include <string>

namespace store {

// One round: moves every file of each due time directory (and of its
// subdirectories, into subdirectories of the same name) into the outbound
// queue directory, replacing files of the same name, then removes the
// emptied directories. Returns the number of files moved.
unsigned process_delay_queue_round();
// The same over an explicit queue root (ends in '/').
unsigned process_delay_queue(const std::string& queue_root);

// Body of "ThreadProcessDelayQ": rounds 1000 ms apart until shutdown.
void ThreadProcessDelayQ();

// Starts the "ThreadProcessDelayQ" thread; false when it could not start.
bool start_delay_queue_thread();

}  // namespace store
