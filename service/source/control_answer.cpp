// The control commands' answers, decided apart from the network service's reply builders.
#include "control_answer.h"

#include "control_actions.h"
#include "control_request.h"
#include "request_line_limit.h"
#include "qelt_log.h"

namespace {
constexpr const char* kLogTag = "main";
constexpr std::uint32_t kUpgradeReboot = 0;

// One line a request, a few a second at most, so that a flood of requests leaves the log its history.
void LogRequestReceived() {
  static RequestLineLimit limit(kLogTag, "ServiceRequest, %llu more requests not logged\n");
  if (limit.Allow()) PrintLog(kLogTag, "ServiceRequest, recv a command request\n");
}
}  // namespace

int AnswerControlRequest(const char* payload, int length, const ControlEnvironment& environment,
                         ControlAnswer* answer) {
  LogRequestReceived();
  if (answer == nullptr) return kControlNotHandled;
  *answer = ControlAnswer();
  ControlRequest request = {};
  if (!ParseControlRequest(payload, length, &request)) return kControlNotHandled;
  if (request.kind != kControlKindRequest && request.kind != kControlKindAlternate) return kControlNotHandled;

  switch (request.command) {
    case kCommandVersion: {
      char text[kVersionTextBytes];
      const std::size_t text_length = BuildVersionText(environment.network_version.c_str(), text, sizeof(text));
      answer->text.assign(text, text_length);
      answer->reply = ControlReply::kVersion;
      return kControlHandled;
    }
    case kCommandSetSystemTime: {
      timeval now = {};
      SetSystemTime(static_cast<std::time_t>(request.second_data_word), &now);
      answer->values[0] = request.first_data_word;
      answer->values[1] = static_cast<std::uint32_t>(now.tv_sec);
      answer->values[2] = static_cast<std::uint32_t>(now.tv_usec);
      answer->reply = ControlReply::kSetSystemTime;
      return kControlHandled;
    }
    case kCommandUpgradeControl:
      if (request.first_data_word != kUpgradeReboot) return kControlHandled;
      ScheduleReboot(environment.scheduler);
      answer->reply = ControlReply::kUpgradeControl;
      return kControlHandled;
    case kCommandMacAddress: {
      char text[kMacTextBytes] = {};
      GetMacAddress(text, sizeof(text));
      answer->text = text;
      answer->reply = ControlReply::kMacAddress;
      return kControlHandled;
    }
    case kCommandPassageDirection:
      answer->values[0] = environment.passage_direction;
      answer->reply = ControlReply::kPassageDirection;
      return kControlHandled;
    case kCommandDisparityShift: {
      std::uint32_t reply_value = 0;
      if (environment.shift_disparity &&
          environment.shift_disparity(static_cast<std::int32_t>(request.first_data_word), &reply_value) != RESULT_OK) {
        answer->result = kReplyResultRefused;
      }
      answer->values[0] = reply_value;
      answer->reply = ControlReply::kDisparityShift;
      return kControlHandled;
    }
    default:
      return kControlNotHandled;
  }
}
