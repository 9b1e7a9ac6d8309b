# Sourced by the fuzz scripts: how a harness runs. The interpreter is not
# instrumented, so the sanitizer runtime that atheris ships, with libFuzzer
# inside it, is preloaded into it. Python's own allocator would hide misuse
# of its objects' memory from AddressSanitizer, so the C allocator serves them.
# libFuzzer starts the harness again by its path to merge a corpus, so the
# environment's python3 is the fuzzing one.
# fuzz_env PYTHON SITE sets FUZZ_ENV, the environment of a harness's run.
fuzz_env() {
	local here runtime
	here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
	runtime="$("$1" -c 'import atheris, os; print(os.path.join(os.path.dirname(os.path.dirname(atheris.__file__)), "asan_with_fuzzer.so"))')"
	FUZZ_ENV=(ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:handle_abort=1
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
		PYTHONMALLOC=malloc "PYTHONPATH=$2:$here" "LD_PRELOAD=$runtime" "PATH=$(dirname "$1"):$PATH")
}
