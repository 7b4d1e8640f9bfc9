// Instance, device and programs of the Vulkan device layer, and its teardown.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "shaders.hpp"
#include "vulkan_state.hpp"

namespace kova_device {
namespace {

constexpr const char* kValidationLayer = "VK_LAYER_KHRONOS_validation";

std::unexpected<std::string> fail(std::string message) {
  return std::unexpected(std::move(message));
}

// Best-practices warnings the device accepts, by message id, each with why.
// Every other warning or error counts as a validation message.
struct AcceptedWarning {
  std::string_view id;
  std::string_view reason;
};
constexpr AcceptedWarning kAcceptedBestPractices[] = {
    // VK_EXT_debug_utils is enabled only with validation on, to receive
    // these very messages: that is the debugging use it exists for.
    {"UNASSIGNED-BestPractices-vkCreateInstance-specialuse-extension-debugging",
     "the debug messenger is enabled only for a validation run"},
    // VK_EXT_line_rasterization is meant for CAD; it is enabled for its
    // Bresenham lines, the one line rule whose pixels the CPU device can
    // reproduce exactly.
    {"UNASSIGNED-BestPractices-vkCreateDevice-specialuse-extension-cadsupport",
     "Bresenham lines give the geodesic edges the CPU device's exact pixels"},
    // The read-backs resolve depth at the end of a rendering, and Vulkan
    // runs that resolve in the colour attachment output stage with colour
    // attachment accesses even on a depth image; synchronisation validation
    // requires the barrier to name them (resolveInto, vulkan_readback.cpp).
    {"UNASSIGNED-BestPractices-ImageBarrierAccessLayout",
     "a depth resolve is a colour attachment access on a depth image"},
};

bool accepted(const VkDebugUtilsMessengerCallbackDataEXT* data) {
  if (data == nullptr || data->pMessageIdName == nullptr) return false;
  const std::string_view id = data->pMessageIdName;
  return std::any_of(std::begin(kAcceptedBestPractices), std::end(kAcceptedBestPractices),
                     [&](const AcceptedWarning& w) { return w.id == id; });
}

VKAPI_ATTR VkBool32 VKAPI_CALL onValidationMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                   VkDebugUtilsMessageTypeFlagsEXT,
                                                   const VkDebugUtilsMessengerCallbackDataEXT* data,
                                                   void* user) {
  if ((severity & (VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT |
                   VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT)) != 0 &&
      !accepted(data)) {
    auto* state = static_cast<VulkanDevice::State*>(user);
    if (state->validation_messages++ == 0 && data != nullptr && data->pMessage != nullptr)
      state->first_validation_message = data->pMessage;
  }
  return VK_FALSE;
}

VulkanCandidate describe(VkPhysicalDevice device) {
  VkPhysicalDeviceProperties props{};
  vkGetPhysicalDeviceProperties(device, &props);
  VkPhysicalDeviceVulkan13Features v13{.sType =
                                           VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
  VkPhysicalDeviceFeatures2 features{.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2,
                                     .pNext = &v13};
  VulkanCandidate c;
  c.name = props.deviceName;
  c.api_version = props.apiVersion;
  if (props.apiVersion >= VK_API_VERSION_1_3) {
    vkGetPhysicalDeviceFeatures2(device, &features);
    c.dynamic_rendering = v13.dynamicRendering == VK_TRUE;
    c.synchronization2 = v13.synchronization2 == VK_TRUE;
    c.maintenance4 = v13.maintenance4 == VK_TRUE;
    c.fragment_stores = features.features.fragmentStoresAndAtomics == VK_TRUE;
    c.float64 = features.features.shaderFloat64 == VK_TRUE;
    c.large_points =
        features.features.largePoints == VK_TRUE && props.limits.pointSizeRange[1] >= 7.0f;
  }
  switch (props.deviceType) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU:
      c.type_rank = 0;
      break;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU:
      c.type_rank = 1;
      break;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU:
      c.type_rank = 2;
      break;
    case VK_PHYSICAL_DEVICE_TYPE_CPU:
      c.type_rank = 3;
      break;
    default:
      c.type_rank = 4;
      break;
  }
  std::uint32_t n = 0;
  vkGetPhysicalDeviceQueueFamilyProperties(device, &n, nullptr);
  std::vector<VkQueueFamilyProperties> families(n);
  vkGetPhysicalDeviceQueueFamilyProperties(device, &n, families.data());
  for (const auto& f : families) {
    if ((f.queueFlags & VK_QUEUE_GRAPHICS_BIT) && (f.queueFlags & VK_QUEUE_COMPUTE_BIT))
      c.graphics_compute_queue = true;
  }
  return c;
}

std::uint32_t findQueueFamily(VkPhysicalDevice device) {
  std::uint32_t n = 0;
  vkGetPhysicalDeviceQueueFamilyProperties(device, &n, nullptr);
  std::vector<VkQueueFamilyProperties> families(n);
  vkGetPhysicalDeviceQueueFamilyProperties(device, &n, families.data());
  for (std::uint32_t i = 0; i < n; ++i) {
    if ((families[i].queueFlags & VK_QUEUE_GRAPHICS_BIT) &&
        (families[i].queueFlags & VK_QUEUE_COMPUTE_BIT))
      return i;
  }
  return 0;
}

VkShaderModule makeModule(VkDevice device, std::span<const std::uint32_t> words) {
  VkShaderModuleCreateInfo info{.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO,
                                .codeSize = words.size_bytes(),
                                .pCode = words.data()};
  VkShaderModule module = VK_NULL_HANDLE;
  check(vkCreateShaderModule(device, &info, nullptr, &module), "vkCreateShaderModule");
  return module;
}

// Why a device of `samples` per pixel cannot run deferred frames, or
// nothing where it can. The lighting kernel reads the G-buffer's images as
// storage images of their formats and writes the picture, whatever its
// format, and its kinds: image2DMS on a four-sample device, image2D on a
// one-sample one. Any colour image may be either, so every colour format
// and the kinds' r8_uint must take storage at that sample count.
std::string whyNoDeferredLighting(VkPhysicalDevice physical, VkSampleCountFlagBits samples) {
  const bool one = samples == VK_SAMPLE_COUNT_1_BIT;
  VkPhysicalDeviceFeatures features{};
  vkGetPhysicalDeviceFeatures(physical, &features);
  if (!one && features.shaderStorageImageMultisample != VK_TRUE)
    return "this device has no multisampled storage images for deferred lighting "
           "(shaderStorageImageMultisample)";
  if (features.shaderStorageImageWriteWithoutFormat != VK_TRUE)
    return "this device cannot write storage images of an undeclared format, which deferred "
           "lighting does for its picture (shaderStorageImageWriteWithoutFormat)";
  constexpr std::pair<VkFormat, const char*> kFormats[] = {
      {VK_FORMAT_R8G8B8A8_UNORM, "rgba8_unorm"},
      {VK_FORMAT_R16G16B16A16_SFLOAT, "rgba16_float"},
      {VK_FORMAT_R32G32B32A32_SFLOAT, "rgba32_float"},
      {VK_FORMAT_R8_UINT, "r8_uint (pixel kinds)"}};
  for (const auto& [format, name] : kFormats) {
    VkImageFormatProperties props{};
    const VkResult r = vkGetPhysicalDeviceImageFormatProperties(
        physical, format, VK_IMAGE_TYPE_2D, VK_IMAGE_TILING_OPTIMAL,
        kColorImageUsage | VK_IMAGE_USAGE_STORAGE_BIT, 0, &props);
    if (r != VK_SUCCESS || (props.sampleCounts & samples) == 0)
      return std::string("this device has no ") + (one ? "" : "multisampled ") + name +
             " storage images for deferred lighting";
  }
  return {};
}

// Storage buffers at bindings 0..n-1 of set 0, then storage images, and
// push constants.
struct LayoutShape {
  std::uint32_t storage_buffers;
  VkShaderStageFlags buffer_stages;
  std::uint32_t push_bytes;
  VkShaderStageFlags push_stages;
  std::uint32_t storage_images = 0;
};

constexpr LayoutShape kShapes[kProgramCount] = {
    {3, VK_SHADER_STAGE_COMPUTE_BIT, 12, VK_SHADER_STAGE_COMPUTE_BIT},
    {5, VK_SHADER_STAGE_COMPUTE_BIT, 48, VK_SHADER_STAGE_COMPUTE_BIT},
    {6, VK_SHADER_STAGE_COMPUTE_BIT, 32, VK_SHADER_STAGE_COMPUTE_BIT},
    {1, VK_SHADER_STAGE_VERTEX_BIT, 24, VK_SHADER_STAGE_VERTEX_BIT},
    {1, VK_SHADER_STAGE_VERTEX_BIT, 52, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT},
    {7, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 68,
     VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT},
    {1, VK_SHADER_STAGE_VERTEX_BIT, 60, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT},
    {2, VK_SHADER_STAGE_COMPUTE_BIT, 28, VK_SHADER_STAGE_COMPUTE_BIT},
    // G-buffer position, normal, albedo, material; the picture and its kinds.
    {2, VK_SHADER_STAGE_COMPUTE_BIT, 48, VK_SHADER_STAGE_COMPUTE_BIT, 6},
};

// Each program's SPIR-V modules: a compute kernel, or a vertex and a fragment shader.
constexpr std::span<const std::uint32_t> kModules[kProgramCount][2] = {
    {spirv::kFsDistance, {}},
    {spirv::kPointSplats, {}},
    {spirv::kGeodesics, {}},
    {spirv::kSplatVert, spirv::kSplatFrag},
    {spirv::kGeodesicVert, spirv::kGeodesicFrag},
    {spirv::kMeshVert, spirv::kMeshFrag},
    {spirv::kLineVert, spirv::kLineFrag},
    {spirv::kTileLights, {}},
    {spirv::kDeferredLight, {}},
};

constexpr bool programNeedsFloat64(std::size_t p) {
  return spirv::declaresFloat64(kModules[p][0]) || spirv::declaresFloat64(kModules[p][1]);
}

// Which programs use doubles, read from their SPIR-V once at build time.
constexpr std::array<bool, kProgramCount> kNeedsFloat64 = [] {
  std::array<bool, kProgramCount> needs{};
  for (std::size_t p = 0; p < kProgramCount; ++p) needs[p] = programNeedsFloat64(p);
  return needs;
}();

void makePrograms(VulkanDevice::State& s) {
  for (std::size_t p = 0; p < kProgramCount; ++p) {
    const LayoutShape& shape = kShapes[p];
    std::vector<VkDescriptorSetLayoutBinding> bindings;
    for (std::uint32_t b = 0; b < shape.storage_buffers; ++b) {
      bindings.push_back({.binding = b,
                          .descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER,
                          .descriptorCount = 1,
                          .stageFlags = shape.buffer_stages});
    }
    for (std::uint32_t i = 0; i < shape.storage_images; ++i) {
      bindings.push_back({.binding = shape.storage_buffers + i,
                          .descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_IMAGE,
                          .descriptorCount = 1,
                          .stageFlags = shape.buffer_stages});
    }
    VkDescriptorSetLayoutCreateInfo set_info{
        .sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO,
        .bindingCount = static_cast<std::uint32_t>(bindings.size()),
        .pBindings = bindings.data()};
    check(vkCreateDescriptorSetLayout(s.device, &set_info, nullptr, &s.set_layouts[p]),
          "vkCreateDescriptorSetLayout");
    VkPushConstantRange push{
        .stageFlags = shape.push_stages, .offset = 0, .size = shape.push_bytes};
    VkPipelineLayoutCreateInfo layout_info{.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO,
                                           .setLayoutCount = 1,
                                           .pSetLayouts = &s.set_layouts[p],
                                           .pushConstantRangeCount = 1,
                                           .pPushConstantRanges = &push};
    check(vkCreatePipelineLayout(s.device, &layout_info, nullptr, &s.layouts[p]),
          "vkCreatePipelineLayout");
  }
  // A program whose shaders use doubles gets no pipeline on a device
  // without shaderFloat64: its modules would be invalid there.
  // The general kernels (0 to 2) and the built-in ones.
  constexpr std::size_t kTileLights = static_cast<std::size_t>(Program::tile_lights);
  constexpr std::size_t kDeferred = static_cast<std::size_t>(Program::deferred_light);
  // The deferred lighting kernel in the form of the device's sample count
  // (its images are image2D or image2DMS), for an rgba8_unorm and an
  // rgba32_float albedo.
  using Words = std::span<const std::uint32_t>;
  const std::array<Words, 2> deferred =
      s.samples == VK_SAMPLE_COUNT_1_BIT
          ? std::array<Words, 2>{spirv::kDeferredLight1x, spirv::kDeferredLightWide1x}
          : std::array<Words, 2>{spirv::kDeferredLight, spirv::kDeferredLightWide};
  for (const std::size_t k :
       {std::size_t{0}, std::size_t{1}, std::size_t{2}, kTileLights, kDeferred}) {
    if (!s.runs(static_cast<Program>(k))) continue;
    if (k == kDeferred && !s.limits.gbuffer_passes) continue;
    VkShaderModule module = makeModule(s.device, k == kDeferred ? deferred[0] : kModules[k][0]);
    VkComputePipelineCreateInfo info{
        .sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO,
        .stage = {.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO,
                  .stage = VK_SHADER_STAGE_COMPUTE_BIT,
                  .module = module,
                  .pName = "main"},
        .layout = s.layouts[k]};
    VkPipeline& made = k == kTileLights ? s.tile_lights
                       : k == kDeferred  ? s.deferred_light[0]
                                         : s.kernels[k];
    VkResult r = vkCreateComputePipelines(s.device, VK_NULL_HANDLE, 1, &info, nullptr, &made);
    vkDestroyShaderModule(s.device, module, nullptr);
    check(r, "vkCreateComputePipelines");
    if (k != kDeferred) continue;
    // The same kernel reading an rgba32_float albedo.
    info.stage.module = makeModule(s.device, deferred[1]);
    r = vkCreateComputePipelines(s.device, VK_NULL_HANDLE, 1, &info, nullptr,
                                 &s.deferred_light[1]);
    vkDestroyShaderModule(s.device, info.stage.module, nullptr);
    check(r, "vkCreateComputePipelines");
  }
  for (std::size_t m = 0; m < 8; ++m) {
    const std::size_t p = 3 + m / 2;
    if (s.runs(static_cast<Program>(p)))
      s.raster_modules[m] = makeModule(s.device, kModules[p][m % 2]);
  }
  if (s.limits.gbuffer_passes) s.raster_modules[8] = makeModule(s.device, spirv::kGBufferFrag);
}

}  // namespace

