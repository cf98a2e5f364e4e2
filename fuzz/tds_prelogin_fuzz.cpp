// PRELOGIN bodies, as the connection checks them before answering.
#include "emulator/tds.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        emulator::tds::CheckPrelogin(quillfuzz::Bytes(data, size));
    } catch (const emulator::tds::ProtocolError&) {
    }
    return 0;
}
