// Reference counting of shared objects.
//
// IReferable is the base of objects that travel between modules (data units,
// byte buffers). A new object's count is 0; every holder adds one and the
// holder that brings the count back to 0 deletes the object through its
// virtual destructor. CReferPtr is such a holder. IAddRefAble is the older
// form whose count starts at 1 inside the object.
//
// Counting is atomic, so holders on different threads may add and drop
// references at will; the object itself is not guarded.
#ifndef KVR_SVRFRAME_REFERABLE_H_
#define KVR_SVRFRAME_REFERABLE_H_

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace QWTools {

class IReferable {
 public:
  IReferable() = default;
  virtual ~IReferable() = default;
  // A copy is a new object: it starts with no holders.
  IReferable(const IReferable&) : count_(0) {}
  IReferable& operator=(const IReferable&) { return *this; }

  // Current count (for diagnostics and tests).
  int32_t ReferenceCount() const { return count_.load(std::memory_order_acquire); }

 private:
  friend bool AddReference(IReferable* object);
  friend bool DropReference(IReferable* object);
  std::atomic<int32_t> count_{0};
};

// Every message passes through several holders, so the counting is inline.

// Adds one; returns whether the new count is non-zero. A null object: false.
inline bool AddReference(IReferable* object) {
  if (object == nullptr) return false;
  return object->count_.fetch_add(1, std::memory_order_relaxed) + 1 != 0;
}
// Drops one; returns true exactly when the count reached 0. The caller that
// gets true deletes the object. A null object: false.
inline bool DropReference(IReferable* object) {
  if (object == nullptr) return false;
  // acq_rel: the deleting holder must see every write the other holders made.
  return object->count_.fetch_sub(1, std::memory_order_acq_rel) - 1 == 0;
}
// Drops one and deletes the object when that was the last reference.
inline void ReleaseReference(IReferable* object) {
  if (DropReference(object)) delete object;
}

}  // namespace QWTools

// Holds one reference to an IReferable (or derived) object, or nothing.
template <typename T = QWTools::IReferable>
class CReferPtr {
 public:
  CReferPtr() = default;
  CReferPtr(T* object) : object_(object) {  // NOLINT: implicit, like a raw pointer
    if (object_ != nullptr) QWTools::AddReference(object_);
  }
  CReferPtr(const CReferPtr& other) : CReferPtr(other.object_) {}
  CReferPtr(CReferPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  CReferPtr(const CReferPtr<U>& other) : CReferPtr(other.get()) {}  // NOLINT
  ~CReferPtr() { Drop(object_); }

  CReferPtr& operator=(const CReferPtr& other) {
    Reset(other.object_);
    return *this;
  }
  CReferPtr& operator=(CReferPtr&& other) noexcept {
    if (this != &other) {
      T* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Drop(old);
    }
    return *this;
  }
  CReferPtr& operator=(T* object) {
    Reset(object);
    return *this;
  }

  // Holds `object` instead; holding the same object again changes nothing.
  void Reset(T* object = nullptr) {
    if (object == object_) return;
    if (object != nullptr) QWTools::AddReference(object);
    T* old = std::exchange(object_, object);
    Drop(old);
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  bool operator==(const CReferPtr& other) const { return object_ == other.object_; }

 private:
  static void Drop(T* object) {
    if (object != nullptr) QWTools::ReleaseReference(object);
  }

  T* object_ = nullptr;
};

// Shared object whose count lives in the object and starts at 1.
class IAddRefAble {
 public:
  IAddRefAble() = default;
  virtual ~IAddRefAble() = default;
  IAddRefAble(const IAddRefAble&) = delete;
  IAddRefAble& operator=(const IAddRefAble&) = delete;

  // Returns the new count.
  virtual int32_t AddRef();
  // Returns the remaining count, or 0 after deleting the object.
  virtual int32_t Release();

 private:
  std::atomic<int32_t> refs_{1};
};

#endif  // KVR_SVRFRAME_REFERABLE_H_
