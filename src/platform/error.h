#pragma once
#include <cstdint>
#include <string>

namespace platform {

// The one failure type the core sees from the platform. Each backend turns its native
// failures (an HRESULT with restricted error info, an errno, ...) into this in one place and
// fills `message` with the platform's own text for the code, untrimmed.
struct hresult_error {
  int32_t code = 0;
  std::u16string message;
};

}  // namespace platform
