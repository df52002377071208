/* Prototypes of the allocation functions that replace tree-sitter's own
   (see tree_sitter_alloc.cpp). Force-included into the tree-sitter C sources,
   which call them through the ts_malloc family of macros. None of them ever
   returns NULL or throws. */
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

/* The Bash grammar's scanner makes its state with the C library's calloc and
   free instead of the ts_ macros; for that source the two names are routed
   here as well, so that no tree-sitter memory escapes the accounting. */
#if defined(CORVANE_TS_ROUTE_LIBC_ALLOCATION) && !defined(__cplusplus)
#include <stdlib.h>
#define calloc corvane_ts_calloc
#define free corvane_ts_free
#endif

#endif
