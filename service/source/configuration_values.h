// Reading one typed value of the service's configuration.
#pragma once

#include <cstdint>

#include "platform/configuration_manager.h"

// One value as read: the integer, the double or the text, by the key's type.
struct ConfigurationValue {
  std::int32_t integer = 0;
  double real = 0.0;
  const char* text = nullptr;
};

// Reads one key of the service configuration; a text key goes into `text_buffer`
// (kConfigurationTextBytes, zero-filled first). The store's code on failure.
Result ReadServiceValue(ConfigurationManager* store, const char* module, const char* record_path, int type,
                        char* text_buffer, ConfigurationValue* value);
