// A walk, lazily: the library's walker on a thread of its own, a batch of
// keys ahead of its reader, reading the next while Python takes one.
#pragma once

#include <condition_variable>
#include <cstring>
#include <thread>

#include "python/objects.h"
#include "regwalk/regwalk.h"
#include "tools/regwalk/common.h"

namespace kormald_python {

// A key the walk selected, with its values read as it passed.
struct Visited {
  std::string path;
  std::vector<tools::KeptValue> values;
};

// A walk, on a thread of its own: it reads a batch of keys while its reader
// takes the one before, and waits, the store released, while a batch it
// read is not yet taken. At most three batches are held: the reader's, the
// one handed over, the one being read.
class PyWalk {
 public:
  PyWalk(Shared loaded, std::optional<std::string> pattern, bool recursive)
      : loaded_(std::move(loaded)), pattern_(std::move(pattern)), recursive_(recursive) {}
  // A walk that selects nothing, for a pattern no key's name can hold.
  struct Nothing {};
  static constexpr Nothing kNothing{};
  PyWalk(Shared loaded, Nothing) : loaded_(std::move(loaded)), recursive_(true), finished_(true) {}
  PyWalk(const PyWalk&) = delete;
  PyWalk& operator=(const PyWalk&) = delete;

  ~PyWalk() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    py::gil_scoped_release released;
    thread_.join();
  }

  PyKey Next() {
    if (taken_ == batch_.size()) {
      if (finished_) Finish();
      {
        py::gil_scoped_release released;
        if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return ready_; });
        ready_ = false;
        batch_ = std::move(handed_);
        handed_.clear();
        taken_ = 0;
        finished_ = done_;
        changed_.notify_all();
      }
      if (batch_.empty()) Finish();
    }
    Visited& v = batch_[taken_++];
    return PyKey(loaded_, std::move(v.path), std::move(v.values));
  }

 private:
  // Keys a batch holds: few enough that a walk of a million keys holds
  // little at once, enough that handing over costs nothing beside reading.
  static constexpr std::size_t kBatch = 256;
  // What a visitor returns to end the walk for a reader gone.
  static constexpr int kStopped = 0x4B4F524D;

  [[noreturn]] void Finish() {
    if (result_ == WALK_FAILED && pattern_) {
      switch (tools::regwalk::WhyWalkFailed(*pattern_, !recursive_, lastRoot_)) {
        case tools::regwalk::WalkFailure::kStoppedAtRoot:
          result_ = 0;  // what recursive=False asks
          break;
        case tools::regwalk::WalkFailure::kDoesNotCompile:
          cause_ = "the pattern does not compile";
          break;
        case tools::regwalk::WalkFailure::kUnknown:
          break;
      }
    }
    if (result_ != 0 && result_ != kStopped) {
      // In the tools' words (regwalk's "walk failed" and "walk ended early").
      std::string message = result_ < 0 ? "walk failed: " + (cause_.empty() ? tools::DescribeResult(result_) : cause_)
                                        : "walk ended early: " + tools::DescribeResult(result_) +
                                              "; keys after it are missing";
      result_ = 0;
      PyErr_SetString(g_error, message.c_str());
      throw py::error_already_set();
    }
    throw py::stop_iteration();
  }

  void Run() {
    int result = 0;
    storeLock_ = std::unique_lock<std::mutex>(g_store);
    store::Serve(&loaded_->installation());
    try {
      result = WalkKeys(pattern_ ? pattern_->c_str() : nullptr, recursive_ ? 1 : 0, Visit,
                        reinterpret_cast<std::intptr_t>(this));
    } catch (const std::bad_alloc&) {
      result = ERROR_NOT_ENOUGH_MEMORY;
    }
    storeLock_.unlock();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !ready_ || stop_; });
    result_ = result;
    handed_ = std::move(pending_);
    done_ = true;
    ready_ = true;
    changed_.notify_all();
  }

  static int Visit(HKEY key, const char* path, std::intptr_t user) {
    auto* walk = reinterpret_cast<PyWalk*>(user);
    for (const RootKey& root : RootKeyTable) {
      if (std::strcmp(root.name, path) == 0) walk->lastRoot_ = root.name;
    }
    Visited& v = walk->pending_.emplace_back();
    v.path = path;
    if (int result = tools::ReadStoredValues(key, &v.values); result != 0) return result;
    return walk->pending_.size() < kBatch ? 0 : walk->HandOver();
  }

  // Hands the batch over once the one before is taken, the store released
  // meanwhile for the reader's own calls; then serves this walk's registry
  // again.
  int HandOver() {
    storeLock_.unlock();
    bool stop = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !ready_ || stop_; });
      stop = stop_;
      if (!stop) {
        handed_ = std::move(pending_);
        pending_.clear();
        ready_ = true;
        changed_.notify_all();
      }
    }
    storeLock_.lock();
    store::Serve(&loaded_->installation());
    return stop ? kStopped : 0;
  }

  Shared loaded_;
  std::optional<std::string> pattern_;
  bool recursive_;

  // The reader's side.
  std::vector<Visited> batch_;
  std::size_t taken_ = 0;
  bool finished_ = false;
  std::string cause_;  // why the walk failed, where that is known

  // The walk's side, and what the two share under mutex_.
  std::thread thread_;
  std::unique_lock<std::mutex> storeLock_;
  std::vector<Visited> pending_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Visited> handed_;
  bool ready_ = false;  // handed_ holds a batch not yet taken
  bool done_ = false;
  bool stop_ = false;
  int result_ = 0;
  const char* lastRoot_ = nullptr;  // the root visited last: a name of the walker's table
};

}  // namespace kormald_python
