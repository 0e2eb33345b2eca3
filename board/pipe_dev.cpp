#include "board/pipe_dev.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kEINTR = 4;
constexpr int kEINVAL = 22;

std::uint8_t msgBuffer[kPipeHostAcqSize];
std::uint8_t abortBuffer[kPipeHostAcqSize];
PipeRecord msgPipe(msgBuffer, kPipeHostAcqSize);
PipeRecord abortPipe(abortBuffer, kPipeHostAcqSize);

PipeRecord* RecordOf(devio::Device* device) { return static_cast<PipeRecord*>(device->priv); }

bool Lock(PipeRecord* pipe) { return kernel::mutex_lock(&pipe->mutex); }

// Copies n <= size - count bytes in at the write index, wrapping.
void CopyIn(PipeRecord* pipe, const std::uint8_t* data, std::uint32_t n) {
    const std::uint32_t first = std::min(n, pipe->size - pipe->write_index);
    std::memcpy(pipe->buffer + pipe->write_index, data, first);
    std::memcpy(pipe->buffer, data + first, n - first);
    pipe->write_index = (pipe->write_index + n) % pipe->size;
    pipe->count += n;
    kernel::cond_broadcast(&pipe->cond);
    devio::devio_selwakeup(&pipe->select_read);
}

// Copies n <= count bytes out from the read index, wrapping.
void CopyOut(PipeRecord* pipe, std::uint8_t* buffer, std::uint32_t n) {
    const std::uint32_t first = std::min(n, pipe->size - pipe->read_index);
    std::memcpy(buffer, pipe->buffer + pipe->read_index, first);
    std::memcpy(buffer + first, pipe->buffer, n - first);
    pipe->read_index = (pipe->read_index + n) % pipe->size;
    pipe->count -= n;
    kernel::cond_broadcast(&pipe->cond);
    devio::devio_selwakeup(&pipe->select_write);
}

}  // namespace

const devio::DeviceHandlers PipeDevHandlers = {
    &pipe_dev_write, &pipe_dev_read,       &pipe_dev_select, &pipe_dev_get_config,
    &pipe_dev_set_config, &pipe_dev_init, nullptr,
};

devio::Device PipeHostAcqMsgDevice = {"/dev/pipeHostAcqMsg", &PipeDevHandlers, &msgPipe, 0x1000};
devio::Device PipeHostAcqAbortDevice = {"/dev/pipeHostAcqAbort", &PipeDevHandlers, &abortPipe,
                                        0x1000};

bool pipe_dev_init(devio::Device* device) {
    PipeRecord* pipe = RecordOf(device);
    pipe->count = 0;
    pipe->read_index = 0;
    pipe->write_index = 0;
    kernel::mutex_init(&pipe->mutex);
    kernel::cond_init(&pipe->cond, &pipe->mutex);
    devio::devio_selinit(&pipe->select_read);
    devio::devio_selinit(&pipe->select_write);
    return true;
}

int pipe_dev_write(devio::Device* device, const void* data, std::uint32_t* length) {
    PipeRecord* pipe = RecordOf(device);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::uint32_t total = *length;
    if (!Lock(pipe)) {
        *length = 0;
        return kEINTR;
    }
    std::uint32_t written = 0;
    if (total <= pipe->size) {
        // Whole: wait until the message fits, so it never interleaves with another writer's.
        while (pipe->size - pipe->count < total) {
            if (!kernel::cond_wait(&pipe->cond)) {
                kernel::mutex_unlock(&pipe->mutex);
                *length = 0;
                return kEINTR;
            }
        }
        CopyIn(pipe, bytes, total);
        written = total;
    } else {
        while (written < total) {
            if (pipe->count < pipe->size) {
                const std::uint32_t n = std::min(pipe->size - pipe->count, total - written);
                CopyIn(pipe, bytes + written, n);
                written += n;
            } else if (!kernel::cond_wait(&pipe->cond)) {
                kernel::mutex_unlock(&pipe->mutex);
                *length = written;
                return kEINTR;
            }
        }
    }
    kernel::mutex_unlock(&pipe->mutex);
    *length = written;
    return 0;
}

int pipe_dev_read(devio::Device* device, void* buffer, std::uint32_t* length) {
    PipeRecord* pipe = RecordOf(device);
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    const std::uint32_t total = *length;
    if (total == 0) {
        return 0;
    }
    if (!Lock(pipe)) {
        *length = 0;
        return kEINTR;
    }
    std::uint32_t read = 0;
    while (read < total) {
        if (pipe->count > 0) {
            const std::uint32_t n = std::min(pipe->count, total - read);
            CopyOut(pipe, bytes + read, n);
            read += n;
        } else if (read > 0) {
            break;
        } else if (!kernel::cond_wait(&pipe->cond)) {
            kernel::mutex_unlock(&pipe->mutex);
            *length = 0;
            return kEINTR;
        }
    }
    kernel::mutex_unlock(&pipe->mutex);
    *length = read;
    return 0;
}

int pipe_dev_select(devio::Device* device, int which) {
    PipeRecord* pipe = RecordOf(device);
    if (which != devio::SELECT_READ && which != devio::SELECT_WRITE) {
        return 0;
    }
    while (!Lock(pipe)) {
    }
    int ready = 0;
    if (which == devio::SELECT_READ) {
        ready = pipe->count > 0 ? 1 : 0;
        if (ready == 0) devio::devio_selrecord(&pipe->select_read);
    } else {
        ready = pipe->count < pipe->size ? 1 : 0;
        if (ready == 0) devio::devio_selrecord(&pipe->select_write);
    }
    kernel::mutex_unlock(&pipe->mutex);
    return ready;
}

int pipe_dev_get_config(devio::Device* device, std::uint32_t key, void* /*buffer*/,
                        std::uint32_t* /*length*/) {
    if (key < PIPE_FLUSH_KEY_FIRST || key > PIPE_FLUSH_KEY_LAST) {
        return -kEINVAL;
    }
    PipeRecord* pipe = RecordOf(device);
    while (!Lock(pipe)) {
    }
    pipe->count = 0;
    pipe->read_index = 0;
    pipe->write_index = 0;
    kernel::cond_broadcast(&pipe->cond);
    devio::devio_selwakeup(&pipe->select_write);
    kernel::mutex_unlock(&pipe->mutex);
    return 0;
}

int pipe_dev_set_config(devio::Device* /*device*/, std::uint32_t /*key*/,
                        const void* /*buffer*/, std::uint32_t* /*length*/) {
    return -kEINVAL;
}
