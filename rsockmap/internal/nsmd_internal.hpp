// nsmd_internal.hpp - the one internal header of the stand-in name server.
//
// nsmd is the other end of the protocol: it reads requests and builds
// replies with the same record codec the library uses (RecordView,
// RecordBuilder and the header's byte positions), so that both ends keep
// the record's limits in one place, and holds its descriptors in the
// library's UniqueFd.  Neither is part of the installed C interface, so
// nsmd reaches them only through this header (its target alone has this
// folder on its include path).
#ifndef RSOCKMAP_INTERNAL_NSMD_INTERNAL_HPP
#define RSOCKMAP_INTERNAL_NSMD_INTERNAL_HPP

#include "../record.hpp"
#include "../../support/unique_fd.hpp"

#endif
