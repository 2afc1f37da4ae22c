// Request functions against a loopback control server: exact request bytes, a camera-like
// callback answering through the reply builders, and replies that are short, stale or lying.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "net_helpers.h"
#include "pelarin/ctrlmsg.h"
#include "pelarin/packet.h"
#include "pelarin/result_codes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using nettest::Words;

constexpr char kPeer[] = "127.0.0.1";
constexpr char kVersionText[] = "2.1.213002";
constexpr char kMacText[] = "00:11:22:33:44:55";

uint32_t WordAt(const uint8_t* p, uint32_t index) {
  uint32_t v;
  GetUint32Value(p + 4 * index, &v);
  return v;
}

// What the server saw and what it is told to send back.
struct ServerScript {
  std::mutex lock;
  Bytes last_request;
  int requests = 0;
  bool raw = false;  // answer with `raw_reply` instead of the camera's answers
  Bytes raw_reply;
};
ServerScript g_script;

// Answers like a camera would, through the reply builders; values are derived from the request
// so the test sees that the request's data arrived.
void AnswerAsCamera(const uint8_t* p, int length, tagACKMsgPara* reply) {
  const uint32_t command = WordAt(p, 1);
  const uint32_t first = WordAt(p, 3);
  switch (command) {
    case kCmdGetVersion: QeltReplyVersion(reply, 0, kVersionText, strlen(kVersionText)); break;
    case kCmdGetMacAddress: QeltReplyMacAddress(reply, 0, kMacText, strlen(kMacText)); break;
    case kCmdGetSystemTime: QeltReplyGetSystemTime(reply, 0, 11, 22, 33); break;
    case kCmdSetSystemTime: QeltReplySetSystemTime(reply, 0, first, WordAt(p, 4) + 1, WordAt(p, 5)); break;
    case kCmdSelfDefined: {
      // Echo the counted bytes back reversed.
      const uint32_t n = std::min<uint32_t>(first, static_cast<uint32_t>(length) - 16);
      Bytes data(p + 16, p + 16 + n);
      std::reverse(data.begin(), data.end());
      QeltReplySelfDefinedCommand(reply, 0, data.data(), n);
      break;
    }
    case kCmdUpgradeControl: {
      const uint32_t n = std::min<uint32_t>(WordAt(p, 4), static_cast<uint32_t>(length) - 20);
      QeltReplyUpgradeControlCommand(reply, first, p + 20, n);  // the control word as the result
      break;
    }
    case kCmdControlDevice:
    case kCmdSetZuqCalibrateColorImageFlag:
    case kCmdPrepareBackground:
    case kCmdControlNorbFlap:
    case kCmdSetNorbAisleMode:
    case kCmdControlNorbSaveData:
    case kCmdSetNorbChildHeightThreshold: QeltCommonReply1(reply, command, first); break;
    case kCmdGetZuqDirection: QeltReplyGetZuqDirection(reply, 0, 1); break;
    case kCmdAdjustZuqDisparityShift: QeltReplyAdjustZuqDisparityShift(reply, 0, first * 2); break;
    case kCmdGetZuqType: QeltReplyZuqType(reply, 0, 3); break;
    case kCmdGetBaseline: QeltReplyGetBaseline(reply, 0, 0.12f); break;
    case kCmdGetFocalLength: QeltReplyGetFocalLength(reply, 0, 700); break;
    case kCmdGetDisparityShift: QeltReplyGetDisparityShift(reply, 0, 12); break;
    case kCmdGetDisparityRange: QeltReplyGetDisparityRange(reply, 0, 128); break;
    case kCmdGetImageInfo: QeltReplyGetImageInfo(reply, 0, first * 10, 720, 3); break;
    case kCmdGetZuqCalibrateColorImageFlag: QeltReplyGetZuqCalibrateColorImageFlag(reply, 0, 1); break;
    case kCmdGetNorbSensorStatus:
    case kCmdGetNorbWorkStatus:
    case kCmdGetNorbAisleMode:
    case kCmdGetNorbChildHeightThreshold: QeltCommonReply2(reply, command, 0, command + 1000); break;
    case kCmdInitNorbDevice: QeltReplyInitNorbDevice(reply, 0, 1, 2, 3, 4, 5, 6, 7, 8); break;
    case kCmdProcessModelImage: QeltReplyProcessModelImage(reply, 0, 10, 20, 30, 40, 50, 60, 70, 80); break;
    case kCmdGetNorbOrigin: QeltReplyGetNorbOrigin(reply, 0, 0x1FFFF, 2, 3, 4, 5, 6, 7, 8); break;
    case kCmdSendDnnObjectInfo: QeltSendDnnObjectInfoReply(reply, WordAt(p, 5)); break;  // the count
    default: break;
  }
}

