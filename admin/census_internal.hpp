// census_internal.hpp - the census's pure part (internal): what one received
// datagram means, separate from the socket so it can be tested and fuzzed.
#ifndef ADMIN_CENSUS_INTERNAL_HPP
#define ADMIN_CENSUS_INTERNAL_HPP

#include <cstddef>
#include <cstdint>

namespace ns {

// Deciphers a received census datagram (its first NS_MSG_SIZE bytes at most;
// the bytes themselves are not changed) and returns NS_MASTER or NS_BACKUP
// when it is such a reply, else 0: another type, or too short to hold one
// (24 bytes of salt and no record byte).
int censusReplyType(const std::uint8_t *datagram, std::size_t size);

}  // namespace ns

#endif