bool needsFloat64(Program program) noexcept {
  return kNeedsFloat64[static_cast<std::size_t>(program)];
}

void check(VkResult result, const char* what) {
  if (result == VK_SUCCESS) return;
  if (result == VK_ERROR_DEVICE_LOST) throw VulkanFailure(std::string(what) + ": device lost");
  if (result == VK_ERROR_OUT_OF_DEVICE_MEMORY || result == VK_ERROR_OUT_OF_HOST_MEMORY)
    throw VulkanFailure(std::string(what) + ": out of memory");
  throw VulkanFailure(std::string(what) + " failed (VkResult " + std::to_string(result) + ")");
}

std::expected<std::size_t, std::string> chooseVulkanDevice(
    std::span<const VulkanCandidate> candidates, bool prefer_float64) {
  if (candidates.empty()) return fail("no Vulkan device found");
  std::optional<std::size_t> best;
  std::string why;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const VulkanCandidate& c = candidates[i];
    const char* lack = c.api_version < VK_API_VERSION_1_3 ? "Vulkan 1.3"
                       : !c.graphics_compute_queue        ? "a graphics and compute queue"
                       : !c.large_points                  ? "largePoints"
                       : !c.dynamic_rendering             ? "dynamicRendering"
                       : !c.synchronization2              ? "synchronization2"
                       : !c.maintenance4                  ? "maintenance4"
                       : !c.fragment_stores               ? "fragmentStoresAndAtomics"
                                                          : nullptr;
    if (lack != nullptr) {
      why += (why.empty() ? "" : "; ") + c.name + " lacks " + lack;
      continue;
    }
    const auto before = [&](const VulkanCandidate& other) {
      if (prefer_float64 && c.float64 != other.float64) return c.float64;
      return c.type_rank < other.type_rank ||
             (c.type_rank == other.type_rank && c.float64 && !other.float64);
    };
    if (!best || before(candidates[*best])) best = i;
  }
  if (!best) return fail("no usable Vulkan device (" + why + ")");
  return *best;
}

