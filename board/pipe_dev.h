// Pipe device: a fixed ring buffer in the device table with blocking write and read and
// select support. "/dev/pipeHostAcqMsg" and "/dev/pipeHostAcqAbort" carry the acquisition
// controller's messages between threads.
//
// A write no longer than the pipe is stored whole: it waits until it fits, so messages of
// several writers never interleave. A longer write is stored piecewise as room appears.
#pragma once

#include <cstdint>

#include "platform/devio/DevIo.h"
#include "platform/kernel/Kernel.h"

constexpr std::uint32_t kPipeHostAcqSize = 256;

// get_config keys that flush the pipe.
enum : std::uint32_t {
    PIPE_FLUSH_KEY_FIRST = 258,
    PIPE_FLUSH_KEY_LAST = 260,
};

struct PipeRecord {
    constexpr PipeRecord(std::uint8_t* storage, std::uint32_t bytes)
        : buffer(storage), size(bytes) {}

    std::uint8_t* buffer;
    std::uint32_t size;
    std::uint32_t count = 0;        // bytes stored
    std::uint32_t read_index = 0;
    std::uint32_t write_index = 0;
    kernel::Cond cond;          // both directions; broadcast on every change
    kernel::Mutex mutex;
    devio::SelInfo select_read;
    devio::SelInfo select_write;
};

// Device handlers.
bool pipe_dev_init(devio::Device* device);
int pipe_dev_write(devio::Device* device, const void* data, std::uint32_t* length);  // 0 or 4
int pipe_dev_read(devio::Device* device, void* buffer, std::uint32_t* length);       // 0 or 4
int pipe_dev_select(devio::Device* device, int which);
int pipe_dev_get_config(devio::Device* device, std::uint32_t key, void* buffer,
                        std::uint32_t* length);
int pipe_dev_set_config(devio::Device* device, std::uint32_t key, const void* buffer,
                        std::uint32_t* length);

extern const devio::DeviceHandlers PipeDevHandlers;

// The two pipes of the board (registered by board_register_dsp_devices).
extern devio::Device PipeHostAcqMsgDevice;    // "/dev/pipeHostAcqMsg", 256 bytes
extern devio::Device PipeHostAcqAbortDevice;  // "/dev/pipeHostAcqAbort", 256 bytes
