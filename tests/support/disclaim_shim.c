/* Stands in for the platform's private disclaim call, so that a preloaded process takes
   its re-spawn path. */
#include <spawn.h>

int responsibility_spawnattrs_setdisclaim(posix_spawnattr_t* attributes, int disclaim) {
    (void)attributes;
    return disclaim == 1 ? 0 : -1;
}
