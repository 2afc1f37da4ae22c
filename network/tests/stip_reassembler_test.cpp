// Client reassembly of the image stream: any split of the byte stream, bad bytes, untrusted sizes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "stip_reassembler.h"
#include "stream_wire.h"

namespace {

using streamtest::Image;

struct Collected {
  std::vector<Image> images;
  std::vector<int> resync;
};

void Collect(const ImagePara* header, const uint8_t* data, uint32_t size, int resync, void* context) {
  auto* c = static_cast<Collected*>(context);
  Image image;
  image.header = *header;
  image.data.assign(data, data + size);
  c->images.push_back(std::move(image));
  c->resync.push_back(resync);
}

// One connection's node with its reassembly record.
class Node {
 public:
  Node() { STIPMallocInfoHeadFunc(&node_); }
  ~Node() {
    free(node_.header);
    free(node_.data);
  }
  void Feed(const std::vector<uint8_t>& bytes, size_t from, size_t n) {
    ASSERT_EQ(pelarin::StipReassemble(&node_, bytes.data() + from, static_cast<uint32_t>(n), Collect, &got), kQeltOk);
  }
  void FeedAll(const std::vector<uint8_t>& bytes) { Feed(bytes, 0, bytes.size()); }
  Collected got;

 private:
  ClientSession node_{};
};

// A stream of images of awkward sizes (an empty one among them) with acknowledgements between.
std::vector<Image> MakeImages(std::mt19937* rng, size_t count, std::vector<uint8_t>* stream) {
  std::vector<Image> images;
  std::uniform_int_distribution<uint32_t> size(1, 200000);
  for (size_t i = 0; i < count; ++i) {
    Image image;
    image.header.image_type = i % 2 == 0 ? 3 : 5;
    image.header.frame_index = static_cast<uint32_t>(i + 1);
    image.header.width = 641;
    image.header.height = 479;
    image.header.timestamp_low = static_cast<uint32_t>(i * 7);
    const uint32_t n = i == 3 ? 0 : size(*rng);
    image.data.resize(n);
    for (auto& b : image.data) b = static_cast<uint8_t>((*rng)());
    image.header.data_size = n;
    const auto packet = streamtest::ImagePacket(image.header, image.data);
    stream->insert(stream->end(), packet.begin(), packet.end());
    if (i % 5 == 0) {
      const auto ack = streamtest::CtrlPacket(2, 1);
      stream->insert(stream->end(), ack.begin(), ack.end());
    }
    images.push_back(std::move(image));
  }
  return images;
}

void ExpectSame(const std::vector<Image>& want, const std::vector<Image>& got) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].header.frame_index, want[i].header.frame_index);
    EXPECT_EQ(got[i].header.image_type, want[i].header.image_type);
    EXPECT_EQ(got[i].header.width, want[i].header.width);
    EXPECT_EQ(got[i].header.timestamp_low, want[i].header.timestamp_low);
    EXPECT_EQ(got[i].header.data_size, want[i].data.size());
    EXPECT_TRUE(got[i].data == want[i].data) << "image " << i;
  }
}

TEST(StipReassembly, RandomSplitsOfOneToSeventyThousandBytesGiveTheSameImages) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> stream;
    const auto images = MakeImages(&rng, 40, &stream);
    std::uniform_int_distribution<size_t> piece(1, seed % 3 == 0 ? 50 : 70000);
    Node node;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min(piece(rng), stream.size() - at);
      node.Feed(stream, at, n);
      at += n;
    }
    ExpectSame(images, node.got.images);
    for (int r : node.got.resync) EXPECT_EQ(r, 0);
  }
}

TEST(StipReassembly, HeadSplitAtEveryOffsetIsCarriedOver) {
  std::mt19937 rng(99);
  std::vector<uint8_t> stream;
  const auto images = MakeImages(&rng, 2, &stream);
  const size_t second = streamtest::ImagePacket(images[0].header, images[0].data).size() + 25;  // behind the ack
  std::vector<size_t> cuts;
  for (size_t cut = 1; cut <= 45; ++cut) cuts.push_back(cut);  // inside the first head and element
  for (size_t cut = second - 3; cut <= second + 45; ++cut) cuts.push_back(cut);  // around the second
  for (size_t cut : cuts) {
    Node node;
    node.Feed(stream, 0, cut);
    node.Feed(stream, cut, stream.size() - cut);
    ExpectSame(images, node.got.images);
  }
}

TEST(StipReassembly, BadBytesAreSkippedAndTheNextImagesMarkedResynchronised) {
  std::mt19937 rng(5);
  std::vector<uint8_t> good;
  const auto images = MakeImages(&rng, 25, &good);
  std::vector<uint8_t> stream = {0x81, 0x42, 0x00, 0x81, 0x81, 0x42, 0x24, 0x18, 0x7E, 0xBD, 0xDB, 0xE7, 99, 1};
  stream.insert(stream.end(), good.begin(), good.end());
  Node node;
  node.FeedAll(stream);
  ExpectSame(images, node.got.images);
  // Images and acks count as packets: the mark lasts the next 21 packets, then clears.
  EXPECT_EQ(node.got.resync.front(), 1);
  EXPECT_EQ(node.got.resync.back(), 0);
}

// A declared size far above the cap is not allocated, and elements the image stream never carries
// or an ImagePara of the wrong length are resynchronised over: the good image behind each arrives.
TEST(StipReassembly, UntrustedElementsAreSkippedAndTheNextImageDelivered) {
  Image good;
  good.header.image_type = 5;
  good.header.frame_index = 2;
  good.data.assign(1001, 7);
  good.header.data_size = 1001;
  ImagePara huge = good.header;
  huge.frame_index = 1;
  auto huge_size = streamtest::ImagePacket(huge, {});
  constexpr size_t kDataSizeAt = 8 + 5 + 12;
  for (size_t k = 0; k < 4; ++k) huge_size[kDataSizeAt + k] = k < 3 ? 0xFF : 0xFB;  // 0xFFFFFFFB bytes
  auto bad_type = streamtest::CtrlPacket(1, 1);
  bad_type[8] = 50;  // an element the image stream never carries
  auto bad_length = streamtest::ImagePacket(good.header, good.data);
  bad_length[12] = 27;  // ImagePara must be exactly 28 bytes
  auto both = bad_type;
  both.insert(both.end(), bad_length.begin(), bad_length.end());
  for (const auto& prefix : {huge_size, both}) {
    std::vector<uint8_t> stream = prefix;
    const auto packet = streamtest::ImagePacket(good.header, good.data);
    stream.insert(stream.end(), packet.begin(), packet.end());
    Node node;
    node.FeedAll(stream);
    ExpectSame({good}, node.got.images);
  }
}

}  // namespace
