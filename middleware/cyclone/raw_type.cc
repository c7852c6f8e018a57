// Cyclone DDS type support for samples that stay serialized.

#include "middleware/cyclone/raw_type.h"

#include <dds/ddsi/q_radmin.h>
#include <dds/ddsrt/heap.h>
#include <dds/ddsrt/mh3.h>

#include <cstdio>
#include <cstring>

namespace corvane_dds {
namespace {

// Cyclone allocates and frees serdata through our ops, but the structs are C
// structs it reads directly, so they live in ddsrt_malloc'ed memory.
struct RawSerdata {
  ddsi_serdata c;  // first member: a RawSerdata* is a ddsi_serdata*
  uint32_t size;
  ddsi_keyhash_t keyhash;      // zero when the peer sent none
  const unsigned char* bytes;  // inline buffer, or the backing serdata's
  ddsi_serdata* backing;       // referenced when the bytes are borrowed
  // Inline buffer follows, padded with zeros to a multiple of 4: the
  // transmit path may read up to the padded size.
};

// What Cyclone calls an application sample of this type: it only appears when
// Cyclone converts a serdata between two sertypes (another domain, or an
// untyped key), so it carries a reference instead of bytes where it can.
struct RawSample {
  const unsigned char* bytes;
  uint32_t size;
  ddsi_serdata* ref;
};

RawSerdata* AsRaw(ddsi_serdata* d) {
  return reinterpret_cast<RawSerdata*>(d);
}
const RawSerdata* AsRaw(const ddsi_serdata* d) {
  return reinterpret_cast<const RawSerdata*>(d);
}

size_t PaddedSize(size_t size) {
  return (size + 3) & ~size_t{3};
}

unsigned char* InlineBytes(RawSerdata* d) {
  return reinterpret_cast<unsigned char*>(d + 1);
}

RawSerdata* AllocateBlank(size_t inline_size) {
  const size_t total = sizeof(RawSerdata) + PaddedSize(inline_size);
  auto* d = static_cast<RawSerdata*>(ddsrt_malloc(total));
  std::memset(d, 0, total);  // also clears the shared-memory fields
  d->size = static_cast<uint32_t>(inline_size);
  d->bytes = InlineBytes(d);
  return d;
}

RawSerdata* Allocate(const ddsi_sertype* type, ddsi_serdata_kind kind, size_t inline_size) {
  RawSerdata* d = AllocateBlank(inline_size);
  ddsi_serdata_init(&d->c, type, kind);
  return d;
}

void SetKeyhash(RawSerdata* d, const ddsi_keyhash_t* keyhash, uint32_t basehash) {
  if (keyhash != nullptr) d->keyhash = *keyhash;
  d->c.hash = ddsrt_mh3(d->keyhash.value, sizeof d->keyhash.value, 0) ^ basehash;
}

ddsi_serdata* Borrow(const ddsi_sertype* type, ddsi_serdata_kind kind, ddsi_serdata* source) {
  const RawSerdata* src = AsRaw(source);
  RawSerdata* d = Allocate(type, kind, 0);
  d->size = src->size;
  d->bytes = src->bytes;
  d->backing = ddsi_serdata_ref(source);
  d->keyhash = src->keyhash;
  d->c.hash = source->hash;
  d->c.timestamp = source->timestamp;
  d->c.statusinfo = source->statusinfo;
  return &d->c;
}

// --- serdata operations ----------------------------------------------------

bool EqKey(const ddsi_serdata* a, const ddsi_serdata* b) {
  return std::memcmp(AsRaw(a)->keyhash.value, AsRaw(b)->keyhash.value,
                     sizeof AsRaw(a)->keyhash.value) == 0;
}

uint32_t GetSize(const ddsi_serdata* d) {
  return AsRaw(d)->size;
}

ddsi_serdata* FromSer(const ddsi_sertype* type, ddsi_serdata_kind kind, const nn_rdata* fragment,
                      size_t size) {
  RawSerdata* d = Allocate(type, kind, size);
  SetKeyhash(d, ddsi_serdata_keyhash_from_fragchain(fragment), type->serdata_basehash);
  // Fragments arrive in order and may overlap; copy only what each one adds.
  uint32_t filled = 0;
  for (; fragment != nullptr && filled < size; fragment = fragment->nextfrag) {
    if (fragment->min > filled || fragment->maxp1 <= filled) continue;
    const uint32_t end = fragment->maxp1 < size ? fragment->maxp1 : static_cast<uint32_t>(size);
    const unsigned char* payload =
        NN_RMSG_PAYLOADOFF(fragment->rmsg, NN_RDATA_PAYLOAD_OFF(fragment));
    std::memcpy(InlineBytes(d) + filled, payload + (filled - fragment->min), end - filled);
    filled = end;
  }
  return &d->c;
}

ddsi_serdata* FromSerIov(const ddsi_sertype* type, ddsi_serdata_kind kind, ddsrt_msg_iovlen_t niov,
                         const ddsrt_iovec_t* iov, size_t size) {
  RawSerdata* d = Allocate(type, kind, size);
  SetKeyhash(d, nullptr, type->serdata_basehash);
  size_t filled = 0;
  for (ddsrt_msg_iovlen_t i = 0; i < niov && filled < size; i++) {
    const size_t n = iov[i].iov_len < size - filled ? iov[i].iov_len : size - filled;
    std::memcpy(InlineBytes(d) + filled, iov[i].iov_base, n);
    filled += n;
  }
  return &d->c;
}

ddsi_serdata* FromKeyhash(const ddsi_sertype* type, const ddsi_keyhash* keyhash) {
  RawSerdata* d = Allocate(type, SDK_KEY, 0);
  SetKeyhash(d, keyhash, type->serdata_basehash);
  return &d->c;
}

ddsi_serdata* FromSample(const ddsi_sertype* type, ddsi_serdata_kind kind, const void* sample) {
  const auto* s = static_cast<const RawSample*>(sample);
  if (s->ref != nullptr) return Borrow(type, kind, s->ref);
  RawSerdata* d = Allocate(type, kind, s->size);
  if (s->size > 0) std::memcpy(InlineBytes(d), s->bytes, s->size);
  SetKeyhash(d, nullptr, type->serdata_basehash);
  return &d->c;
}

void ToSer(const ddsi_serdata* d, size_t offset, size_t size, void* buffer) {
  std::memcpy(buffer, AsRaw(d)->bytes + offset, size);
}

ddsi_serdata* ToSerRef(const ddsi_serdata* d, size_t offset, size_t size, ddsrt_iovec_t* ref) {
  ref->iov_base = const_cast<unsigned char*>(AsRaw(d)->bytes + offset);
  ref->iov_len = static_cast<ddsrt_iov_len_t>(size);
  return ddsi_serdata_ref(d);
}

void ToSerUnref(ddsi_serdata* d, const ddsrt_iovec_t*) {
  ddsi_serdata_unref(d);
}

bool ToSample(const ddsi_serdata* d, void* sample, void**, void*) {
  auto* s = static_cast<RawSample*>(sample);
  if (s->ref != nullptr) ddsi_serdata_unref(s->ref);
  s->bytes = AsRaw(d)->bytes;
  s->size = AsRaw(d)->size;
  s->ref = ddsi_serdata_ref(d);
  return true;
}

bool UntypedToSample(const ddsi_sertype*, const ddsi_serdata* d, void* sample, void** bufptr,
                     void* buflim) {
  return ToSample(d, sample, bufptr, buflim);
}

// The instance key shared by every topic of the domain: the key hash only.
// It has no sertype, so ddsi_serdata_init (which reads one) cannot fill it.
ddsi_serdata* ToUntyped(const ddsi_serdata* d) {
  RawSerdata* u = AllocateBlank(0);
  u->c.ops = d->ops;
  u->c.kind = SDK_KEY;
  u->c.hash = d->hash;
  u->c.timestamp.v = INT64_MIN;
  u->c.twrite.v = INT64_MIN;
  ddsrt_atomic_st32(&u->c.refc, 1);
  u->keyhash = AsRaw(d)->keyhash;
  return &u->c;
}

void FreeSerdata(ddsi_serdata* d) {
  // The last reference may have been dropped inside Cyclone with a release
  // decrement; this acquire pairs with it (and tells ThreadSanitizer, which
  // does not see Cyclone's atomics, that the other threads are done).
  (void)__atomic_load_n(&d->refc.v, __ATOMIC_ACQUIRE);
  RawSerdata* raw = AsRaw(d);
  if (raw->backing != nullptr) ddsi_serdata_unref(raw->backing);
  ddsrt_free(raw);
}

size_t Print(const ddsi_sertype*, const ddsi_serdata* d, char* buffer, size_t size) {
  const int n = std::snprintf(buffer, size, "(%u serialized bytes)", AsRaw(d)->size);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

void GetKeyhash(const ddsi_serdata* d, ddsi_keyhash* buffer, bool) {
  *buffer = AsRaw(d)->keyhash;
}

// --- sertype operations ----------------------------------------------------

void FreeSertype(ddsi_sertype* type) {
  ddsi_sertype_fini(type);
  ddsrt_free(type);
}

void ZeroSamples(const ddsi_sertype*, void* samples, size_t count) {
  std::memset(samples, 0, count * sizeof(RawSample));
}

void ReallocSamples(void** ptrs, const ddsi_sertype*, void* old, size_t old_count, size_t count) {
  auto* samples = static_cast<RawSample*>(ddsrt_realloc(old, count * sizeof(RawSample)));
  if (count > old_count)
    std::memset(samples + old_count, 0, (count - old_count) * sizeof(RawSample));
  if (ptrs != nullptr) {
    for (size_t i = 0; i < count; i++) ptrs[i] = &samples[i];
  }
}

void FreeSamples(const ddsi_sertype*, void** ptrs, size_t count, dds_free_op_t op) {
  for (size_t i = 0; i < count; i++) {
    auto* s = static_cast<RawSample*>(ptrs[i]);
    if (s->ref != nullptr) ddsi_serdata_unref(s->ref);
    *s = RawSample{};
  }
  if (count > 0 && (op & DDS_FREE_ALL_BIT) != 0) ddsrt_free(ptrs[0]);
}

// Name and keyedness, which Cyclone compares itself, are all a raw type has.
bool SertypeEqual(const ddsi_sertype*, const ddsi_sertype*) {
  return true;
}
uint32_t SertypeHash(const ddsi_sertype*) {
  return 0;
}

ddsi_serdata_ops MakeSerdataOps() {
  ddsi_serdata_ops ops;
  std::memset(&ops, 0, sizeof ops);  // leaves the shared-memory hooks null
  ops.eqkey = EqKey;
  ops.get_size = GetSize;
  ops.from_ser = FromSer;
  ops.from_ser_iov = FromSerIov;
  ops.from_keyhash = FromKeyhash;
  ops.from_sample = FromSample;
  ops.to_ser = ToSer;
  ops.to_ser_ref = ToSerRef;
  ops.to_ser_unref = ToSerUnref;
  ops.to_sample = ToSample;
  ops.to_untyped = ToUntyped;
  ops.untyped_to_sample = UntypedToSample;
  ops.free = FreeSerdata;
  ops.print = Print;
  ops.get_keyhash = GetKeyhash;
  return ops;
}

ddsi_sertype_ops MakeSertypeOps() {
  ddsi_sertype_ops ops;
  // No type information, no derived types, and no serialization of samples
  // (what Cyclone's shared-memory path would ask for).
  std::memset(&ops, 0, sizeof ops);
  ops.version = ddsi_sertype_v0;
  ops.free = FreeSertype;
  ops.zero_samples = ZeroSamples;
  ops.realloc_samples = ReallocSamples;
  ops.free_samples = FreeSamples;
  ops.equal = SertypeEqual;
  ops.hash = SertypeHash;
  return ops;
}

const ddsi_serdata_ops kSerdataOps = MakeSerdataOps();
const ddsi_sertype_ops kSertypeOps = MakeSertypeOps();

}  // namespace

ddsi_sertype* RawSertypeCreate(const char* type_name, bool keyed) {
  auto* type = static_cast<ddsi_sertype*>(ddsrt_malloc(sizeof(ddsi_sertype)));
  std::memset(type, 0, sizeof *type);
  ddsi_sertype_init_flags(type, type_name, &kSertypeOps, &kSerdataOps,
                          keyed ? 0u : DDSI_SERTYPE_FLAG_TOPICKIND_NO_KEY);
  return type;
}

void RawSertypeDiscard(ddsi_sertype* type) {
  FreeSertype(type);
}

ddsi_serdata* RawSerdataForward(const ddsi_sertype* type, ddsi_serdata* source,
                                bool keep_instance) {
  ddsi_serdata* d = Borrow(type, SDK_DATA, source);
  if (!keep_instance) {
    AsRaw(d)->keyhash = ddsi_keyhash_t{};
    SetKeyhash(AsRaw(d), nullptr, type->serdata_basehash);
  }
  return d;
}

ddsi_serdata* RawSerdataCopy(const ddsi_sertype* type, const void* bytes, uint32_t size,
                             dds_time_t timestamp) {
  const RawSample sample{static_cast<const unsigned char*>(bytes), size, nullptr};
  ddsi_serdata* d = FromSample(type, SDK_DATA, &sample);
  d->timestamp.v = timestamp;
  return d;
}

const unsigned char* RawSerdataBytes(const ddsi_serdata* serdata) {
  return AsRaw(serdata)->bytes;
}

uint32_t RawSerdataSize(const ddsi_serdata* serdata) {
  return AsRaw(serdata)->size;
}

}  // namespace corvane_dds
