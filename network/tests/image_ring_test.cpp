// Image rings without sockets: lapping, several readers, slow readers and the write path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

#include "net_helpers.h"
#include "pelarin/stip.h"

namespace {

constexpr uint32_t kSmallImage = 37;  // odd on purpose

// A ring hung off its own table, with client records read through fake slots.
class RingFixture : public ::testing::Test {
 protected:
  void Make(uint32_t slots) {
    table_ = static_cast<ServerSocketTable*>(calloc(1, sizeof(ServerSocketTable)));
    ASSERT_EQ(STIPMallocServerData(table_, slots), kQeltOk);
  }
  void TearDown() override {
    for (auto& c : clients_) {
      free(c->raw);
      free(c->packet);
    }
    STIPFreeServerData(table_);
    free(table_);
  }
  ImageRing* ring() { return static_cast<ImageRing*>(table_->server_data); }

  // A streaming client counted as a reader.
  ClientSlot* AddReader() {
    clients_.push_back(std::make_unique<StipClientState>());
    StipClientState* c = clients_.back().get();
    *c = StipClientState{};
    c->state = kStipStreaming;
    STIPRingAddReader(ring(), c);
    slots_.push_back(std::make_unique<ClientSlot>());
    slots_.back()->protocol_data = c;
    return slots_.back().get();
  }

  // Writes image `index`: its bytes all equal the index's low byte.
  void Write(uint32_t index, uint32_t size = kSmallImage, uint32_t type = kStipImageTypeDisparity) {
    std::vector<uint8_t> data(size, static_cast<uint8_t>(index));
    ImagePara h{};
    h.image_type = type;
    h.frame_index = index;
    h.data_size = 999999;  // what the caller claims; the ring keeps what it holds
    ASSERT_EQ(STIPWriteServerData(table_, &h, data.data(), size), kQeltOk);
  }

  // Takes the next image for a client: its frame index, or -1 when nothing new.
  long Take(ClientSlot* slot) {
    auto* c = static_cast<StipClientState*>(slot->protocol_data);
    const uint64_t before = c->last_sequence;
    EXPECT_EQ(STIPReadServerData(table_, slot), kQeltOk);
    if (c->last_sequence == before) return -1;
    EXPECT_EQ(c->header.data_size, kSmallImage);
    for (uint32_t i = 0; i < c->header.data_size; ++i) {
      if (c->raw[i] != static_cast<uint8_t>(c->header.frame_index)) {
        ADD_FAILURE() << "image data does not match its header";
        break;
      }
    }
    last_type_ = c->header.image_type;
    return c->header.frame_index;
  }

  // A frame as the capture side writes it: its colour image, then its disparity image.
  void WriteFrame(uint32_t index) {
    Write(index, kSmallImage, kStipImageTypeColor);
    Write(index, kSmallImage, kStipImageTypeDisparity);
  }

  uint32_t last_type_ = 0;

