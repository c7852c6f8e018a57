// The file-existence test.

#include "middleware/arch.h"

#include <sys/stat.h>

bool arch_fexists(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  struct stat st {};
  return ::stat(path, &st) == 0;
}
