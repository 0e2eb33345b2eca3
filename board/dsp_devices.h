// Registers the DSP link's devices in the device table at board start-up:
// "/dev/dsp-int", "/dev/pipeHostAcqMsg", "/dev/pipeHostAcqAbort". Runs once; later calls
// do nothing. Returns false when a device could not be registered.
#pragma once

bool board_register_dsp_devices();
