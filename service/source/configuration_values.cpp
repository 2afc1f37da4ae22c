// Reading one typed value of the service's configuration.
#include "configuration_values.h"

#include <cstring>

#include "configuration_loaders.h"

Result ReadServiceValue(ConfigurationManager* store, const char* module, const char* record_path, int type,
                        char* text_buffer, ConfigurationValue* value) {
  if (store == nullptr) return RESULT_INVALID_ARGUMENT;
  std::uint32_t length = 0;
  switch (type) {
    case RECORD_TYPE_INTEGER:
      length = sizeof(value->integer);
      return store->GetValue(kServiceConfigurationName, module, record_path, type, &value->integer, &length);
    case RECORD_TYPE_DOUBLE:
      length = sizeof(value->real);
      return store->GetValue(kServiceConfigurationName, module, record_path, type, &value->real, &length);
    case RECORD_TYPE_STRING: {
      std::memset(text_buffer, 0, kConfigurationTextBytes);
      length = kConfigurationTextBytes;
      const Result read =
          store->GetValue(kServiceConfigurationName, module, record_path, type, text_buffer, &length);
      value->text = text_buffer;
      return read;
    }
    default:
      return RESULT_INVALID_ARGUMENT;
  }
}
