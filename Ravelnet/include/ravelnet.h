/*
 * Ravelnet: the task transport between a sync server and its clients.
 *
 * A client opens a task server; a sync server connects, sends one 16-byte
 * RavelnetTaskHeader and then talks to the task callback raw on the same TCP
 * connection, one task per connection. The callback runs on a thread of the
 * library's; the connection is closed when the callback returns (or at
 * RavelnetDropTask).
 *
 * On Windows the six operations are exported by ordinal (see ravelnet.def)
 * and importers bind them by ordinal; on POSIX by name.
 *
 * Serving, in order, for each connection:
 *  - a peer outside the allow list is closed at once;
 *  - while its header has not arrived the connection holds no task place;
 *    such connections are bounded apart: at most 8 from one address and 256
 *    in all. When a bound is reached, the oldest waiting connection of the
 *    address with the most is closed, so that a newcomer from a quiet
 *    address (the sync server) is always read;
 *  - the header must arrive within the header time-out (30 s) and carry
 *    RAVELNET_MAGIC, else the connection is closed;
 *  - at most 64 tasks of a server run at once: a task whose header arrives
 *    while all 64 places are taken is closed at once, unanswered;
 *  - the callback is called with the connection's handle, the server's handle
 *    as `context`, the header, and 0 as `reserved`; a server without a
 *    callback closes the connection instead;
 *  - when the callback returns the handle stops being valid and the
 *    connection is closed (everything sent before is delivered first).
 * A peer refused by the allow list, a header without the magic, a header
 * that never came and a task refused for want of a place each write one
 * line to the debugger output, naming the address and the reason, at most
 * one line per address and reason a minute.
 *
 * Environment, read by every RavelnetOpenServer:
 *   RAVELNET_PORT               decimal port that replaces the settings' port
 *                               (0: any free port, see RavelnetServerPort)
 *   RAVELNET_ALLOW              comma-separated IPv4 addresses and CIDR blocks
 *                               ("10.0.0.0/8, 192.168.1.7") allowed to
 *                               connect; default "127.0.0.0/8"
 *   RAVELNET_HEADER_TIMEOUT_MS  header time-out in ms (default 30000)
 *   RAVELNET_SEND_TIMEOUT_MS    how long a send may make no progress before it
 *                               fails with RAVELNET_E_TIMEOUT (default 300000)
 * A variable that is set but malformed (an empty value included) fails the
 * open: the library never falls back to letting everybody in.
 */
#ifndef RAVELNET_H
#define RAVELNET_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#ifdef RAVELNET_BUILDING
#define RAVELNET_API __declspec(dllexport)
#else
#define RAVELNET_API __declspec(dllimport)
#endif
#else
#define RAVELNET_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque 32-bit handles of a task server and of one task's connection. 0 is
 * never a valid handle. A finished task's handle is not reused while another
 * task could still hold it. */
typedef uint32_t RavelnetServer;
typedef uint32_t RavelnetConnection;

/* "RVN1" read as a little-endian 32-bit word. */
#define RAVELNET_MAGIC 0x314E5652u

/* The header a sender writes first on a task connection (little-endian). */
typedef struct RavelnetTaskHeader {
    uint32_t type;          /* task type */
    uint32_t magic;         /* RAVELNET_MAGIC */
    uint32_t sequence;      /* free for the sender */
    uint32_t payloadLength; /* bytes of task body the sender sends next */
} RavelnetTaskHeader;

/* Server settings, 124 bytes. Only the address and the port are read; the
 * port is in host byte order, as the caller stores it. */
typedef struct RavelnetServerSettings {
    uint8_t reserved[100];
    char listenAddress[16]; /* NUL-terminated dotted IPv4, e.g. "0.0.0.0" */
    uint16_t port;
    uint8_t reserved2[2];
    uint32_t one; /* the value 1 */
} RavelnetServerSettings;

/* Called once per task on a library thread, after the header arrived from an
 * allowed peer. `context` is the handle of the server that accepted the
 * task; `reserved` is 0. Returns 1 when the task is over (the result is not
 * otherwise used). The header stays valid until the callback returns. */
typedef uint32_t (*RavelnetTaskCallback)(RavelnetConnection connection, uint32_t context,
                                         const RavelnetTaskHeader* header, uint32_t reserved);

/* Results. 1 is success; everything else is a failure code. */
#define RAVELNET_OK 1
#define RAVELNET_E_CLOSED                                                                                              \
    (-1)                         /* the peer closed before all bytes arrived (or the
                                    task was dropped while the call waited) */
#define RAVELNET_E_TIMEOUT (-2)  /* the bytes did not arrive within the time-out */
#define RAVELNET_E_SOCKET (-3)   /* socket error (reset, broken pipe, ...) */
#define RAVELNET_E_HANDLE (-4)   /* not a live connection handle */
#define RAVELNET_E_ARGUMENT (-5) /* null buffer with a nonzero length, and the like */

