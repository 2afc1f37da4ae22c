// Log entry point of the board's logging library, as the video device calls it.
#pragma once

extern "C" void _PrintLog(const char* tag, const char* format, ...);
