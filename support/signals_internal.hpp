// signals_internal.hpp - what the library's own modules may read of the
// signal and timer utilities (internal; not part of the C interface).
#ifndef SUPPORT_SIGNALS_INTERNAL_HPP
#define SUPPORT_SIGNALS_INTERNAL_HPP

namespace ns {

// True once the alarm armed by setAlarm has gone off; cleared by the next
// setAlarm call (arm or cancel).  Read it after the interrupted call returns
// to tell a timeout from another failure.
bool alarmFired();

// Puts a timeout of `seconds` (a little more than the alarm that guards the
// call) on a socket's blocking receives (SO_RCVTIMEO) or on its connect and
// sends (SO_SNDTIMEO).  It is a safety net behind the alarm: an alarm that
// goes off after its flag was tested but before the blocking call began
// interrupts nothing, and the call then ends with EAGAIN (EINPROGRESS for a
// connect) instead of waiting for ever.  Seconds 0 takes the timeout off
// again.  Failure to set it is ignored.
void setSocketTimeout(int fd, int option, unsigned seconds);

}  // namespace ns

#endif
