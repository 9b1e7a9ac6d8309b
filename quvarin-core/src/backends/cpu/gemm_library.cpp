#include "backends/cpu/gemm_library.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "tensor/panic.hpp"

namespace quvarin::cpu {
namespace {

// The shipped library lies at a fixed place relative to the shared object
// (or program) holding this code, wherever that was installed.
std::string shipped_library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&sgemm_routine), &info) == 0 || info.dli_fname == nullptr) {
        return QUVARIN_OPENBLAS_RELATIVE_PATH;
    }
    return (std::filesystem::path(info.dli_fname).parent_path() / QUVARIN_OPENBLAS_RELATIVE_PATH).string();
}

}  // namespace

SgemmRoutine sgemm_routine() {
    static std::once_flag loaded;
    static SgemmRoutine routine = nullptr;
    static std::string failure;
    std::call_once(loaded, [] {
        // Never closed: the pool lives until the process ends.
        const std::string path = shipped_library_path();
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        void* symbol = library != nullptr ? dlsym(library, "scipy_cblas_sgemm") : nullptr;
        if (symbol == nullptr) {
            const char* reason = dlerror();
            failure = "cannot load the GEMM library: " + std::string(reason != nullptr ? reason : path);
            return;
        }
        routine = reinterpret_cast<SgemmRoutine>(symbol);
    });
    if (routine == nullptr) throw Panic(failure);
    return routine;
}

}  // namespace quvarin::cpu
