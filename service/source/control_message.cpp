// The control handler the network service calls for each control request.
#include "control_message.h"

#include "camera_start.h"
#include "control_answer.h"
#include "control_request.h"
#include "process_state.h"

namespace {

void SendAnswer(const ControlAnswer& answer, tagACKMsgPara* reply) {
  const unsigned text_length = static_cast<unsigned>(answer.text.size());
  switch (answer.reply) {
    case ControlReply::kVersion:
      QeltReplyVersion(reply, kReplyResultOk, answer.text.c_str(), text_length);
      break;
    case ControlReply::kSetSystemTime:
      QeltReplySetSystemTime(reply, kReplyResultOk, answer.values[0], answer.values[1], answer.values[2]);
      break;
    case ControlReply::kUpgradeControl:
      QeltReplyUpgradeControlCommand(reply, kReplyResultOk, "", 0);
      break;
    case ControlReply::kMacAddress:
      QeltReplyMacAddress(reply, kReplyResultOk, answer.text.c_str(), text_length);
      break;
    case ControlReply::kPassageDirection:
      QeltReplyGetZuqDirection(reply, kReplyResultOk, answer.values[0]);
      break;
    case ControlReply::kDisparityShift:
      QeltReplyAdjustZuqDisparityShift(reply, answer.result, answer.values[0]);
      break;
    case ControlReply::kNone:
      break;
  }
}
}  // namespace

int ControlMessageProcess(const char* payload, int length, void* context, tagACKMsgPara* reply) {
  ServiceContext* service = static_cast<ServiceContext*>(context);
  ControlEnvironment environment;
  environment.scheduler = service != nullptr ? service->scheduler : nullptr;
  const char* network_version = QELTMGetVersion();
  environment.network_version = network_version != nullptr ? network_version : "";
  environment.passage_direction = g_passage_direction.load();
  if (service != nullptr && service->device != nullptr && service->store != nullptr) {
    environment.shift_disparity = [service](std::int32_t step, std::uint32_t* reply_value) {
      return QeltSetDisparityShift(service, step, reply_value);
    };
  }
  ControlAnswer answer;
  const int handled = AnswerControlRequest(payload, length, environment, &answer);
  if (reply != nullptr) SendAnswer(answer, reply);
  return handled;
}
