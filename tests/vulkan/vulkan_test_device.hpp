// The Vulkan device of the tests: under the validation layer with
// synchronisation validation. A machine without a usable Vulkan device skips
// the test with the reason; a missing validation layer fails it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kova_vulkan_device.hpp"

#define KOVA_VULKAN_DEVICE_OR_SKIP(name) \
  KOVA_VULKAN_DEVICE_WITH_OR_SKIP(name, (kova_device::VulkanOptions{.validation = true}))

// The same with the given options (validation on in them).
#define KOVA_VULKAN_DEVICE_WITH_OR_SKIP(name, options)                  \
  auto name##_made = kova_device::VulkanDevice::create(options);        \
  if (!name##_made) {                                                   \
    if (name##_made.error().find("validation") != std::string::npos)    \
      FAIL() << name##_made.error();                                    \
    GTEST_SKIP() << "no usable Vulkan device: " << name##_made.error(); \
  }                                                                     \
  kova_device::VulkanDevice name = std::move(*name##_made)

// Both ways a host may create the device: with double-precision shaders
// where the GPU has them, and without.
inline const kova_device::VulkanOptions kWithAndWithoutFloat64[] = {
    {.validation = true}, {.validation = true, .float64 = false}};

// Nothing reported by the validation layer so far.
#define EXPECT_VALIDATION_SILENT(device)       \
  EXPECT_EQ((device).validationMessages(), 0u) \
      << "first validation message: " << (device).firstValidationMessage()
