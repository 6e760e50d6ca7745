/*
 * debug.h - the event and debug log client.
 *
 * DebugLog(level, fmt, ...) sends one line when level shares a bit with the
 * event mask (TALVEN_EVENTLEVEL, default 1) or the debug mask (DebugLevel).
 * The line, "time: [pid] ProgName: text", travels as one 260-byte LogRecord
 * through the FIFO "rblpipe" in TALVEN_TMPDIR to the log server.  Failures of
 * the system are logged at level 256, traces at level 512.  Single-threaded,
 * like the whole library (see rsockmap.h).  See DebugLog(3).
 */
#ifndef SUPPORT_DEBUG_H
#define SUPPORT_DEBUG_H

#include "support/api.h"

NS_API_BEGIN

#define NS_LOG_FAIL 256
#define NS_LOG_TRACE 512

#define LOG_KIND_EVENT 1   /* enter in the event log */
#define LOG_KIND_DEBUG 2   /* enter in the debug log */

#define LOG_TEXT_SIZE 256
#define LOG_PIPE_NAME "rblpipe"

/* The record written to the log pipe: always 260 bytes, one write. */
typedef struct LogRecord {
    int kind;                   /* LOG_KIND_EVENT | LOG_KIND_DEBUG, host order */
    char text[LOG_TEXT_SIZE];   /* at most 255 characters, NUL, zero fill */
} LogRecord;

/* The program name written into every line: "DEBUG" until a program points
 * it at its own name (the string is used, not copied: it must stay valid;
 * a "%" in it is written as it is). */
extern const char *ProgName;
/* The debug mask, 0 at start (nsadmin -d sets it); read afresh at every
 * DebugLog call. */
extern int DebugLevel;

/* Logs one printf-style line when level shares a bit with the event mask
 * (loaded once: atoi of TALVEN_EVENTLEVEL, 1 when unset) or the debug mask
 * (DebugLevel).  The record's kind says which: LOG_KIND_EVENT,
 * LOG_KIND_DEBUG or both.  A call that no mask passes returns at once, with
 * no system call, after the first call of the process, which loads the
 * configuration (rbgetenv: a missing main file ends the process there).
 *
 * A passing call opens the log pipe "<TALVEN_TMPDIR>/rblpipe" when it is not
 * open yet: only a FIFO, never through a symbolic link, without waiting,
 * and not inherited by programs the process executes.  When it cannot (no
 * log server holds it open) it prints "Failed to contact log server" on
 * standard error and drops the line; the next passing call tries again.  It
 * composes "time: [pid] ProgName: " and the expanded format, cut to 255
 * characters and ending in a newline, and writes the 260-byte LogRecord in
 * one write; while the pipe is full it waits for room, under the caller's
 * own signal mask, so that a caller's alarm can end the wait (a caller that
 * blocks SIGALRM, as a SIGALRM handler does, does not wait).  A failed
 * write (or an ended wait) appends "Failed to write log entry, errno is N"
 * to "<TALVEN_TMPDIR>/LOGFAIL<pid>.log" and closes the pipe; the line is
 * lost.  Without TALVEN_TMPDIR lines are dropped silently.  The pipe stays
 * open for the life of the process.
 *
 * Never fails towards its caller and keeps errno.  For the length of a
 * passing call SIGALRM is blocked (except while it waits for room) and
 * SIGPIPE ignored; the caller's signal mask and SIGPIPE action are in force
 * again when it returns.  May be called from a SIGALRM handler (the
 * library's own handlers do); such a call never waits for room. */
void DebugLog(int level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* The current local time as "%b %e %H:%M:%S" (e.g. "Dec  7 03:10:15") in a
 * static 40-byte buffer that the module owns and each call overwrites; the
 * empty string when the time cannot be had. */
char *GetTimeForLog(void);

/* The path "<TALVEN_TMPDIR>/<name><num>+.log" (e.g. /tmp/srv3+.log) for a
 * program's standard output, in a block that the module owns: the next call
 * frees it, the caller never does.  Null when TALVEN_TMPDIR is unset, name
 * is null or no memory is left.  Loads the configuration on first use. */
char *getStdoutLogFile(const char *name, int num);

NS_API_END

#endif /* SUPPORT_DEBUG_H */
