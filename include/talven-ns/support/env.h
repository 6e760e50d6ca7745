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
 * A main file that cannot be opened, or that holds a line without "=", ends
 * the process with a message on standard error and exit status 1.
 */
#ifndef SUPPORT_ENV_H
#define SUPPORT_ENV_H

#ifdef __cplusplus
extern "C" {
#endif

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

extern int ProcessType;    /* non-zero: rbgetenv skips the user's file */
extern int ServerPidFD;    /* -1; for the product's servers */
extern int g_Argc;
extern char **g_Argv;

/* Loads the main and the user's file once per process; returns 0. */
int rbgetenv(void);
/* Reads DIR/.talven.conf once per process (its own once-flag); returns 0. */
int rbuserenv(const char *dir);

#ifdef __cplusplus
}
#endif

#endif /* SUPPORT_ENV_H */