int ServerCallback(const char* payload, int length, void*, tagACKMsgPara* reply) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(payload);
  std::lock_guard<std::mutex> guard(g_script.lock);
  g_script.last_request.assign(p, p + length);
  ++g_script.requests;
  if (g_script.raw) {
    memcpy(reply->buffer, g_script.raw_reply.data(), g_script.raw_reply.size());
    reply->used_size = static_cast<uint32_t>(g_script.raw_reply.size());
    reply->reply_flag = 1;
  } else {
    AnswerAsCamera(p, length, reply);
  }
  return 0;
}

class ControlRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> guard(g_script.lock);
      g_script.last_request.clear();
      g_script.requests = 0;
      g_script.raw = false;
    }
    ASSERT_TRUE(server_.ok());
    SCDPRegisterRecvCtrlMsg(ServerCallback, nullptr);
    ASSERT_EQ(kQeltOk, SCDPClientConnectSession(kPeer, server_.port()));
  }
  void TearDown() override { SCDPClientCloseSession(kPeer); }
  Bytes LastRequest() {
    std::lock_guard<std::mutex> guard(g_script.lock);
    return g_script.last_request;
  }
  int Requests() {
    std::lock_guard<std::mutex> guard(g_script.lock);
    return g_script.requests;
  }
  void AnswerWith(const Bytes& reply) {
    std::lock_guard<std::mutex> guard(g_script.lock);
    g_script.raw = true;
    g_script.raw_reply = reply;
  }

  nettest::ControlServer server_{ServerCallback};
};

// ---- request bytes ----

// Data above the limits, an object list above thirty-two, an address that does not fit and
// null arguments are refused before anything is sent.
TEST_F(ControlRequests, OutOfBoundsArgumentsAreRefusedWithoutARequest) {
  const Bytes data(1025, 0x5A);
  Bytes out(2048);
  unsigned out_length = static_cast<unsigned>(out.size());
  EXPECT_EQ(kQeltInvalid, QeltSelfDefinedCommand(kPeer, data.data(), 1025, out.data(), &out_length));
  EXPECT_EQ(kQeltInvalid, QeltUpgradeControlCommand(kPeer, 0, data.data(), 1025, out.data(), &out_length));
  const std::vector<uint32_t> objects(33 * 6, 1);
  unsigned result = 99;
  EXPECT_EQ(kQeltUnsupported, QeltSendDnnObjectInfo(kPeer, 1, 2, objects.data(), 33, &result));
  const std::string long_address(40, '1');
  unsigned value = 0;
  EXPECT_EQ(kQeltBadAddress, QeltGetZuqType(long_address.c_str(), &value));
  EXPECT_EQ(kQeltNullArgument, QeltGetZuqType(nullptr, &value));
  EXPECT_EQ(kQeltNullArgument, QeltGetZuqType(kPeer, nullptr));
  EXPECT_EQ(0, Requests());
}

TEST_F(ControlRequests, SelfDefinedDataAtTheLimitIsSentWhole) {
  Bytes data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  Bytes out(2048);
  unsigned out_length = static_cast<unsigned>(out.size());
  ASSERT_EQ(kQeltOk, QeltSelfDefinedCommand(kPeer, data.data(), 1024, out.data(), &out_length));
  const Bytes request = LastRequest();
  ASSERT_EQ(1040u, request.size());
  EXPECT_EQ(Words({1, 12, 1028, 1024}), Bytes(request.begin(), request.begin() + 16));
  EXPECT_EQ(data, Bytes(request.begin() + 16, request.end()));
  ASSERT_EQ(1024u, out_length);
  EXPECT_TRUE(std::equal(data.rbegin(), data.rend(), out.begin()));
}

TEST_F(ControlRequests, UpgradeRequestCarriesControlCountAndBytes) {
  const uint8_t data[5] = {1, 2, 3, 4, 5};
  uint8_t out[16] = {};
  unsigned out_length = sizeof(out);
  EXPECT_EQ(0, QeltUpgradeControlCommand(kPeer, 0, data, 5, out, &out_length));
  Bytes expected = Words({1, 13, 13, 0, 5});
  expected.insert(expected.end(), data, data + 5);
  EXPECT_EQ(expected, LastRequest());
  EXPECT_EQ(5u, out_length);
  EXPECT_EQ(0, memcmp(data, out, 5));
}