/* Size of the task reply that RavelnetReply sends. */
#define RAVELNET_REPLY_SIZE 20u

/* Ordinal 10. Opens a listening task server on the settings' address and
 * port, adjusted by the environment (see the top of this file). `unused` is
 * an 8-byte area the library neither reads nor writes. Returns 0 on failure:
 * no settings, an address that is not dotted IPv4 text terminated inside its
 * field, a malformed environment variable, or a port that cannot be bound. */
RAVELNET_API RavelnetServer RavelnetOpenServer(const RavelnetServerSettings* settings, void* unused);

/* Ordinal 14. Sets the callback for every later task of the server (null:
 * later tasks are closed unanswered). RAVELNET_OK or RAVELNET_E_HANDLE. */
RAVELNET_API int RavelnetSetTaskHandler(RavelnetServer server, RavelnetTaskCallback callback);

/* Ordinal 6. Receives exactly `length` bytes, all of them within `timeoutMs`
 * (0: only what has already arrived). RAVELNET_OK when they are all in the
 * buffer; RAVELNET_E_CLOSED as soon as the peer ends the stream before that;
 * RAVELNET_E_TIMEOUT; RAVELNET_E_SOCKET (reset and other errors);
 * RAVELNET_E_HANDLE; RAVELNET_E_ARGUMENT. After a failure the conversation
 * is out of step (part of the bytes may have been consumed). */
RAVELNET_API int RavelnetRecv(RavelnetConnection connection, void* buffer, uint32_t length, uint32_t timeoutMs);

/* Ordinal 5. Sends all `length` bytes or fails: RAVELNET_E_SOCKET when the
 * peer is gone (never a SIGPIPE), RAVELNET_E_TIMEOUT when the peer accepted
 * nothing for the send time-out, RAVELNET_E_HANDLE, RAVELNET_E_ARGUMENT. */
RAVELNET_API int RavelnetSend(RavelnetConnection connection, const void* buffer, uint32_t length);

/* Ordinal 12. Sends the RAVELNET_REPLY_SIZE bytes at `reply20`; results as
 * RavelnetSend. */
RAVELNET_API int RavelnetReply(RavelnetConnection connection, const void* reply20);

/* Ordinal 13. Ends a task the handler does not take: the connection closes
 * at once (the peer sees the end of the stream) and the handle stops being
 * valid; the callback still returns as usual. RAVELNET_OK or
 * RAVELNET_E_HANDLE. */
RAVELNET_API int RavelnetDropTask(RavelnetConnection connection);

/* Ordinal 15. Not used by the client core: stops accepting, closes the
 * connections still waiting for their header, waits for the running
 * callbacks to return and frees the server, its threads and sockets (tests
 * and hosts that unload). RAVELNET_OK; RAVELNET_E_HANDLE; RAVELNET_E_ARGUMENT
 * when called from one of the server's own callbacks (it would wait for
 * itself). */
RAVELNET_API int RavelnetCloseServer(RavelnetServer server);

/* Ordinal 16. Not used by the client core: the TCP port the server listens
 * on (how a test that opened it on port 0 learns where to connect), or
 * RAVELNET_E_HANDLE. */
RAVELNET_API int RavelnetServerPort(RavelnetServer server);

/* What a server has done since it opened (counts) and is doing now. */
typedef struct RavelnetServerStats {
    uint32_t tasksStarted;     /* tasks handed to the callback */
    uint32_t tasksNow;         /* task places taken now */
    uint32_t waitingForHeader; /* connections whose header has not arrived yet */
    uint32_t notAllowed;       /* peers outside the allow list */
    uint32_t wrongMagic;       /* whole headers without RAVELNET_MAGIC */
    uint32_t headerTimeouts;   /* no whole header within the header time-out */
    uint32_t crowdedOut;       /* closed while waiting, to make room for a newcomer */
    uint32_t noTaskPlace;      /* valid tasks closed because every place was taken */
} RavelnetServerStats;

/* Ordinal 17. Not used by the client core: fills `stats` (tests, hosts and
 * diagnostics). RAVELNET_OK; RAVELNET_E_HANDLE; RAVELNET_E_ARGUMENT when
 * `stats` is null. */
RAVELNET_API int RavelnetGetServerStats(RavelnetServer server, RavelnetServerStats* stats);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(RavelnetTaskHeader) == 16, "task header is 16 bytes");
static_assert(sizeof(RavelnetServerSettings) == 124, "server settings record is 124 bytes");
static_assert(offsetof(RavelnetServerSettings, listenAddress) == 100, "address at 100");
static_assert(offsetof(RavelnetServerSettings, port) == 116, "port at 116");
static_assert(offsetof(RavelnetServerSettings, one) == 120, "the value 1 at 120");
static_assert(sizeof(RavelnetServerStats) == 32, "server statistics are 32 bytes");
#endif

#endif /* RAVELNET_H */
