// A counted handle: copies share one object, which the last dropped copy deletes.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/memory_manager.h"

// The shared use count: a new count of 1; adding one; dropping one, which frees the count and
// answers true when it reaches zero.
std::size_t* NewUseCount();
void AddUse(std::size_t* count);
bool DropUse(std::size_t* count);

// Not thread-safe: the programs copy and drop handles on one thread at a time.
template <typename T>
class CountedHandle {
 public:
  CountedHandle() : object_(nullptr), count_(nullptr) {}
  // Takes ownership; when the count cannot be allocated the object is deleted and the handle is empty.
  explicit CountedHandle(T* object) : object_(object), count_(nullptr) {
    if (object_ == nullptr) return;
    count_ = NewUseCount();
    if (count_ == nullptr) {
      DeleteObject(object_);
      object_ = nullptr;
    }
  }
  CountedHandle(const CountedHandle& other) : object_(other.object_), count_(other.count_) {
    if (count_ != nullptr) AddUse(count_);
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
    if (DropUse(count_)) DeleteObject(object_);
    object_ = nullptr;
    count_ = nullptr;
  }

  T* object_;
  std::size_t* count_;
};
