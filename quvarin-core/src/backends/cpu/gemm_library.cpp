#include "backends/cpu/gemm_library.hpp"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "tensor/panic.hpp"

namespace quvarin::cpu {

SgemmRoutine sgemm_routine() {
    static std::once_flag loaded;
    static SgemmRoutine routine = nullptr;
    static std::string failure;
    std::call_once(loaded, [] {
        // Never closed: the pool lives until the process ends.
        void* library = dlopen(QUVARIN_OPENBLAS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        void* symbol = library != nullptr ? dlsym(library, "cblas_sgemm") : nullptr;
        if (symbol == nullptr) {
            const char* reason = dlerror();
            failure = std::string("cannot load the GEMM library: ") + (reason != nullptr ? reason : "unknown");
            return;
        }
        routine = reinterpret_cast<SgemmRoutine>(symbol);
    });
    if (routine == nullptr) throw Panic(failure);
    return routine;
}

}  // namespace quvarin::cpu
