/*
 * nsadmin.h - the administration tool's option loop.
 *
 * Performs one request per option, in command-line order, and returns the
 * exit status: 0, or 1 after the usage line or when the last census failed.
 */
#ifndef ADMIN_NSADMIN_H
#define ADMIN_NSADMIN_H

#ifdef __cplusplus
extern "C" {
#endif

int AdminMain(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* ADMIN_NSADMIN_H */
