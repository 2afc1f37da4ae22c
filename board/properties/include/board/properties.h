// Property service stand-in: the board's system properties, read from a file under the board root.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Longest value with its terminating NUL; callers pass buffers at least this large.
#define PROPERTY_VALUE_MAX 92

// The board file that holds the properties, one "key=value" line each.
#define PROPERTY_FILE "/system/build.prop"

// Copies the value of `key` into `value` (at most PROPERTY_VALUE_MAX bytes with the NUL) and
// returns its length. An unknown key, or one whose value would not fit, gives `default_value`
// (cut to fit; an empty value when null) and its length. A null key or value gives -1.
int property_get(const char* key, char* value, const char* default_value);

#ifdef __cplusplus
}
#endif
