// signals_internal.hpp - what the library's own modules may read of the
// signal and timer utilities (internal; not part of the C interface).
#ifndef SUPPORT_SIGNALS_INTERNAL_HPP
#define SUPPORT_SIGNALS_INTERNAL_HPP

namespace ns {

// True once the alarm armed by setAlarm has gone off; cleared by the next
// setAlarm call (arm or cancel).  Read it after the interrupted call returns
// to tell a timeout from another failure.
bool alarmFired();

}  // namespace ns

#endif
