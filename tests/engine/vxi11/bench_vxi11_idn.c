/*
 * bench_vxi11_idn: round trips against a VXI-11 server through libtirpc; prints figures,
 * checks nothing.
 *
 *   bench_vxi11_idn HOST DEVICE COMMAND COUNT LINKS
 *     LINKS links, one connection and one thread each, share COUNT round trips (a
 *     device_write of COMMAND with END, then a device_read of 4096 bytes); prints
 *     links=N round_trips=... failed=... seconds=... rate=.../s per_link_min=... per_link_max=...
 *     With more than one link each round trip holds the device lock (device_lock with
 *     waitlock before, device_unlock after): the links share one device, whose message
 *     exchange drops a pending response when another link's message arrives first
 *     (INTERRUPTED), so unlocked round trips of several links would fail by design.
 *     The first failure of each link is described on stderr.
 *
 *   bench_vxi11_idn --pid PID HOST DEVICE COMMAND COUNT LINKS
 *     the same, and adds the context switches of server process PID (all its threads) made
 *     between the opening of the links and the end of the round trips, read before the links
 *     are closed (a connection's thread ends with its connection, and its counts with it):
 *     ... server_voluntary=... server_involuntary=...
 *
 *   HOST may be HOST:PORT: the core channel's port, without asking the portmapper.
 *
 *   bench_vxi11_idn --idle N --pid PID HOST DEVICE
 *     opens N idle links, one connection each, and prints the server's VmRSS growth per link:
 *     idle_link_bytes=...
 */
#define _GNU_SOURCE
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <dirent.h>
#include <pthread.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "vxi11.h"

enum { FLAG_WAITLOCK = 1, FLAG_END = 8, REASON_END = 4, IO_TIMEOUT = 2000 };

static struct sockaddr_in g_server;
static const char* g_device;
static const char* g_command;
static long g_count;
static atomic_long g_claimed;
static pthread_barrier_t g_start;

typedef struct {
    CLIENT* core;
    long lid;
    long done;
    long failed;
    char firstFailure[128];
} Worker;

static int g_locked;
static long g_serverPid;

/* The context switches of every thread of process pid; 0 when there is no such process. */
static int ServerSwitches(long pid, long* voluntary, long* involuntary) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/task", pid);
    DIR* tasks = opendir(path);
    if (tasks == NULL) {
        return 0;
    }
    *voluntary = *involuntary = 0;
    struct dirent* task;
    while ((task = readdir(tasks)) != NULL) {
        char status[sizeof path + sizeof task->d_name + 8];
        char line[256];
        long value;
        if (task->d_name[0] == '.') {
            continue;
        }
        snprintf(status, sizeof status, "%s/%s/status", path, task->d_name);
        FILE* file = fopen(status, "r");
        if (file == NULL) {
            continue; /* a thread that ended meanwhile */
        }
        while (fgets(line, sizeof line, file) != NULL) {
            if (sscanf(line, "voluntary_ctxt_switches: %ld", &value) == 1) {
                *voluntary += value;
            } else if (sscanf(line, "nonvoluntary_ctxt_switches: %ld", &value) == 1) {
                *involuntary += value;
            }
        }
        fclose(file);
    }
    closedir(tasks);
    return 1;
}

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int Resolve(const char* hostAndPort) {
    char host[256];
    snprintf(host, sizeof host, "%s", hostAndPort);
    char* colon = strchr(host, ':');
    unsigned short fixedPort = 0;
    if (colon != NULL) {
        *colon = '\0';
        fixedPort = (unsigned short)atoi(colon + 1);
    }
    struct addrinfo hints;
    struct addrinfo* found = NULL;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, NULL, &hints, &found) != 0) {
        fprintf(stderr, "bench_vxi11_idn: cannot resolve %s\n", host);
        return -1;
    }
    memcpy(&g_server, found->ai_addr, sizeof g_server);
    freeaddrinfo(found);
    if (fixedPort != 0) {
        g_server.sin_port = htons(fixedPort);
        return 0;
    }
    struct sockaddr_in mapper = g_server;
    unsigned short port = pmap_getport(&mapper, DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP);
    if (port == 0) {
        fprintf(stderr, "bench_vxi11_idn: no core channel registered on %s\n", host);
        return -1;
    }
    g_server.sin_port = htons(port);
    return 0;
}

