/*
 * debug.h - the event and debug log client.
 *
 * DebugLog(level, fmt, ...) sends one line when level shares a bit with the
 * event mask (TALVEN_EVENTLEVEL, default 1) or the debug mask (DebugLevel).
 * The line, "time: [pid] ProgName: text", travels as one 260-byte LogRecord
 * through the FIFO "rblpipe" in TALVEN_TMPDIR to the log server.  Failures of
 * the system are logged at level 256, traces at level 512.
 */
#ifndef SUPPORT_DEBUG_H
#define SUPPORT_DEBUG_H

#ifdef __cplusplus
extern "C" {
#endif

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

extern const char *ProgName;  /* "DEBUG" */
extern int DebugLevel;        /* the debug mask; option -d sets it */

void DebugLog(int level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
/* "%b %e %H:%M:%S" of the current local time in a static buffer. */
char *GetTimeForLog(void);
/* "TmpDir/NAMENUM+.log" in a block the module owns (freed by the next call);
 * null when it cannot be allocated. */
char *getStdoutLogFile(const char *name, int num);

#ifdef __cplusplus
}
#endif

#endif /* SUPPORT_DEBUG_H */
