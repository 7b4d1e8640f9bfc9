// The device module's names that the programs use unqualified.
#pragma once

#include "kova_cpu_device.hpp"
#include "kova_device.hpp"
#include "kova_device_layouts.hpp"
#include "kova_device_raster.hpp"
#include "kova_vulkan_device.hpp"

namespace kova_demo {

using kova_device::BufferId;
using kova_device::CameraBlock;
using kova_device::CpuDevice;
using kova_device::DrawTrace;
using kova_device::ExecuteStats;
using kova_device::FrameDevice;
using kova_device::HomVec4;
using kova_device::ImageId;
using kova_device::PGL4;
using kova_device::PipelineId;
using kova_device::PixelKind;
using kova_device::toByte;
using kova_device::VulkanDevice;
using kova_device::VulkanOptions;

}  // namespace kova_demo