/* A new connection with a link to g_device; 0 on success. */
static int OpenLink(Worker* worker) {
    struct sockaddr_in address = g_server;
    int sock = RPC_ANYSOCK;
    worker->core = clnttcp_create(&address, DEVICE_CORE, DEVICE_CORE_VERSION, &sock, 0, 0);
    if (worker->core == NULL) {
        fprintf(stderr, "bench_vxi11_idn: cannot connect: %s\n", clnt_sperrno(rpc_createerr.cf_stat));
        return -1;
    }
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Create_LinkParms parms;
    Create_LinkResp resp;
    memset(&parms, 0, sizeof parms);
    memset(&resp, 0, sizeof resp);
    parms.device = (char*)g_device;
    struct timeval timeout = {10, 0};
    if (clnt_call(worker->core, create_link, (xdrproc_t)xdr_Create_LinkParms, (caddr_t)&parms,
                  (xdrproc_t)xdr_Create_LinkResp, (caddr_t)&resp, timeout) != RPC_SUCCESS ||
        resp.error != 0) {
        fprintf(stderr, "bench_vxi11_idn: create_link %s failed (error %ld)\n", g_device, (long)resp.error);
        return -1;
    }
    worker->lid = resp.lid;
    return 0;
}

static void CloseLink(Worker* worker) {
    Device_Link lid = worker->lid;
    Device_Error resp = {0};
    struct timeval timeout = {10, 0};
    clnt_call(worker->core, destroy_link, (xdrproc_t)xdr_Device_Link, (caddr_t)&lid, (xdrproc_t)xdr_Device_Error,
              (caddr_t)&resp, timeout);
    clnt_destroy(worker->core);
}

/* Describes the first failure of a worker; returns -1. */
static int Failure(Worker* worker, const char* what, enum clnt_stat status, long error) {
    if (worker->firstFailure[0] == '\0') {
        if (status != RPC_SUCCESS) {
            snprintf(worker->firstFailure, sizeof worker->firstFailure, "%s: %s", what, clnt_sperrno(status));
        } else {
            snprintf(worker->firstFailure, sizeof worker->firstFailure, "%s: error %ld", what, error);
        }
    }
    return -1;
}

/* device_lock (waitlock) or device_unlock; 0 on success. */
static int LockCall(Worker* worker, int lock) {
    struct timeval timeout = {IO_TIMEOUT / 1000 + 5, 0};
    Device_Error resp = {0};
    enum clnt_stat status;
    if (lock) {
        Device_LockParms parms = {worker->lid, FLAG_WAITLOCK, IO_TIMEOUT};
        status = clnt_call(worker->core, device_lock, (xdrproc_t)xdr_Device_LockParms, (caddr_t)&parms,
                           (xdrproc_t)xdr_Device_Error, (caddr_t)&resp, timeout);
    } else {
        Device_Link lid = worker->lid;
        status = clnt_call(worker->core, device_unlock, (xdrproc_t)xdr_Device_Link, (caddr_t)&lid,
                           (xdrproc_t)xdr_Device_Error, (caddr_t)&resp, timeout);
    }
    if (status != RPC_SUCCESS || resp.error != 0) {
        return Failure(worker, lock ? "device_lock" : "device_unlock", status, resp.error);
    }
    return 0;
}

/* One round trip; 0 when both calls succeeded and the read ended with END. */
static int RoundTrip(Worker* worker) {
    struct timeval timeout = {IO_TIMEOUT / 1000 + 5, 0};
    Device_WriteParms write;
    Device_WriteResp written;
    memset(&write, 0, sizeof write);
    memset(&written, 0, sizeof written);
    write.lid = worker->lid;
    write.io_timeout = IO_TIMEOUT;
    write.lock_timeout = IO_TIMEOUT;
    write.flags = FLAG_END;
    write.data.data_len = (u_int)strlen(g_command);
    write.data.data_val = (char*)g_command;
    enum clnt_stat status = clnt_call(worker->core, device_write, (xdrproc_t)xdr_Device_WriteParms, (caddr_t)&write,
                                      (xdrproc_t)xdr_Device_WriteResp, (caddr_t)&written, timeout);
    if (status != RPC_SUCCESS || written.error != 0 || written.size != write.data.data_len) {
        return Failure(worker, "device_write", status, written.error);
    }
    Device_ReadParms read;
    Device_ReadResp answer;
    memset(&read, 0, sizeof read);
    memset(&answer, 0, sizeof answer);
    read.lid = worker->lid;
    read.requestSize = 4096;
    read.io_timeout = IO_TIMEOUT;
    read.lock_timeout = IO_TIMEOUT;
    status = clnt_call(worker->core, device_read, (xdrproc_t)xdr_Device_ReadParms, (caddr_t)&read,
                       (xdrproc_t)xdr_Device_ReadResp, (caddr_t)&answer, timeout);
    if (status != RPC_SUCCESS) {
        return Failure(worker, "device_read", status, 0);
    }
    long error = answer.error;
    int ended = (answer.reason & REASON_END) != 0;
    xdr_free((xdrproc_t)xdr_Device_ReadResp, (char*)&answer);
    if (error != 0 || !ended) {
        return Failure(worker, error != 0 ? "device_read" : "device_read without END", RPC_SUCCESS, error);
    }
    return 0;
}