TEST_F(ControlRequests, TwoObjectsMakeASeventyTwoByteRequest) {
  std::vector<uint32_t> objects(12);
  for (uint32_t i = 0; i < objects.size(); ++i) objects[i] = 0x01000000u + i;
  unsigned result = 99;
  ASSERT_EQ(kQeltOk, QeltSendDnnObjectInfo(kPeer, 0xA, 0xB, objects.data(), 2, &result));
  std::vector<uint32_t> words = {1, 416, 60, 0xA, 0xB, 2};
  words.insert(words.end(), objects.begin(), objects.end());
  EXPECT_EQ(Words(words), LastRequest());
  EXPECT_EQ(72u, LastRequest().size());
  EXPECT_EQ(2u, result);  // the peer's result word
}

TEST_F(ControlRequests, RequestsCarryTheirWords) {
  char text[32];
  ASSERT_EQ(kQeltOk, QeltGetVersion(kPeer, text, sizeof(text)));
  EXPECT_EQ(Words({1, 1, 4, 4080}), LastRequest());
  EXPECT_EQ(0xFFFFFFFF, static_cast<unsigned>(QeltControlDevice(kPeer, -1)));
  EXPECT_EQ(Words({1, 15, 4, 0xFFFFFFFF}), LastRequest());
  unsigned a, b, c;
  ASSERT_EQ(kQeltOk, QeltGetImageInfo(kPeer, 2, &a, &b, &c));
  EXPECT_EQ(Words({1, 210, 4, 2}), LastRequest());
  ASSERT_EQ(kQeltOk, QeltGetZuqType(kPeer, &a));
  EXPECT_EQ(Words({1, 205, 0}), LastRequest());
}

// ---- round trip through the camera's builders ----

TEST_F(ControlRequests, EveryCommandShapeRoundTrips) {
  char text[32];
  ASSERT_EQ(kQeltOk, QeltGetVersion(kPeer, text, sizeof(text)));
  EXPECT_STREQ(kVersionText, text);
  ASSERT_EQ(kQeltOk, QeltGetMacAddress(kPeer, text, sizeof(text)));
  EXPECT_STREQ(kMacText, text);

  unsigned a = 0, b = 0, c = 0;
  ASSERT_EQ(kQeltOk, QeltGetSystemTime(kPeer, &a, &b, &c));
  EXPECT_EQ((std::vector<unsigned>{11, 22, 33}), (std::vector<unsigned>{a, b, c}));
  ASSERT_EQ(kQeltOk, QeltSetSystemTime(kPeer, 5, 1700000000, 9, &a, &b));
  EXPECT_EQ(1700000001u, a);
  EXPECT_EQ(9u, b);
  ASSERT_EQ(kQeltOk, QeltGetImageInfo(kPeer, 2, &a, &b, &c));
  EXPECT_EQ((std::vector<unsigned>{20, 720, 3}), (std::vector<unsigned>{a, b, c}));

  using SetOne = int (*)(const char*, int);
  const std::pair<SetOne, int> sets[] = {{QeltControlDevice, 7},      {QeltSetZuqCalibrateColorImageFlag, 8},
                                         {QeltPrepareBackground, 9},  {QeltControlNorbFlap, 10},
                                         {QeltSetNorbAisleMode, 11},  {QeltControlNorbSaveData, 12},
                                         {QeltSetNorbChildHeightThreshold, 13}};
  for (const auto& set : sets) EXPECT_EQ(set.second, set.first(kPeer, set.second));

  using GetOne = int (*)(const char*, unsigned*);
  float baseline = 0.12f;
  unsigned baseline_bits;
  memcpy(&baseline_bits, &baseline, sizeof baseline_bits);
  const std::pair<GetOne, unsigned> gets[] = {
      {QeltGetZuqDirection, 1},         {QeltGetZuqType, 3},
      {QeltGetBaseline, baseline_bits}, {QeltGetFocalLength, 700},
      {QeltGetDisparityShift, 12},      {QeltGetDisparityRange, 128},
      {QeltGetZuqCalibrateColorImageFlag, 1}, {QeltGetNorbSensorStatus, 1405},
      {QeltGetNorbWorkStatus, 1406},    {QeltGetNorbAisleMode, 1407},
      {QeltGetNorbChildHeightThreshold, 1414}};
  for (size_t i = 0; i < std::size(gets); ++i) {
    unsigned v = 0;
    ASSERT_EQ(kQeltOk, gets[i].first(kPeer, &v)) << "get " << i;
    EXPECT_EQ(gets[i].second, v) << "get " << i;
  }
  unsigned v = 0;
  ASSERT_EQ(kQeltOk, QeltAdjustZuqDisparityShift(kPeer, 21, &v));
  EXPECT_EQ(42u, v);

  using GetHalves = int (*)(const char*, uint16_t*, uint16_t*, uint16_t*, uint16_t*, uint16_t*, uint16_t*, uint16_t*,
                            uint16_t*);
  const std::pair<GetHalves, std::vector<uint16_t>> halves[] = {
      {QeltInitNorbDevice, {1, 2, 3, 4, 5, 6, 7, 8}},
      {QeltProcessModelImage, {10, 20, 30, 40, 50, 60, 70, 80}},
      {QeltGetNorbOrigin, {0xFFFF, 2, 3, 4, 5, 6, 7, 8}}};
  for (const auto& get : halves) {
    uint16_t h[8] = {};
    ASSERT_EQ(kQeltOk, get.first(kPeer, &h[0], &h[1], &h[2], &h[3], &h[4], &h[5], &h[6], &h[7]));
    EXPECT_EQ(get.second, std::vector<uint16_t>(h, h + 8));
  }

  const uint8_t bytes[3] = {1, 2, 3};
  uint8_t out[8] = {};
  unsigned out_length = sizeof(out);
  ASSERT_EQ(kQeltOk, QeltSelfDefinedCommand(kPeer, bytes, 3, out, &out_length));
  EXPECT_EQ(3u, out_length);
  EXPECT_EQ((Bytes{3, 2, 1}), Bytes(out, out + 3));
}

