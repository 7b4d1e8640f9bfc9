// The Vulkan objects behind the device's resources: buffers, images and
// their views in slices of the device's memory blocks, the raster pipelines
// made per colour format, and the submission of the device's own command
// buffer.
#include <algorithm>

#include "vulkan_state.hpp"

namespace kova_device {

void VulkanDevice::State::destroy(GpuBuffer& b) noexcept {
  vkDestroyBuffer(device, b.buffer, nullptr);
  if (blocks) blocks->free(b.memory);
  b = GpuBuffer{};
}

void VulkanDevice::State::destroy(GpuImage& i) noexcept {
  vkDestroyImageView(device, i.view, nullptr);
  vkDestroyImage(device, i.image, nullptr);
  if (blocks) blocks->free(i.memory);
  i = GpuImage{};
}

void VulkanDevice::State::destroy(Image& i) noexcept {
  destroy(i.gpu);
  destroy(i.kinds);
  destroy(i.resolved);
  destroy(i.resolved_kinds);
}

namespace {

VkCompareOp compareOp(kova_rhi::CompareOp op) {
  using kova_rhi::CompareOp;
  switch (op) {
    case CompareOp::never:
      return VK_COMPARE_OP_NEVER;
    case CompareOp::less:
      return VK_COMPARE_OP_LESS;
    case CompareOp::equal:
      return VK_COMPARE_OP_EQUAL;
    case CompareOp::less_equal:
      return VK_COMPARE_OP_LESS_OR_EQUAL;
    case CompareOp::greater:
      return VK_COMPARE_OP_GREATER;
    case CompareOp::not_equal:
      return VK_COMPARE_OP_NOT_EQUAL;
    case CompareOp::greater_equal:
      return VK_COMPARE_OP_GREATER_OR_EQUAL;
    case CompareOp::always:
      return VK_COMPARE_OP_ALWAYS;
  }
  return VK_COMPARE_OP_NEVER;
}

}  // namespace

GpuBuffer VulkanDevice::State::makeBuffer(VkDeviceSize size, VkBufferUsageFlags usage,
                                          bool host_visible) {
  GpuBuffer b;
  b.size = std::max<VkDeviceSize>(size, 256);
  VkBufferCreateInfo info{.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO,
                          .size = b.size,
                          .usage = usage,
                          .sharingMode = VK_SHARING_MODE_EXCLUSIVE};
  check(vkCreateBuffer(device, &info, nullptr, &b.buffer), "vkCreateBuffer");
  VkMemoryRequirements req{};
  vkGetBufferMemoryRequirements(device, b.buffer, &req);
  try {
    b.memory = blocks->allocate(
        req,
        host_visible ? VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT
                     : VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT,
        true);
    b.mapped = b.memory.mapped;
    check(vkBindBufferMemory(device, b.buffer, b.memory.memory, b.memory.offset),
          "vkBindBufferMemory");
  } catch (...) {
    destroy(b);
    throw;
  }
  return b;
}

void VulkanDevice::State::ensure(GpuBuffer& b, VkDeviceSize size, VkBufferUsageFlags usage,
                                 bool host_visible) {
  if (b.buffer != VK_NULL_HANDLE && b.size >= size) return;
  destroy(b);
  b = makeBuffer(std::max(size, b.size * 2), usage, host_visible);
}

GpuImage VulkanDevice::State::makeImage(VkFormat format, std::uint32_t width, std::uint32_t height,
                                        VkImageUsageFlags usage, VkImageAspectFlags aspect,
                                        VkSampleCountFlagBits samples) {
  GpuImage img;
  img.aspect = aspect;
  VkImageCreateInfo info{.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO,
                         .imageType = VK_IMAGE_TYPE_2D,
                         .format = format,
                         .extent = {width, height, 1},
                         .mipLevels = 1,
                         .arrayLayers = 1,
                         .samples = samples,
                         .tiling = VK_IMAGE_TILING_OPTIMAL,
                         .usage = usage,
                         .sharingMode = VK_SHARING_MODE_EXCLUSIVE,
                         .initialLayout = VK_IMAGE_LAYOUT_UNDEFINED};
  check(vkCreateImage(device, &info, nullptr, &img.image), "vkCreateImage");
  try {
    VkMemoryRequirements req{};
    vkGetImageMemoryRequirements(device, img.image, &req);
    img.memory = blocks->allocate(req, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, false);
    check(vkBindImageMemory(device, img.image, img.memory.memory, img.memory.offset),
          "vkBindImageMemory");
    VkImageViewCreateInfo view{.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO,
                               .image = img.image,
                               .viewType = VK_IMAGE_VIEW_TYPE_2D,
                               .format = format,
                               .subresourceRange = {aspect, 0, 1, 0, 1}};
    check(vkCreateImageView(device, &view, nullptr, &img.view), "vkCreateImageView");
  } catch (...) {
    destroy(img);
    throw;
  }
  return img;
}

VkPipeline VulkanDevice::State::rasterPipeline(Pipeline& p, VkFormat color_format,
                                               Variant variant) {
  using kova_rhi::PrimitiveTopology;
  const PrimitiveTopology topology = p.desc.topology;
  if ((variant == Variant::arc_lines && topology != PrimitiveTopology::geodesic_list) ||
      ((variant == Variant::lit || variant == Variant::gbuffer) &&
       topology != PrimitiveTopology::triangle_list))
    variant = Variant::plain;
  for (const Made& m : p.made) {
    if (m.variant == variant && m.format == color_format) return m.pipeline;
  }
  const bool arc_lines = variant == Variant::arc_lines;
  const bool gbuffer = variant == Variant::gbuffer;
  // mesh.frag's constant_id 0: whether the fragment shader has the lights' code.
  const VkBool32 lit = variant == Variant::lit ? VK_TRUE : VK_FALSE;
  const VkSpecializationMapEntry lit_entry{0, 0, sizeof(VkBool32)};
  const VkSpecializationInfo lit_info{1, &lit_entry, sizeof(lit), &lit};
  const std::size_t first_module = arc_lines                                      ? 6
                                   : topology == PrimitiveTopology::point_list    ? 0
                                   : topology == PrimitiveTopology::geodesic_list ? 2
                                                                                  : 4;
  const Program program = arc_lines ? Program::line_draw
                          : topology == PrimitiveTopology::point_list    ? Program::splat_draw
                          : topology == PrimitiveTopology::geodesic_list ? Program::geodesic_draw
                                                                         : Program::mesh_draw;
  const VkPipelineShaderStageCreateInfo stages[2] = {
      {.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO,
       .stage = VK_SHADER_STAGE_VERTEX_BIT,
       .module = raster_modules[first_module],
       .pName = "main"},
      {.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO,
       .stage = VK_SHADER_STAGE_FRAGMENT_BIT,
       .module = gbuffer ? raster_modules[8] : raster_modules[first_module + 1],
       .pName = "main",
       .pSpecializationInfo = program == Program::mesh_draw && !gbuffer ? &lit_info : nullptr}};
  VkPipelineVertexInputStateCreateInfo vertex_input{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
  VkPipelineInputAssemblyStateCreateInfo assembly{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO,
      .topology = program == Program::mesh_draw   ? VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST
                  : program == Program::line_draw ? VK_PRIMITIVE_TOPOLOGY_LINE_LIST
                                                  : VK_PRIMITIVE_TOPOLOGY_POINT_LIST};
  VkPipelineViewportStateCreateInfo viewport{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO,
      .viewportCount = 1,
      .scissorCount = 1};
  // Arcs in Bresenham mode where the device has it (see bresenham_lines).
  VkPipelineRasterizationLineStateCreateInfoEXT line_state{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_LINE_STATE_CREATE_INFO_EXT,
      .lineRasterizationMode = VK_LINE_RASTERIZATION_MODE_BRESENHAM_EXT};
  VkPipelineRasterizationStateCreateInfo raster{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO,
      .pNext = arc_lines && bresenham_lines ? &line_state : nullptr,
      .polygonMode = VK_POLYGON_MODE_FILL,
      .cullMode = VK_CULL_MODE_NONE,
      .frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE,
      .lineWidth = 1.0f};
  VkPipelineMultisampleStateCreateInfo multisample{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO,
      .rasterizationSamples = samples};
  // Vulkan writes depth only where the test is on; without a test, the CPU
  // device's meaning is a test that always passes.
  const kova_rhi::DepthState& ds = p.desc.depth;
  VkPipelineDepthStencilStateCreateInfo depth{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO,
      .depthTestEnable = ds.depth_test || ds.depth_write ? VK_TRUE : VK_FALSE,
      .depthWriteEnable = ds.depth_write ? VK_TRUE : VK_FALSE,
      // With fs_depth the attachment holds the projective depth, which falls
      // as FS-depth rises: the compare is reversed (kova_device_raster.hpp).
      .depthCompareOp = ds.depth_test ? compareOp(storedCompare(ds.depth_compare, ds.fs_depth))
                                      : VK_COMPARE_OP_ALWAYS};
  // The colour and its kinds, or the G-buffer's four attachments.
  const std::uint32_t attachments = gbuffer ? 4 : 2;
  constexpr VkColorComponentFlags kRgba = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT |
                                          VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
  const VkPipelineColorBlendAttachmentState blend[4] = {
      {.colorWriteMask = kRgba}, {.colorWriteMask = kRgba}, {.colorWriteMask = kRgba},
      {.colorWriteMask = kRgba}};
  VkPipelineColorBlendStateCreateInfo blending{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO,
      .attachmentCount = attachments,
      .pAttachments = blend};
  const VkDynamicState dynamic_states[2] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR};
  VkPipelineDynamicStateCreateInfo dynamic{
      .sType = VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO,
      .dynamicStateCount = 2,
      .pDynamicStates = dynamic_states};
  // A G-buffer variant's `color_format` is its albedo format.
  const VkFormat plain_formats[2] = {color_format, VK_FORMAT_R8_UINT};
  const VkFormat gbuffer_formats[4] = {VK_FORMAT_R32G32B32A32_SFLOAT,
                                       VK_FORMAT_R32G32B32A32_SFLOAT, color_format,
                                       VK_FORMAT_R32G32B32A32_SFLOAT};
  const VkFormat* color_formats = gbuffer ? gbuffer_formats : plain_formats;
  VkPipelineRenderingCreateInfo rendering{.sType = VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO,
                                          .colorAttachmentCount = attachments,
                                          .pColorAttachmentFormats = color_formats,
                                          .depthAttachmentFormat = VK_FORMAT_D32_SFLOAT};
  VkGraphicsPipelineCreateInfo info{.sType = VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO,
                                    .pNext = &rendering,
                                    .stageCount = 2,
                                    .pStages = stages,
                                    .pVertexInputState = &vertex_input,
                                    .pInputAssemblyState = &assembly,
                                    .pViewportState = &viewport,
                                    .pRasterizationState = &raster,
                                    .pMultisampleState = &multisample,
                                    .pDepthStencilState = &depth,
                                    .pColorBlendState = &blending,
                                    .pDynamicState = &dynamic,
                                    .layout = layouts[static_cast<std::size_t>(program)]};
  VkPipeline pipeline = VK_NULL_HANDLE;
  check(vkCreateGraphicsPipelines(device, VK_NULL_HANDLE, 1, &info, nullptr, &pipeline),
        "vkCreateGraphicsPipelines");
  p.made.push_back(Made{variant, color_format, pipeline});
  return pipeline;
}

void VulkanDevice::State::submitAndWait() const {
  VkCommandBufferSubmitInfo cb{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO,
                               .commandBuffer = commands};
  VkSubmitInfo2 submit{.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO_2,
                       .commandBufferInfoCount = 1,
                       .pCommandBufferInfos = &cb};
  check(vkResetFences(device, 1, &fence), "vkResetFences");
  check(vkQueueSubmit2(queue, 1, &submit, fence), "vkQueueSubmit2");
  check(vkWaitForFences(device, 1, &fence, VK_TRUE, UINT64_MAX), "vkWaitForFences");
}

}  // namespace kova_device
