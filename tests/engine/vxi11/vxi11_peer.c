/*
 * vxi11_peer: a VXI-11 controller built on libtirpc and the XDR routines that rpcgen makes
 * from vxi11.x, for checking the instrument server from outside. Every subcommand talks to
 * the device "inst0" of HOST, prints "ok: ..." for each check that holds and stops with
 * "FAIL: ..." and exit status 1 at the first one that does not.
 *
 *   vxi11_peer abort HOST           device_abort ends a blocked device_read
 *   vxi11_peer srq HOST tcp|udp     service requests on our own interrupt channel server
 *   vxi11_peer multi HOST N         N connections at once, one closed early
 *   vxi11_peer drop HOST            a lock holder's connection drops without destroy_link
 *   vxi11_peer write HOST N         an N-byte device_write (above 4096: refused)
 *   vxi11_peer soak HOST LINKS SECONDS
 *                                   LINKS connections, each with a link, query under the
 *                                   device lock for SECONDS
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "vxi11.h"

enum { FLAG_WAITLOCK = 1, FLAG_END = 8 };
enum { REASON_END = 4 };
enum {
    ERR_NONE = 0,
    ERR_PARAMETER = 5,
    ERR_CHANNEL_NOT_ESTABLISHED = 6,
    ERR_LOCKED = 11,
    ERR_ABORT = 23,
    ERR_CHANNEL_ESTABLISHED = 29
};

static const char kDevice[] = "inst0";
static const char kIdentity[] = "KORVEX-TEST,VXI11,0,0";
static const long kIoTimeout = 5000;
/* Added to a procedure's own time-outs for the RPC call itself. */
static const long kRpcMargin = 5000;

/* xdr_void takes no arguments: cast through a plain function pointer type. */
static xdrproc_t XdrVoid(void) { return (xdrproc_t)(void (*)(void))xdr_void; }

static struct sockaddr_in g_server;
static unsigned short g_corePort;
static pthread_mutex_t g_printLock = PTHREAD_MUTEX_INITIALIZER;

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void SleepMs(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

static void Fail(const char* format, ...) __attribute__((format(printf, 1, 2), noreturn));
static void Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    pthread_mutex_lock(&g_printLock);
    fputs("FAIL: ", stdout);
    vprintf(format, args);
    fputc('\n', stdout);
    fflush(stdout);
    va_end(args);
    _exit(1);
}

