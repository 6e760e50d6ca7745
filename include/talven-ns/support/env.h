/*
 * env.h - the product's configuration.
 *
 * On first use rbgetenv() reads the main file (named by TALVEN_CONFIG, else
 * /etc/talven.conf) and then, unless ProcessType is non-zero, the user's
 * $HOME/.talven.conf.  Every KEY=VALUE entry is exported into the process
 * environment; the 16 known TALVEN_ keys also fill the string variables
 * below (null until read).  A value that begins with "$TALVEN_NAME" takes the
 * current value of that known key, followed by whatever came after a "/".
 *
 * The format: one KEY=VALUE entry a line, split at the first "="; every
 * white-space character is removed wherever it stands (values cannot hold
 * blanks); a line whose very first byte is "#" is a comment, an empty line
 * is skipped.  See talven.conf(5) and rbgetenv(3).
 *
 * A main file that cannot be opened, is not a regular file, is larger than
 * 16 MiB or holds a line without "=" ends the process with a message on
 * standard error and exit status 1; so does running out of memory while
 * reading it.  A user's file that is missing, not a regular file or too
 * large is skipped (a message on standard error for the last), and so are
 * its lines without "=".
 *
 * Every string here (the variables' values and the entries handed to
 * putenv) lives until the process ends; a value replaced by a later entry is
 * not freed either, so a pointer read earlier stays valid.  Single-threaded,
 * like the whole library (putenv is not thread-safe either).
 */
#ifndef SUPPORT_ENV_H
#define SUPPORT_ENV_H

#include "support/api.h"

NS_API_BEGIN

/* The 16 known keys' values: null until an entry for the key has been read,
 * then a string the module owns (do not free or write it; assign a pointer
 * of your own to override one).  The library reads EventLevel and TmpDir
 * (the log client) and Marlod (the name server master); the others serve
 * the product's programs. */
extern char *AdminDir;     /* TALVEN_ADMINDIR */
extern char *BinDir;       /* TALVEN_BINDIR */
extern char *DebugDir;     /* TALVEN_DEBUGDIR */
extern char *EtcDir;       /* TALVEN_ETCDIR */
extern char *EventDir;     /* TALVEN_EVENTDIR */
extern char *EventLevel;   /* TALVEN_EVENTLEVEL */
extern char *LogLimit;     /* TALVEN_LOGLIMIT */
extern char *MaxSessions;  /* TALVEN_MAXSESSIONS */
extern char *Marlod;       /* TALVEN_NAMESVC */
extern char *NSGateway;    /* TALVEN_NSGATEWAY */
extern char *RsockDir;     /* TALVEN_RSOCKDIR */
extern char *TmpDir;       /* TALVEN_TMPDIR */
extern char *RbDir;        /* TALVEN_DIR */
extern char *TCLDir;       /* TALVEN_TCLDIR */
extern char *TCLScriptDir; /* TALVEN_TCLSCRIPTDIR */
extern char *TCLInterp;    /* TALVEN_TCLINTERP */

/* Shared by the product's programs.  ProcessType (0): set it non-zero before
 * the first rbgetenv to skip the user's file.  ServerPidFD (-1), g_Argc (0)
 * and g_Argv (null) are the programs' own; the library never reads them. */
extern int ProcessType;
extern int ServerPidFD;
extern int g_Argc;
extern char **g_Argv;

/* Loads the configuration, once per process: the main file (named by the
 * environment variable TALVEN_CONFIG, else /etc/talven.conf), then, unless
 * ProcessType is non-zero, $HOME/.talven.conf (none when HOME is unset).
 * Later entries override earlier ones, the user's file the main file.
 * Every later call returns at once, and so does a call made while the
 * first is reading.  Returns 0; ends the process as said above when the
 * main file is unusable.  The library calls it itself before it reads a
 * variable (the first DebugLog and the first name-service call do);
 * programs call it before they read one. */
int rbgetenv(void);

/* Reads dir/.talven.conf under the user's file rules, once per process (a
 * once-flag of its own, independent of rbgetenv's); neither the main file
 * nor ProcessType is looked at.  A null dir reads nothing.  Returns 0. */
int rbuserenv(const char *dir);

NS_API_END

#endif /* SUPPORT_ENV_H */
