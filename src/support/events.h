// Named auto-reset wake-up events ("SMSOut" + link name, the SMPP async
// queues ...), shared by every thread that names the same kind and name.
// An event lives while some handle to it is held; setting an event that no
// thread created does nothing.
#pragma once

#include <memory>
#include <string_view>

namespace support {

class InterfaceEvent;  // opaque
using EventHandle = std::shared_ptr<InterfaceEvent>;

// Wait forever (only for threads that another thread is sure to wake).
constexpr unsigned kEventWaitInfinite = ~0u;

// Creates the event, or returns the existing one of that kind and name.
// Null only when kind and name are both empty.
EventHandle CreateEventForInterface(std::string_view kind, std::string_view name);
// The existing event of that kind and name, else null.
EventHandle OpenEventForInterface(std::string_view kind, std::string_view name);
// Signals the named event; false (and nothing happens) when none exists.
bool SetEventForInterface(std::string_view kind, std::string_view name);

// Signals an event through a handle already held.
void SetInterfaceEvent(const EventHandle& ev);
// Waits until the event is signalled (true; the signal is consumed, so one
// set releases one waiter) or timeout_ms passes (false). A null handle
// returns false at once.
bool WaitForInterfaceEvent(const EventHandle& ev, unsigned timeout_ms);

}  // namespace support
