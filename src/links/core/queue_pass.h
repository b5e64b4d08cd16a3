// The queue pass's pieces shared with its tests: the recombination of queued
// segments. serve_queue itself is in link_kind.h, for the kinds.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace links::detail {

// How long a segment waits for its missing siblings before it is sent without them.
inline constexpr time_t kRecombineWaitS = 180;
// Longest UDH kept from a recombined segment, in octets.
inline constexpr size_t kRecombinedUdhMax = 149;

// The UDH (hex) without its concatenation elements (0x00, 0x08), cut to 149
// octets of elements; empty when nothing else is left. Malformed input
// gives an empty result.
std::string strip_concat_elements(std::string_view udh_hex);

}  // namespace links::detail
