// Image stream (STIP): image rings, the image servers with their per-client send state, and the
// client side with its byte-stream reassembly and received-image callbacks.
#pragma once

#include <pthread.h>
#include <cstdint>

#include "pelarin/encoder.h"
#include "pelarin/packet.h"
#include "pelarin/socket.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

constexpr uint32_t kStipNone = 0xFFFFFFFF;
constexpr uint32_t kRingSlotsNorb = 4;
constexpr uint32_t kRingSlotsYrd = 12;
constexpr int kRingLockMillis = 2;
constexpr uint32_t kStipImageTypeColor = 3;
constexpr uint32_t kStipImageTypeDisparity = 5;
// Head and ImagePara element in front of every image's data.
constexpr uint32_t kStipImagePacketHead = kPacketHeadBytes + kElementHeadBytes + 28;
constexpr uint32_t kStipCtrlPacketBytes = 100;
// A control request on the wire: head and CtrlImage element; the largest packet a server takes.
constexpr uint32_t kStipCtrlRequestBytes = kPacketHeadBytes + kElementHeadBytes + 12;
constexpr uint32_t kStipChannelCount = 3;
constexpr uint32_t kStipClientReceiveBytes = 1048576;
// Largest image a client accepts from the wire; a larger declared size is a broken stream.
constexpr uint32_t kStipMaxImageBytes = 16u * 1024 * 1024;
// Streaming clients one image port serves at once. While a port streams to that many live
// clients, a newcomer is closed on accept and a start request closes its connection.
constexpr uint32_t kStipMaxClientsPerPort = 8;
// A frame on the stream: its colour image, then its disparity image, under one frame index.
constexpr uint32_t kStipImagesPerFrame = 2;
// Packets a connection stays marked as resynchronised after a bad head.
constexpr uint32_t kStipResyncPackets = 20;

enum StipMode : int { kStipServerMode = 1, kStipClientMode = 2 };
enum StipCommandType : uint8_t { kStipRequest = 1, kStipAck = 2 };
enum StipCommand : uint16_t { kStipStart = 1, kStipStop = 2 };
enum StipSlotState : uint32_t { kSlotNeverWritten = 0, kSlotConsumed = 1, kSlotNew = 2 };
enum StipClientStreamState : uint16_t { kStipConnected = 0, kStipStreaming = 1, kStipStopped = 2 };

struct ImageRingSlot {
  ImagePara header;
  uint32_t state;
  uint8_t* data;
  uint32_t data_size;      // bytes of the image held
  uint32_t capacity;       // bytes allocated in data
  uint32_t readers_done;   // clients that took this image; kStipNone after each write
  uint64_t sequence;       // write sequence of the image held (0: never written)
  uint32_t readers_at_write;  // streaming clients when the image was written: those owed it
  uint32_t frame_position;    // 0 for the image that opens a frame, 1 for the next of that frame
  uint32_t frame_images;      // images the frame opened here is made of (opening image only)
};

struct ImageRing {
  uint32_t reader_count;   // streaming clients of this server type
  uint32_t write_index;    // slot of the last write, kStipNone before the first
  uint32_t read_index;     // newest slot every streaming client has taken, kStipNone at first
  uint32_t slot_count;
  ImageRingSlot* slots;
  uint64_t last_sequence;  // sequence of the last write (writes count from 1)
};

// Send state of one connected image client.
struct StipClientState {
  uint16_t state;
  uint16_t pending_acks;
  uint16_t width;
  uint16_t height;
  uint8_t frame_rate;
  uint32_t image_type;
  ImagePara header;        // header of the image taken last; data_size is the raw size
  uint32_t last_slot;
  uint64_t last_sequence;  // write sequence of the image taken last, or of the last write at its start
  uint8_t* raw;            // the image taken last, as it came from the ring
  uint32_t raw_capacity;
  uint8_t* packet;         // the one outgoing packet: built once, sent from `sent` on
  uint32_t packet_capacity;
  uint32_t packet_length;  // 0: nothing outgoing
  uint32_t sent;
  StipEncoder* encoder;    // this client's colour stream, created at its first colour image
  uint8_t force_idr;       // the next colour image must be an IDR picture
  uint8_t mid_frame;       // the image taken last opened a frame whose other images are owed
};

