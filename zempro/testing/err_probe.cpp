// Loads a library that calls err() and calls it, using nothing of the host
// runtime itself. Exits 0 when err() returned (the host's err: the C
// library's never returns), 2 when the library cannot be loaded.
#include <dlfcn.h>

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return 2;
  auto call_err =
      reinterpret_cast<void (*)(const char *)>(dlsym(library, "CallErr"));
  if (call_err == nullptr) return 2;
  call_err("probe");
  return 0;
}
