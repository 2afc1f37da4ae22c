// The control commands' answers, decided apart from the network service's reply builders.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/delay_task_scheduler.h"
#include "platform/result.h"

// Which reply builder the answer goes through; none for requests that get no reply.
enum class ControlReply { kNone, kVersion, kSetSystemTime, kUpgradeControl, kMacAddress, kPassageDirection,
                          kDisparityShift };

// The reply's result word: the command was carried out, or it was refused (a disparity shift the
// device refused or that could not be saved), so that a client tells a refusal from a value of 0.
constexpr std::uint32_t kReplyResultOk = 0;
constexpr std::uint32_t kReplyResultRefused = 1;

struct ControlAnswer {
  ControlReply reply = ControlReply::kNone;
  std::uint32_t result = kReplyResultOk;
  std::string text;  // version and MAC address replies
  // Set time: the first data word, seconds, microseconds. Passage direction and disparity shift:
  // the value in values[0].
  std::uint32_t values[3] = {0, 0, 0};
};

// What the commands reach: the scheduler for the reboot, the network service's version text, the
// passage direction and the disparity shift of the device (step, reply value) -> status.
struct ControlEnvironment {
  DelayTaskScheduler* scheduler;
  std::string network_version;
  std::uint32_t passage_direction;
  std::function<Result(std::int32_t, std::uint32_t*)> shift_disparity;
};

// SEAM: ControlMessageProcess, registered with the network service, builds the environment from
// its ServiceContext (QeltSetDisparityShift of camera_start.h for the shift), calls this and sends
// the answer through the reply builder its kind names, with the answer's result.
// Carries out the request and says which reply to send: kControlHandled, or kControlNotHandled
// (no reply) for a short payload, a kind other than 1 or 3, or an unknown command. Command 13 with
// a non-zero argument is handled without a reply.
int AnswerControlRequest(const char* payload, int length, const ControlEnvironment& environment,
                         ControlAnswer* answer);
