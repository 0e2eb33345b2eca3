// ADC device: "/dev/adc0" gives one 10-bit conversion of input AIN0 per read of exactly two
// bytes (a u16, 0..1023). One converter mutex serialises the conversions of every ADC device;
// a select for reading is ready when the converter is free.
#pragma once

#include <cstdint>

#include "platform/devio/DevIo.h"
#include "platform/kernel/Kernel.h"

struct AdcRecord {
    explicit constexpr AdcRecord(std::uint32_t ch) : channel(ch) {}

    std::uint32_t channel;
    kernel::Mutex mutex;          // guards the select state
    devio::SelInfo select_info;
    std::uint8_t select_armed = 0;
};

bool adc_dev_init(devio::Device* device);
int adc_dev_read(devio::Device* device, void* buffer, std::uint32_t* length);
int adc_dev_select(devio::Device* device, int which);

extern const devio::DeviceHandlers AdcDevHandlers;

extern devio::Device Adc0Device;  // "/dev/adc0": AIN0
