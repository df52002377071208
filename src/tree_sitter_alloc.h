/* Prototypes of the allocation functions that replace tree-sitter's own
   (see tree_sitter_alloc.cpp). Force-included into the tree-sitter C sources,
   which call them through the ts_malloc family of macros. */
#ifndef CORVANE_TREE_SITTER_ALLOC_H_
#define CORVANE_TREE_SITTER_ALLOC_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void* corvane_ts_malloc(size_t size);
void* corvane_ts_calloc(size_t count, size_t size);
void* corvane_ts_realloc(void* buffer, size_t size);
void corvane_ts_free(void* buffer);

#ifdef __cplusplus
}
#endif

#endif