// ---- decoding replies the peer chose ----

Bytes WithText(Bytes head, const std::string& text) {
  head.insert(head.end(), text.begin(), text.end());
  return head;
}

TEST_F(ControlRequests, TextThatFillsTheCapacityIsCopiedUnterminated) {
  const std::string text = "ABCDEFGHIJKLMNOPQRST";
  AnswerWith(WithText(Words({2, 1, 0, 24, 20}), text));
  char out[12];
  memset(out, '#', sizeof(out));
  ASSERT_EQ(kQeltOk, QeltGetVersion(kPeer, out, 8));
  EXPECT_EQ(0, memcmp(out, "ABCDEFGH", 8));
  EXPECT_EQ('#', out[8]);  // nothing written past the capacity
}

TEST_F(ControlRequests, ShortTextZeroesTheRestAndEmptyTextLeavesTheArea) {
  AnswerWith(WithText(Words({2, 14, 0, 7, 3}), "abc"));
  char out[8];
  memset(out, '#', sizeof(out));
  ASSERT_EQ(kQeltOk, QeltGetMacAddress(kPeer, out, sizeof(out)));
  EXPECT_EQ(0, memcmp(out, "abc\0\0\0\0\0", 8));
  AnswerWith(Words({2, 14, 0, 4, 0}));
  memset(out, '#', sizeof(out));
  ASSERT_EQ(kQeltOk, QeltGetMacAddress(kPeer, out, sizeof(out)));
  EXPECT_EQ('#', out[0]);
}

TEST_F(ControlRequests, CountBeyondTheReceivedReplyIsRefused) {
  AnswerWith(WithText(Words({2, 1, 0, 24, 500}), "short"));
  char out[600];
  memset(out, '#', sizeof(out));
  EXPECT_EQ(kQeltInvalid, QeltGetVersion(kPeer, out, sizeof(out)));
  EXPECT_EQ('#', out[0]);
  AnswerWith(WithText(Words({2, 12, 0, 24, 0xFFFFFFF0}), "short"));
  unsigned out_length = sizeof(out);
  EXPECT_EQ(kQeltInvalid, QeltSelfDefinedCommand(kPeer, nullptr, 0, out, &out_length));
}

