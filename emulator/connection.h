// One client connection: PRELOGIN, LOGIN7, then SQL batches and attentions
// until the client leaves, breaks the protocol, or the server stops.
#pragma once

#include <atomic>
#include <string>

#include "emulator/engine.h"

namespace emulator {

struct ServerContext {
    Engine& engine;
    std::string saPassword;  // UTF-8, from MSSQL_SA_PASSWORD
    std::atomic<bool>& stopping;
    std::atomic<int> nextSpid{51};
    bool verbose = false;  // statements to stderr (never login packets)
};

// Serves `fd` until the conversation ends; the caller owns and closes fd.
void ServeConnection(int fd, ServerContext& context);

}  // namespace emulator
