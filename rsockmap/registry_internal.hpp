// registry_internal.hpp - decoding of the lookup reply (internal): the one
// reading of it, shared by usptcp_LookupUspName and receiveUspLookup.
#ifndef RSOCKMAP_REGISTRY_INTERNAL_HPP
#define RSOCKMAP_REGISTRY_INTERNAL_HPP

#include <cstddef>

#include "rsockmap/record.hpp"
#include "rsockmap/rsockmap.h"

namespace ns {

// Takes what a lookup's success reply gives the caller.  With an address
// item (one wholly inside the bytes that arrived):
//  - *addr receives its bytes, at most 16 (a shorter item overwrites only
//    its bytes), then family 2; *addrLen the number of bytes copied;
//  - auth (when not null and authSize > 0) receives the text item's
//    characters, or the empty string without a text item, and then, when
//    that text is not empty, holds no byte 0x1A and the reply has a name
//    item, the byte 0x1A and the name's characters; all of it cut to fit
//    authSize with a terminating NUL.
// Returns true.  Without an address item *addr, *addrLen and auth are all
// untouched (so a caller's address length stays the one it had), and the
// result is false.
bool decodeLookupReply(const ReceivedRecord &reply, NsAddr *addr, int *addrLen, char *auth,
                       std::size_t authSize);

}  // namespace ns

#endif