  ServerSocketTable* table_ = nullptr;
  std::vector<std::unique_ptr<StipClientState>> clients_;
  std::vector<std::unique_ptr<ClientSlot>> slots_;
};

// The fast reader gets every image once in order; the stalled one, lapped many times, goes on
// with the oldest image the ring still holds, never an older or repeated one.
TEST_F(RingFixture, StalledReaderDoesNotHoldBackAFastOne) {
  Make(kRingSlotsNorb);
  ClientSlot* fast = AddReader();
  ClientSlot* stalled = AddReader();
  Write(1);
  ASSERT_EQ(Take(fast), 1);
  ASSERT_EQ(Take(stalled), 1);
  for (uint32_t i = 2; i <= 30; ++i) {
    Write(i);
    EXPECT_EQ(Take(fast), static_cast<long>(i));
    EXPECT_EQ(Take(fast), -1) << "an image is never given twice";
  }
  // The stalled reader lost everything overwritten and resumes with the oldest image that the
  // next two writes leave alone.
  std::vector<long> got;
  for (long f; (f = Take(stalled)) != -1;) got.push_back(f);
  EXPECT_EQ(got, (std::vector<long>{29, 30}));
}

TEST_F(RingFixture, InterleavedReadersNeverSeeAnImageTwiceOrOutOfOrder) {
  Make(kRingSlotsNorb);
  std::vector<ClientSlot*> readers = {AddReader(), AddReader(), AddReader()};
  std::vector<long> last(readers.size(), 0);
  srand(7);
  for (uint32_t i = 1; i <= 500; ++i) {
    Write(i);
    for (size_t r = 0; r < readers.size(); ++r) {
      // Reader r reads 0..r+1 times per write: some keep up, some lag and lose images.
      const int reads = rand() % static_cast<int>(r + 2);
      for (int k = 0; k < reads; ++k) {
        const long f = Take(readers[r]);
        if (f == -1) break;
        EXPECT_GT(f, last[r]) << "reader " << r;
        EXPECT_GE(f, static_cast<long>(i) - static_cast<long>(kRingSlotsNorb) + 1) << "older than the ring holds";
        last[r] = f;
      }
    }
  }
}

TEST_F(RingFixture, NewReaderStartsWithTheNextImageWritten) {
  Make(kRingSlotsYrd);
  for (uint32_t i = 1; i <= 5; ++i) Write(i);
  ClientSlot* late = AddReader();
  EXPECT_EQ(Take(late), -1) << "nothing older than the start";
  Write(6);
  Write(7);
  EXPECT_EQ(Take(late), 6);
  EXPECT_EQ(Take(late), 7);
}

TEST_F(RingFixture, OverwritingAnImageOwedToAReaderIsReported) {
  nettest::LogCapture log;
  Make(kRingSlotsNorb);
  for (uint32_t i = 1; i <= 9; ++i) Write(i);
  ClientSlot* reader = AddReader();
  Write(10);  // overwrites 6, written before the reader started
  EXPECT_EQ(log.Count("[STIP]Send Image too slow"), 0u) << "images nobody was owed go silently";
  ASSERT_EQ(Take(reader), 10);
  for (uint32_t i = 11; i <= 14; ++i) Write(i);  // 14 replaces 10, which was taken
  EXPECT_EQ(log.Count("[STIP]Send Image too slow"), 0u);
  Write(15);  // replaces 11, owed to the reader and never taken
  EXPECT_EQ(log.Count("[STIP]Send Image too slow"), 1u);
  EXPECT_EQ(Take(reader), 14) << "the oldest image the next two writes leave alone";
}

// What one reader received, checked as it arrives: every disparity image follows the colour
// image of the same frame, from the first image on, and frames come in order.
struct FrameOrderCheck {
  long previous_frame = -1;
  uint32_t previous_type = 0;
  uint32_t images = 0;
  uint32_t disparities = 0;

