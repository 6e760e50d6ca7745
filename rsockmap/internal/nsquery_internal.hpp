// nsquery_internal.hpp - the one internal header of the query tool.
//
// nsquery's lookup sends its request with submitUspLookup and reads the
// reply with UspReceive, then takes the reply's address and text items
// itself, through the library's bounded record reader (RecordView), which
// is not part of the installed C interface.  nsquery reaches it only
// through this header (its target alone has this folder on its include
// path).
#ifndef RSOCKMAP_INTERNAL_NSQUERY_INTERNAL_HPP
#define RSOCKMAP_INTERNAL_NSQUERY_INTERNAL_HPP

#include "../record.hpp"

#endif
