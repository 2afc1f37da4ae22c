// State shared by the service's threads: the stop flag, the frame-seen flag, the passage direction.
#pragma once

#include <atomic>
#include <cstdint>

// Ends the main loop at the end of the current tick when set.
extern std::atomic<bool> g_stop_flag;
// Set by the frame callback on the capture thread after each image; cleared by the main loop's heartbeat.
extern std::atomic<bool> g_frame_seen;
// From `passage_direction`, written once at start-up, read by the control thread.
extern std::atomic<std::uint32_t> g_passage_direction;
