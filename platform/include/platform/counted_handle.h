// A counted handle: copies share one object, which the last dropped copy deletes.
#pragma once

#include <cstddef>

#include "platform/memory_manager.h"

// Not thread-safe: the programs copy and drop handles on one thread at a time.
template <typename T>
class CountedHandle {
 public:
  CountedHandle() : object_(nullptr), count_(nullptr) {}
  // Takes ownership; when the count cannot be allocated the object is deleted and the handle is empty.
  explicit CountedHandle(T* object) : object_(object), count_(nullptr) {
    if (object_ == nullptr) return;
    count_ = NewObject<std::size_t>(1u);
    if (count_ == nullptr) {
      DeleteObject(object_);
      object_ = nullptr;
    }
  }
  CountedHandle(const CountedHandle& other) : object_(other.object_), count_(other.count_) {
    if (count_ != nullptr) ++*count_;
  }
  CountedHandle& operator=(const CountedHandle& other) {
    if (this != &other) {
      CountedHandle copy(other);
      Swap(copy);
    }
    return *this;
  }
  ~CountedHandle() { Drop(); }

  T* Get() const { return object_; }
  T* operator->() const { return object_; }
  std::size_t UseCount() const { return count_ == nullptr ? 0 : *count_; }

 private:
  void Swap(CountedHandle& other) {
    std::swap(object_, other.object_);
    std::swap(count_, other.count_);
  }
  void Drop() {
    if (count_ == nullptr) return;
    if (--*count_ == 0) {
      DeleteObject(object_);
      DeleteObject(count_);
    }
    object_ = nullptr;
    count_ = nullptr;
  }

  T* object_;
  std::size_t* count_;
};
