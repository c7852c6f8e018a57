// The file-existence test.
#ifndef CORVANE_MIDDLEWARE_ARCH_H_
#define CORVANE_MIDDLEWARE_ARCH_H_

// True when `path` names an existing file system entry that can be looked up
// (stat succeeds). A null or empty path gives false.
bool arch_fexists(const char* path);

#endif  // CORVANE_MIDDLEWARE_ARCH_H_
