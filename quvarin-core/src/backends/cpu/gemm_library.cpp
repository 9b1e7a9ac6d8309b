#include "backends/cpu/gemm_library.hpp"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <new>
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

// Loaded once per process under this lock. fork() takes it too, so a load
// in progress on another thread finishes first: a child starts either with
// the routine loaded or with no load begun, never with the lock held for good.
std::mutex loading;
bool load_tried = false;
std::string load_failure;
std::atomic<SgemmRoutine> loaded_routine{nullptr};
const bool fork_handlers_registered =
    pthread_atfork([] { loading.lock(); }, [] { loading.unlock(); }, [] { loading.unlock(); }) == 0;

}  // namespace

SgemmRoutine sgemm_routine() {
    if (SgemmRoutine routine = loaded_routine.load(std::memory_order_acquire)) return routine;
    if (!fork_handlers_registered) throw std::bad_alloc();  // pthread_atfork fails only for want of memory
    const std::lock_guard lock(loading);
    if (!load_tried) {
        load_tried = true;
        // Never closed: the pool lives until the process ends.
        const std::string path = shipped_library_path();
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        void* symbol = library != nullptr ? dlsym(library, "scipy_cblas_sgemm") : nullptr;
        if (symbol == nullptr) {
            const char* reason = dlerror();
            load_failure = "cannot load the GEMM library: " + std::string(reason != nullptr ? reason : path);
        } else {
            loaded_routine.store(reinterpret_cast<SgemmRoutine>(symbol), std::memory_order_release);
        }
    }
    if (SgemmRoutine routine = loaded_routine.load(std::memory_order_relaxed)) return routine;
    throw Panic(load_failure);
}

}  // namespace quvarin::cpu
