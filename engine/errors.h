// Every failure of the engine is raised as an EDatabaseError, whose message
// carries the server's own text where the server gave one.
#pragma once

#include "platform/exception.h"

namespace engine {

class EDatabaseError : public platform::Exception {
  public:
    using platform::Exception::Exception;
};

}  // namespace engine
