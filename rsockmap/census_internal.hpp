// census_internal.hpp - the census's pure part (internal): what one received
// datagram means, separate from the socket so it can be tested and fuzzed.
#ifndef RSOCKMAP_CENSUS_INTERNAL_HPP
#define RSOCKMAP_CENSUS_INTERNAL_HPP

#include <cstddef>
#include <cstdint>
#include <span>

#include "rsockmap/census.h"

namespace ns {

// Deciphers a datagram received by the census (its first NS_MSG_SIZE bytes
// at most; the bytes themselves are not changed) that came from `from`.
// For an NS_MASTER or NS_BACKUP reply it fills *reply's type, from, addr and
// hasAddr and returns true; addr starts as a copy of from, and an address
// item that lies wholly inside the received record overwrites its first
// bytes (at most 16), family 2.  Anything else (another type, or too short
// to hold one: 24 bytes of salt and no record byte) gives false with *reply
// untouched.
bool decodeCensusReply(std::span<const std::uint8_t> datagram, const NsAddr &from,
                       NsCensusReply *reply);

// The type alone: NS_MASTER or NS_BACKUP for such a reply, else 0.
int censusReplyType(const std::uint8_t *datagram, std::size_t size);

}  // namespace ns

#endif
