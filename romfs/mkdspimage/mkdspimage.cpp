// mkdspimage OUT: writes the DSP program image (TI COFF) to OUT.
#include <cstdio>

#include "romfs/mkdspimage/DspProgramImage.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkdspimage OUT\n");
        return 2;
    }
    if (!mkdspimage::SaveFile(argv[1], mkdspimage::WriteCoff(mkdspimage::MakeProgramImage()))) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