VulkanDevice::VulkanDevice(std::unique_ptr<State> state) noexcept : s_(std::move(state)) {}
VulkanDevice::VulkanDevice(VulkanDevice&&) noexcept = default;
VulkanDevice& VulkanDevice::operator=(VulkanDevice&&) noexcept = default;
VulkanDevice::~VulkanDevice() = default;

const std::string& VulkanDevice::name() const noexcept { return s_->name; }
std::uint32_t VulkanDevice::samples() const noexcept { return s_->samples; }
bool VulkanDevice::usesFloat64() const noexcept { return s_->float64; }
std::uint32_t VulkanDevice::validationMessages() const noexcept { return s_->validation_messages; }
const std::string& VulkanDevice::firstValidationMessage() const noexcept {
  return s_->first_validation_message;
}
void VulkanDevice::setTrace(std::vector<DrawTrace>* trace) noexcept { s_->trace = trace; }

std::expected<VulkanDevice, std::string> VulkanDevice::create(const VulkanOptions& options) try {
  if (options.samples != 1 && options.samples != 4)
    return fail("samples must be 1 or 4, not " + std::to_string(options.samples));
  auto s = std::make_unique<State>();
  s->samples = options.samples == 1 ? VK_SAMPLE_COUNT_1_BIT : VK_SAMPLE_COUNT_4_BIT;

  std::uint32_t loader_version = 0;
  if (vkEnumerateInstanceVersion(&loader_version) != VK_SUCCESS ||
      loader_version < VK_API_VERSION_1_3)
    return fail("the Vulkan loader does not offer Vulkan 1.3");

  std::vector<const char*> layers, extensions;
  VkDebugUtilsMessengerCreateInfoEXT messenger_info{
      .sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT,
      .messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT |
                         VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT,
      .messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                     VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                     VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT,
      .pfnUserCallback = onValidationMessage,
      .pUserData = s.get()};
  const VkValidationFeatureEnableEXT checks[] = {
      VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT,
      VK_VALIDATION_FEATURE_ENABLE_BEST_PRACTICES_EXT};
  VkValidationFeaturesEXT features{
      .sType = VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT,
      .pNext = &messenger_info,
      .enabledValidationFeatureCount = options.best_practices ? 2u : 1u,
      .pEnabledValidationFeatures = checks};
  if (options.best_practices && !options.validation)
    return fail("best-practices checks need the validation layer (validation = true)");
  if (options.validation) {
    std::uint32_t n = 0;
    vkEnumerateInstanceLayerProperties(&n, nullptr);
    std::vector<VkLayerProperties> available(n);
    vkEnumerateInstanceLayerProperties(&n, available.data());
    if (std::none_of(available.begin(), available.end(), [](const VkLayerProperties& l) {
          return std::string_view(l.layerName) == kValidationLayer;
        }))
      return fail("the Vulkan validation layer is not installed");
    layers.push_back(kValidationLayer);
    extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
  }
  for (const std::string& e : options.instance_extensions) extensions.push_back(e.c_str());
  VkApplicationInfo app{.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO,
                        .pApplicationName = "kova",
                        .apiVersion = VK_API_VERSION_1_3};
  VkInstanceCreateInfo instance_info{
      .sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO,
      .pNext = options.validation ? &features : nullptr,
      .pApplicationInfo = &app,
      .enabledLayerCount = static_cast<std::uint32_t>(layers.size()),
      .ppEnabledLayerNames = layers.data(),
      .enabledExtensionCount = static_cast<std::uint32_t>(extensions.size()),
      .ppEnabledExtensionNames = extensions.data()};
  const VkResult made = vkCreateInstance(&instance_info, nullptr, &s->instance);
  if (made == VK_ERROR_INCOMPATIBLE_DRIVER) return fail("no Vulkan driver is installed");
  if (made == VK_ERROR_EXTENSION_NOT_PRESENT)
    return fail("the Vulkan driver lacks an instance extension the window system needs");
  check(made, "vkCreateInstance");
  if (options.validation) {
    auto create_messenger = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(s->instance, "vkCreateDebugUtilsMessengerEXT"));
    if (create_messenger == nullptr) return fail("the validation layer lacks VK_EXT_debug_utils");
    check(create_messenger(s->instance, &messenger_info, nullptr, &s->messenger),
          "vkCreateDebugUtilsMessengerEXT");
  }

  std::uint32_t count = 0;
  const VkResult listed = vkEnumeratePhysicalDevices(s->instance, &count, nullptr);
  if (listed != VK_SUCCESS && listed != VK_INCOMPLETE) return fail("no Vulkan device found");
  std::vector<VkPhysicalDevice> devices(count);
  vkEnumeratePhysicalDevices(s->instance, &count, devices.data());
  devices.resize(count);
  std::vector<VulkanCandidate> candidates;
  for (VkPhysicalDevice d : devices) candidates.push_back(describe(d));
  // Every command runs without double-precision shaders, so they weigh
  // nothing in the choice beyond breaking a tie.
  auto chosen = chooseVulkanDevice(candidates);
  if (!chosen) return fail(chosen.error());
  s->physical = devices[*chosen];
  s->name = candidates[*chosen].name;
  s->float64 = options.float64 && candidates[*chosen].float64;
  s->queue_family = findQueueFamily(s->physical);

  VkPhysicalDeviceProperties props{};
  vkGetPhysicalDeviceProperties(s->physical, &props);
  s->max_storage_range = props.limits.maxStorageBufferRange;
  s->max_image_side = props.limits.maxImageDimension2D;
  // Every buffer is a storage buffer bound whole; each instance of a mesh
  // draw is drawn four times and the instance index must not wrap; a mesh draw
  // keeps one 4-byte flag per triangle and instance in one storage range.
  s->limits = DeviceLimits{.max_buffer_bytes = s->max_storage_range,
                           .max_image_side = std::min<std::uint32_t>(16384, s->max_image_side),
                           .max_instances = 0x1FFFFFFFu,
                           .max_draw_triangles = s->max_storage_range / 4};
  s->no_deferred_lighting = whyNoDeferredLighting(s->physical, s->samples);
  s->limits.gbuffer_passes = s->no_deferred_lighting.empty();
  vkGetPhysicalDeviceMemoryProperties(s->physical, &s->memory);

  const float priority = 1.0f;
  VkDeviceQueueCreateInfo queue_info{.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO,
                                     .queueFamilyIndex = s->queue_family,
                                     .queueCount = 1,
                                     .pQueuePriorities = &priority};
  // Bresenham lines (VK_EXT_line_rasterization) where the device has them:
  // the arcs' diamond-exit rule, as the CPU device draws them.
  VkPhysicalDeviceLineRasterizationFeaturesEXT lines{
      .sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_LINE_RASTERIZATION_FEATURES_EXT};
  {
    std::uint32_t count = 0;
    vkEnumerateDeviceExtensionProperties(s->physical, nullptr, &count, nullptr);
    std::vector<VkExtensionProperties> available(count);
    vkEnumerateDeviceExtensionProperties(s->physical, nullptr, &count, available.data());
    const bool has_extension =
        std::any_of(available.begin(), available.end(), [](const VkExtensionProperties& e) {
          return std::string_view(e.extensionName) == VK_EXT_LINE_RASTERIZATION_EXTENSION_NAME;
        });
    if (has_extension) {
      VkPhysicalDeviceFeatures2 query{.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2,
                                      .pNext = &lines};
      vkGetPhysicalDeviceFeatures2(s->physical, &query);
      s->bresenham_lines = lines.bresenhamLines == VK_TRUE;
    }
    lines = VkPhysicalDeviceLineRasterizationFeaturesEXT{
        .sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_LINE_RASTERIZATION_FEATURES_EXT,
        .bresenhamLines = VK_TRUE};
  }
  VkPhysicalDeviceVulkan13Features v13{
      .sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES,
      .pNext = s->bresenham_lines ? &lines : nullptr,
      .synchronization2 = VK_TRUE,
      .dynamicRendering = VK_TRUE,
      .maintenance4 = VK_TRUE};
  VkPhysicalDeviceFeatures2 enabled{.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2,
                                    .pNext = &v13};
  enabled.features.shaderFloat64 = s->float64 ? VK_TRUE : VK_FALSE;
  enabled.features.largePoints = VK_TRUE;
  enabled.features.fragmentStoresAndAtomics = VK_TRUE;
  // What the lighting kernel's form for this sample count declares, and
  // only where the device runs deferred frames (it then has them).
  const bool storage_images = s->limits.gbuffer_passes;
  enabled.features.shaderStorageImageWriteWithoutFormat = storage_images ? VK_TRUE : VK_FALSE;
  enabled.features.shaderStorageImageMultisample =
      (storage_images && s->samples != VK_SAMPLE_COUNT_1_BIT) ? VK_TRUE : VK_FALSE;
  std::vector<const char*> device_extensions;
  if (options.swapchain) device_extensions.push_back(VK_KHR_SWAPCHAIN_EXTENSION_NAME);
  if (s->bresenham_lines) device_extensions.push_back(VK_EXT_LINE_RASTERIZATION_EXTENSION_NAME);
  VkDeviceCreateInfo device_info{
      .sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO,
      .pNext = &enabled,
      .queueCreateInfoCount = 1,
      .pQueueCreateInfos = &queue_info,
      .enabledExtensionCount = static_cast<std::uint32_t>(device_extensions.size()),
      .ppEnabledExtensionNames = device_extensions.data()};
  const VkResult device_made = vkCreateDevice(s->physical, &device_info, nullptr, &s->device);
  if (device_made == VK_ERROR_EXTENSION_NOT_PRESENT)
    return fail(s->name + " lacks VK_KHR_swapchain");
  check(device_made, "vkCreateDevice");
  vkGetDeviceQueue(s->device, s->queue_family, 0, &s->queue);

  s->blocks = std::make_unique<DeviceMemory>(s->device, s->memory);
  // The pool holds the device's one command buffer and is reset whole
  // before each recording.
  VkCommandPoolCreateInfo pool_info{.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO,
                                    .flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT,
                                    .queueFamilyIndex = s->queue_family};
  check(vkCreateCommandPool(s->device, &pool_info, nullptr, &s->pool), "vkCreateCommandPool");
  VkCommandBufferAllocateInfo cb_info{.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO,
                                      .commandPool = s->pool,
                                      .level = VK_COMMAND_BUFFER_LEVEL_PRIMARY,
                                      .commandBufferCount = 1};
  check(vkAllocateCommandBuffers(s->device, &cb_info, &s->commands), "vkAllocateCommandBuffers");
  VkFenceCreateInfo fence_info{.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
  check(vkCreateFence(s->device, &fence_info, nullptr, &s->fence), "vkCreateFence");
  makePrograms(*s);
  return VulkanDevice(std::move(s));
} catch (const VulkanFailure& e) {
  return fail(e.what());
}

