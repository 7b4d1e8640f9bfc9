// The Vulkan loader unloads the driver (lavapipe) and the validation layer
// when an instance is destroyed; what they keep for the life of the process
// would then be reported by LeakSanitizer from an unknown module, beyond the
// reach of lsan_driver.supp. Holding both mapped until the test process exits
// keeps the names, so that leak detection stays on for the device layer.
#include <dlfcn.h>

namespace {

[[maybe_unused]] void* const kLavapipe =
    dlopen("libvulkan_lvp.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
[[maybe_unused]] void* const kValidation =
    dlopen("libVkLayer_khronos_validation.so", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);

}  // namespace
