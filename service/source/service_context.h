// What the control handler is given: the video device, the delay-task scheduler, the store and the
// saver of command 204's offset.
#pragma once

#include "platform/delay_task_scheduler.h"
#include "platform/file_configuration_manager.h"

class StereoVideoDeivce;
class DisparityOffsetSaver;

struct ServiceContext {
  StereoVideoDeivce* device;
  DelayTaskScheduler* scheduler;
  FileConfigurationManager* store;
  // Saves command 204's offset into the store's user file; null: a saver for the one command.
  DisparityOffsetSaver* shift_saver = nullptr;
};
