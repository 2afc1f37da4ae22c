// The network init record: the address copied whole or refused, the four ports from the base port.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "network_init_record.h"

namespace {

TEST(NetworkInitRecord, FillsSensorModuleRoleAddressesAndFourPortsLeavingDefaultsZero) {
  tagNetworkInitPara record;
  std::memset(&record, 0xAB, sizeof(record));
  ASSERT_EQ(FillNetworkInitRecord("127.0.0.1", 9000, &record), RESULT_OK);
  EXPECT_EQ(record.device_type, 1);
  EXPECT_STREQ(record.server_ip, "0.0.0.0");
  EXPECT_STREQ(record.local_ip, "127.0.0.1");
  EXPECT_EQ(record.norb_image_port, 9000u);
  EXPECT_EQ(record.yrd_image_port, 9001u);
  EXPECT_EQ(record.ctrl_port, 9002u);
  EXPECT_EQ(record.broadcast_port, 9003u);
  EXPECT_EQ(record.stop_port, 0u);
  EXPECT_EQ(record.skip_init, 0u);
  EXPECT_EQ(record.vendor_name[0], '\0');
  EXPECT_EQ(record.serial_number[0], '\0');
  EXPECT_EQ(record.color_bit_rate, 0.0);
}

TEST(NetworkInitRecord, AddressThatFillsTheFieldWithItsTerminatorIsKept) {
  const std::string longest(sizeof(tagNetworkInitPara::local_ip) - 1, '7');
  tagNetworkInitPara record;
  ASSERT_EQ(FillNetworkInitRecord(longest.c_str(), 1, &record), RESULT_OK);
  EXPECT_EQ(std::string(record.local_ip), longest);
}

TEST(NetworkInitRecord, AddressLongerThanTheFieldIsRefusedNotCut) {
  const std::string too_long(sizeof(tagNetworkInitPara::local_ip), '7');
  tagNetworkInitPara record;
  std::memset(&record, 0, sizeof(record));
  EXPECT_EQ(FillNetworkInitRecord(too_long.c_str(), 1, &record), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(record.local_ip[0], '\0');
}

TEST(NetworkInitRecord, BasePortWhoseFourPortsDoNotAllExistIsRefusedNotWrapped) {
  tagNetworkInitPara record;
  EXPECT_EQ(FillNetworkInitRecord("127.0.0.1", 65532, &record), RESULT_OK);
  EXPECT_EQ(FillNetworkInitRecord("127.0.0.1", 65533, &record), RESULT_INVALID_ARGUMENT);
}

}  // namespace
