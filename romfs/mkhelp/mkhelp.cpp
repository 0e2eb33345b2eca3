// mkhelp OUT: writes the help file made from the command tables to OUT; fails (and writes
// nothing) when the headers text or a syntax record does not fit its place.
#include <cstdio>
#include <string>
#include <vector>

#include "romfs/mkhelp/HelpImage.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkhelp OUT\n");
        return 2;
    }
    std::vector<std::uint8_t> image;
    std::string error;
    if (!mkhelp::MakeHelpImage(image, error)) {
        std::fprintf(stderr, "mkhelp: %s\n", error.c_str());
        return 1;
    }
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(image.data(), image.size(), 1, file) == 1;
    if (std::fclose(file) != 0 || !written) {
        std::perror(argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
