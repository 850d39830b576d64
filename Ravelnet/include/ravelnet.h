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

/* Server settings, 124 bytes. Only the fields below are read. */
typedef struct RavelnetServerSettings {
    uint8_t reserved[100];
    char listenAddress[16]; /* NUL-terminated dotted IPv4, e.g. "0.0.0.0" */
    uint16_t port;
    uint8_t reserved2[2];
    uint32_t one; /* the value 1 */
} RavelnetServerSettings;

/* Called once per task on a library thread, after the header arrived from an
 * allowed peer. Returns 1 when the task is over. */
typedef uint32_t (*RavelnetTaskCallback)(RavelnetConnection connection, uint32_t context,
                                         const RavelnetTaskHeader* header, uint32_t reserved);

/* Results. 1 is success; everything else is a failure code. */
#define RAVELNET_OK 1
#define RAVELNET_E_CLOSED (-1)   /* the peer closed before all bytes arrived */
#define RAVELNET_E_TIMEOUT (-2)  /* the bytes did not arrive within the time-out */
#define RAVELNET_E_SOCKET (-3)   /* socket error (reset, broken pipe, ...) */
#define RAVELNET_E_HANDLE (-4)   /* not a live connection handle */
#define RAVELNET_E_ARGUMENT (-5) /* null buffer with a nonzero length, and the like */

/* Ordinal 10. Opens a listening task server. `unused` is an 8-byte area the
 * library neither reads nor writes. Environment: RAVELNET_PORT overrides the
 * port; RAVELNET_ALLOW lists the IPv4 addresses or CIDR blocks allowed to
 * connect, comma-separated (default 127.0.0.0/8); a malformed entry fails the
 * open. Returns 0 on failure. */
RAVELNET_API RavelnetServer RavelnetOpenServer(const RavelnetServerSettings* settings, void* unused);

/* Ordinal 14. Sets the callback for every later task of the server. */
RAVELNET_API int RavelnetSetTaskHandler(RavelnetServer server, RavelnetTaskCallback callback);

/* Ordinal 6. Receives exactly `length` bytes within `timeoutMs`. */
RAVELNET_API int RavelnetRecv(RavelnetConnection connection, void* buffer, uint32_t length,
                              uint32_t timeoutMs);

/* Ordinal 5. Sends all `length` bytes. */
RAVELNET_API int RavelnetSend(RavelnetConnection connection, const void* buffer, uint32_t length);

/* Ordinal 12. Sends the 20-byte task reply. */
RAVELNET_API int RavelnetReply(RavelnetConnection connection, const void* reply20);

/* Ordinal 13. Ends a task the handler does not take: the connection closes. */
RAVELNET_API int RavelnetDropTask(RavelnetConnection connection);

/* Ordinal 15. Not used by the client core: stops accepting, waits for the
 * running tasks to return and frees the server (tests and hosts that unload). */
RAVELNET_API int RavelnetCloseServer(RavelnetServer server);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(RavelnetTaskHeader) == 16, "task header is 16 bytes");
static_assert(sizeof(RavelnetServerSettings) == 124, "server settings record is 124 bytes");
static_assert(offsetof(RavelnetServerSettings, listenAddress) == 100, "address at 100");
static_assert(offsetof(RavelnetServerSettings, port) == 116, "port at 116");
static_assert(offsetof(RavelnetServerSettings, one) == 120, "the value 1 at 120");
#endif

#endif /* RAVELNET_H */
