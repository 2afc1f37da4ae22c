// What the control handler is given: the video device, the delay-task scheduler and the store.
#pragma once

#include "platform/delay_task_scheduler.h"
#include "platform/file_configuration_manager.h"

class StereoVideoDeivce;

struct ServiceContext {
  StereoVideoDeivce* device;
  DelayTaskScheduler* scheduler;
  FileConfigurationManager* store;
};
