// Switches UBSan's dynamic type check off in a process that preloads this
// library. The check probes memory through a pipe the first time it meets a
// type, so in a process with no descriptor left (what the descriptor
// pressure tests cause on purpose) it reports a fault that is none and ends
// the process. Everything else UBSan checks stays on.
extern "C" {

void __ubsan_handle_dynamic_type_cache_miss(void*, void*, void*) {}
void __ubsan_handle_dynamic_type_cache_miss_abort(void*, void*, void*) {}

}  // extern "C"
