/*
 * sockets.h - compatibility header: signals, timers and service sockets.
 *
 * Signals and timers live in support/signals.h, service sockets (which use
 * the name service) in rsockmap/servsock.h.  This header only includes the
 * two, so that programs written against it keep compiling; new code includes
 * what it uses.  It is the one header of support/ that names a name-service
 * header, and nothing inside the library includes it.
 */
#ifndef SUPPORT_SOCKETS_H
#define SUPPORT_SOCKETS_H

#include "support/signals.h"
#include "rsockmap/servsock.h"

#endif /* SUPPORT_SOCKETS_H */
