/*
 * vxi11_null_server: a VXI-11 core channel that does nothing, built from rpcgen's server
 * dispatch and libtirpc (one thread, svc_run). create_link hands out link 1, device_write
 * takes the bytes, device_read answers a fixed identification with END; every other call
 * succeeds with error 0. The reference the firmware's round-trip rate is compared with.
 *
 *   vxi11_null_server PORT   (listens on 127.0.0.1:PORT, not registered with a portmapper;
 *                             prints "ready" when it accepts calls)
 */
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <rpc/rpc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vxi11.h"

void device_core_1(struct svc_req* request, SVCXPRT* transport);

static char g_reply[] = "Korvex,null server,0,0\n";
static Device_Error g_ok;

Create_LinkResp* create_link_1_svc(Create_LinkParms* parms, struct svc_req* request) {
    static Create_LinkResp resp;
    (void)parms;
    (void)request;
    resp.error = 0;
    resp.lid = 1;
    resp.abortPort = 0;
    resp.maxRecvSize = 4096;
    return &resp;
}

Device_WriteResp* device_write_1_svc(Device_WriteParms* parms, struct svc_req* request) {
    static Device_WriteResp resp;
    (void)request;
    resp.error = 0;
    resp.size = parms->data.data_len;
    return &resp;
}

Device_ReadResp* device_read_1_svc(Device_ReadParms* parms, struct svc_req* request) {
    static Device_ReadResp resp;
    (void)parms;
    (void)request;
    resp.error = 0;
    resp.reason = 4; /* END */
    resp.data.data_len = (u_int)strlen(g_reply);
    resp.data.data_val = g_reply;
    return &resp;
}

Device_ReadStbResp* device_readstb_1_svc(Device_GenericParms* parms, struct svc_req* request) {
    static Device_ReadStbResp resp;
    (void)parms;
    (void)request;
    return &resp;
}

#define NULL_PROCEDURE(name, type)                                   \
    Device_Error* name(type* parms, struct svc_req* request) {       \
        (void)parms;                                                 \
        (void)request;                                               \
        return &g_ok;                                                \
    }
NULL_PROCEDURE(device_trigger_1_svc, Device_GenericParms)
NULL_PROCEDURE(device_clear_1_svc, Device_GenericParms)
NULL_PROCEDURE(device_remote_1_svc, Device_GenericParms)
NULL_PROCEDURE(device_local_1_svc, Device_GenericParms)
NULL_PROCEDURE(device_lock_1_svc, Device_LockParms)
NULL_PROCEDURE(device_unlock_1_svc, Device_Link)
NULL_PROCEDURE(device_enable_srq_1_svc, Device_EnableSrqParms)
NULL_PROCEDURE(destroy_link_1_svc, Device_Link)
NULL_PROCEDURE(create_intr_chan_1_svc, Device_RemoteFunc)
NULL_PROCEDURE(device_abort_1_svc, Device_Link)

Device_Error* destroy_intr_chan_1_svc(void* parms, struct svc_req* request) {
    (void)parms;
    (void)request;
    return &g_ok;
}

Device_DocmdResp* device_docmd_1_svc(Device_DocmdParms* parms, struct svc_req* request) {
    static Device_DocmdResp resp;
    (void)parms;
    (void)request;
    return &resp;
}

void* device_intr_srq_1_svc(Device_SrqParms* parms, struct svc_req* request) {
    static char nothing;
    (void)parms;
    (void)request;
    return &nothing;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: vxi11_null_server PORT\n");
        return 2;
    }
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((unsigned short)atoi(argv[1]));
    if (bind(sock, (struct sockaddr*)&address, sizeof address) != 0 || listen(sock, 16) != 0) {
        perror("vxi11_null_server: bind");
        return 1;
    }
    SVCXPRT* transport = svctcp_create(sock, 0, 0);
    if (transport == NULL || !svc_register(transport, DEVICE_CORE, DEVICE_CORE_VERSION, device_core_1, 0)) {
        fprintf(stderr, "vxi11_null_server: cannot serve\n");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    svc_run();
    return 1;
}
