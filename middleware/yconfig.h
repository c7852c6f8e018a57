// Read access to YAML documents by key path.
#ifndef CORVANE_MIDDLEWARE_YCONFIG_H_
#define CORVANE_MIDDLEWARE_YCONFIG_H_

// Read-only access to one YAML document, addressed by key paths.
//
// A key path is a chain of mapping keys, each preceded by "/", where a key
// may be followed by one or more "[i]" (decimal, from 0) selecting element i
// of a sequence: "/rules[2]/src/domain_id". The empty path names the top
// level. Paths that do not parse address nothing.
//
// Only text files (UTF-8; no control characters but tab, CR and LF) of at
// most yconfig_max_file_bytes bytes whose first document is a mapping are
// accepted; further documents must be empty.
// Nesting depth is bounded by the parser itself: deeper documents are
// refused, never crash. No function here throws or logs.
//
// A document does not change once created; threads may query it at once.

#include <cstddef>

struct yconfig;

// Files larger than this are refused without being read. 16 MiB holds
// about 75,000 rules; yaml-cpp needs some two seconds to parse that much.
constexpr std::size_t yconfig_max_file_bytes = 16u << 20;

// Reads and parses the file at `path`. Returns null when the file cannot be
// opened, is not a regular file, is too large, holds control characters (a
// binary file), is not valid YAML, or its top level is not a mapping. The
// caller releases the result with yconfig_destroy.
yconfig* yconfig_create(const char* path);

// Number of elements of the sequence at `key_path`; -1 when the path is
// absent or not a sequence.
int yconfig_length(const yconfig* doc, const char* key_path);

// Text of the scalar at `key_path` exactly as the file states it (quotes
// removed, escapes resolved, numbers and booleans not reinterpreted: "0x10"
// stays "0x10"). Null when the path is absent or holds a mapping, a sequence
// or a YAML null (~, null, or no value). The text lives as long as `doc`.
const char* yconfig_get(const yconfig* doc, const char* key_path);

// Releases `doc` and every text obtained from it. Null is ignored.
void yconfig_destroy(yconfig* doc);

#endif  // CORVANE_MIDDLEWARE_YCONFIG_H_
