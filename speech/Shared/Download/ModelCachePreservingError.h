#pragma once

namespace tesselaudio {

// A capability an error type may add beside platform::Error to say whether a failed load has
// anything to do with the cached model files. ModelHub::loadModels and ModelHub::loadWithRecovery
// keep the cache (no purge, no second download) for an error that answers true.
//
//   class LowDiskError : public platform::Error, public ModelCachePreservingError {
//     bool preservesModelCache() const override { return true; }
//   };
class ModelCachePreservingError {
 public:
  virtual ~ModelCachePreservingError() = default;

  // True when the cache is not at fault and must stay in place.
  virtual bool preservesModelCache() const = 0;

 protected:
  ModelCachePreservingError() = default;
  ModelCachePreservingError(const ModelCachePreservingError&) = default;
  ModelCachePreservingError& operator=(const ModelCachePreservingError&) = default;
};

}  // namespace tesselaudio
