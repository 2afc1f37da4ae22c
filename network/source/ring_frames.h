// How a reader of a slot ring picks its next slot, shared by the image and object rings.
// Images are grouped in frames (a colour image, then the disparity image of the same frame); a
// reader starts a frame only while none of its images is lost and then takes the rest of it, so
// it never gets a disparity image without the colour image it belongs to. Blocks of the object
// ring are frames of one.
#pragma once

#include <cstdint>

namespace pelarin {

constexpr uint32_t kNoRingSlot = 0xFFFFFFFF;

// Slot fields used here: `sequence` (write number from 1; 0 never written), `frame_position`
// (0 opens a frame) and `frame_images` (images of the slot's frame).
template <typename Slot>
struct RingFrames {
  const Slot* slots;
  uint32_t slot_count;
  uint64_t last_written;  // sequence of the newest write
  uint32_t spare;         // slots next in line to be overwritten, whose frames are not started

  // The slot holding write number `sequence`, or kNoRingSlot when it was overwritten or never
  // written. Writes go round the slots in order, so write s sits in slot (s - 1) mod slot_count.
  uint32_t Find(uint64_t sequence) const {
    if (sequence == 0 || sequence > last_written) return kNoRingSlot;
    const uint32_t i = static_cast<uint32_t>((sequence - 1) % slot_count);
    return slots[i].sequence == sequence ? i : kNoRingSlot;
  }

  // True when no image of the frame opened by write `head` is lost: each image written so far is
  // still in the ring (the rest may be on its way), or the next frame began before the frame was
  // full (a frame written short).
  bool Intact(uint64_t head) const {
    const uint32_t images = slots[Find(head)].frame_images;
    for (uint32_t j = 1; j < images; ++j) {
      if (head + j > last_written) return true;  // still being written
      const uint32_t i = Find(head + j);
      if (i == kNoRingSlot) return false;
      if (slots[i].frame_position == 0) return true;  // short frame, ended by the next
    }
    return true;
  }

  // The `last` of a reader that starts now: it takes what is written from now on, and a frame
  // still being written (its opening image in, the rest on its way) from that frame's opening
  // image. Starting at the next frame instead would cost the reader a whole frame period, and a
  // frame's later images may come long after its first (a disparity image after the matching).
  uint64_t Start() const {
    const uint32_t newest = Find(last_written);
    if (newest == kNoRingSlot) return last_written;
    const uint64_t head = last_written - slots[newest].frame_position;
    const uint32_t h = Find(head);
    if (h == kNoRingSlot || slots[h].frame_position != 0) return last_written;
    const bool being_written = slots[newest].frame_position + 1 < slots[h].frame_images;
    return being_written ? head - 1 : last_written;
  }

  // The slot a reader takes next, or kNoRingSlot when it is to wait. `last` is the reader's
  // newest write taken (or given up), `mid_frame` whether the frame of that write goes on.
  uint32_t Next(uint64_t last, bool mid_frame) const {
    if (mid_frame) {
      const uint32_t i = Find(last + 1);
      if (i != kNoRingSlot && slots[i].frame_position != 0) return i;
      if (last == last_written) return kNoRingSlot;  // the frame's next image is on its way
    }
    // The oldest intact frame that the next writes leave alone; when every intact frame is about
    // to go, the newest of them.
    const uint64_t oldest_held = last_written >= slot_count ? last_written - slot_count + 1 : 1;
    uint32_t newest_intact = kNoRingSlot;
    for (uint64_t s = last + 1 > oldest_held ? last + 1 : oldest_held; s <= last_written; ++s) {
      const uint32_t i = Find(s);
      if (i == kNoRingSlot || slots[i].frame_position != 0 || !Intact(s)) continue;
      if (s + slot_count > last_written + spare) return i;
      newest_intact = i;
    }
    return newest_intact;
  }
};

// Where a write of a new image goes in its frame: it continues the frame of the write before it
// when that frame has room and the image does not open a frame of its own.
template <typename Slot>
void RingPlaceInFrame(Slot* slot, const Slot* previous, bool opens_frame, bool same_frame, uint32_t images) {
  if (!opens_frame && same_frame && previous != nullptr && previous->frame_position + 1 < previous->frame_images) {
    slot->frame_position = previous->frame_position + 1;
    slot->frame_images = previous->frame_images;
    return;
  }
  slot->frame_position = 0;
  slot->frame_images = images;
}

}  // namespace pelarin