// Received-image callback of a client channel: (header, data, size, context, resync).
typedef int (*RecvImageFunc)(const ImagePara* header, const uint8_t* data, uint32_t size, void* context,
                             int resync);

// ---- rings ----
int STIPMallocServerData(ServerSocketTable* table, uint32_t slot_count);
int STIPFreeServerData(ServerSocketTable* table);
// Copies one image into the next slot; never waits for readers.
int STIPWriteServerData(ServerSocketTable* table, const ImagePara* header, const void* data, uint32_t size);
// Gives the client its next image (0 with nothing new): the rest of the frame it is in, else
// the colour image of the oldest frame still whole in the ring and not next to be overwritten.
int STIPReadServerData(ServerSocketTable* table, ClientSlot* slot);
// Counts a client as a reader from now on (start) or no longer (stop, removal).
void STIPRingAddReader(ImageRing* ring, StipClientState* client);
void STIPRingRemoveReader(ImageRing* ring);

// ---- server ----
int STIPInit(int mode, double color_bit_rate);
int STIPUnInit(void);
// Bits per second of a colour bit rate in Mb/s; 0 (the encoder default) for a value that is not
// finite, not positive or too large for 32 bits.
uint32_t STIPColorBitRate(double mbps);
int STIPServerCreateSession(const char* ip, unsigned port, unsigned server_type);
int STIPServerAddClient(int server_fd, int client_fd, unsigned server_type);
int STIPServerRemoveClient(int server_fd, int client_fd, unsigned server_type);
StipClientState* STIPServerGetClientData(int server_fd, int client_fd, unsigned server_type);
ImageRing* STIPServerGetServerData(unsigned server_type);
int STIPServerGetSocketFD(unsigned server_type);
int STIPServerGetMaxSocketFD(unsigned server_type, int* fd);
int STIPServeretFdSet(unsigned server_type, fd_set* read_set, fd_set* write_set);
int STIPServerShowClient(unsigned server_type);
int STIPServerCloseSession(unsigned server_type);
int STIPServerWriteImage(const ImagePara* header, const void* data, unsigned size);
int STIPServerSendProcess(ClientSlot* slot, unsigned server_type);
int STIPServerLockNORBData(void);
int STIPServerUnlockNORBData(void);
int STIPServerLockYRDData(void);
int STIPServerUnlockYRDData(void);
int STIPCloseAllSession(void);
void STIPFreeProtocolData(ClientSlot* slot);
// Parses received bytes: control requests on a server (server_fd not 0), images on a client.
int STIPAnalysisPacket(int server_fd, int fd, unsigned server_type, const uint8_t* buffer, uint32_t length,
                       int channel);
int STIPPackageImagePacket(const StipClientState* client, const uint8_t* data, uint8_t* out, uint32_t size);
int STIPPackageCtrlImagePacket(const CtrlImageRequest* record, uint8_t* out, uint32_t capacity, uint32_t* length);

// ---- client ----
int STIPClientConnectSession(const char* ip, unsigned port, int channel);
int STIPClientExist(const char* ip, int channel);
int STIPClientCloseSession(const char* ip, int channel);
ClientSession* STIPClientGetInfoList(int fd, int channel);
int STIPGetClientSocketFD(const char* ip, int* fd, int channel);
int STIPClientSendCtrlImageMsg(const char* ip, const CtrlImageRequest* record, int channel);
int STIPRegisterRecvImageFunc(RecvImageFunc fn, unsigned channel, void* context);
int STIPRecvImageFuncInit(void);
int STIPProxyInit(void);
int STIPProxyUnInit(void);
int STIPProxyStreamChannelStart(unsigned channel);
int STIPProxyStreamChannelStop(unsigned channel);
int STIPClientReceivePacketProcess(uint8_t* buffer, uint32_t capacity, int channel);

}  // extern "C"

LIBRARY_EXPORTS_END
