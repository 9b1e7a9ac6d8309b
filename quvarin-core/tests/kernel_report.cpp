// Prints which build of each CPU kernel family a process picks on this
// machine and why, one family a line: family, build and reason separated by
// tabs. The extension module makes the same picks by the same rules; only a
// pick by timing may differ from process to process.
#include <cstdio>

#include "backends/cpu/kernel_dispatch.hpp"

int main() {
    for (const quvarin::cpu::KernelChoice& choice : quvarin::cpu::kernel_choices()) {
        std::printf("%s\t%s\t%s\n", choice.family.c_str(), choice.build.c_str(), choice.reason.c_str());
    }
    return 0;
}
