// One relayed stream of the output relay: its descriptors, the lines it holds, and how it writes
// them to the original output without waiting, dropping and counting what the output cannot take.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/output_relay.h"

namespace relay_detail {

// How the relay writes to an output without waiting for it.
enum class OutputKind {
  kOwnDescription,  // a description of its own, non-blocking: pipes and terminals
  kSocket,          // sends that do not wait
  kShared,          // a copy of the program's description: written only when poll says it takes a page
};

// True for a descriptor whose writes can wait for a reader: a pipe, a socket or a terminal.
bool CanBlock(int fd);
// A description of the output for the relay alone, so that the program's own (which its parent
// and children share) keeps its blocking mode; -1 when there is none.
int OpenOutputFor(int fd, OutputKind* kind);
void CloseIfOpen(int& fd);

}  // namespace relay_detail

struct OutputRelay::Stream {
  int fd = -1;         // the relayed descriptor number
  int saved = -1;      // the original output, put back by Stop
  int read_end = -1;   // the relay pipe, read by the relay thread
  int output = -1;     // the original output as the relay writes it
  relay_detail::OutputKind kind = relay_detail::OutputKind::kOwnDescription;
  std::string partial;     // read, not yet ended by a newline
  std::string unfinished;  // the rest of a line that the output took only in part
  std::uint64_t dropped = 0;  // lines dropped since the output last took one
  bool broken = false;        // the output is gone: everything is dropped
  bool ended = false;         // no writer is left on the relay pipe

  // Bytes the output took now (0: none, it is full), or -1 when it is gone.
  ssize_t WriteSome(const char* data, std::size_t length);
  // Writes what is left of a line; true when nothing is left.
  bool FinishLine();
  // Starts writing `text`; false when the output took none of it.
  bool Offer(const std::string& text);
  // Once the output takes lines again: the rest of a line begun, then the line on how many were
  // dropped, then the report.
  void Resume(DroppedOutputReport report);
  // Hands on the complete lines read so far, and at the end of the pipe the rest; a line longer
  // than a limit (64 KiB) goes in pieces of that size. The number of lines dropped.
  std::uint64_t HandLines(DroppedOutputReport report);
  // One line (with its newline, or a piece of an overlong one); true when it was dropped.
  bool Hand(const std::string& line, DroppedOutputReport report);
};