  void Add(long frame, uint32_t type) {
    ++images;
    if (type == kStipImageTypeDisparity) {
      ++disparities;
      EXPECT_EQ(previous_type, kStipImageTypeColor) << "disparity of frame " << frame << " without its colour";
      EXPECT_EQ(previous_frame, frame) << "disparity of another frame than the colour before it";
    } else {
      EXPECT_EQ(type, kStipImageTypeColor);
      EXPECT_GT(frame, previous_frame) << "frames out of order";
    }
    previous_frame = frame;
    previous_type = type;
  }
  // At least 45 of each 100 images are disparity images.
  bool MostlyPairs() const { return images > 0 && disparities * 100 >= images * 45; }
};

class PacedReader : public RingFixture, public ::testing::WithParamInterface<std::tuple<uint32_t, double>> {
 public:
  // Writes `frames` frames; after each write every reader takes what its pace owes it.
  void Run(uint32_t frames, const std::vector<ClientSlot*>& readers, const std::vector<double>& paces,
           std::vector<FrameOrderCheck>* checks) {
    std::vector<double> owed(readers.size(), 0);
    checks->assign(readers.size(), FrameOrderCheck{});
    for (uint32_t frame = 1; frame <= frames; ++frame) {
      for (uint32_t type : {kStipImageTypeColor, kStipImageTypeDisparity}) {
        Write(frame, kSmallImage, type);
        for (size_t r = 0; r < readers.size(); ++r) {
          for (owed[r] += paces[r]; owed[r] >= 1; owed[r] -= 1) {
            const long got = Take(readers[r]);
            if (got != -1) (*checks)[r].Add(got, last_type_);
          }
        }
      }
    }
  }
};

TEST_P(PacedReader, GetsWholeFramesColourFirst) {
  const auto [slots, pace] = GetParam();
  Make(slots);
  std::vector<FrameOrderCheck> checks;
  Run(1000, {AddReader()}, {pace}, &checks);
  EXPECT_TRUE(checks[0].MostlyPairs()) << checks[0].images << " images, " << checks[0].disparities << " disparity";
}

// Sixteen readers of one ring, from a third of the writer's pace to its full pace: each gets
// colour and disparity images of the same frames.
TEST_F(PacedReader, SixteenReadersAtMixedPacesAllGetBothTypes) {
  Make(kRingSlotsNorb);
  std::vector<ClientSlot*> readers;
  std::vector<double> paces;
  for (int r = 0; r < 16; ++r) {
    readers.push_back(AddReader());
    paces.push_back(1.0 / 3 + r * (2.0 / 3) / 15);
  }
  std::vector<FrameOrderCheck> checks;
  Run(500, readers, paces, &checks);
  for (size_t r = 0; r < checks.size(); ++r) {
    EXPECT_TRUE(checks[r].MostlyPairs()) << "reader " << r << ": " << checks[r].images << " images, "
                                         << checks[r].disparities << " disparity";
  }
}

INSTANTIATE_TEST_SUITE_P(Paces, PacedReader,
                         ::testing::Combine(::testing::Values(kRingSlotsNorb, kRingSlotsYrd),
                                            ::testing::Values(1.0 / 3, 0.5, 0.9, 1.0)));

TEST_F(RingFixture, LappedReaderResumesAtTheColourOfAWholeFrame) {
  Make(kRingSlotsYrd);
  ClientSlot* reader = AddReader();
  WriteFrame(1);
  ASSERT_EQ(Take(reader), 1);  // the colour image; its disparity is overwritten below
  for (uint32_t f = 2; f <= 20; ++f) WriteFrame(f);
  // The ring holds frames 15 to 20; frame 15 goes with the next frame written.
  EXPECT_EQ(Take(reader), 16);
  EXPECT_EQ(last_type_, kStipImageTypeColor);
  EXPECT_EQ(Take(reader), 16);
  EXPECT_EQ(last_type_, kStipImageTypeDisparity);
  EXPECT_EQ(Take(reader), 17);
}

// A client that starts between a frame's colour and disparity images gets that frame, colour
// first: its first pair comes when the disparity is written, not a frame period later.
TEST_F(RingFixture, ReaderStartingMidFrameTakesThatFramesColourThenItsDisparity) {
  Make(kRingSlotsYrd);
  WriteFrame(1);
  Write(2, kSmallImage, kStipImageTypeColor);
  ClientSlot* reader = AddReader();
  EXPECT_EQ(Take(reader), 2);
  EXPECT_EQ(last_type_, kStipImageTypeColor);
  EXPECT_EQ(Take(reader), -1) << "the reader waits for the disparity of its frame";
  Write(2, kSmallImage, kStipImageTypeDisparity);
  EXPECT_EQ(Take(reader), 2);
  EXPECT_EQ(last_type_, kStipImageTypeDisparity);
  // Started after a whole frame, it takes nothing older than its start.
  ClientSlot* late = AddReader();
  EXPECT_EQ(Take(late), -1);
}

TEST_F(RingFixture, ReaderStartsAtAColourImageAndWaitsForItsDisparity) {
  Make(kRingSlotsYrd);
  WriteFrame(1);
  ClientSlot* reader = AddReader();
  Write(2, kSmallImage, kStipImageTypeColor);
  EXPECT_EQ(Take(reader), 2) << "the colour image goes out before its disparity is written";
  EXPECT_EQ(last_type_, kStipImageTypeColor);
  EXPECT_EQ(Take(reader), -1) << "the reader waits for the disparity of its frame";
  Write(2, kSmallImage, kStipImageTypeDisparity);
  EXPECT_EQ(Take(reader), 2);
  EXPECT_EQ(last_type_, kStipImageTypeDisparity);
  // A frame written without its disparity does not hold the reader up once the next begins.
  Write(3, kSmallImage, kStipImageTypeColor);
  Write(4, kSmallImage, kStipImageTypeColor);
  Write(4, kSmallImage, kStipImageTypeDisparity);
  EXPECT_EQ(Take(reader), 3);
  EXPECT_EQ(Take(reader), 4);
  EXPECT_EQ(last_type_, kStipImageTypeColor);
}

TEST_F(RingFixture, SlotKeepsTheSizeItHoldsAndReusesItsBuffer) {
  Make(kRingSlotsNorb);
  Write(1, 1000);
  const ImageRingSlot& slot = ring()->slots[0];
  const uint8_t* buffer = slot.data;
  for (uint32_t i = 2; i <= kRingSlotsNorb; ++i) Write(i, 1000);
  Write(5, 10);  // same slot, smaller image
  EXPECT_EQ(slot.data, buffer) << "a smaller image reuses the buffer";
  EXPECT_EQ(slot.data_size, 10u);
  EXPECT_EQ(slot.header.data_size, 10u);
}

// The capture side's write path through the module, with the server set up and torn down.
TEST(StipWritePath, StoresOnlyColourAndDisparityInBothRings) {
  ASSERT_EQ(STIPInit(kStipServerMode, 0.0), kQeltOk);
  std::vector<uint8_t> data(kSmallImage, 1);
  for (uint32_t type : {1u, 2u, 4u}) {
    ImagePara h{};
    h.image_type = type;
    EXPECT_EQ(STIPServerWriteImage(&h, data.data(), kSmallImage), kQeltOk);
  }
  EXPECT_EQ(STIPServerGetServerData(kServerNorbImage)->write_index, kStipNone);
  EXPECT_EQ(STIPServerGetServerData(kServerYrdImage)->write_index, kStipNone);
  ImagePara colour{};
  colour.image_type = kStipImageTypeColor;
  EXPECT_EQ(STIPServerWriteImage(&colour, data.data(), kSmallImage), kQeltOk);
  EXPECT_EQ(STIPServerGetServerData(kServerNorbImage)->write_index, 0u);
  EXPECT_EQ(STIPServerGetServerData(kServerYrdImage)->write_index, 0u);
  EXPECT_EQ(STIPServerGetServerData(kServerNorbImage)->slot_count, kRingSlotsNorb);
  EXPECT_EQ(STIPServerGetServerData(kServerYrdImage)->slot_count, kRingSlotsYrd);
  EXPECT_EQ(STIPUnInit(), kQeltOk);
  // After uninit the write is refused instead of touching destroyed locks.
  EXPECT_EQ(STIPServerWriteImage(&colour, data.data(), kSmallImage), kQeltRingEmpty);
  EXPECT_EQ(STIPServerGetServerData(kServerNorbImage), nullptr);
}

TEST(StipWritePath, ColourBitRateFallsBackToTheDefaultOnUnusableValues) {
  EXPECT_EQ(STIPColorBitRate(1.5), 1572864u);
  EXPECT_EQ(STIPColorBitRate(0.0), 0u);
  EXPECT_EQ(STIPColorBitRate(-2.0), 0u);
  EXPECT_EQ(STIPColorBitRate(std::numeric_limits<double>::quiet_NaN()), 0u);
  EXPECT_EQ(STIPColorBitRate(std::numeric_limits<double>::infinity()), 0u);
  EXPECT_EQ(STIPColorBitRate(5000.0), 0u) << "beyond 32 bits of bits per second";
  EXPECT_EQ(STIPInit(kStipServerMode, std::numeric_limits<double>::quiet_NaN()), kQeltOk);
  EXPECT_EQ(STIPUnInit(), kQeltOk);
}

}  // namespace
