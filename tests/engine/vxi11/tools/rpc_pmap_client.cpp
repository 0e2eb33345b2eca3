// Test-only portmapper client: rpc_pmap_client getport PROG VERS PROT | set PROG VERS PROT PORT
// | unset PROG VERS PORT, against 127.0.0.1:111. Prints the status ("0" or "0x543..").
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/vxi11/MiniPortMapper.h"

int main(int argc, char** argv) {
    std::uint32_t word[4] = {};
    for (int i = 2; i < argc && i < 6; ++i) {
        word[i - 2] = static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 0));
    }
    CPortMapperClient client;
    std::uint32_t status = 0x543FF;
    if (argc == 5 && std::strcmp(argv[1], "getport") == 0) {
        CMiniPortMapper::GetPort(client, word[0], word[1], word[2], &status);
    } else if (argc == 6 && std::strcmp(argv[1], "set") == 0) {
        CMiniPortMapper::Set(client, word[0], word[1], word[2], word[3], &status);
    } else if (argc == 5 && std::strcmp(argv[1], "unset") == 0) {
        CMiniPortMapper::Unset(client, word[0], word[1], word[2], &status);
    } else {
        std::fprintf(stderr, "usage: rpc_pmap_client getport P V PROT | set P V PROT PORT | unset P V PORT\n");
        return 2;
    }
    std::printf("%#x\n", status);
    return 0;
}
