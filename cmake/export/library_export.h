// Marks what a shared library exports (a public header's declarations, or one declaration); the rest is hidden.
#pragma once

#define LIBRARY_EXPORTS_BEGIN _Pragma("GCC visibility push(default)")
#define LIBRARY_EXPORTS_END _Pragma("GCC visibility pop")
#define LIBRARY_EXPORT __attribute__((visibility("default")))
