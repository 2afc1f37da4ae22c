// Rebuilds the grey remap tables on a thread of its own, always for the latest offset asked for, so
// that the caller never waits for the calibration file to be read again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

class GreyTableRebuilder {
 public:
  // Builds the tables from the calibration file at `path` with the signed offset; 0 on success.
  using Rebuild = std::function<int(const std::string& path, float offset)>;

  explicit GreyTableRebuilder(Rebuild rebuild);
  ~GreyTableRebuilder();
  GreyTableRebuilder(const GreyTableRebuilder&) = delete;
  GreyTableRebuilder& operator=(const GreyTableRebuilder&) = delete;

  // Asks for tables with this offset; replaces a request that has not started yet, so a burst of
  // requests costs one rebuild after the one running. Starts the thread when it is not running.
  void Request(const std::string& path, float offset);
  // Waits until nothing is asked for or being built; false when `limit` passed first.
  bool WaitUntilIdle(std::chrono::milliseconds limit);
  // Lets a running rebuild finish, drops one that has not started, and ends the thread.
  void Stop();
  // True while an offset waits for the thread (not yet being built).
  bool pending() const;
  // Rebuilds that ended, and those of them that failed.
  unsigned long completed() const;
  unsigned long failed() const;

 private:
  void Run();

  Rebuild rebuild_;
  // Held by Request and Stop for their whole call, so that a thread is never started while the
  // last one is being joined.
  std::mutex lifecycle_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool pending_ = false;
  std::string pending_path_;
  float pending_offset_ = 0.0f;
  bool building_ = false;
  bool stopping_ = false;
  unsigned long completed_ = 0;
  unsigned long failed_ = 0;
  std::thread thread_;
};

LIBRARY_EXPORTS_END
