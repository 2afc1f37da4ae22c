// The matcher's exported module variables: its image size and the GPU error map.
#include "libtessaro.h"

extern "C" {
unsigned long s_sgm_m = 0;
unsigned long s_sgm_n = 0;
unsigned char* s_sgm_uniqueness_err = nullptr;
}
