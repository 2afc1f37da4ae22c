// Saving command 204's offset into the user configuration: a request alone is saved before it is
// answered; requests that follow close on a save are answered at once and saved together, the
// latest last, by a thread of its own, so that a burst of them never holds up the control thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "disparity_shift.h"
#include "platform/file_configuration_manager.h"
#include "platform/result.h"

class DisparityOffsetSaver {
 public:
  // Requests closer than this to the end of the last save have their saves combined: more than the
  // control thread takes to answer one that waits, less than a client takes to start and connect.
  static constexpr std::chrono::milliseconds kSaveSpacing{20};
  // Called on the saver's thread with the offset the user file still holds, after a combined save
  // failed and no later offset waits: the running offset goes back to it.
  using Revert = std::function<void(const DisparityOffset& saved)>;

  explicit DisparityOffsetSaver(FileConfigurationManager* store,
                                std::chrono::milliseconds spacing = kSaveSpacing);
  // Saves what waits (Flush).
  ~DisparityOffsetSaver();
  DisparityOffsetSaver(const DisparityOffsetSaver&) = delete;
  DisparityOffsetSaver& operator=(const DisparityOffsetSaver&) = delete;

  void SetRevert(Revert revert);
  // Saves `offset` now and returns the save's code (on failure the store and the user file keep
  // the saved offset), or, when a save ran or ended less than the spacing ago, leaves it to the
  // saver's thread (replacing an offset that waits there), sets *queued and returns RESULT_OK.
  Result Save(const DisparityOffset& offset, bool* queued);
  // Waits until what waits is saved, then ends the thread.
  void Flush();

 private:
  // Reads the saved offset, writes `offset` and saves; on failure puts the saved one back.
  // *saved gets the offset the file holds afterwards, *saved_known whether it could be read.
  Result SaveNow(const DisparityOffset& offset, DisparityOffset* saved, bool* saved_known);
  void Run();

  FileConfigurationManager* store_;
  const std::chrono::milliseconds spacing_;
  Revert revert_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool saving_ = false;
  bool waiting_ = false;
  DisparityOffset waiting_offset_ = {0.0, 0};
  bool stopping_ = false;
  bool saved_once_ = false;
  std::chrono::steady_clock::time_point last_save_end_;
  std::thread thread_;
};
