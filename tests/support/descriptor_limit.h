// ScopedDescriptorLimit: lowers this process's soft limit of open
// descriptors so that only a few more can be opened, to drive code into its
// EMFILE paths, and restores the limit when it goes.
#pragma once

namespace korvi::test {

class ScopedDescriptorLimit {
 public:
  // Lets exactly `spare` more descriptors be opened (the lowest free numbers).
  explicit ScopedDescriptorLimit(int spare);
  // Restores the limit in force before.
  ~ScopedDescriptorLimit();
  ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
  ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;

 private:
  unsigned long saved_ = 0;
};

}  // namespace korvi::test
