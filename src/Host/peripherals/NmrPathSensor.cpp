#include "Host/peripherals/NmrPathSensor.h"

#include "Host/parameters/Error.h"
#include "platform/devio/DevIo.h"

namespace Korvex {

namespace {

struct PathBand {
    std::uint16_t low;
    std::uint16_t high;
    std::uint32_t state;
};

const PathBand PathBands[] = {
    {902, 1023, 0},
    {675, 901, 1},
    {455, 674, 2},
    {189, 454, 3},
};

}  // namespace

std::uint32_t ClassifyNmrPathReading(std::uint32_t average)
{
    for (const PathBand& band : PathBands) {
        // Below the lower bound the difference wraps to a large value and misses the band.
        const std::uint16_t above = static_cast<std::uint16_t>(average - band.low);
        if (above <= band.high - band.low) return band.state;
    }
    return 0;
}

int ReadNmrPathState(std::uint32_t& state)
{
    state = 0;
    const int fd = devio::devio_open(NmrPathAdcDevice, devio::OPEN_READ_WRITE);
    if (fd < 0) return eCannotOpenFile;
    std::uint32_t average = 0;
    int result = eOk;
    for (unsigned i = 0; i < NmrPathSamples; ++i) {
        std::uint16_t sample = 0;
        if (devio::devio_read(fd, &sample, sizeof sample) != static_cast<int>(sizeof sample)) {
            result = eShortRead;
            break;
        }
        average = i == 0 ? sample : (average + sample) >> 1;
    }
    devio::devio_close(fd);
    if (result == eOk) state = ClassifyNmrPathReading(average);
    return result;
}

}  // namespace Korvex
