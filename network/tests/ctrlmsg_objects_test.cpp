// Object records over the object stream (big-endian copies, caller's records untouched) and the
// calibration-file transfer's command lines, checked with a fake "adb" first on PATH.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "pelarin/ctrlmsg.h"
#include "pelarin/proxy.h"
#include "pelarin/result_codes.h"
#include "stop_helpers.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Field widths of an object record, as the receiving side reads them.
constexpr int kRecordFieldWidths[] = {8, 4, 4, 8, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 8, 8, 4, 4, 4, 4, 4, 4,
                                      8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8};

// Reference: every field's bytes reversed (host order here is little-endian).
Bytes ReferenceBigEndian(const Bytes& records) {
  Bytes out = records;
  for (size_t base = 0; base < out.size(); base += kObjectRecordBytes) {
    size_t at = base;
    for (const int width : kRecordFieldWidths) {
      std::reverse(out.begin() + at, out.begin() + at + width);
      at += width;
    }
    EXPECT_EQ(base + kObjectRecordBytes, at);
  }
  return out;
}

class ObjectInfoSend : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kQeltOk, STOPInit(kStopServerMode));
    ASSERT_EQ(kQeltOk, STOPServerCreateSession("127.0.0.1", 0, kServerObject));
    int fd = 0;
    ASSERT_EQ(kQeltOk, STOPServerGetSocketFD(kServerObject, &fd));
    ASSERT_EQ(kQeltOk, ProxyThreadStart(kProxyStopServer));
    client_ = nettest::ConnectLoopback(nettest::PortOf(fd));
    ASSERT_TRUE(nettest::SendAll(client_, nettest::CtrlObjectPacket(kStopRequest, kStopStart)));
    Bytes ack;
    ASSERT_TRUE(nettest::ReadExactly(client_, kStopCtrlPacketBytes, &ack));
    ASSERT_TRUE(nettest::WaitUntil([] { return STOPServerReaderCount() > 0; }));
  }
  void TearDown() override {
    close(client_);
    ExitSTOPServerProxyProcess();
    STOPUnInit();
  }
  // The ring refuses a write while the server thread holds it for 2 ms: try again.
  static int Send(unsigned kind, unsigned count, Bytes* records) {
    int rc = kQeltRingSlotBusy;
    for (int attempt = 0; attempt < 1000 && rc != kQeltOk; ++attempt) {
      rc = QeltNorbSendObjectInfo("127.0.0.1", kind, count, records->data());
      if (rc != kQeltOk) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return rc;
  }
  int client_ = -1;
};

TEST_F(ObjectInfoSend, RecordsArriveBigEndianAndTheCallersCopyStaysUsable) {
  Bytes records = nettest::PatternBytes(3 * kObjectRecordBytes, 5);
  const Bytes original = records;
  const Bytes expected = nettest::ObjectPacket(7, 3, ReferenceBigEndian(original));
  for (int round = 0; round < 2; ++round) {  // sending twice sends the same bytes
    ASSERT_EQ(kQeltOk, Send(7, 3, &records));
    Bytes packet;
    ASSERT_TRUE(nettest::ReadExactly(client_, expected.size(), &packet));
    EXPECT_EQ(expected, packet) << "round " << round;
  }
  EXPECT_EQ(original, records);
}

TEST_F(ObjectInfoSend, BadArgumentsAreRefused) {
  Bytes records(kObjectRecordBytes);
  EXPECT_EQ(kQeltNullArgument, QeltNorbSendObjectInfo(nullptr, 1, 1, records.data()));
  EXPECT_EQ(kQeltNullArgument, QeltNorbSendObjectInfo("127.0.0.1", 1, 1, nullptr));
  EXPECT_EQ(kQeltBadAddress, QeltNorbSendObjectInfo(std::string(40, '9').c_str(), 1, 1, records.data()));
  EXPECT_EQ(kQeltInvalid, QeltNorbSendObjectInfo("127.0.0.1", 1, 0x40000000u, records.data()));
}

// A fake "adb" that logs its arguments, one per line, and a marker between calls.
class FakeAdb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    test_support::WriteScript(dir_ + "/adb", "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + log_ +
                                                 "'; done\necho -- >> '" + log_ + "'");
    const char* path = getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    setenv("PATH", (dir_ + ":" + saved_path_).c_str(), 1);
  }
  void TearDown() override { setenv("PATH", saved_path_.c_str(), 1); }
  std::string Calls() const { return test_support::ReadWholeFile(log_); }
  test_support::TempFolder folder_{"ctrlmsg_adb"};
  std::string dir_ = folder_.path(), log_ = folder_.File("calls.log"), saved_path_;
};

TEST_F(FakeAdb, GetPullsAndSetPushesBetweenConnectAndDisconnect) {
  EXPECT_EQ(kQeltUnsupported, QeltGetZuqCalibrateFile("127.0.0.1", "/data/calib.yml", "/tmp/out.yml"));
  EXPECT_EQ(kQeltUnsupported, QeltSetZuqCalibrateFile("127.0.0.1", "/data/calib.yml", "/tmp/in.yml"));
  EXPECT_EQ("connect\n127.0.0.1\n--\npull\n/data/calib.yml\n/tmp/out.yml\n--\ndisconnect\n127.0.0.1\n--\n"
            "connect\n127.0.0.1\n--\npush\n/tmp/in.yml\n/data/calib.yml\n--\ndisconnect\n127.0.0.1\n--\n",
            Calls());
}

TEST_F(FakeAdb, ArgumentsWithSpacesQuotesAndShellWordsStayOneArgumentEach) {
  const std::string marker = dir_ + "/ran";
  const std::string hostile = "a b'c\"$(touch " + marker + ");x";
  QeltGetZuqCalibrateFile("127.0.0.1", hostile.c_str(), "local path");
  EXPECT_EQ("connect\n127.0.0.1\n--\npull\n" + hostile + "\nlocal path\n--\ndisconnect\n127.0.0.1\n--\n", Calls());
  EXPECT_FALSE(std::filesystem::exists(marker));
}

// An over-long path runs no transfer but still disconnects; an over-long address runs nothing.
TEST_F(FakeAdb, OverLongLinesAreNotRun) {
  const std::string path(1100, 'p'), ip(1100, '1');
  EXPECT_EQ(kQeltUnsupported, QeltGetZuqCalibrateFile("127.0.0.1", path.c_str(), "/tmp/x"));
  EXPECT_EQ(kQeltUnsupported, QeltSetZuqCalibrateFile(ip.c_str(), "/a", "/b"));
  EXPECT_EQ("connect\n127.0.0.1\n--\ndisconnect\n127.0.0.1\n--\n", Calls());
}

}  // namespace
