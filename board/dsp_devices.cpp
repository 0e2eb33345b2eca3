#include "board/dsp_devices.h"

#include <mutex>

#include "board/intline_dev.h"
#include "board/pipe_dev.h"
#include "platform/devio/DevIo.h"

bool board_register_dsp_devices() {
    static std::once_flag once;
    static bool registered = false;
    std::call_once(once, [] {
        const bool dspInt = devio::devio_register(&DspIntDevice);
        const bool msg = devio::devio_register(&PipeHostAcqMsgDevice);
        const bool abort = devio::devio_register(&PipeHostAcqAbortDevice);
        registered = dspInt && msg && abort;
    });
    return registered;
}
