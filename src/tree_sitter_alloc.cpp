// Allocation functions for the tree-sitter runtime and the Bash grammar,
// installed at compile time (-Dts_malloc=... in CMakeLists.txt).
//
// tree-sitter's own defaults abort the process when memory runs out. These
// throw std::bad_alloc instead; the C sources are compiled with -fexceptions
// so the exception unwinds through them to the engine's entry point, which
// reports it as an out-of-memory fault (MemoryError in Python).
#include "tree_sitter_alloc.h"

#include <cstdlib>
#include <new>

extern "C" {

void* corvane_ts_malloc(std::size_t size) {
  void* p = std::malloc(size);
  if (p == nullptr && size != 0) throw std::bad_alloc();
  return p;
}

void* corvane_ts_calloc(std::size_t count, std::size_t size) {
  void* p = std::calloc(count, size);
  if (p == nullptr && count != 0 && size != 0) throw std::bad_alloc();
  return p;
}

void* corvane_ts_realloc(void* buffer, std::size_t size) {
  void* p = std::realloc(buffer, size);
  if (p == nullptr && size != 0) throw std::bad_alloc();  // `buffer` is still valid
  return p;
}

void corvane_ts_free(void* buffer) { std::free(buffer); }

}  // extern "C"
