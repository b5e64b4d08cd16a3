// Registration of every link kind with the link worker core. Kinds register
// explicitly at start-up: a static library drops self-registering objects
// nobody references.
#pragma once

namespace links {

// Registers every link kind the gateway has (idempotent).
void register_link_kinds();

}  // namespace links