static void* WorkerMain(void* argument) {
    Worker* worker = argument;
    pthread_barrier_wait(&g_start);
    while (atomic_fetch_add(&g_claimed, 1) < g_count) {
        int failed = g_locked && LockCall(worker, 1) != 0;
        if (!failed) {
            failed = RoundTrip(worker) != 0;
            if (g_locked && LockCall(worker, 0) != 0) {
                failed = 1;
            }
        }
        if (!failed) {
            ++worker->done;
        } else {
            ++worker->failed;
        }
    }
    return NULL;
}

static int RunRoundTrips(int links) {
    Worker* workers = calloc((size_t)links, sizeof *workers);
    pthread_t* threads = calloc((size_t)links, sizeof *threads);
    for (int i = 0; i < links; ++i) {
        if (OpenLink(&workers[i]) != 0) {
            return 1;
        }
    }
    g_locked = links > 1;
    pthread_barrier_init(&g_start, NULL, (unsigned)links + 1);
    for (int i = 0; i < links; ++i) {
        pthread_create(&threads[i], NULL, WorkerMain, &workers[i]);
    }
    long voluntary[2] = {0, 0};
    long involuntary[2] = {0, 0};
    if (g_serverPid != 0 && !ServerSwitches(g_serverPid, &voluntary[0], &involuntary[0])) {
        fprintf(stderr, "bench_vxi11_idn: no process %ld\n", g_serverPid);
        return 1;
    }
    double start = Now();
    pthread_barrier_wait(&g_start);
    for (int i = 0; i < links; ++i) {
        pthread_join(threads[i], NULL);
    }
    double seconds = Now() - start;
    if (g_serverPid != 0) {
        ServerSwitches(g_serverPid, &voluntary[1], &involuntary[1]);
    }
    long done = 0;
    long failed = 0;
    long least = -1;
    long most = 0;
    for (int i = 0; i < links; ++i) {
        long attempts = workers[i].done + workers[i].failed;
        done += workers[i].done;
        failed += workers[i].failed;
        least = least < 0 || attempts < least ? attempts : least;
        most = attempts > most ? attempts : most;
        if (workers[i].firstFailure[0] != '\0') {
            fprintf(stderr, "link %d: %ld failed, the first: %s\n", i, workers[i].failed, workers[i].firstFailure);
        }
        CloseLink(&workers[i]);
    }
    pthread_barrier_destroy(&g_start);
    printf("links=%d round_trips=%ld failed=%ld seconds=%.3f rate=%.0f/s per_link_min=%ld per_link_max=%ld", links,
           done + failed, failed, seconds, (double)(done + failed) / seconds, least, most);
    if (g_serverPid != 0) {
        printf(" server_voluntary=%ld server_involuntary=%ld", voluntary[1] - voluntary[0],
               involuntary[1] - involuntary[0]);
    }
    printf("\n");
    free(threads);
    free(workers);
    return 0;
}

/* The VmRSS of a process in bytes, or -1. */
static long ResidentBytes(long pid) {
    char path[64];
    char line[256];
    long kilobytes = -1;
    snprintf(path, sizeof path, "/proc/%ld/status", pid);
    FILE* file = fopen(path, "r");
    if (file == NULL) {
        return -1;
    }
    while (fgets(line, sizeof line, file) != NULL) {
        if (sscanf(line, "VmRSS: %ld kB", &kilobytes) == 1) {
            break;
        }
    }
    fclose(file);
    return kilobytes < 0 ? -1 : kilobytes * 1024;
}

static int RunIdle(int links, long pid) {
    Worker* workers = calloc((size_t)links, sizeof *workers);
    long before = ResidentBytes(pid);
    if (before < 0) {
        fprintf(stderr, "bench_vxi11_idn: no process %ld\n", pid);
        return 1;
    }
    for (int i = 0; i < links; ++i) {
        if (OpenLink(&workers[i]) != 0) {
            return 1;
        }
    }
    /* Let the server's new threads settle before measuring. */
    sleep(1);
    long after = ResidentBytes(pid);
    printf("idle_link_bytes=%ld\n", (after - before) / links);
    for (int i = 0; i < links; ++i) {
        CloseLink(&workers[i]);
    }
    free(workers);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 7 && strcmp(argv[1], "--idle") == 0 && strcmp(argv[3], "--pid") == 0) {
        int links = atoi(argv[2]);
        g_device = argv[6];
        if (links < 1 || Resolve(argv[5]) != 0) {
            return 2;
        }
        return RunIdle(links, atol(argv[4]));
    }
    if (argc == 8 && strcmp(argv[1], "--pid") == 0) {
        g_serverPid = atol(argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc == 6) {
        g_device = argv[2];
        g_command = argv[3];
        g_count = atol(argv[4]);
        int links = atoi(argv[5]);
        if (links < 1 || g_count < 1 || Resolve(argv[1]) != 0) {
            return 2;
        }
        return RunRoundTrips(links);
    }
    fprintf(stderr,
            "usage: bench_vxi11_idn [--pid PID] HOST DEVICE COMMAND COUNT LINKS\n"
            "       bench_vxi11_idn --idle N --pid PID HOST DEVICE\n");
    return 2;
}