VulkanDevice::State::~State() {
  if (device != VK_NULL_HANDLE) {
    vkDeviceWaitIdle(device);
    for (Pipeline& p : resources.pipelines) {
      for (const Made& m : p.made) vkDestroyPipeline(device, m.pipeline, nullptr);
    }
    resources.buffers.forEach([&](Buffer& b) { destroy(b.gpu); });
    resources.images.forEach([&](Image& i) { destroy(i); });
    for (const PendingBlit& blit : pending_blits) vkDestroyEvent(device, blit.done, nullptr);
    for (GpuBuffer* b : {&staging, &splats, &arcs, &pixels, &draw_args, &stats, &drawn, &readback})
      destroy(*b);
    blocks.reset();
    for (VkPipeline k : kernels) vkDestroyPipeline(device, k, nullptr);
    vkDestroyPipeline(device, tile_lights, nullptr);
    for (VkPipeline p : deferred_light) vkDestroyPipeline(device, p, nullptr);
    for (VkShaderModule m : raster_modules) vkDestroyShaderModule(device, m, nullptr);
    for (VkPipelineLayout l : layouts) vkDestroyPipelineLayout(device, l, nullptr);
    for (VkDescriptorSetLayout l : set_layouts) vkDestroyDescriptorSetLayout(device, l, nullptr);
    vkDestroyDescriptorPool(device, descriptors, nullptr);
    vkDestroyFence(device, fence, nullptr);
    vkDestroyCommandPool(device, pool, nullptr);
    vkDestroyDevice(device, nullptr);
  }
  if (messenger != VK_NULL_HANDLE) {
    auto destroy_messenger = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance, "vkDestroyDebugUtilsMessengerEXT"));
    if (destroy_messenger != nullptr) destroy_messenger(instance, messenger, nullptr);
  }
  if (instance != VK_NULL_HANDLE) vkDestroyInstance(instance, nullptr);
}

}  // namespace kova_device