TEST_F(ControlRequests, CountedBytesAreBoundedByTheCallersArea) {
  AnswerWith(WithText(Words({2, 12, 0, 14, 10}), "0123456789"));
  char out[6];
  memset(out, '#', sizeof(out));
  unsigned out_length = 4;
  EXPECT_EQ(kQeltBufferTooSmall, QeltSelfDefinedCommand(kPeer, nullptr, 0, out, &out_length));
  EXPECT_EQ(4u, out_length);
  EXPECT_EQ(0, memcmp(out, "0123##", 6));
}

TEST_F(ControlRequests, ReplyShorterThanTheMinimumGives11) {
  AnswerWith(Words({2, 210, 0, 8, 1, 2}));  // three words expected, two sent
  unsigned a = 0, b = 0, c = 0;
  EXPECT_EQ(kQeltInvalid, QeltGetImageInfo(kPeer, 0, &a, &b, &c));
  AnswerWith(Words({2, 400, 0, 12, 1, 2, 3}));  // 28 bytes: below the 32 of eight halves
  uint16_t h[8] = {};
  EXPECT_EQ(kQeltInvalid, QeltInitNorbDevice(kPeer, &h[0], &h[1], &h[2], &h[3], &h[4], &h[5], &h[6], &h[7]));
  AnswerWith(Words({2, 15, 0}));
  EXPECT_EQ(kQeltInvalid, QeltControlDevice(kPeer, 1));
}

TEST_F(ControlRequests, ReplyToAnotherCommandIsDiscarded) {
  AnswerWith(Words({2, 207, 0, 4, 555}));  // a focal length answer to a baseline request
  unsigned value = 1;
  EXPECT_EQ(kQeltInvalid, QeltGetBaseline(kPeer, &value));
  EXPECT_EQ(1u, value);
  AnswerWith(Words({1, 206, 0, 4, 555}));  // a request frame, not a reply
  EXPECT_EQ(kQeltInvalid, QeltGetBaseline(kPeer, &value));
  EXPECT_EQ(1u, value);
}

TEST_F(ControlRequests, ResultRulesOfTheOneWordReplies) {
  unsigned value = 1;
  AnswerWith(Words({2, 208, 5, 4, 77}));
  EXPECT_EQ(5, QeltGetDisparityShift(kPeer, &value));
  EXPECT_EQ(1u, value);  // a get that failed leaves the value
  AnswerWith(Words({2, 204, 5, 4, 77}));
  EXPECT_EQ(5, QeltAdjustZuqDisparityShift(kPeer, 1, &value));
  EXPECT_EQ(77u, value);  // taken whatever the result
  value = 1;
  AnswerWith(Words({2, 405, 0, 0, 77}));
  EXPECT_EQ(kQeltOk, QeltGetNorbSensorStatus(kPeer, &value));
  EXPECT_EQ(1u, value);  // no data: value unset
}

TEST_F(ControlRequests, ResultRulesOfTheThreeWordReplies) {
  unsigned a = 1, b = 1, c = 1;
  AnswerWith(Words({2, 5, 9, 12, 4, 5, 6}));
  EXPECT_EQ(9, QeltGetSystemTime(kPeer, &a, &b, &c));
  EXPECT_EQ((std::vector<unsigned>{4, 5, 6}), (std::vector<unsigned>{a, b, c}));
  a = b = c = 1;
  AnswerWith(Words({2, 210, 9, 12, 4, 5, 6}));
  EXPECT_EQ(9, QeltGetImageInfo(kPeer, 0, &a, &b, &c));
  EXPECT_EQ((std::vector<unsigned>{1, 1, 1}), (std::vector<unsigned>{a, b, c}));
}

TEST_F(ControlRequests, HalvesWithoutDataLeaveTheValues) {
  AnswerWith(Words({2, 403, 0, 0, 1, 2, 3, 4}));
  uint16_t h[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(kQeltOk, QeltGetNorbOrigin(kPeer, &h[0], &h[1], &h[2], &h[3], &h[4], &h[5], &h[6], &h[7]));
  EXPECT_EQ(std::vector<uint16_t>(8, 9), std::vector<uint16_t>(h, h + 8));
}

TEST(ControlRequestsWithoutPeer, NoSessionReturnsTheExchangeCode) {
  ASSERT_EQ(kQeltOk, SCDPInit(kScdpClientMode));
  unsigned value = 0;
  EXPECT_EQ(kQeltNoSession, QeltGetZuqType("127.0.0.9", &value));
  SCDPUnInit();
}

}  // namespace
