// The control handler's replies, byte for byte as the network service's builders make them.
#include <gtest/gtest.h>

#include <vector>

#include "board/properties.h"
#include "control_answer.h"
#include "control_message.h"
#include "control_request.h"
#include "platform/delay_task_scheduler.h"
#include "process_state.h"
#include "service_context.h"
#include "service_test_support.h"
#include "stereo_video_deivce.h"
#include "test_support/control_request_bytes.h"

namespace {

constexpr std::size_t kReplyCapacity = 8192;

constexpr auto Request = &test_support::ControlRequestBytes<char>;

// A reply record over its own buffer.
struct Reply {
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kReplyCapacity);
  tagACKMsgPara record = {0, buffer.data(), static_cast<std::uint32_t>(kReplyCapacity), 0};
  std::vector<std::uint8_t> Bytes() const { return {buffer.begin(), buffer.begin() + record.used_size}; }
};

class ControlMessageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(scheduler_.Init(), RESULT_OK); }
  void TearDown() override { scheduler_.Deinit(); }
  int Process(const std::vector<char>& payload, Reply* reply) {
    return ControlMessageProcess(payload.data(), static_cast<int>(payload.size()), &context_, &reply->record);
  }

  DelayTaskScheduler scheduler_;
  ServiceContext context_ = {nullptr, &scheduler_, nullptr};
};

TEST_F(ControlMessageTest, PassageDirectionReplyMatchesItsBuilder) {
  g_passage_direction.store(1);
  Reply reply;
  ASSERT_EQ(Process(Request(1, kCommandPassageDirection, {}), &reply), kControlHandled);
  Reply expected;
  QeltReplyGetZuqDirection(&expected.record, 0, 1);
  EXPECT_EQ(reply.record.reply_flag, expected.record.reply_flag);
  EXPECT_EQ(reply.Bytes(), expected.Bytes());
}

TEST_F(ControlMessageTest, DisparityShiftWithoutDeviceRepliesZero) {
  Reply reply;
  ASSERT_EQ(Process(Request(1, kCommandDisparityShift, {1}), &reply), kControlHandled);
  Reply expected;
  QeltReplyAdjustZuqDisparityShift(&expected.record, 0, 0);
  EXPECT_EQ(reply.Bytes(), expected.Bytes());
}

TEST_F(ControlMessageTest, RefusedDisparityShiftRepliesRefusedAndSavesNothing) {
  TempFolder folder;
  FileConfigurationManagerPtr store = OpenStore(folder, ShippedConfiguration());
  ASSERT_NE(store.Get(), nullptr);
  const std::string before = ReadWholeFile(folder.File("user.xml"));
  StereoVideoDeivce device;
  context_ = {&device, &scheduler_, store.Get()};
  // 3000 tenths: an offset of 300 rows, more than the device and the loader take.
  Reply reply;
  ASSERT_EQ(Process(Request(1, kCommandDisparityShift, {3000}), &reply), kControlHandled);
  Reply refused;
  QeltReplyAdjustZuqDisparityShift(&refused.record, kReplyResultRefused, 0);
  EXPECT_EQ(reply.Bytes(), refused.Bytes());
  Reply accepted_zero;
  QeltReplyAdjustZuqDisparityShift(&accepted_zero.record, kReplyResultOk, 0);
  EXPECT_NE(reply.Bytes(), accepted_zero.Bytes());
  EXPECT_EQ(ReadWholeFile(folder.File("user.xml")), before);
  double offset = 1.0;
  int selector = 0;
  ASSERT_EQ(device.GetDisparityOffset(&offset, &selector), 0);
  EXPECT_EQ(offset, 0.0);
}

TEST_F(ControlMessageTest, VersionReplyCarriesTheNetworkVersion) {
  Reply reply;
  ASSERT_EQ(Process(Request(1, kCommandVersion, {}), &reply), kControlHandled);
  char firmware[PROPERTY_VALUE_MAX] = {};
  property_get("ro.quenlivark.product.all", firmware, "");
  const std::string text =
      std::string("zuq     :1.1.0.20190705\r\nnetwork :") + QELTMGetVersion() + "\r\nfirmware:" + firmware;
  Reply expected;
  QeltReplyVersion(&expected.record, 0, text.c_str(), static_cast<unsigned>(text.size()));
  EXPECT_EQ(reply.Bytes(), expected.Bytes());
}

TEST_F(ControlMessageTest, NoReplyForShortPayloadsWrongKindsAndUnknownCommands) {
  for (const auto& payload : {Request(1, kCommandSetSystemTime, {1}), Request(1, kCommandDisparityShift, {}),
                              Request(2, kCommandVersion, {}), Request(1, 99, {})}) {
    Reply reply;
    EXPECT_EQ(Process(payload, &reply), kControlNotHandled);
    EXPECT_EQ(reply.record.reply_flag, 0);
    EXPECT_EQ(reply.record.used_size, 0u);
  }
  Reply reply;
  EXPECT_EQ(Process(Request(1, kCommandUpgradeControl, {1}), &reply), kControlHandled);
  EXPECT_EQ(reply.record.used_size, 0u);
}

}  // namespace
