/* A shared library that allocates, built only for the allocator check to
   fail on: it shows that the check sees an imported malloc. */
#include <stdlib.h>

void *allocating_probe(size_t size);

void *allocating_probe(size_t size) { return malloc(size); }
