/* startup_floor - the least a run of `nsadmin -l` has to do, and nothing else.
 *
 * bench/startup.py runs this beside `nsadmin -l` and /bin/true to show how
 * much of nsadmin's time is its own and how much any program pays for the
 * same system work on this machine: it reads the configuration file named by
 * TALVEN_CONFIG and tries $HOME/.talven.conf (plain open/read, no stdio, no
 * allocator), looks up the local host name (gethostname, gethostbyname, as
 * the client does once per process), looks up the master's host name unless
 * it is a dotted number, connects to the master's port over TCP, sends one
 * frame of a lookup request's size and reads the answer to its end.  It
 * parses nothing, enciphers nothing and prints nothing, so its time is a
 * floor: no implementation of `nsadmin -l` that keeps those lookups and the
 * exchange through the C library can start and finish in less.
 *
 * It runs only inside the network sandbox (NS_SANDBOX_NETNS names the
 * namespace it must be in), as bench/startup.py runs it.
 *
 * Usage: startup_floor HOST PORT   (exit status 0; 1 for bad usage or
 * outside the sandbox; 2 to 6 for the step that failed: configuration, local
 * lookup, master lookup, connection, exchange)
 */
#define _DEFAULT_SOURCE /* gethostname, gethostbyname */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* Reads the whole file at `path` into a scratch buffer; -1 if it cannot be
 * opened. */
static int readFile(const char *path) {
    char buf[4096];
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
    return 0;
}

/* Whether this process is in the sandbox's own network namespace. */
static int inSandbox(void) {
    const char *netns = getenv("NS_SANDBOX_NETNS");
    char self[64];
    const ssize_t n = readlink("/proc/self/ns/net", self, sizeof self - 1);
    if (netns == NULL || n <= 0) return 0;
    self[n] = '\0';
    return strcmp(self, netns) == 0;
}

static int dottedNumber(const char *s) {
    for (; *s != '\0'; ++s)
        if ((*s < '0' || *s > '9') && *s != '.') return 0;
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) return 1;
    if (!inSandbox()) {
        fputs("startup_floor: runs only inside scripts/netsandbox\n", stderr);
        return 1;
    }
    const char *conf = getenv("TALVEN_CONFIG");
    const char *home = getenv("HOME");
    if (conf == NULL || readFile(conf) != 0) return 2;
    if (home != NULL) {
        char user[512];
        strncpy(user, home, sizeof user - 16);
        user[sizeof user - 16] = '\0';
        strcat(user, "/.talven.conf");
        (void)readFile(user);
    }

    char local[128] = {0};
    (void)gethostname(local, sizeof local);
    if (gethostbyname(local) == NULL) return 3;

    struct sockaddr_in master;
    memset(&master, 0, sizeof master);
    master.sin_family = AF_INET;
    master.sin_port = htons((unsigned short)atoi(argv[2]));
    if (dottedNumber(argv[1])) {
        if (inet_pton(AF_INET, argv[1], &master.sin_addr) != 1) return 4;
    } else {
        const struct hostent *h = gethostbyname(argv[1]);
        if (h == NULL || h->h_addrtype != AF_INET) return 4;
        memcpy(&master.sin_addr, h->h_addr_list[0], 4);
    }

    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0 || connect(sock, (const struct sockaddr *)&master, sizeof master) != 0) return 5;
    /* A frame of the size of nsadmin's lookup request, all zeros: the
     * stand-in deciphers an unknown request and answers with a refusal, one
     * round trip as nsadmin's is. */
    unsigned char frame[57] = {56};
    if (send(sock, frame, sizeof frame, MSG_NOSIGNAL) != (ssize_t)sizeof frame) return 6;
    unsigned char reply[256];
    ssize_t got, total = 0;
    while ((got = read(sock, reply, sizeof reply)) > 0) total += got;
    close(sock);
    return total > 0 ? 0 : 6;
}
