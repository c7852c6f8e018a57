// AddressSanitizer defaults of sanitizer builds whose processes host Fast DDS
// participants (corvane and the layer's tests; the Fast DDS test peers have
// their own). Fast DDS 2.9 deletes its readers' internals through a base
// pointer whose allocation size differs, which AddressSanitizer reports as a
// new-delete-type-mismatch inside libfastrtps at every reader's deletion.
// Only that check is switched off; ASAN_OPTIONS still adds to these.
extern "C" const char* __asan_default_options() {
  return "new_delete_type_mismatch=0";
}