static void Check(int holds, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void Check(int holds, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (!holds) {
        Fail("%s", text);
    }
    pthread_mutex_lock(&g_printLock);
    printf("ok: %s\n", text);
    fflush(stdout);
    pthread_mutex_unlock(&g_printLock);
}

/* ---- connections and procedures ---- */

typedef struct {
    CLIENT* core;
    long lid;
    unsigned short abortPort;
} Link;

static void Resolve(const char* host) {
    struct addrinfo hints;
    struct addrinfo* found = NULL;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    int rc = getaddrinfo(host, NULL, &hints, &found);
    if (rc != 0) {
        Fail("cannot resolve %s: %s", host, gai_strerror(rc));
    }
    memcpy(&g_server, found->ai_addr, sizeof g_server);
    freeaddrinfo(found);
    struct sockaddr_in mapper = g_server;
    g_corePort = pmap_getport(&mapper, DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP);
    if (g_corePort == 0) {
        Fail("the portmapper of %s knows no core channel (%s)", host, clnt_sperrno(rpc_createerr.cf_stat));
    }
}

static CLIENT* Connect(unsigned short port, u_long program, u_long version) {
    struct sockaddr_in address = g_server;
    address.sin_port = htons(port);
    int sock = RPC_ANYSOCK;
    CLIENT* client = clnttcp_create(&address, program, version, &sock, 0, 0);
    if (client == NULL) {
        Fail("cannot connect program %#lx on port %u: %s", program, port,
             clnt_sperrno(rpc_createerr.cf_stat));
    }
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return client;
}

static void Call(CLIENT* client, u_long procedure, xdrproc_t encode, void* arguments,
                 xdrproc_t decode, void* result, long timeoutMs, const char* what) {
    struct timeval timeout = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    enum clnt_stat status =
        clnt_call(client, procedure, encode, (caddr_t)arguments, decode, (caddr_t)result, timeout);
    if (status != RPC_SUCCESS) {
        Fail("%s: RPC call failed: %s", what, clnt_sperrno(status));
    }
}

/* create_link on a new connection; returns the VXI-11 error. */
static long OpenLink(Link* link, bool_t lockDevice, u_long lockTimeout) {
    Create_LinkParms parms;
    Create_LinkResp resp;
    memset(&parms, 0, sizeof parms);
    memset(&resp, 0, sizeof resp);
    link->core = Connect(g_corePort, DEVICE_CORE, DEVICE_CORE_VERSION);
    parms.lockDevice = lockDevice;
    parms.lock_timeout = lockTimeout;
    parms.device = (char*)kDevice;
    Call(link->core, create_link, (xdrproc_t)xdr_Create_LinkParms, &parms,
         (xdrproc_t)xdr_Create_LinkResp, &resp, (long)lockTimeout + kRpcMargin, "create_link");
    link->lid = resp.lid;
    link->abortPort = resp.abortPort;
    return resp.error;
}

/* Closes the connection without destroy_link. */
static void CloseConnection(Link* link) {
    if (link->core != NULL) {
        clnt_destroy(link->core);
        link->core = NULL;
    }
}

static long Write(Link* link, const char* data, unsigned length, long flags, u_long* size) {
    Device_WriteParms parms;
    Device_WriteResp resp;
    memset(&parms, 0, sizeof parms);
    memset(&resp, 0, sizeof resp);
    parms.lid = link->lid;
    parms.io_timeout = kIoTimeout;
    parms.lock_timeout = kIoTimeout;
    parms.flags = flags | FLAG_END;
    parms.data.data_len = length;
    parms.data.data_val = (char*)data;
    Call(link->core, device_write, (xdrproc_t)xdr_Device_WriteParms, &parms,
         (xdrproc_t)xdr_Device_WriteResp, &resp, 2 * kIoTimeout + kRpcMargin, "device_write");
    *size = resp.size;
    return resp.error;
}

/* device_read of up to 4096 bytes into text (NUL-terminated, at most capacity - 1 bytes). */
static long Read(Link* link, long ioTimeout, long flags, char* text, size_t capacity, long* reason) {
    Device_ReadParms parms;
    Device_ReadResp resp;
    memset(&parms, 0, sizeof parms);
    memset(&resp, 0, sizeof resp);
    parms.lid = link->lid;
    parms.requestSize = 4096;
    parms.io_timeout = (u_long)ioTimeout;
    parms.lock_timeout = kIoTimeout;
    parms.flags = flags;
    Call(link->core, device_read, (xdrproc_t)xdr_Device_ReadParms, &parms,
         (xdrproc_t)xdr_Device_ReadResp, &resp, ioTimeout + kIoTimeout + kRpcMargin, "device_read");
    size_t n = resp.data.data_len < capacity - 1 ? resp.data.data_len : capacity - 1;
    if (n > 0) {
        memcpy(text, resp.data.data_val, n);
    }
    text[n] = '\0';
    *reason = resp.reason;
    long error = resp.error;
    xdr_free((xdrproc_t)xdr_Device_ReadResp, (char*)&resp);
    return error;
}

static long ReadStb(Link* link, long flags, unsigned* stb) {
    Device_GenericParms parms = {link->lid, flags, (u_long)kIoTimeout, (u_long)kIoTimeout};
    Device_ReadStbResp resp;
    memset(&resp, 0, sizeof resp);
    Call(link->core, device_readstb, (xdrproc_t)xdr_Device_GenericParms, &parms,
         (xdrproc_t)xdr_Device_ReadStbResp, &resp, 2 * kIoTimeout + kRpcMargin, "device_readstb");
    *stb = resp.stb;
    return resp.error;
}

static long Lock(Link* link, long flags, u_long lockTimeout) {
    Device_LockParms parms = {link->lid, flags, lockTimeout};
    Device_Error resp = {0};
    Call(link->core, device_lock, (xdrproc_t)xdr_Device_LockParms, &parms,
         (xdrproc_t)xdr_Device_Error, &resp, (long)lockTimeout + kRpcMargin, "device_lock");
    return resp.error;
}

/* A procedure whose argument is the lid alone (device_unlock, destroy_link). */
static long LidCall(Link* link, u_long procedure, const char* what) {
    Device_Link lid = link->lid;
    Device_Error resp = {0};
    Call(link->core, procedure, (xdrproc_t)xdr_Device_Link, &lid, (xdrproc_t)xdr_Device_Error, &resp,
         kRpcMargin, what);
    return resp.error;
}

static long CreateIntrChan(Link* link, unsigned short port, Device_AddrFamily family) {
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    int fd = -1;
    clnt_control(link->core, CLGET_FD, (char*)&fd);
    getsockname(fd, (struct sockaddr*)&local, &length);
    Device_RemoteFunc parms;
    memset(&parms, 0, sizeof parms);
    parms.hostAddr = ntohl(local.sin_addr.s_addr);
    parms.hostPort = port;
    parms.progNum = DEVICE_INTR;
    parms.progVers = DEVICE_INTR_VERSION;
    parms.progFamily = family;
    Device_Error resp = {0};
    Call(link->core, create_intr_chan, (xdrproc_t)xdr_Device_RemoteFunc, &parms,
         (xdrproc_t)xdr_Device_Error, &resp, kRpcMargin, "create_intr_chan");
    return resp.error;
}

static long DestroyIntrChan(Link* link) {
    Device_Error resp = {0};
    Call(link->core, destroy_intr_chan, XdrVoid(), NULL, (xdrproc_t)xdr_Device_Error, &resp,
         kRpcMargin, "destroy_intr_chan");
    return resp.error;
}

/* Writes message with END and reads the reply; fails on any error. Returns the reply
 * without its trailing newline in reply. */
static void Query(Link* link, const char* message, unsigned length, char* reply, size_t capacity) {
    u_long size = 0;
    long error = Write(link, message, length, 0, &size);
    if (error != ERR_NONE || size != length) {
        Fail("device_write of a %u-byte query: error %ld, size %lu", length, error, size);
    }
    long reason = 0;
    error = Read(link, kIoTimeout, 0, reply, capacity, &reason);
    if (error != ERR_NONE || (reason & REASON_END) == 0) {
        Fail("device_read after a %u-byte query: error %ld, reason %ld", length, error, reason);
    }
    size_t n = strlen(reply);
    if (n > 0 && reply[n - 1] == '\n') {
        reply[n - 1] = '\0';
    }
}

static void CheckIdentity(Link* link, const char* what) {
    char reply[256];
    Query(link, "*IDN?", 5, reply, sizeof reply);
    Check(strcmp(reply, kIdentity) == 0, "%s: *IDN? answers \"%s\"", what, reply);
}

static void OpenLinkChecked(Link* link, const char* what) {
    long error = OpenLink(link, 0, 0);
    Check(error == ERR_NONE && link->lid != 0 && link->abortPort != 0,
          "%s: create_link %s gives error %ld, lid %#lx, abortPort %u", what, kDevice, error,
          (unsigned long)link->lid, link->abortPort);
}

static void DestroyLinkChecked(Link* link, const char* what) {
    long error = LidCall(link, destroy_link, "destroy_link");
    Check(error == ERR_NONE, "%s: destroy_link answers %ld", what, error);
    CloseConnection(link);
}

/* ---- abort ---- */

typedef struct {
    Link* link;
    pthread_mutex_t mutex;
    int done;
    long error;
    long reason;
    double ended;
} BlockedRead;

static void* BlockedReadMain(void* argument) {
    BlockedRead* job = argument;
    char text[64];
    long reason = 0;
    long error = Read(job->link, 10000, 0, text, sizeof text, &reason);
    pthread_mutex_lock(&job->mutex);
    job->error = error;
    job->reason = reason;
    job->ended = Now();
    job->done = 1;
    pthread_mutex_unlock(&job->mutex);
    return NULL;
}

static int RunAbort(void) {
    Link link;
    OpenLinkChecked(&link, "abort");
    CLIENT* abortChannel = Connect(link.abortPort, DEVICE_ASYNC, DEVICE_ASYNC_VERSION);
    Check(1, "abort channel accepts a connection on port %u", link.abortPort);

    u_long size = 0;
    long error = Write(&link, "SLOW?", 5, 0, &size);
    Check(error == ERR_NONE && size == 5, "device_write SLOW?: error %ld, size %lu", error, size);

    BlockedRead job;
    memset(&job, 0, sizeof job);
    job.link = &link;
    pthread_mutex_init(&job.mutex, NULL);
    pthread_t thread;
    if (pthread_create(&thread, NULL, BlockedReadMain, &job) != 0) {
        Fail("cannot start the reading thread");
    }
    SleepMs(500);
    pthread_mutex_lock(&job.mutex);
    int doneEarly = job.done;
    pthread_mutex_unlock(&job.mutex);
    Check(!doneEarly, "device_read of SLOW? (io_timeout 10000) still blocks after 0.5 s");

    Device_Link lid = link.lid;
    Device_Error resp = {0};
    double aborted = Now();
    Call(abortChannel, device_abort, (xdrproc_t)xdr_Device_Link, &lid, (xdrproc_t)xdr_Device_Error,
         &resp, kRpcMargin, "device_abort");
    Check(resp.error == ERR_NONE, "device_abort answers %ld", (long)resp.error);
    pthread_join(thread, NULL);
    pthread_mutex_destroy(&job.mutex);
    double after = job.ended - aborted;
    Check(job.error == ERR_ABORT && after < 1.0, "blocked device_read ends with error %ld %.3f s after device_abort",
          job.error, after);

    /* SLOW? still answers after its 3 s: take the late reply so that it cannot reach the
     * next controller. */
    char text[64];
    long reason = 0;
    error = Read(&link, 5000, 0, text, sizeof text, &reason);
    printf("info: device_read after the abort: error %ld, reason %ld, %zu bytes\n", error, reason, strlen(text));
    DestroyLinkChecked(&link, "abort");
    clnt_destroy(abortChannel);
    return 0;
}

/* ---- srq ---- */

static struct {
    int count;
    unsigned length;
    char handle[64];
    double at;
} g_srq;

static void InterruptDispatch(struct svc_req* request, SVCXPRT* transport) {
    if (request->rq_proc == NULLPROC) {
        svc_sendreply(transport, XdrVoid(), NULL);
        return;
    }
    if (request->rq_proc != device_intr_srq) {
        svcerr_noproc(transport);
        return;
    }
    Device_SrqParms parms;
    memset(&parms, 0, sizeof parms);
    if (!svc_getargs(transport, (xdrproc_t)xdr_Device_SrqParms, (caddr_t)&parms)) {
        svcerr_decode(transport);
        return;
    }
    g_srq.count++;
    g_srq.at = Now();
    g_srq.length = parms.handle.handle_len;
    size_t n = parms.handle.handle_len < sizeof g_srq.handle - 1 ? parms.handle.handle_len
                                                                  : sizeof g_srq.handle - 1;
    memcpy(g_srq.handle, parms.handle.handle_val, n);
    g_srq.handle[n] = '\0';
    svc_freeargs(transport, (xdrproc_t)xdr_Device_SrqParms, (caddr_t)&parms);
    /* A controller answers the call; the server must not choke on the replies. */
    svc_sendreply(transport, XdrVoid(), NULL);
}

/* Serves our interrupt channel until `want` calls have come or the deadline passes. */
static void ServeInterrupts(int want, double deadline) {
    while (g_srq.count < want) {
        double left = deadline - Now();
        if (left <= 0) {
            return;
        }
        struct timeval timeout = {(time_t)left, (suseconds_t)((left - (double)(time_t)left) * 1e6)};
        fd_set ready = svc_fdset;
        if (select(svc_maxfd + 1, &ready, NULL, NULL, &timeout) > 0) {
            svc_getreqset(&ready);
        }
    }
}

static int RunSrq(const char* protocol) {
    int tcp = strcmp(protocol, "tcp") == 0;
    if (!tcp && strcmp(protocol, "udp") != 0) {
        Fail("srq: protocol must be tcp or udp, not %s", protocol);
    }
    Link link;
    OpenLinkChecked(&link, "srq");

    /* Our interrupt channel server, on the address with which we reach the instrument. */
    int fd = -1;
    struct sockaddr_in local;
    socklen_t length = sizeof local;
    clnt_control(link.core, CLGET_FD, (char*)&fd);
    getsockname(fd, (struct sockaddr*)&local, &length);
    local.sin_port = 0;
    int sock = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (sock < 0 || bind(sock, (struct sockaddr*)&local, sizeof local) != 0 || (tcp && listen(sock, 4) != 0)) {
        Fail("srq: cannot bind the interrupt channel socket");
    }
    SVCXPRT* transport = tcp ? svctcp_create(sock, 0, 0) : svcudp_create(sock);
    if (transport == NULL || !svc_register(transport, DEVICE_INTR, DEVICE_INTR_VERSION, InterruptDispatch, 0)) {
        Fail("srq: cannot start the interrupt channel server");
    }
    length = sizeof local;
    getsockname(sock, (struct sockaddr*)&local, &length);
    unsigned short port = ntohs(local.sin_port);

    long error = CreateIntrChan(&link, port, tcp ? DEVICE_TCP : DEVICE_UDP);
    Check(error == ERR_NONE, "create_intr_chan %s port %u answers %ld", protocol, port, error);

    static char handle[] = "peer42";
    Device_EnableSrqParms enable;
    memset(&enable, 0, sizeof enable);
    enable.lid = link.lid;
    enable.enable = 1;
    enable.handle.handle_len = 6;
    enable.handle.handle_val = handle;
    Device_Error resp = {0};
    Call(link.core, device_enable_srq, (xdrproc_t)xdr_Device_EnableSrqParms, &enable,
         (xdrproc_t)xdr_Device_Error, &resp, kRpcMargin, "device_enable_srq");
    Check(resp.error == ERR_NONE, "device_enable_srq with a 6-byte handle answers %ld", (long)resp.error);

    u_long size = 0;
    double sent = Now();
    error = Write(&link, "SRQ", 3, 0, &size);
    Check(error == ERR_NONE && size == 3, "device_write SRQ: error %ld, size %lu", error, size);
    ServeInterrupts(1, sent + 1.0);
    Check(g_srq.count == 1, "device_intr_srq arrives over %s within 1 s (after %.3f s)", protocol,
          g_srq.count ? g_srq.at - sent : 1.0);
    Check(g_srq.length == 6 && strcmp(g_srq.handle, handle) == 0, "device_intr_srq carries the handle \"%s\" (%u bytes)",
          g_srq.handle, g_srq.length);

    unsigned stb = 0;
    error = ReadStb(&link, 0, &stb);
    Check(error == ERR_NONE && stb == 0x41, "device_readstb after the request: error %ld, stb %#x", error, stb);

    error = CreateIntrChan(&link, port, tcp ? DEVICE_TCP : DEVICE_UDP);
    Check(error == ERR_CHANNEL_ESTABLISHED, "a second create_intr_chan answers %ld", error);
    error = DestroyIntrChan(&link);
    Check(error == ERR_NONE, "destroy_intr_chan answers %ld", error);
    error = DestroyIntrChan(&link);
    Check(error == ERR_CHANNEL_NOT_ESTABLISHED, "destroy_intr_chan again answers %ld", error);
    DestroyLinkChecked(&link, "srq");
    svc_destroy(transport);
    return 0;
}

/* ---- multi ---- */

static int RunMulti(int count) {
    if (count < 2 || count > 64) {
        Fail("multi: N must be 2 to 64");
    }
    Link links[64];
    for (int i = 0; i < count; ++i) {
        char what[32];
        snprintf(what, sizeof what, "connection %d", i);
        OpenLinkChecked(&links[i], what);
    }
    for (int i = 0; i < count; ++i) {
        for (int j = i + 1; j < count; ++j) {
            if (links[i].abortPort == links[j].abortPort) {
                Fail("connections %d and %d share abort port %u", i, j, links[i].abortPort);
            }
        }
    }
    Check(1, "%d connections have %d distinct abort ports", count, count);
    for (int i = 0; i < count; ++i) {
        char what[32];
        snprintf(what, sizeof what, "connection %d", i);
        CheckIdentity(&links[i], what);
    }
    CloseConnection(&links[0]);
    Check(1, "connection 0 closed without destroy_link");
    SleepMs(200);
    for (int i = 1; i < count; ++i) {
        char what[48];
        snprintf(what, sizeof what, "connection %d after the close", i);
        CheckIdentity(&links[i], what);
        DestroyLinkChecked(&links[i], what);
    }
    return 0;
}

/* ---- drop ---- */

static int RunDrop(void) {
    Link a;
    Link b;
    OpenLinkChecked(&a, "link A");
    OpenLinkChecked(&b, "link B");
    long error = Lock(&a, 0, 0);
    Check(error == ERR_NONE, "link A: device_lock answers %ld", error);
    error = Lock(&b, 0, 0);
    Check(error == ERR_LOCKED, "link B: device_lock without waitlock while A holds the lock answers %ld", error);
    CloseConnection(&a);
    Check(1, "link A's connection closed without destroy_link");
    double start = Now();
    error = Lock(&b, FLAG_WAITLOCK, 1000);
    Check(error == ERR_NONE, "link B: device_lock (waitlock, 1000 ms) answers %ld after %.3f s", error, Now() - start);
    error = LidCall(&b, device_unlock, "device_unlock");
    Check(error == ERR_NONE, "link B: device_unlock answers %ld", error);
    DestroyLinkChecked(&b, "link B");
    return 0;
}

/* ---- write ---- */

static int RunWrite(long count) {
    if (count < 1 || count > 65536) {
        Fail("write: N must be 1 to 65536");
    }
    Link link;
    OpenLinkChecked(&link, "write");
    /* A query of exactly count bytes: the device answers with the message's length. */
    char* message = malloc((size_t)count);
    memset(message, 'w', (size_t)count);
    message[count - 1] = '?';
    if (count <= 4096) {
        char reply[64];
        char expected[32];
        Query(&link, message, (unsigned)count, reply, sizeof reply);
        snprintf(expected, sizeof expected, "%ld", count);
        Check(strcmp(reply, expected) == 0, "a %ld-byte device_write is taken whole; the device counts \"%s\"", count,
              reply);
    } else {
        u_long size = 1;
        long error = Write(&link, message, (unsigned)count, 0, &size);
        Check(error == ERR_PARAMETER && size == 0, "a %ld-byte device_write answers error %ld, size %lu", count, error,
              size);
        CheckIdentity(&link, "the next call");
    }
    free(message);
    DestroyLinkChecked(&link, "write");
    return 0;
}

/* ---- soak ---- */

typedef struct {
    int index;
    double deadline;
    long roundTrips;
} SoakWorker;

static void* SoakMain(void* argument) {
    SoakWorker* worker = argument;
    char what[32];
    snprintf(what, sizeof what, "soak link %d", worker->index);
    Link link;
    if (OpenLink(&link, 0, 0) != ERR_NONE || link.lid == 0) {
        Fail("%s: create_link failed", what);
    }
    unsigned seed = (unsigned)worker->index * 2654435761u;
    char message[512];
    char reply[256];
    char expected[32];
    while (Now() < worker->deadline) {
        long error = Lock(&link, FLAG_WAITLOCK, 20000);
        if (error != ERR_NONE) {
            Fail("%s: device_lock (waitlock) answers %ld after %ld round trips", what, error, worker->roundTrips);
        }
        if (rand_r(&seed) % 2 == 0) {
            Query(&link, "*IDN?", 5, reply, sizeof reply);
            if (strcmp(reply, kIdentity) != 0) {
                Fail("%s: *IDN? answers \"%s\"", what, reply);
            }
        } else {
            unsigned length = 1 + (unsigned)rand_r(&seed) % 400;
            memset(message, 'q', length);
            message[length - 1] = '?';
            Query(&link, message, length, reply, sizeof reply);
            snprintf(expected, sizeof expected, "%u", length);
            if (strcmp(reply, expected) != 0) {
                Fail("%s: a %u-byte query answers \"%s\"", what, length, reply);
            }
        }
        if (worker->roundTrips % 8 == 0) {
            unsigned stb = 0;
            error = ReadStb(&link, 0, &stb);
            if (error != ERR_NONE) {
                Fail("%s: device_readstb answers %ld", what, error);
            }
        }
        error = LidCall(&link, device_unlock, "device_unlock");
        if (error != ERR_NONE) {
            Fail("%s: device_unlock answers %ld", what, error);
        }
        ++worker->roundTrips;
        /* Now and then a controller leaves and comes back: some politely, some not. */
        if (worker->roundTrips % 100 == 0) {
            if (worker->roundTrips % 200 == 0 && LidCall(&link, destroy_link, "destroy_link") != ERR_NONE) {
                Fail("%s: destroy_link failed", what);
            }
            CloseConnection(&link);
            if (OpenLink(&link, 0, 0) != ERR_NONE || link.lid == 0) {
                Fail("%s: create_link after a reconnect failed", what);
            }
        }
    }
    if (LidCall(&link, destroy_link, "destroy_link") != ERR_NONE) {
        Fail("%s: destroy_link failed", what);
    }
    CloseConnection(&link);
    return NULL;
}

static int RunSoak(int links, int seconds) {
    if (links < 1 || links > 256 || seconds < 1) {
        Fail("soak: LINKS must be 1 to 256 and SECONDS at least 1");
    }
    SoakWorker* workers = calloc((size_t)links, sizeof *workers);
    pthread_t* threads = calloc((size_t)links, sizeof *threads);
    double deadline = Now() + seconds;
    for (int i = 0; i < links; ++i) {
        workers[i].index = i;
        workers[i].deadline = deadline;
        if (pthread_create(&threads[i], NULL, SoakMain, &workers[i]) != 0) {
            Fail("soak: cannot start thread %d", i);
        }
    }
    long total = 0;
    long least = -1;
    for (int i = 0; i < links; ++i) {
        pthread_join(threads[i], NULL);
        total += workers[i].roundTrips;
        if (least < 0 || workers[i].roundTrips < least) {
            least = workers[i].roundTrips;
        }
    }
    free(threads);
    free(workers);
    Check(least > 0, "soak: %d links for %d s, %ld locked round trips without an error (fewest on one link: %ld)",
          links, seconds, total, least);
    return 0;
}

static int Usage(void) {
    fprintf(stderr,
            "usage: vxi11_peer abort HOST | srq HOST tcp|udp | multi HOST N | drop HOST |\n"
            "                  write HOST N | soak HOST LINKS SECONDS\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const char* command = argv[1];
    Resolve(argv[2]);
    if (strcmp(command, "abort") == 0 && argc == 3) {
        return RunAbort();
    }
    if (strcmp(command, "srq") == 0 && argc == 4) {
        return RunSrq(argv[3]);
    }
    if (strcmp(command, "multi") == 0 && argc == 4) {
        return RunMulti(atoi(argv[3]));
    }
    if (strcmp(command, "drop") == 0 && argc == 3) {
        return RunDrop();
    }
    if (strcmp(command, "write") == 0 && argc == 4) {
        return RunWrite(atol(argv[3]));
    }
    if (strcmp(command, "soak") == 0 && argc == 5) {
        return RunSoak(atoi(argv[3]), atoi(argv[4]));
    }
    return Usage();
}
