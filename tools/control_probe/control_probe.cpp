// Test client of the control server: sends one request of big-endian words and prints the reply.
//   control_probe ADDRESS PORT WORD...     e.g. control_probe 127.0.0.1 7000 1 1 4 4080
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pelarin/packet.h"
#include "pelarin/scdp.h"

namespace {

constexpr int kFirstWordArgument = 3;
constexpr uint32_t kWordBytes = 4;

int Usage() {
  fprintf(stderr, "usage: control_probe ADDRESS PORT WORD...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= kFirstWordArgument || strlen(argv[1]) >= kAddressTextBytes) return Usage();
  std::vector<uint8_t> payload;
  for (int i = kFirstWordArgument; i < argc; ++i) {
    uint8_t word[kWordBytes];
    SetUint32(static_cast<uint32_t>(strtoul(argv[i], nullptr, 0)), word);
    payload.insert(payload.end(), word, word + kWordBytes);
  }
  SCDPInit(kScdpClientMode);
  int rc = SCDPClientConnectSession(argv[1], static_cast<uint32_t>(strtoul(argv[2], nullptr, 0)));
  if (rc == kQeltOk) {
    ScdpRequest request{};
    memcpy(request.ip, argv[1], strlen(argv[1]) + 1);
    request.payload = payload.data();
    request.length = static_cast<uint32_t>(payload.size());
    ScdpReplyView reply{};
    rc = SCDPClientSendCtrl(&request, &reply);
    if (rc == kQeltOk) {
      printf("reply of %u bytes:", reply.length);
      for (uint32_t i = 0; i < reply.length; ++i) printf("%s%02x", i % kWordBytes == 0 ? " " : "", reply.payload[i]);
      printf("\n");
    }
  }
  if (rc != kQeltOk) fprintf(stderr, "control request failed with code %d\n", rc);
  SCDPUnInit();
  return rc == kQeltOk ? 0 : 1;
}
