// Prints which build of each CPU kernel family a process picks on this
// machine and why, one family a line: family, build and reason separated by
// tabs. The extension module makes the same picks by the same rules; only a
// pick by timing may differ from process to process. With --thresholds it
// prints instead the size from which each operation takes its other path:
// operation, path and element count; the Python tests and the documentation's
// check read them from here.
#include <cstdio>
#include <string_view>

#include "backends/cpu/kernel_dispatch.hpp"

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--thresholds") {
        for (const quvarin::cpu::PathThreshold& threshold : quvarin::cpu::path_thresholds()) {
            std::printf("%s\t%s\t%zu\n", threshold.operation.c_str(), threshold.path.c_str(), threshold.from_elements);
        }
        return 0;
    }
    for (const quvarin::cpu::KernelChoice& choice : quvarin::cpu::kernel_choices()) {
        std::printf("%s\t%s\t%s\n", choice.family.c_str(), choice.build.c_str(), choice.reason.c_str());
    }
    return 0;
}
