// The owner of every DDS domain of the process.
#ifndef CORVANE_DDS_DDS_MANAGER_H_
#define CORVANE_DDS_DDS_MANAGER_H_

#include <cstdint>
#include <memory>
#include <unordered_map>

class DdsDomain;

// Owns one DdsDomain per domain id, created on first demand. Used on the
// main thread only, while the bridges are built; it has no lock. Every
// channel must be gone before the manager is released, since channels hold
// readers and writers that live inside its domains.
class DdsManager {
 public:
  static std::shared_ptr<DdsManager> Create();

  // The domain of `domain_id`, or empty when it cannot be created. A failure
  // is not remembered: the next call tries again.
  std::shared_ptr<DdsDomain> GetDomain(int32_t domain_id);

 private:
  std::unordered_map<int32_t, std::shared_ptr<DdsDomain>> domains_;
};

#endif  // CORVANE_DDS_DDS_MANAGER_H_
